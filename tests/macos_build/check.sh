#!/usr/bin/env bash
# Builds kestro-update for macOS with scripts/build-macos.sh into OUT and reads the Mach-O with
# llvm-objdump. It must be
#   - a 64-bit x86_64 executable;
#   - for macOS 10.12: LC_VERSION_MIN_MACOSX, or LC_BUILD_VERSION's minos, says 10.12;
#   - marked for the login window: a segment __CGPreLoginApp holding an empty section
#     __cgpreloginapp;
#   - loading /usr/lib/libSystem.B.dylib and /usr/lib/libc++.1.dylib and no other library;
#   - bound, for every undefined symbol, to one of those two.
# Prints one line per miss (or one line saying what was checked); exit status 1 on any miss.
#
# Usage: tests/macos_build/check.sh OUT     (from any directory)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
out=${1:?usage: tests/macos_build/check.sh OUT}
objdump=llvm-objdump-16
binary="$out/kestro-update"

# The build shares the machine with the timing tests of the same ctest run: at a lower priority
# it takes only the CPU they leave.
rm -f "$binary"
if ! nice -n 10 "$root/scripts/build-macos.sh" "$out"; then
  echo "FAILED: scripts/build-macos.sh did not build the helper"
  exit 1
fi

problems=()
words() { paste -sd ' ' -; }  # the lines of standard input as one line

# The row under the column names: magic, cputype, cpusubtype, caps, filetype, ...
kind=$("$objdump" --macho --private-header "$binary" | awk 'NR == 3 { print $1, $2, $5 }')
[ "$kind" = "MH_MAGIC_64 X86_64 EXECUTE" ] ||
  problems+=("not a 64-bit x86_64 executable: magic, cputype, filetype are '$kind'")

# The load commands, one fact a line:
#   version LC_VERSION_MIN_MACOSX|LC_BUILD_VERSION <version>   (LC_BUILD_VERSION of macOS only)
#   section <segment of the load command> <section's segment> <section> <size>
#   dylib <load command> <path>
facts=$("$objdump" --macho --private-headers "$binary" | awk '
  $1 == "cmd" { cmd = $2; segment = ""; platform = ""; next }
  cmd == "LC_VERSION_MIN_MACOSX" && $1 == "version" { print "version", cmd, $2 }
  cmd == "LC_BUILD_VERSION" && $1 == "platform" { platform = $2 }
  cmd == "LC_BUILD_VERSION" && $1 == "minos" && (platform == "macos" || platform == "1") {
    print "version", cmd, $2
  }
  cmd == "LC_SEGMENT_64" && $1 == "segname" && segment == "" { segment = $2 }
  cmd == "LC_SEGMENT_64" && $1 == "sectname" { section = $2 }
  cmd == "LC_SEGMENT_64" && $1 == "segname" && section != "" { section_segment = $2 }
  cmd == "LC_SEGMENT_64" && $1 == "size" && section != "" {
    print "section", segment, section_segment, section, $2
    section = ""
  }
  cmd ~ /^LC_(LOAD|LOAD_WEAK|REEXPORT|LAZY_LOAD|LOAD_UPWARD)_DYLIB$/ && $1 == "name" {
    print "dylib", cmd, $2
  }')

versions=$(awk '$1 == "version" { print $2 " " $3 }' <<<"$facts")
case "$versions" in
"LC_VERSION_MIN_MACOSX 10.12" | "LC_VERSION_MIN_MACOSX 10.12.0" | "LC_BUILD_VERSION 10.12" | \
  "LC_BUILD_VERSION 10.12.0") ;;
*) problems+=("the minimum macOS is not 10.12: ${versions:-no LC_VERSION_MIN_MACOSX or LC_BUILD_VERSION}") ;;
esac

marker=$(awk '$1 == "section" && $4 == "__cgpreloginapp" { print $2, $3, $5 }' <<<"$facts")
if [ -z "$marker" ]; then
  problems+=("no section __cgpreloginapp")
elif [ "$(awk '{ print $1, $2 }' <<<"$marker")" != "__CGPreLoginApp __CGPreLoginApp" ] ||
  [ $((${marker##* })) -ne 0 ]; then
  problems+=("__cgpreloginapp is not an empty section of a segment __CGPreLoginApp: $marker")
fi

dylibs=$(awk '$1 == "dylib" { print $3 }' <<<"$facts" | LC_ALL=C sort)
expected=$(printf '%s\n' /usr/lib/libSystem.B.dylib /usr/lib/libc++.1.dylib | LC_ALL=C sort)
[ "$dylibs" = "$expected" ] ||
  problems+=("the libraries loaded are not libSystem.B and libc++.1 alone: $(words <<<"$dylibs")")
if awk '$1 == "dylib" && $2 != "LC_LOAD_DYLIB"' <<<"$facts" | grep -q .; then
  problems+=("a library is loaded other than by LC_LOAD_DYLIB: $(awk '$1 == "dylib" && $2 != "LC_LOAD_DYLIB"' <<<"$facts")")
fi

# Every undefined symbol and the libraries the binding tables name for it. objdump names a
# library by its short name (libSystem, libc++); a weak import ends its line with "(weak_import)".
undefined=$("$objdump" --macho --syms "$binary" | awk 'NF > 1 && $(NF - 1) == "*UND*" { print $NF }' |
  LC_ALL=C sort -u)
bindings=$("$objdump" --macho --bind --lazy-bind "$binary" | awk '
  $1 !~ /^__/ { next }
  $NF == "(weak_import)" { print $(NF - 1), $(NF - 2); next }
  { print $NF, $(NF - 1) }' | LC_ALL=C sort -u)
unbound=$(LC_ALL=C join -v 1 <(echo "$undefined") <(echo "$bindings"))
[ -z "$unbound" ] || problems+=("undefined symbols without a binding: $(words <<<"$unbound")")
elsewhere=$(awk '$2 != "libSystem" && $2 != "libc++"' <<<"$bindings")
[ -z "$elsewhere" ] || problems+=("symbols bound to other libraries: $(words <<<"$elsewhere")")
[ -n "$undefined" ] || problems+=("no undefined symbols found: the symbol table was not read")

if [ ${#problems[@]} -ne 0 ]; then
  echo "FAILED: $binary"
  printf '    %s\n' "${problems[@]}"
  exit 1
fi
echo "$binary: Mach-O x86_64 executable, $(wc -c <"$binary") bytes, minimum macOS 10.12," \
  "__CGPreLoginApp,__cgpreloginapp empty; loads $(words <<<"$dylibs");" \
  "$(wc -l <<<"$undefined") undefined symbols, $(grep -c ' libSystem$' <<<"$bindings") bound to" \
  "libSystem, $(grep -c ' libc++$' <<<"$bindings") to libc++"
