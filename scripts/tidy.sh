#!/usr/bin/env bash
# Runs clang-tidy with the project's .clang-tidy over every source file of src/ that the build
# in BUILD compiles (its compile_commands.json; the other system's platform file is not among
# them), two files at a time. Any finding fails: exit status 1.
# Usage: scripts/tidy.sh BUILD     (BUILD: a configured build folder, e.g. build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: scripts/tidy.sh BUILD}
[ -f "$build/compile_commands.json" ] || { echo "tidy.sh: no $build/compile_commands.json" >&2; exit 2; }
# clang_tidy: on a Mac, Homebrew's llvm keg holds it, off PATH.
. scripts/lib/needs.sh
. scripts/lib/require.sh
require_named "to run clang-tidy" "${needs_tidy[@]}"

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
