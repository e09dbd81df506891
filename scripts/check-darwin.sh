#!/usr/bin/env bash
# Compiles the macOS platform file, src/sys/platform_darwin.cpp, unchanged on Linux with g++
# and, when installed, clang++; links it with tests/darwin/platform_darwin_test.cpp, which
# stands in for _NSGetExecutablePath, confstr and proc_pidinfo; and runs that. One line per
# compiler; exit status 1 when any step fails for any compiler, or when g++ is missing.
#
# The macOS names come from tests/darwin: include/mach-o/dyld.h and include/libproc.h declare
# _NSGetExecutablePath and proc_pidinfo with their macOS signatures, include/sys/ holds the
# process-information names the file reads, darwin_shim.h (forced in with -include) gives
# _CS_DARWIN_USER_TEMP_DIR and CLOCK_UPTIME_RAW their macOS values. A misspelled call or
# constant in the file fails the compile; a call the test does not stand in for fails the link.
#
# scripts/build-macos.sh compiles the same file against the real macOS headers, but nothing here
# can run that binary: this check is what runs the file's buffer handling (the size query, a path
# that grows in between, a confstr that fails late) against stand-ins.
#
# Usage: scripts/check-darwin.sh     (from any directory)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source_file="$root/src/sys/platform_darwin.cpp"
test_file="$root/tests/darwin/platform_darwin_test.cpp"

work="$(mktemp -d "${TMPDIR:-/tmp}/check-darwin.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# The project's warnings, as errors. _FORTIFY_SOURCE is dropped because it can route confstr
# to a checking variant that --wrap=confstr would not catch.
flags=(-std=c++17 -O2 -Wall -Wextra -Wpedantic -Wshadow -Werror -U_FORTIFY_SOURCE
       -I "$root/src" -I "$root/tests/darwin/include" -include "$root/tests/darwin/darwin_shim.h")

status=0

fail() {  # compiler, step, log file
  echo "$1: FAILED to $2"
  sed 's/^/    /' "$3"
  status=1
}

check_with() {
  local cxx="$1"
  local out="$work/$cxx"
  mkdir -p "$out"
  if ! "$cxx" "${flags[@]}" -c "$source_file" -o "$out/platform_darwin.o" >"$out/log" 2>&1; then
    fail "$cxx" "compile src/sys/platform_darwin.cpp" "$out/log"
    return
  fi
  if ! "$cxx" "${flags[@]}" -c "$test_file" -o "$out/platform_darwin_test.o" >"$out/log" 2>&1; then
    fail "$cxx" "compile tests/darwin/platform_darwin_test.cpp" "$out/log"
    return
  fi
  if ! "$cxx" -o "$out/platform_darwin_test" "$out/platform_darwin.o" \
      "$out/platform_darwin_test.o" -Wl,--wrap=confstr >"$out/log" 2>&1; then
    fail "$cxx" "link platform_darwin.o with the test" "$out/log"
    return
  fi
  if ! "$out/platform_darwin_test" >"$out/log" 2>&1; then
    fail "$cxx" "pass the test of platform_darwin.cpp" "$out/log"
    return
  fi
  echo "$cxx: platform_darwin.cpp compiled, linked and run: $(tail -n 1 "$out/log")"
}

for cxx in g++ clang++; do
  if command -v "$cxx" >/dev/null 2>&1; then
    check_with "$cxx"
  elif [ "$cxx" = g++ ]; then
    echo "g++: FAILED: not installed; install it with: apt-get install g++"
    status=1
  else
    echo "$cxx: not installed, skipped"
  fi
done

exit "$status"
