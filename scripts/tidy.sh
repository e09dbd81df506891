#!/usr/bin/env bash
# Runs clang-tidy with the project's .clang-tidy over every source file of src/ that the build
# in BUILD compiles (its compile_commands.json; the other system's platform file is not among
# them), two files at a time. Any finding fails: exit status 1. It runs only with the clang-tidy
# of the major version the Linux job runs (tidy_major in scripts/lib/needs.sh): with another, or
# none on a Mac, where none is installed for it, it says so and exits 77, which ctest reports
# as skipped.
# Usage: scripts/tidy.sh BUILD     (BUILD: a configured build folder, e.g. build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: scripts/tidy.sh BUILD}
[ -f "$build/compile_commands.json" ] || { echo "tidy.sh: no $build/compile_commands.json" >&2; exit 2; }
# clang_tidy: on a Mac, a Homebrew LLVM keg holds it, off PATH.
. scripts/lib/needs.sh
. scripts/lib/require.sh
require_named "to run clang-tidy" ${needs_tidy[@]+"${needs_tidy[@]}"}
# The major version, from "... LLVM version 14.0.6" (Debian's, Homebrew's and LLVM's builds).
major=$("$clang_tidy" --version 2>/dev/null | sed -n 's/.*LLVM version \([0-9]*\).*/\1/p' |
	head -n 1) || major=""
if [ "$major" != "$tidy_major" ]; then
	found="there is no $clang_tidy"
	! command -v "$clang_tidy" >/dev/null 2>&1 || found="$clang_tidy is version ${major:-unknown}"
	echo "tidy.sh: skipped: the gate is clang-tidy $tidy_major, the one the Linux job runs; $found"
	exit 77
fi

files=()
for file in src/*/*.cpp; do
	if grep -q "\"file\": \".*/$file\"" "$build/compile_commands.json"; then files+=("$file"); fi
done
if ! printf '%s\n' "${files[@]}" |
	xargs -P 2 -n 4 "$clang_tidy" -p "$build" --quiet --warnings-as-errors='*' 2>/dev/null; then
	echo "tidy.sh: clang-tidy has findings (above)" >&2
	exit 1
fi
echo "tidy.sh: ${#files[@]} files of src/ clean"
