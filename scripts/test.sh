#!/usr/bin/env bash
# Builds kestro-update with its tests and runs all of them. Usage: scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build -DCMAKE_BUILD_TYPE=Debug -DKESTRO_WERROR=ON
cmake --build build -j2
# -j4 on two cores: most time goes to tests that sleep (the two-minute parent wait).
ctest --test-dir build -j4 --output-on-failure
