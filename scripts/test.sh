#!/usr/bin/env bash
# Builds kestro-update and runs every test: the suite as shipped, the same suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, and, beside it, each fuzz target for a
# bounded time.
# Usage: scripts/test.sh      (FUZZ_SECONDS=N sets the time per fuzz target, default 20)
set -euo pipefail
cd "$(dirname "$0")/.."

echo "== the test suite"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Debug -DKESTRO_WERROR=ON
cmake --build build -j2
# -j4 on two cores: most time goes to tests that sleep (the two-minute parent wait).
ctest --test-dir build -j4 --output-on-failure

echo "== the test suite under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKESTRO_WERROR=ON \
  -DKESTRO_SANITIZE=address,undefined
cmake --build build-asan -j2
# Fuzzing keeps one core busy for about a minute and a half, while this suite spends two minutes
# mostly asleep in its wait test: the two run side by side, the fuzzers at a lower priority so
# that the timing tests keep the CPU they need. Fuzzing reports after the suite.
nice -n 10 scripts/fuzz.sh >build-asan/fuzz.log 2>&1 &
fuzz_pid=$!
trap 'kill "$fuzz_pid" 2>/dev/null || true' EXIT
suite=0
# The script checks do not use this build (they ran above).
ctest --test-dir build-asan -j4 --output-on-failure \
  -E 'darwin_platform_check|standins_selftest|macos_build_check' || suite=$?

echo "== fuzzing"
fuzz=0
wait "$fuzz_pid" || fuzz=$?
trap - EXIT
cat build-asan/fuzz.log
[ "$suite" -eq 0 ] && [ "$fuzz" -eq 0 ]
