#!/bin/sh
# Checks the tool stand-ins (./standin) on their own, without the helper:
# the call record, zip unpacking, tree copying, the osascript literal decoding
# and every failure switch. Run from anywhere, e.g. from the repo root:
#   sh tests/standins/selftest.sh
# With SELFTEST_SHELL=bash the stand-in runs under that shell instead of its
# #! line (macOS /bin/sh is a bash), to catch differences between shells.
# Prints "N passed, M failed"; exits non-zero if anything failed.
# The checks are strings run by eval, hence:
# shellcheck disable=SC2016,SC2034,SC2059
set -u
for t in zip unzip; do
	command -v $t >/dev/null || { echo "selftest.sh: needs $t; install it with: apt-get install $t" >&2; exit 2; }
done
case $0 in */*) here=${0%/*} ;; *) here=. ;; esac
standin=$(cd "$here" && pwd)/standin || exit 1
W=$(mktemp -d "${TMPDIR:-/tmp}/standin-selftest.XXXXXX") || exit 1
trap 'rm -rf "$W"' EXIT
B=$W/bin
if [ -n "${SELFTEST_SHELL:-}" ]; then
	SELFTEST_SHELL=$(command -v "$SELFTEST_SHELL") || exit 1
fi
mkdir "$B" "$W/links"
for t in ditto osascript launchctl open bogus; do
	if [ -n "${SELFTEST_SHELL:-}" ]; then
		ln -s "$standin" "$W/links/$t"
		printf '#!/bin/sh\nexec %s "%s" "$@"\n' "$SELFTEST_SHELL" "$W/links/$t" >"$B/$t"
		chmod +x "$B/$t"
	else
		ln -s "$standin" "$B/$t" # absolute links, as the tests make them
	fi
done
pass=0 fail=0

# run [VAR=VALUE...] TOOL ARG...: run a stand-in with PATH holding nothing but
# $B, as the tests do. Sets $st; stdout and stderr land in $W/out, $W/err.
run() { env PATH="$B" STANDIN_CALLS="$W/calls" "$@" >"$W/out" 2>"$W/err"; st=$?; }
# ok NAME SHELL-CONDITION
ok() {
	if eval "$2"; then pass=$((pass + 1)); else
		fail=$((fail + 1))
		printf 'FAIL: %s\n  condition: %s\n  status: %s\n' "$1" "$2" "$st"
		sed 's/^/  stderr: /' "$W/err"
	fi
}
# shq STRING: STRING as one sh word, ' written as '\''
shq() { printf "'%s'" "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")"; }
# script BODY: the osascript line for BODY, with \ -> \\ and " -> \"
script() { printf 'do shell script "%s" with administrator privileges' "$(printf '%s' "$1" | sed 's/[\\"]/\\&/g')"; }
lastcall() { tail -n 1 "$W/calls"; }
err_is() { printf "$1" | cmp -s - "$W/err"; } # printf-format expected stderr

# --- call record ------------------------------------------------------------
odd=$(printf 'caf\303\251 \377\376') # UTF-8 and invalid UTF-8
run launchctl load -w "it's here" '' "$odd"
want="launchctl 'load' '-w' 'it'\\''s here' '' '$odd'"
ok 'record: quoting' '[ $st = 0 ] && [ "$(lastcall)" = "$want" ]'
eval "set -- $(lastcall)"
n=$# a4=$4 a5=$5 a6=$6
ok 'record: line is valid sh' '[ $n = 6 ] && [ "$a4" = "it'\''s here" ] && [ -z "$a5" ] && [ "$a6" = "$odd" ]'
run bogus x
ok 'unknown name: 127, still recorded' '[ $st = 127 ] && [ "$(lastcall)" = "bogus '\''x'\''" ]'

# --- ditto -x -k ------------------------------------------------------------
A=$W/src/A.app/Contents
mkdir -p "$A/MacOS" "$A/Res ources"
printf '#!/bin/sh\n' >"$A/MacOS/A" && chmod 755 "$A/MacOS/A"
echo q >"$A/Res ources/it's \"q\".txt"
ln -s MacOS/A "$A/link"
(cd "$W/src" && zip -q -r -y ../a.zip A.app) || exit 1
X="$W/x/new dir"
run ditto -x -k "$W/a.zip" "$X"
ok 'ditto -x -k: unpacks' '[ $st = 0 ] && [ -x "$X/A.app/Contents/MacOS/A" ] && [ -f "$X/A.app/Contents/Res ources/it'\''s \"q\".txt" ]'
ok 'ditto -x -k: keeps symlink' '[ -h "$X/A.app/Contents/link" ] && [ "$(ls -l "$X/A.app/Contents/link" | sed "s/.* -> //")" = MacOS/A ]'
want="ditto '-x' '-k' '$W/a.zip' '$X'"
ok 'ditto -x -k: recorded' '[ "$(lastcall)" = "$want" ]'
echo 'not a zip' >"$W/bad.zip"
run ditto -x -k "$W/bad.zip" "$W/x2"
ok 'ditto -x -k: bad zip fails' '[ $st = 1 ] && grep -q "^ditto: " "$W/err" && [ $(wc -l <"$W/err") = 1 ]'
run STANDIN_DITTO_STDERR='oops \377\376\n' STANDIN_DITTO_EXIT=5 ditto -x -k "$W/a.zip" "$W/x3"
ok 'STANDIN_DITTO_EXIT + _STDERR' '[ $st = 5 ] && err_is "oops \\377\\376\\n" && [ ! -e "$W/x3" ]'
run STANDIN_DITTO_STDERR='only this' ditto -x -k "$W/a.zip" "$W/x3"
ok 'STANDIN_DITTO_STDERR alone fails' '[ $st = 1 ] && err_is "only this" && [ ! -e "$W/x3" ]'
run STANDIN_DITTO_SIGNAL=KILL ditto -x -k "$W/a.zip" "$W/x3"
ok 'STANDIN_DITTO_SIGNAL=KILL' '[ $st = $((128 + 9)) ] && [ ! -e "$W/x3" ]'
run STANDIN_DITTO_SIGNAL=TERM ditto -x -k "$W/a.zip" "$W/x3"
ok 'STANDIN_DITTO_SIGNAL=TERM' '[ $st = $((128 + 15)) ] && [ ! -e "$W/x3" ]'
run ditto -V "$W/a.zip"
ok 'ditto: other arguments' '[ $st = 2 ] && err_is "ditto: unsupported arguments\\n"'

# --- ditto SRC DST ----------------------------------------------------------
D=$W/dst/D.app
mkdir -p "$D" && echo old >"$D/old.txt"
run ditto "$W/src/A.app" "$D"
ok 'ditto SRC DST: merges, no nesting' '[ $st = 0 ] && [ -f "$D/old.txt" ] && [ -x "$D/Contents/MacOS/A" ] && [ ! -e "$D/A.app" ]'
ok 'ditto SRC DST: keeps symlink' '[ -h "$D/Contents/link" ]'
run ditto "$W/src/A.app" "$W/new/deeper/N.app"
ok 'ditto SRC DST: creates parents' '[ $st = 0 ] && [ -h "$W/new/deeper/N.app/Contents/link" ]'
run ditto "$W/nope" "$W/dst/E.app"
ok 'ditto SRC DST: missing SRC' '[ $st != 0 ] && grep -q "^ditto: " "$W/err" && [ ! -e "$W/dst/E.app" ]'
run STANDIN_DITTO_COPY_FAIL=1 ditto "$W/src/A.app" "$W/half/A.app"
ok 'STANDIN_DITTO_COPY_FAIL' '[ $st = 1 ] && grep -q "No space left on device" "$W/err" && [ -d "$W/half/A.app/Contents" ] && [ -z "$(find "$W/half" -type f)" ]'

# --- osascript --------------------------------------------------------------
P=$W/$(printf 'we'\''ird "dir" \\ caf\303\251')
mkdir -p "$P"
cmd="ditto $(shq "$W/src/A.app") $(shq "$P/Kestro.app")"
run osascript -e "$(script "$cmd")"
ok 'osascript: decodes and runs' '[ $st = 0 ] && [ -h "$P/Kestro.app/Contents/link" ]'
ok 'osascript: inner ditto is the stand-in' '[ "$(lastcall)" = "$cmd" ]'
M=$W/marker
run STANDIN_OSASCRIPT_CANCEL=1 osascript -e "$(script "touch $(shq "$M")")"
ok 'STANDIN_OSASCRIPT_CANCEL' '[ $st = 1 ] && err_is "User canceled. (-128)\\n" && [ ! -e "$M" ]'
for bad in 'do shell script "touch '"$M"'; echo "x"" with administrator privileges' \
	'do shell script "touch '"$M"'\n" with administrator privileges' \
	'do shell script "touch '"$M"'\" with administrator privileges' \
	'do shell script "touch '"$M"'"'; do
	run osascript -e "$bad"
	ok "osascript: syntax error: $bad" '[ $st = 1 ] && grep -q "^osascript: syntax error: .*(-2741)$" "$W/err" && [ ! -e "$M" ]'
done
run osascript "$(script "touch $(shq "$M")")"
ok 'osascript: without -e' '[ $st = 1 ] && grep -q "syntax error" "$W/err" && [ ! -e "$M" ]'
run osascript -e "$(script 'exit 3')"
ok 'osascript: shell fails' '[ $st = 1 ] && err_is "osascript: execution error: shell command failed (3)\\n"'

# --- launchctl, open --------------------------------------------------------
run launchctl unload /Library/LaunchAgents/x.plist
ok 'launchctl' '[ $st = 0 ] && [ ! -s "$W/err" ]'
run STANDIN_LAUNCHCTL_EXIT=4 launchctl load -w /x.plist
ok 'STANDIN_LAUNCHCTL_EXIT' '[ $st = 4 ] && err_is "launchctl: stand-in failing as asked\\n"'
run open "$P/Kestro.app"
ok 'open' '[ $st = 0 ] && [ "$(lastcall)" = "open $(shq "$P/Kestro.app")" ]'
run STANDIN_OPEN_EXIT=1 open "$P/Kestro.app"
ok 'STANDIN_OPEN_EXIT' '[ $st = 1 ]'

printf '%s passed, %s failed\n' "$pass" "$fail"
[ "$fail" = 0 ]
