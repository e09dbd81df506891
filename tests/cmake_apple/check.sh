#!/usr/bin/env bash
# Checks, on Linux, the link command CMake generates for kestro-update in a macOS build: the
# project is configured (not built) with apple-toolchain.cmake beside this file, once per
# generator at hand (Ninja, Unix Makefiles), and the link command of kestro-update must carry
#   - the empty __CGPreLoginApp,__cgpreloginapp section, as CMake writes LINKER: options for
#     the compiler (clang: "-Xlinker -sectcreate -Xlinker __CGPreLoginApp ...", gcc-style:
#     "-Wl,-sectcreate,__CGPreLoginApp,__cgpreloginapp,/dev/null");
#   - "-arch x86_64" and "-mmacosx-version-min=10.12";
# the cache must hold CMAKE_OSX_ARCHITECTURES=x86_64 and CMAKE_OSX_DEPLOYMENT_TARGET=10.12,
# and the build must use src/sys/platform_darwin.cpp, not platform_linux.cpp (proof that the
# configure really took the Apple branch). One line per generator; exit status 1 on any miss.
#
# Usage: tests/cmake_apple/check.sh     (from any directory; needs cmake and clang++)
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"

work="$(mktemp -d "${TMPDIR:-/tmp}/cmake-apple.XXXXXX")"
trap 'rm -rf "$work"' EXIT

sectcreate_clang="-Xlinker -sectcreate -Xlinker __CGPreLoginApp -Xlinker __cgpreloginapp -Xlinker /dev/null"
sectcreate_wl="-Wl,-sectcreate,__CGPreLoginApp,__cgpreloginapp,/dev/null"

status=0

# True when the words of $2 stand, in order and whole, in the command line $1.
has_words() { [[ " $1 " == *" $2 "* ]]; }

check_generator() {
  local generator="$1" name="$2"
  local build="$work/$name"
  local problems=()

  if ! cmake -S "$root" -B "$build" -G "$generator" \
      -DCMAKE_TOOLCHAIN_FILE="$here/apple-toolchain.cmake" \
      -DKESTRO_BUILD_TESTS=OFF >"$work/$name.log" 2>&1; then
    echo "$generator: FAILED: cmake could not configure the project as for macOS"
    sed 's/^/    /' "$work/$name.log"
    status=1
    return
  fi

  local link=""
  if [ "$generator" = Ninja ]; then
    # Every command kestro-update needs, variables expanded; the link is the last one.
    link="$(ninja -C "$build" -t commands kestro-update | tail -n 1)" || link=""
  else
    link="$(cat "$build/CMakeFiles/kestro-update.dir/link.txt")" || link=""
  fi
  if ! has_words "$link" "-o kestro-update"; then
    problems+=("no link command for kestro-update found")
  fi

  local form=""
  if has_words "$link" "$sectcreate_clang"; then
    form="$sectcreate_clang"
  elif has_words "$link" "$sectcreate_wl"; then
    form="$sectcreate_wl"
  else
    problems+=("the link command lacks -sectcreate __CGPreLoginApp __cgpreloginapp /dev/null")
  fi
  has_words "$link" "-arch x86_64" || problems+=("the link command lacks -arch x86_64")
  has_words "$link" "-mmacosx-version-min=10.12" ||
    problems+=("the link command lacks -mmacosx-version-min=10.12")

  grep -qx 'CMAKE_OSX_ARCHITECTURES:STRING=x86_64' "$build/CMakeCache.txt" ||
    problems+=("CMakeCache.txt: CMAKE_OSX_ARCHITECTURES is not x86_64")
  grep -qx 'CMAKE_OSX_DEPLOYMENT_TARGET:STRING=10.12' "$build/CMakeCache.txt" ||
    problems+=("CMakeCache.txt: CMAKE_OSX_DEPLOYMENT_TARGET is not 10.12")

  grep -q '"file": ".*/src/sys/platform_darwin\.cpp"' "$build/compile_commands.json" ||
    problems+=("src/sys/platform_darwin.cpp is not compiled: the Apple branch was not taken")
  if grep -q 'platform_linux\.cpp' "$build/compile_commands.json"; then
    problems+=("src/sys/platform_linux.cpp is compiled in a macOS build")
  fi

  if [ ${#problems[@]} -ne 0 ]; then
    echo "$generator: FAILED"
    printf '    %s\n' "${problems[@]}"
    echo "    link command: $link"
    status=1
    return
  fi
  echo "$generator: kestro-update links with: $form -arch x86_64 -mmacosx-version-min=10.12"
}

if ! command -v cmake >/dev/null 2>&1; then
  echo "FAILED: cmake is not installed"
  exit 1
fi
if ! command -v clang++ >/dev/null 2>&1; then
  echo "FAILED: clang++ is not installed (the toolchain file uses it)"
  exit 1
fi

ran=0
if command -v ninja >/dev/null 2>&1; then
  check_generator Ninja ninja
  ran=$((ran + 1))
fi
if command -v make >/dev/null 2>&1; then
  check_generator "Unix Makefiles" makefiles
  ran=$((ran + 1))
fi
if [ "$ran" -eq 0 ]; then
  echo "FAILED: neither ninja nor make is installed"
  exit 1
fi

exit "$status"
