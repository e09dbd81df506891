#!/usr/bin/env bash
# Shows one whole update by kestro-update, start to finish, on any machine.
# Builds the helper (in build-demo/, Release), lays out a throw-away
# folder with an installed Kestro.app (version 1, a copy of the helper inside,
# as shipped) and a downloaded Kestro-2.zip (version 2), starts a stand-in for
# the running app and runs the helper copy from inside the installed bundle,
# as the app does when it quits for an update. Both bundles are signed with one
# Developer ID identity and carry one identifier. The macOS tools the helper
# calls (ditto, osascript, codesign, getconf, launchctl, open) are the
# stand-ins from tests/standins/, alone on PATH: all happens inside the folder,
# nothing is really loaded or opened, no password is asked for.
# Usage, from the repo root: scripts/demo.sh [--helper FILE]   (KEEP=1 keeps the folder)
#   --helper FILE  runs the same update with FILE (a helper built elsewhere, such as the
#                  universal macOS file) instead of building one; nothing is built.
# Exits with the helper's exit status.
set -eu

given=
if [ "${1:-}" = --helper ] && [ $# -eq 2 ] && [ -n "$2" ]; then
	given=$2
	[ -f "$given" ] || { echo "demo.sh: no helper file at $given" >&2; exit 2; }
	case $given in /*) ;; *) given=$(pwd -P)/$given ;; esac
elif [ $# -ne 0 ]; then
	echo "usage: scripts/demo.sh [--helper FILE]" >&2
	exit 2
fi

cd "$(dirname "$0")/.."
root=$(pwd -P)
section() { printf '\n=== %s\n' "$*"; }

. scripts/lib/require.sh
. scripts/lib/needs.sh
. scripts/lib/configure.sh
if [ -n "$given" ]; then
	require "to run the demo" "${needs_demo[@]}"
else
	require "to build the helper and run the demo" "${needs_build[@]}"
fi

tmpbase=${TMPDIR:-/tmp}
demo=$(mktemp -d "${tmpbase%/}/kestro-demo.XXXXXX")
demo=$(cd "$demo" && pwd -P) # the real path, so it can be shortened in the output below
app_pid=
# shellcheck disable=SC2317 # run by the EXIT trap
cleanup() {
	if [ -n "$app_pid" ]; then kill "$app_pid" 2>/dev/null || true; fi
	if [ "${KEEP:-}" = 1 ]; then
		printf '\nKept the demo folder: %s\n' "$demo"
	else
		rm -rf "$demo"
	fi
}
trap cleanup EXIT
# Print stdin indented, with the folder's path written as $DEMO.
show() { sed -e "s|$demo|\$DEMO|g" -e 's/^/    /'; }

helper_file=$root/build-demo/kestro-update
if [ -n "$given" ]; then
	section "1. The helper to run (given, not built)"
	helper_file=$given
	echo "    $helper_file"
else
	section "1. Building the helper (cmake, Release, into build-demo/)"
	if ! { configure build-demo -DCMAKE_BUILD_TYPE=Release -DKESTRO_BUILD_TESTS=OFF &&
		cmake --build build-demo -j2 --target kestro-update; } >"$demo/build.log" 2>&1; then
		echo "    The build FAILED. Its last lines:"
		tail -n 30 "$demo/build.log" | show
		exit 1
	fi
	echo "    built build-demo/kestro-update"
fi

# make_bundle DIR VERSION: a minimal app bundle of the given version.
make_bundle() {
	mkdir -p "$1/Contents/MacOS" "$1/Contents/Resources"
	cat >"$1/Contents/Info.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
  <key>CFBundleIdentifier</key><string>com.tallowmere.Kestro</string>
  <key>CFBundleName</key><string>Kestro</string>
  <key>CFBundleShortVersionString</key><string>$2</string>
</dict></plist>
PLIST
	printf '#!/bin/sh\necho "Kestro, version %s"\n' "$2" >"$1/Contents/MacOS/Kestro"
	chmod 755 "$1/Contents/MacOS/Kestro"
	echo "$2" >"$1/Contents/Resources/version.txt"
	cp "$helper_file" "$1/Contents/MacOS/kestro-update"
	chmod 755 "$1/Contents/MacOS/kestro-update"
	"$demo/bin/codesign" --sign "Developer ID Application: Kestro Demo (K3STR0TEAM)" "$1"
}

section "2. Setting up a throw-away folder"
mkdir -p "$demo/home" "$demo/tmp" "$demo/bin" "$demo/Downloads" "$demo/Applications" "$demo/stage"
mkdir -m 700 "$demo/roottmp"
for tool in ditto osascript codesign getconf launchctl open; do
	ln -s "$root/tests/standins/standin" "$demo/bin/$tool"
done
make_bundle "$demo/Applications/Kestro.app" 1
make_bundle "$demo/stage/Kestro.app" 2
(cd "$demo/stage" && zip -q -r -y "$demo/Downloads/Kestro-2.zip" Kestro.app)
rm -rf "$demo/stage"
# osascript gives the root shell nothing but PATH: the stand-ins read where to record their
# calls, and the folder that stands for root's temporary folder, from this file beside them.
printf "STANDIN_CALLS='%s'\nSTANDIN_ROOT_TMPDIR='%s'\n" "$demo/calls.txt" "$demo/roottmp/" \
	>"$demo/bin/standin.env"
echo "    DEMO=$demo"
echo "    \$DEMO/Applications/Kestro.app   installed app, version 1, helper inside"
echo "    \$DEMO/Downloads/Kestro-2.zip    the downloaded update, version 2"
echo "    (both com.tallowmere.Kestro, signed by the team K3STR0TEAM, as far as the codesign"
echo "    stand-in can sign)"
echo "    \$DEMO/roottmp/                  stands for root's temporary folder"
echo "    \$DEMO/bin/                      stand-ins for ditto, osascript, codesign, getconf,"
echo "                                    launchctl, open"

section "3. Starting a stand-in for the running app"
sleep 1.5 &
app_pid=$!
echo "    pid $app_pid, quits by itself in 1.5 s; the helper must wait for it"

section "4. Running the helper from inside the installed app"
helper=$demo/Applications/Kestro.app/Contents/MacOS/kestro-update
set -- env -i HOME="$demo/home" TMPDIR="$demo/tmp/" PATH="$demo/bin" \
	KESTRO_UPDATE_LOG="$demo/kestro-update.log" STANDIN_CALLS="$demo/calls.txt" \
	"$helper" --wait-pid "$app_pid" --install "$demo/Downloads/Kestro-2.zip" \
	--relaunch "$demo/Applications/Kestro.app"
show <<CMD
env -i HOME=$demo/home TMPDIR=$demo/tmp/ PATH=$demo/bin \\
  KESTRO_UPDATE_LOG=$demo/kestro-update.log STANDIN_CALLS=$demo/calls.txt \\
  $helper \\
  --wait-pid $app_pid --install $demo/Downloads/Kestro-2.zip \\
  --relaunch $demo/Applications/Kestro.app
CMD
echo "    (only the stand-in tools are on PATH. On success the helper prints nothing, so"
echo "    nothing follows here; a failure would show its one line, 'kestro-update: ...')"
status=0
"$@" || status=$?
app_pid=

section "5. Exit status: $status"
if [ "$status" = 0 ]; then echo "    0: success"; else echo "    non-zero: the update did not go through (see the log)"; fi

section "6. The helper's log (KESTRO_UPDATE_LOG)"
echo "    (os=macos even here: the helper is a macOS program and logs the system it is made for)"
if [ -f "$demo/kestro-update.log" ]; then show <"$demo/kestro-update.log"; else echo "    (no log written)"; fi

section "7. Applications/ afterwards"
(cd "$demo" && find Applications -mindepth 1 -maxdepth 1 | LC_ALL=C sort |
	while IFS= read -r top; do find "$top" -maxdepth 3 | LC_ALL=C sort; done) |
while IFS= read -r path; do
	if [ -d "$demo/$path" ] && [ ! -h "$demo/$path" ]; then echo "$path/"; else echo "$path"; fi
done | show
for bundle in Kestro.app Kestro.app.bak; do
	v=$demo/Applications/$bundle/Contents/Resources/version.txt
	if [ -f "$v" ]; then echo "    $bundle is version $(cat "$v")"; else echo "    $bundle: not there"; fi
done

section "8. Tool calls the helper made (STANDIN_CALLS, one per line)"
echo "    (codesign first reads the installed build's designated requirement and checks the new"
echo "    one against it, so that nobody is asked for a password for a build that would be"
echo "    refused. osascript's script runs as root behind the password prompt, with PATH alone"
echo "    in its environment: it copies the new bundle into a folder of its own in root's"
echo "    temporary folder, gives the copy the installed bundle's owner and group and no write"
echo "    for others, reads the installed build's requirement itself and checks the copy against"
echo "    it. Then the copy's own helper, kestro-update --swap, which is no stand-in and so is not"
echo "    listed, writes it out to the disk and exchanges it with the installed bundle in one"
echo "    step, keeping the old one as .bak: a whole bundle is installed at every instant)"
if [ -s "$demo/calls.txt" ]; then show <"$demo/calls.txt"; else echo "    (none)"; fi

exit "$status"
