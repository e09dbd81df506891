#!/usr/bin/env bash
# Builds kestro-update for macOS with scripts/build-macos.sh --tests into OUT and reads the Mach-O
# with llvm-objdump, llvm-lipo and a signature checker of its own. It must be
#   - one universal file of exactly two slices, x86_64 and arm64;
#   - in each slice:
#     - a 64-bit executable of that architecture;
#     - for its oldest macOS, 10.12 (x86_64) or 11.0 (arm64): LC_VERSION_MIN_MACOSX, or
#       LC_BUILD_VERSION's minos, says so;
#     - marked for the login window: a segment __CGPreLoginApp holding an empty section
#       __cgpreloginapp;
#     - carrying an Info.plist (section __TEXT,__info_plist) with the identifier and the version
#       of CMakeLists.txt's project();
#     - loading /usr/lib/libSystem.B.dylib and /usr/lib/libc++.1.dylib and no other library;
#     - bound, for every undefined symbol, to one of those two;
#   - signed in its arm64 slice: tests/macos_build/codesign_check.cpp, built here, recomputes
#     every page hash of the signature (and checks an x86_64 signature, if there is one);
#   - reproducible: the sources copied to another folder and built into another folder give
#     the same bytes.
# The build also compiles and links the GoogleTest suite for arm64 macOS 11 (it cannot run
# here): a test that calls what macOS lacks fails the build, and so the check.
# Prints one line per miss (or what was checked); exit status 1 on any miss.
#
# Usage: tests/macos_build/check.sh OUT     (from any directory)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
out=${1:?usage: tests/macos_build/check.sh OUT}
# Run on its own, it installs nothing: what is missing is named, with the command that brings it.
. "$root/scripts/lib/require.sh" && . "$root/scripts/lib/needs.sh"
require_named "for the macOS build check" "${needs_macos[@]}" "${needs_macos_check[@]}"
objdump=llvm-objdump-16
lipo=llvm-lipo-16
binary="$out/kestro-update"
version=$(sed -n 's/^project(kestro-update VERSION \([0-9.]*\) .*/\1/p' "$root/CMakeLists.txt")

# The builds share the machine with the timing tests of the same ctest run: at a lower priority
# they take only the CPU they leave. The second build, from a copy of what the build reads into
# another folder, runs beside the first (the one that comes second to a missing SDK waits for
# the other to make it).
repro="$out/repro"
rm -f "$binary"
rm -rf "$repro"
mkdir -p "$repro/source"
cp -R "$root/CMakeLists.txt" "$root/cmake" "$root/src" "$root/scripts" "$root/doc" "$repro/source/"
nice -n 10 "$repro/source/scripts/build-macos.sh" "$repro/out" >"$repro/build.log" 2>&1 &
repro_pid=$!
# Leave no build running behind the check when it stops early.
trap 'wait "$repro_pid" 2>/dev/null || true' EXIT
if ! nice -n 10 "$root/scripts/build-macos.sh" --tests "$out"; then
  echo "FAILED: scripts/build-macos.sh did not build the helper and its tests"
  exit 1
fi

# The signature checker, for this machine; only the types of LLVM's header are used.
checker="$out/codesign_check"
if ! c++ -std=c++17 -O2 -Wall -Wextra -Werror -isystem /usr/lib/llvm-16/include \
  -DLLVM_DISABLE_ABI_BREAKING_CHECKS_ENFORCING=1 -o "$checker" \
  "$root/tests/macos_build/codesign_check.cpp" 2>"$out/codesign_check.log"; then
  cat "$out/codesign_check.log"
  echo "FAILED: the signature checker does not build"
  exit 1
fi

problems=()
words() { paste -sd ' ' -; }  # the lines of standard input as one line
summaries=()

# The slices, as the fat header lists them.
archs=$("$lipo" -archs "$binary" | tr ' ' '\n' | grep . | LC_ALL=C sort | words || true)
[ "$archs" = "arm64 x86_64" ] ||
  problems+=("the slices are not x86_64 and arm64 alone: '$archs'")

# check_slice ARCH CPUTYPE MINIMUM: the checks of one slice, read from its thin copy.
check_slice() {
  local arch=$1 cputype=$2 minimum=$3 file="$out/kestro-update.$1"
  rm -f "$file"
  if ! "$lipo" -thin "$arch" -output "$file" "$binary" 2>/dev/null; then
    problems+=("no $arch slice")
    return
  fi
  local p=()  # this slice's misses, without the architecture in front

  # The row under the column names: magic, cputype, cpusubtype, caps, filetype, ...
  local kind
  kind=$("$objdump" --macho --private-header "$file" | awk 'NR == 3 { print $1, $2, $5 }')
  [ "$kind" = "MH_MAGIC_64 $cputype EXECUTE" ] ||
    p+=("not a 64-bit $arch executable: magic, cputype, filetype are '$kind'")

  # The load commands, one fact a line:
  #   version LC_VERSION_MIN_MACOSX|LC_BUILD_VERSION <version>   (LC_BUILD_VERSION of macOS only)
  #   section <segment of the load command> <section's segment> <section> <size>
  #   dylib <load command> <path>
  local facts
  facts=$("$objdump" --macho --private-headers "$file" | awk '
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

  local versions
  versions=$(awk '$1 == "version" { print $2 " " $3 }' <<<"$facts")
  case "$versions" in
  "LC_VERSION_MIN_MACOSX $minimum" | "LC_VERSION_MIN_MACOSX $minimum.0" | \
    "LC_BUILD_VERSION $minimum" | "LC_BUILD_VERSION $minimum.0") ;;
  *) p+=("the minimum macOS is not $minimum: ${versions:-no LC_VERSION_MIN_MACOSX or LC_BUILD_VERSION}") ;;
  esac

  local marker
  marker=$(awk '$1 == "section" && $4 == "__cgpreloginapp" { print $2, $3, $5 }' <<<"$facts")
  if [ -z "$marker" ]; then
    p+=("no section __cgpreloginapp")
  elif [ "$(awk '{ print $1, $2 }' <<<"$marker")" != "__CGPreLoginApp __CGPreLoginApp" ] ||
    [ $((${marker##* })) -ne 0 ]; then
    p+=("__cgpreloginapp is not an empty section of a segment __CGPreLoginApp: $marker")
  fi

  local key value plist
  plist=$("$objdump" --macho --info-plist --no-leading-headers "$file" | tr -d '\n\t')
  awk '$1 == "section" && $3 == "__TEXT" && $4 == "__info_plist"' <<<"$facts" | grep -q . ||
    p+=("no section __TEXT,__info_plist")
  for key in CFBundleIdentifier=com.tallowmere.kestro-update CFBundleShortVersionString=$version \
    CFBundleVersion=$version; do
    value=$(sed -n "s|.*<key>${key%%=*}</key><string>\([^<]*\)</string>.*|\1|p" <<<"$plist")
    [ "$value" = "${key#*=}" ] || p+=("the Info.plist's ${key%%=*} is '$value', not '${key#*=}'")
  done

  local dylibs expected
  dylibs=$(awk '$1 == "dylib" { print $3 }' <<<"$facts" | LC_ALL=C sort)
  expected=$(printf '%s\n' /usr/lib/libSystem.B.dylib /usr/lib/libc++.1.dylib | LC_ALL=C sort)
  [ "$dylibs" = "$expected" ] ||
    p+=("the libraries loaded are not libSystem.B and libc++.1 alone: $(words <<<"$dylibs")")
  if awk '$1 == "dylib" && $2 != "LC_LOAD_DYLIB"' <<<"$facts" | grep -q .; then
    p+=("a library is loaded other than by LC_LOAD_DYLIB: $(awk '$1 == "dylib" && $2 != "LC_LOAD_DYLIB"' <<<"$facts")")
  fi

  # Every undefined symbol and the libraries the binding tables name for it. objdump names a
  # library by its short name (libSystem, libc++); a weak import ends its line with
  # "(weak_import)".
  local undefined bindings unbound elsewhere
  undefined=$("$objdump" --macho --syms "$file" | awk 'NF > 1 && $(NF - 1) == "*UND*" { print $NF }' |
    LC_ALL=C sort -u)
  bindings=$("$objdump" --macho --bind --lazy-bind "$file" | awk '
    $1 !~ /^__/ { next }
    $NF == "(weak_import)" { print $(NF - 1), $(NF - 2); next }
    { print $NF, $(NF - 1) }' | LC_ALL=C sort -u)
  unbound=$(LC_ALL=C join -v 1 <(echo "$undefined") <(echo "$bindings"))
  [ -z "$unbound" ] || p+=("undefined symbols without a binding: $(words <<<"$unbound")")
  elsewhere=$(awk '$2 != "libSystem" && $2 != "libc++"' <<<"$bindings")
  [ -z "$elsewhere" ] || p+=("symbols bound to other libraries: $(words <<<"$elsewhere")")
  [ -n "$undefined" ] || p+=("no undefined symbols found: the symbol table was not read")

  local each
  for each in "${p[@]}"; do problems+=("$arch: $each"); done
  summaries+=("$arch: $(wc -c <"$file") bytes, minimum macOS $minimum, __CGPreLoginApp,__cgpreloginapp empty, Info.plist of version $version; loads $(words <<<"$dylibs"); $(wc -l <<<"$undefined") undefined symbols, $(grep -c ' libSystem$' <<<"$bindings") bound to libSystem, $(grep -c ' libc++$' <<<"$bindings") to libc++")
}

check_slice x86_64 X86_64 10.12
check_slice arm64 ARM64 11.0

# The signatures, each page hash recomputed. ld64.lld signs arm64 output by itself.
if ! signatures=$("$checker" "$binary" arm64); then
  while read -r line; do
    case $line in FAILED:*) problems+=("signature: ${line#FAILED: }") ;; esac
  done <<<"$signatures"
fi

# The same bytes from the other folders.
if ! wait "$repro_pid"; then
  tail -n 20 "$repro/build.log"
  problems+=("the second build, from $repro/source, FAILED (log: $repro/build.log)")
elif ! cmp -s "$binary" "$repro/out/kestro-update"; then
  problems+=("not reproducible: $repro/out/kestro-update, built from $repro/source, differs")
fi
trap - EXIT

if [ ${#problems[@]} -ne 0 ]; then
  echo "FAILED: $binary"
  printf '    %s\n' "${problems[@]}"
  exit 1
fi
echo "$binary: universal Mach-O, $(wc -c <"$binary") bytes, SHA-256 $(sha256sum "$binary" | cut -d ' ' -f 1)"
printf '    %s\n' "${summaries[@]}" "${signatures//$'\n'/$'\n'    }" \
  "the same bytes from a copy of the sources in another folder, built into another" \
  "the test suite compiled and linked for arm64 macOS 11: $out/cmake-tests-arm64/tests/kestro_update_tests"
