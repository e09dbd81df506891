#!/bin/sh
# On a Mac (the CI's Mac jobs): the real codesign and ditto answer what the helper asks them as
# the stand-ins do, for a third-party application, one of Apple's and bundles the stand-in signed.
set -u
team() { "$1" -d --verbose=2 "$2" 2>&1 >/dev/null | sed -n 's/^TeamIdentifier=//p'; }
expect() { # STATUS CODESIGN BUNDLE TEAM
	"$2" --verify --deep --strict --test-requirement "=anchor apple generic and certificate leaf[subject.OU] = \"$4\"" "$3" 2>/dev/null
	got=$? && [ "$got" = "$1" ] || { echo "FAILED: $2 on $3 against $4: exit $got, not $1" && bad=1; }
}
bad=0 apple=/System/Applications/Calculator.app s=$(dirname "$0")/bin/codesign w=$(mktemp -d) && trap 'rm -rf "$w"' EXIT
for app in "/Applications/Google Chrome.app" /Applications/*.app; do
	t=$(team codesign "$app") && echo "$t" | grep -qxE '[A-Z0-9]{10}' && break
done
mkdir -p "$w/T.app/Contents" "$w/A.app/Contents" "$w/U.app" && "$s" --sign "Developer ID Application: T ($t)" "$w/T.app" && "$s" --sign - "$w/A.app"
case $(team codesign "$apple")/$(team "$s" "$w/A.app")/$(team "$s" "$w/T.app") in "not set/not set/$t" | "/not set/$t") ;; *) echo "FAILED: teams" && bad=1 ;; esac
expect 0 codesign "$app" "$t"; expect 3 codesign "$apple" "$t"; expect 3 codesign "$app" 0THERTEAM0; expect 1 codesign "$w/U.app" "$t"
expect 0 "$s" "$w/T.app" "$t"; expect 3 "$s" "$w/A.app" "$t"; expect 3 "$s" "$w/T.app" 0THERTEAM0; expect 1 "$s" "$w/U.app" "$t"
ln -s T.app "$w/L.app" && ditto --noacl "$w/L.app" "$w/C.app" && [ ! -h "$w/C.app" ] && [ -d "$w/C.app/Contents/_CodeSignature" ] || { echo "FAILED: ditto --noacl" && bad=1; }
[ "$bad" = 1 ] || echo "codesign and its stand-in agree: $app (team $t), $apple"
exit "$bad"
