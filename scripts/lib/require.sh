# Brings what a script needs, or says exactly how to get it. Sourced by the scripts in
# scripts/ (bash 3.2 and later, so macOS's own bash will do).
#
#   require "WHY" PROBE=DEBIAN[:BREW] ...
#
# Each PROBE says how to tell that a need is met: cmd:NAME (a command on PATH), file:PATH or
# glob:PATTERN (something on disk); alternatives are separated by "|" (cmd:make|ninja). DEBIAN is the Debian (and Ubuntu) package that meets it,
# BREW the Homebrew formula (the Debian name when left out; "-" when macOS has it already).
# Unmet needs are installed with apt-get when running as root or with password-less sudo, or
# with Homebrew on macOS where it is present; otherwise the script stops with one message that
# names the packages and the command that installs them.
#
#   require_named "WHY" PROBE=DEBIAN[:BREW] ...
#
# The same, but it never installs: an unmet need stops the script with that one message. For
# the checks that ctest runs, whose needs the test command installs before it starts them.

require() {
	local why=$1 entry probe packages deb brew
	shift
	local debs="" brews="" unmet=""
	for entry in "$@"; do
		probe=${entry%%=*}
		packages=${entry#*=}
		deb=${packages%%:*}
		brew=${packages#*:}
		if require_met "$probe"; then continue; fi
		unmet="$unmet $probe"
		case " $debs " in *" $deb "*) ;; *) debs="$debs $deb" ;; esac
		[ "$brew" = - ] || case " $brews " in *" $brew "*) ;; *) brews="$brews $brew" ;; esac
	done
	[ -n "$unmet" ] || return 0
	debs=${debs# }
	brews=${brews# }

	if [ "${require_install:-yes}" = no ]; then
		if [ "$(uname -s)" = Darwin ]; then
			require_stop "$brews" "brew install $brews"
		elif command -v apt-get >/dev/null 2>&1; then
			local sudo=""
			[ "$(id -u)" -eq 0 ] || sudo="sudo "
			require_stop "$debs" \
				"${sudo}apt-get update && ${sudo}apt-get install -y --no-install-recommends $debs"
		fi
		require_stop "$debs" "your system's packages that match these Debian ones"
	fi
	if [ "$(uname -s)" = Darwin ]; then
		if [ -n "$brews" ] && command -v brew >/dev/null 2>&1; then
			echo "Installing with Homebrew, $why: $brews"
			# shellcheck disable=SC2086 # one word per formula
			brew install $brews || require_stop "$brews" "brew install $brews"
		else
			require_stop "$brews" "brew install $brews (Homebrew: https://brew.sh)"
		fi
	elif command -v apt-get >/dev/null 2>&1; then
		local sudo=""
		if [ "$(id -u)" -ne 0 ]; then
			if command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
				sudo=sudo
			else
				require_stop "$debs" \
					"sudo apt-get update && sudo apt-get install -y --no-install-recommends $debs"
			fi
		fi
		echo "Installing with apt-get, $why: $debs"
		local log
		log=$(mktemp)
		# shellcheck disable=SC2086 # an empty $sudo is no word; one word per package
		if ! { $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
			$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
				--no-install-recommends $debs; } >"$log" 2>&1; then
			cat "$log" >&2
			rm -f "$log"
			require_stop "$debs" "apt-get update && apt-get install -y --no-install-recommends $debs"
		fi
		rm -f "$log"
	else
		require_stop "$debs" "your system's packages that match these Debian ones"
	fi

	hash -r
	for probe in $unmet; do
		require_met "$probe" || require_stop "$debs" "(installed, yet $probe is still missing)"
	done
}

require_named() {
	require_install=no require "$@"
}

# require_met PROBE: true when the need that PROBE describes is met.
require_met() {
	local kind=${1%%:*} each
	local IFS='|'
	for each in ${1#*:}; do
		case $kind in
		cmd) command -v "$each" >/dev/null 2>&1 && return 0 ;;
		file) [ -e "$each" ] && return 0 ;;
		glob) compgen -G "$each" >/dev/null && return 0 ;;
		*)
			echo "require: unknown probe '$1'" >&2
			exit 2
			;;
		esac
	done
	return 1
}

# require_stop PACKAGES HOW: the one message when the needs cannot be met here.
require_stop() {
	echo "${0##*/}: needs these packages, which are missing: $1" >&2
	echo "${0##*/}: install them with: $2" >&2
	exit 1
}
