#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang, ASan and UBSan (into build-fuzz/) and runs
# each one for a bounded time, starting from a throw-away copy of its seed corpus in
# fuzz/corpus/ (the committed seeds never grow). Prints one line per target.
# Usage: scripts/fuzz.sh [fuzz_args|fuzz_text|fuzz_paths ...]   (default: all three)
#   FUZZ_SECONDS  run time per target, default 20
# Exits non-zero, naming the target, when any run finds a crash, leak, timeout or memory blow-up;
# the input that did it stays in build-fuzz/artifacts/<target>/.
set -euo pipefail

cd "$(dirname "$0")/.."
root=$(pwd -P)
. scripts/lib/configure.sh
# clang_cxx: the clang++ with libFuzzer, on a Mac Homebrew's (Apple's has no libFuzzer).
. scripts/lib/needs.sh
# The outer time limit below: coreutils' timeout, which Homebrew's coreutils may call gtimeout.
# A Mac has neither as it comes, so perl stands in: a watchdog that ends the run with SIGTERM
# and exits 124, as timeout does. Not `alarm N; exec` alone: libFuzzer arms the same timer (for
# -timeout) and would cancel the alarm.
if command -v timeout >/dev/null; then
	limit=(timeout)
elif command -v gtimeout >/dev/null; then
	limit=(gtimeout)
else
	limit=(perl -e '
		my $seconds = shift;
		my $pid = fork() // die "fork: $!\n";
		if ($pid == 0) { exec { $ARGV[0] } @ARGV or die "exec $ARGV[0]: $!\n" }
		$SIG{ALRM} = sub { kill "TERM", $pid; waitpid $pid, 0; exit 124 };
		alarm $seconds;
		waitpid $pid, 0;
		exit($? & 127 ? 128 + ($? & 127) : $? >> 8)')
fi
build="$root/build-fuzz"
seconds=${FUZZ_SECONDS:-20}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_args fuzz_text fuzz_paths)

case "$seconds" in
'' | *[!0-9]* | 0)
	echo "fuzz.sh: FUZZ_SECONDS must be a positive whole number of seconds, not '$seconds'" >&2
	exit 2
	;;
esac
for target in "${targets[@]}"; do
	[ -f "fuzz/$target.cpp" ] || { echo "fuzz.sh: no fuzz target '$target' in fuzz/" >&2; exit 2; }
done
. scripts/lib/require.sh
require_named "to build and run the fuzzers" "${needs_fuzz[@]}"
echo "compiler: $("$clang_cxx" --version | head -n 1)"

mkdir -p "$build"
# The compiler by its path, which the cache keeps: a build folder configured with another one
# (another Homebrew keg, say) starts afresh, since CMake, told of a new compiler, drops its cache
# and with it the options below.
cxx=$(command -v "$clang_cxx")
cached=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
[ -z "$cached" ] || [ "$cached" = "$cxx" ] || rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
if ! { cmake -S . -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE= \
	-DCMAKE_CXX_FLAGS="-O1 -g" -DKESTRO_BUILD_FUZZERS=ON -DKESTRO_BUILD_TESTS=OFF \
	-DKESTRO_BUILD_BENCHMARKS=OFF -DKESTRO_SANITIZE=address,undefined -DCMAKE_UNITY_BUILD=ON \
	"${this_mac_only[@]}" &&
	cmake --build "$build" -j2 --target "${targets[@]}"; } >"$build/fuzz-build.log" 2>&1; then
	tail -n 30 "$build/fuzz-build.log" >&2
	echo "fuzz.sh: the build FAILED (log: $build/fuzz-build.log); libFuzzer's runtime comes" \
		"with LLVM's compiler-rt, e.g. the libclang-rt-NN-dev package on Debian" >&2
	exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kestro-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
failed=()
for target in "${targets[@]}"; do
	corpus="$work/$target"
	artifacts="$build/artifacts/$target"
	log="$build/logs/$target.log"
	mkdir -p "$corpus" "$build/logs"
	rm -rf "$artifacts" && mkdir -p "$artifacts"
	cp -R "fuzz/corpus/$target/." "$corpus/"
	seeds=$(find "$corpus" -type f | wc -l)
	dict="fuzz/${target#fuzz_}.dict"
	opts=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0
		-artifact_prefix="$artifacts/")
	[ -f "$dict" ] && opts+=(-dict="$dict")

	status=0
	# The outer limit only guards against a run that ignores its own time limit.
	"${limit[@]}" $((seconds + 120)) "$build/fuzz/$target" "${opts[@]}" "$corpus" >"$log" 2>&1 ||
		status=$?
	runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -n 1)
	cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -n 1 || true)
	# The first input a run left, by name (BSD find, a Mac's, has no -printf).
	found=$(find "$artifacts" -type f | head -n 1)
	found=${found##*/}
	if [ "$status" -eq 0 ] && [ -z "$found" ]; then
		printf '%-11s ok: %s runs in %s s, %s, corpus %s -> %s inputs\n' "$target:" "${runs:-?}" \
			"$seconds" "${cov:-no coverage line}" "$seeds" "$(find "$corpus" -type f | wc -l)"
	else
		kind=${found%%-*}
		printf '%-11s FAILED (exit %s, %s): input %s, log %s\n' "$target:" "$status" \
			"${kind:-no artifact}" "${found:+$artifacts/$found}" "$log"
		grep -m 3 -E 'ERROR: |runtime error|SUMMARY' "$log" | sed 's/^/    /' || true
		failed+=("$target")
	fi
done

if [ ${#failed[@]} -gt 0 ]; then
	echo "fuzz.sh: findings in ${failed[*]}" >&2
	exit 1
fi
