# What each script needs, as require (scripts/lib/require.sh) takes it: PROBE=DEBIAN[:BREW].
# Sourced; needs bash.

# The demo with a helper it is given: it zips and unzips.
needs_demo=(cmd:zip=zip:- cmd:unzip=unzip:-)
# Building the helper on top: CMake with its build tool, and a C++17 compiler.
needs_build=(cmd:cmake=cmake "cmd:make=make:-" "cmd:g++|c++=g++:-" "${needs_demo[@]}")

# The tests on top: GoogleTest; clang with libFuzzer's runtime for the fuzz targets; clang-tidy.
needs_tests=("${needs_build[@]}"
	"file:/usr/include/gtest/gtest.h|/usr/local/include/gtest/gtest.h|/opt/homebrew/include/gtest/gtest.h=libgtest-dev:googletest"
	cmd:clang++=clang:llvm cmd:clang-tidy=clang-tidy:llvm
	"glob:/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a=libclang-rt-dev:-")

# The macOS build on Linux: LLVM 16's clang, ld64.lld and tools (llvm-lipo joins the slices),
# CMake with Ninja, npm for the SDK package, and GoogleTest's sources to build the suite for
# macOS (Debian only: on a Mac the plain CMake build is the macOS build).
needs_macos=("cmd:clang++-16=clang-16:-" "cmd:ld64.lld-16=lld-16:-" "cmd:llvm-objdump-16=llvm-16:-"
	cmd:cmake=cmake:- "cmd:ninja=ninja-build:-" cmd:npm=npm:-
	"file:/usr/src/googletest/CMakeLists.txt=googletest:-")
# Its check on top: the Mach-O and code-signature types of LLVM 16's headers.
needs_macos_check=("file:/usr/lib/llvm-16/include/llvm/BinaryFormat/MachO.h=llvm-16-dev:-")
