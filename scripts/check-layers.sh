#!/usr/bin/env bash
# Checks that the folders of src/ include one another only along the edges that src/layers
# allows: every '#include "folder/..."' in src/FOLDER/ must name FOLDER itself or a folder on
# FOLDER's line. Prints each include that breaks an edge; exit status 1 when there is any.
# Usage: scripts/check-layers.sh     (from any directory)
set -euo pipefail
cd "$(dirname "$0")/.."

# The folders that FOLDER may include, each between blanks; fails when FOLDER has no line.
# (A lookup, not an associative array: a Mac's bash 3.2 has none.)
allowed_for() {
	local line
	while IFS= read -r line; do
		case $line in
		'#'* | '') ;;
		"$1:"*)
			echo " ${line#*:} "
			return 0
			;;
		esac
	done <src/layers
	return 1
}

status=0
checked=0
for file in src/*/*; do
	folder=${file#src/}
	folder=${folder%%/*}
	[ -f "$file" ] || continue
	if ! allowed=$(allowed_for "$folder"); then
		echo "$file: folder '$folder' has no line in src/layers"
		status=1
		continue
	fi
	while IFS=: read -r number include; do
		target=${include#*\"}
		target=${target%%/*}
		if [ "$target" != "$folder" ] && [[ $allowed != *" $target "* ]]; then
			echo "$file:$number: $folder may not include $target (${include#\#include })"
			status=1
		fi
	done < <(grep -n -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"/]+/' "$file" || true)
	checked=$((checked + 1))
done
[ "$status" -eq 0 ] && echo "layers: $checked files include only along the edges in src/layers"
exit "$status"
