#!/bin/sh
# On a Mac (the CI's Mac jobs): the real tools answer what the helper and its root line ask them
# as the stand-ins do. Usage: sh tests/standins/contract.sh HELPER (a macOS build of the helper).
# Needs sudo without a password, as GitHub's runners have.
set -u
bad=0 helper=$1 s=$(dirname "$0")/bin/codesign w=$(mktemp -d) && trap 'sudo rm -rf "$w" ${c:+"$c"}' EXIT
no() { echo "FAILED: $*" && bad=1; }
req() { $1 -d -r- "$2" 2>&1 | sed -n 's/^#* *designated => //p'; } # the root line's own sed
expect() { # STATUS CODESIGN BUNDLE [R]: codesign --verify --deep --strict [--test-requirement =R]
	if [ $# = 4 ]; then $2 --verify --deep --strict --test-requirement "=$4" "$3"; else $2 --verify --deep --strict "$3"; fi 2>/dev/null
	got=$? && [ "$got" = "$1" ] || no "$2 on $3${4:+ against R}: exit $got, not $1"
}
for app in "/Applications/Google Chrome.app" /Applications/Firefox.app "/Applications/Microsoft Edge.app" ""; do
	[ -z "$app" ] || [ -d "$app" ] && break
done
[ -n "$app" ] || { echo "FAILED: no third-party browser (Chrome, Firefox, Edge) in /Applications to ask" && exit 1; }
r=$(req codesign "$app") && [ -n "$r" ] || no "no designated requirement read from $app"
d=$(sudo getconf DARWIN_USER_TEMP_DIR) && [ -n "$d" ] && set -- $(stat -f '%u %Lp %d' "$d") || no "sudo getconf DARWIN_USER_TEMP_DIR"
[ "$1" = 0 ] && [ $((0$2 & 022)) = 0 ] && [ "$3" = "$(stat -f %d /Applications)" ] || no "root's $d: owner, mode, device $*"
c=$(sudo mktemp -d "${d}kestro-update.XXXXXX") && sudo ditto -X --noacl --noqtn "$app" "$c/B.app" &&
	sudo chown -R 0:0 "$c/B.app" && sudo chmod -R go-w "$c/B.app" || no "the root copy of $app"
expect 0 codesign "$app" "$r"; expect 0 "sudo codesign" "$c/B.app" "$r"; expect 3 codesign /System/Applications/Calculator.app "$r"
sudo mkfifo "$c/B.app/Contents/Resources/fifo" && expect 1 "sudo codesign" "$c/B.app"
[ "$(env -i PATH=/usr/bin:/bin:/usr/sbin:/sbin osascript -e 'return 1')" = 1 ] || no "osascript with PATH alone"
# The stand-in, for bundles it signs as the browser's team signed it: the same requirement but
# for the identifier, a cdhash for an ad-hoc signature as for the real one, the same exits.
t=${r##* = } && t=${t#\"} && t=${t%\"} && cp "$helper" "$w/h" && codesign --force --sign - "$w/h" 2>/dev/null
for b in T O A U; do mkdir -p "$w/$b.app/Contents/Resources"; done
"$s" --sign "Developer ID Application: T ($t)" "$w/T.app" && "$s" --sign "Developer ID Application: T ($t)" "$w/O.app" &&
	"$s" --sign - "$w/A.app" && rs=$(req "$s" "$w/T.app") && [ "${rs#* and anchor}" = "${r#* and anchor}" ] || no "the stand-in's requirement: $rs"
for h in "$(req codesign "$w/h")" "$(req "$s" "$w/A.app")"; do
	case $h in cdhash\ H\"????????????????????????????????????????\") ;; *) no "ad hoc: $h" ;; esac
done
[ -z "$(req codesign "$w/U.app")$(req "$s" "$w/U.app")" ] || no "an unsigned bundle shows a requirement"
expect 0 "$s" "$w/T.app" "$rs"; expect 3 "$s" "$w/O.app" "$rs"; expect 3 "$s" "$w/A.app" "$rs"; expect 1 "$s" "$w/U.app" "$rs"
mkfifo "$w/T.app/Contents/Resources/fifo" && expect 1 "$s" "$w/T.app"
# The helper's --swap, as the root line runs it: an exchange on APFS, and on HFS+, where the
# runner can make a disk image of it, the two renames.
swap_in() {
	mkdir -p "$1/new" "$1/app" && echo 2 >"$1/new/v" && echo 1 >"$1/app/v" && "$helper" --swap "$1/new" "$1/app" "$1/app.bak" &&
		[ "$(cat "$1/app/v")/$(cat "$1/app.bak/v")" = 2/1 ] && [ ! -e "$1/new" ] || no "--swap in $1"
}
swap_in "$w/apfs"
if hdiutil create -quiet -size 8m -fs HFS+ -volname kswap "$w/hfs.dmg" && hdiutil attach -quiet -nobrowse -mountpoint "$w/hfs" "$w/hfs.dmg"; then
	swap_in "$w/hfs" && hdiutil detach -quiet "$w/hfs"
else
	echo "note: no HFS+ disk image on this runner: --swap's two renames were not run here"
fi
[ "$bad" = 1 ] || echo "codesign, getconf, osascript, --swap and the stand-ins agree: $app, $c"
exit "$bad"
