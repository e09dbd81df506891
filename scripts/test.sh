#!/usr/bin/env bash
# Installs what the tests need when it is missing, builds kestro-update and runs every test:
# the suite as shipped (with the script checks: stand-ins, layering, clang-tidy, the lint of the
# GitHub workflow and, off a Mac, the macOS build), the same suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, and each fuzz target for a bounded time. The one test that waits
# out the real two-minute limit runs once, in the background, and so do (off a Mac) the
# workflow lint and the macOS build check, while the rest goes on.
# Usage: scripts/test.sh      (FUZZ_SECONDS=N sets the time per fuzz target, default 10;
#   KESTRO_GTEST_SOURCE=DIR, the absolute path of GoogleTest's sources, builds it with the suite,
#   and then none need be installed: the Mac jobs on GitHub fetch a release, a Mac having none)
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/lib/require.sh
. scripts/lib/needs.sh
. scripts/lib/configure.sh
needs=("${needs_tests[@]}")
# Passed even when empty, so that a build folder configured with sources before forgets them.
gtest=(-DKESTRO_GTEST_SOURCE="${KESTRO_GTEST_SOURCE:-}")
if [ -n "${KESTRO_GTEST_SOURCE:-}" ] && [ ! -f "$KESTRO_GTEST_SOURCE/CMakeLists.txt" ]; then
	echo "test.sh: KESTRO_GTEST_SOURCE=$KESTRO_GTEST_SOURCE is not a folder of GoogleTest's" \
		"sources (it has no CMakeLists.txt)" >&2
	exit 2
fi
# Off a Mac the macOS check needs LLVM 16 and npm on top, most of a fresh machine's install:
# where this user may install, that goes on in the background while the suite builds and runs
# (nothing else here uses apt), and the two checks that need it, the workflow lint (Node, npm)
# and the macOS check, follow it there. Where not, every missing package is named at once, up
# front. On a Mac the workflow lint runs with the suite.
later=() later_tests=""
if [ "$(uname -s)" = Darwin ]; then
	needs+=("${needs_workflows[@]}")
else
	later=("${needs_workflows[@]}" "${needs_macos[@]}" "${needs_macos_check[@]}")
	later_tests='|actionlint_check'
fi
if [ "$(id -u)" -ne 0 ] && ! sudo -n true 2>/dev/null; then
	needs+=(${later[@]+"${later[@]}"})
	later=()
fi
require "to build and run all the tests" "${needs[@]}"

# AddressSanitizer on macOS prints a malloc notice on the standard error of every process it
# runs in unless MallocNanoZone=0 is set, and tests check what the suite's own children print,
# byte for byte. The sandbox sets it for the helper, whose environment it makes itself.
[ "$(uname -s)" != Darwin ] || export MallocNanoZone=0

started=$SECONDS
stage() { echo "== $* (at $((SECONDS - started)) s)"; }

# The two-minute wait sleeps nearly all along: run it alone, in the background.
long=Wait.TimesOutAfterTwoMinutesWithoutTouchingAnything
# Script checks that build or read nothing of the sanitizer build.
checks='standins_selftest|layering_check|clang_tidy_check|macos_build_check|darwin_platform_check'
checks+='|manual_check'
checks+='|actionlint_check'

stage "the test suite"
configure build -DCMAKE_BUILD_TYPE=Debug -DKESTRO_WERROR=ON "${gtest[@]}" "${this_mac_only[@]}" \
	>/dev/null
# Off a Mac, the workflow lint and the macOS build check (label macos), which makes its own SDK
# and builds, use nothing of the builds below: they start now and are waited for at the end. The
# check's builds run at a lower priority, so it takes the CPU the rest leaves (fuzzing, for one,
# keeps one core busy).
background_pid="" installed=build/background-installed log=build/background.log
rm -f "$installed"
if [ "$(uname -s)" != Darwin ]; then
	echo "The workflow lint and the macOS build check install what they lack and run in the" \
		"background (log: $log)"
	(
		require "for the workflow lint and the macOS build check" ${later[@]+"${later[@]}"}
		touch "$installed"
		status=0
		ctest --test-dir build -R '^actionlint_check$' -V || status=1
		ctest --test-dir build -L macos -V || status=1
		exit "$status"
	) >"$log" 2>&1 &
	background_pid=$!
fi
# On the way out, the background work stops; an install is let finish first, since a dpkg cut
# short leaves the machine's packages half set up.
stop_background() {
	if [ -n "$background_pid" ]; then
		while [ ! -e "$installed" ] && kill -0 "$background_pid" 2>/dev/null; do sleep 1; done
	fi
	kill ${background_pid:+"$background_pid"} ${long_pid:+"$long_pid"} 2>/dev/null || true
}
trap stop_background EXIT
# Builds run at a lower priority than the background install, which is the longest road to the
# end on a fresh machine; the tests themselves, some of which time what they see, do not.
nice -n 10 cmake --build build -j2
# The plain suite makes its folders under a TMPDIR reached through a link, as a Mac's is (/var
# leads into /private there, and so does /tmp): the test support keeps the real path of each,
# which is the one the helper gets from its working directory. Off a Mac a link to /tmp stands
# in, so that a path kept as given rather than as it really is fails here as it would there.
suite_tmp=${TMPDIR:-/tmp}
if [ "$(uname -s)" != Darwin ]; then
	rm -f build/tmp-link && ln -s /tmp build/tmp-link && suite_tmp=$PWD/build/tmp-link
fi
TMPDIR=$suite_tmp build/tests/kestro_update_tests --gtest_filter="$long" >build/long-test.log 2>&1 &
long_pid=$!
TMPDIR=$suite_tmp ctest --test-dir build -j3 --output-on-failure -E "^($long$later_tests)\$" \
	-LE macos
# A script check that skips (clang-tidy of another version, say) says why in its output, which
# ctest keeps in its log and does not show.
sed -n 's/^\([a-z-]*\.sh: skipped: \)/\1/p' build/Testing/Temporary/LastTest.log

stage "the test suite under AddressSanitizer and UndefinedBehaviorSanitizer"
configure build-asan -DCMAKE_BUILD_TYPE=Debug -DKESTRO_WERROR=ON -DCMAKE_UNITY_BUILD=ON \
	-DKESTRO_SANITIZE=address,undefined "${gtest[@]}" "${this_mac_only[@]}" >/dev/null
nice -n 10 cmake --build build-asan -j2
ctest --test-dir build-asan -j3 --output-on-failure -E "^($long|$checks)\$"

stage "fuzzing"
if [ -n "$fuzz_skip" ]; then
	echo "skipped: $fuzz_skip; the Linux job fuzzes every push"
else
	FUZZ_SECONDS=${FUZZ_SECONDS:-10} nice -n 10 scripts/fuzz.sh
fi

if [ -n "$background_pid" ]; then
	stage "the workflow lint and the macOS build check (actionlint_check, macos_build_check)"
	if ! wait "$background_pid"; then
		cat "$log"
		echo "test.sh: actionlint_check or macos_build_check FAILED" >&2
		exit 1
	fi
	# What the checks found, without ctest's prefix of the test's number.
	sed -n 's/^[0-9]*: //p' "$log" | grep '^actionlint:'
	sed -n 's/^[0-9]*: //p' "$log" | grep -A 8 'universal Mach-O'
else
	stage "skipped on a Mac: macos_build_check and darwin_platform_check, which stand in for a" \
		"Mac's build elsewhere; here the suites above are the macOS build"
fi

stage "the two-minute time-out ($long)"
if ! wait "$long_pid"; then
	cat build/long-test.log
	echo "test.sh: $long FAILED" >&2
	exit 1
fi
tail -n 1 build/long-test.log
stage "all passed"
