# What each script needs, as require (scripts/lib/require.sh) takes it: PROBE=DEBIAN[:BREW].
# Sourced; needs bash.

# The demo with a helper it is given: it zips and unzips.
needs_demo=(cmd:zip=zip:- cmd:unzip=unzip:-)
# Building the helper on top: CMake with its build tool, and a C++17 compiler.
needs_build=(cmd:cmake=cmake "cmd:make=make:-" "cmd:g++|c++=g++:-" "${needs_demo[@]}")

# The tests on top: GoogleTest (none where the suite builds it from the sources named by
# KESTRO_GTEST_SOURCE); clang with libFuzzer's runtime for the fuzz targets; clang-tidy.
# scripts/fuzz.sh and scripts/tidy.sh run the clang++ and clang-tidy named here.
clang_cxx=clang++ clang_tidy=clang-tidy
# clang-tidy gates on the major version that the Linux job runs, Debian 12's: each newer one
# brings checks more, which --warnings-as-errors fails on. With any other, tidy.sh skips.
tidy_major=14
# Why the test command skips fuzzing here; empty where it fuzzes.
fuzz_skip=""
if [ "$(uname -s)" != Darwin ]; then
	needs_gtest=("file:/usr/include/gtest/gtest.h|/usr/local/include/gtest/gtest.h=libgtest-dev:-")
	needs_fuzz=(cmd:cmake=cmake:- cmd:clang++=clang:-
		"glob:/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a=libclang-rt-dev:-")
	needs_tidy=(cmd:clang-tidy=clang-tidy:-)
else
	# On a Mac, Apple's clang++ has no libFuzzer and the command-line tools no clang-tidy: a
	# Homebrew LLVM has both, llvm@18 (which GitHub's Mac images carry, at `brew --prefix
	# llvm@18`) or llvm. Those formulae are keg-only, off PATH (where Apple's clang++ stays): the
	# probes name the keg's files and the scripts run its tools by path. The test command never
	# installs one: LLVM is large, and where Homebrew has no bottle of it (Intel Macs, for which
	# Homebrew no longer builds bottles) brew builds it from source, for hours. Without one it
	# skips fuzzing; the Linux job fuzzes every push. CMake finds Homebrew's GoogleTest (its
	# GTestConfig.cmake) under Homebrew's prefix, which it searches because that prefix's bin/
	# is on PATH, as it is wherever brew runs; /usr/local, an Intel Mac's prefix, it searches
	# anyway. fuzz.sh's outer time limit needs no coreutils: perl, which macOS has, stands in.
	homebrew=$(brew --prefix 2>/dev/null) ||
		if [ "$(uname -m)" = arm64 ]; then homebrew=/opt/homebrew; else homebrew=/usr/local; fi
	llvm=$homebrew/opt/llvm@18
	fuzz_skip="no clang with libFuzzer (Apple's has none, and neither $homebrew/opt/llvm@18 nor"
	fuzz_skip+=" $homebrew/opt/llvm is here); LLVM is not installed for it"
	for keg in "$homebrew/opt/llvm@18" "$homebrew/opt/llvm"; do
		if [ -x "$keg/bin/clang++" ] &&
			compgen -G "$keg/lib/clang/*/lib/darwin/libclang_rt.fuzzer_osx.a" >/dev/null; then
			llvm=$keg fuzz_skip=""
			break
		fi
	done
	clang_cxx=$llvm/bin/clang++
	needs_gtest=("file:$homebrew/include/gtest/gtest.h=libgtest-dev:googletest")
	needs_fuzz=(cmd:cmake=cmake "file:$clang_cxx=clang:${llvm##*/}"
		"glob:$llvm/lib/clang/*/lib/darwin/libclang_rt.fuzzer_osx.a=libclang-rt-dev:${llvm##*/}")
	# clang-tidy of the gate's major from its keg where there is one, else the fuzzers' keg's,
	# which tidy.sh names as it skips. Nothing is installed for it.
	clang_tidy=$homebrew/opt/llvm@$tidy_major/bin/clang-tidy
	[ -x "$clang_tidy" ] || clang_tidy=$llvm/bin/clang-tidy
	needs_tidy=()
fi
[ -z "${KESTRO_GTEST_SOURCE:-}" ] || needs_gtest=()
# scripts/fuzz.sh and scripts/tidy.sh run on their own name what they lack from these lists.
# (A list that may be empty is written ${list[@]+"${list[@]}"}: under set -u, bash 3.2 takes
# an empty one for unset.) On a Mac fuzzing and clang-tidy are no needs of the test command:
# their stages run where their tools are at hand, and skip, saying why, where not.
# The manual page's check (scripts/check-manual.sh) renders it: mandoc on a Mac, groff here.
needs_manual=("cmd:mandoc|groff=groff-base:-")
needs_tests=("${needs_build[@]}" "${needs_manual[@]}" ${needs_gtest[@]+"${needs_gtest[@]}"})
[ "$(uname -s)" = Darwin ] || needs_tests+=("${needs_fuzz[@]}" "${needs_tidy[@]}")

# The macOS build on Linux: LLVM 16's clang, ld64.lld and tools (llvm-lipo joins the slices),
# CMake with Ninja, npm for the SDK package, and GoogleTest's sources to build the suite for
# macOS (Debian only: on a Mac the plain CMake build is the macOS build).
needs_macos=("cmd:clang++-16=clang-16:-" "cmd:ld64.lld-16=lld-16:-" "cmd:llvm-objdump-16=llvm-16:-"
	cmd:cmake=cmake:- "cmd:ninja=ninja-build:-" cmd:npm=npm:-
	"file:/usr/src/googletest/CMakeLists.txt=googletest:-")
# Its check on top: the Mach-O and code-signature types of LLVM 16's headers.
needs_macos_check=("file:/usr/lib/llvm-16/include/llvm/BinaryFormat/MachO.h=llvm-16-dev:-")

# The workflow check (scripts/check-workflows.sh): Node runs the linter, npm fetches it.
needs_workflows=(cmd:node=npm:node cmd:npm=npm:node)

# The benchmarks (scripts/bench.sh): Google Benchmark for the in-process timings, Python for the
# reference it measures the capture against.
needs_bench=("${needs_build[@]}"
	"file:/usr/include/benchmark/benchmark.h|/usr/local/include/benchmark/benchmark.h|/opt/homebrew/include/benchmark/benchmark.h=libbenchmark-dev:google-benchmark"
	cmd:python3=python3:python)
