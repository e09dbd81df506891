#!/usr/bin/env bash
# Checks the manual page against the code, where the two can drift apart: doc/kestro-update.1
# must render without a warning, and its DIAGNOSTICS must hold every fixed piece of every
# message the helper writes (each run of adjacent string literals in a log_line(...) or fail(...)
# call, or in a constexpr char k...[] text, in src/run, src/apply and src/cli), compared with
# blanks and line breaks squeezed. Prints each piece that is missing; exit status 1 then.
# Renders with mandoc where there is one (a Mac has no groff), else with groff.
# Usage: scripts/check-manual.sh     (from any directory)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/require.sh
. scripts/lib/needs.sh
require_named "to render the manual page" "${needs_manual[@]}"

page=doc/kestro-update.1
if command -v mandoc >/dev/null 2>&1; then
	render=(mandoc -T ascii -W warning)
else
	render=(groff -man -Tascii -ww)
fi
warnings=$("${render[@]}" "$page" 2>&1 >/dev/null || true)
if [ -n "$warnings" ]; then
	echo "check-manual.sh: $page renders with warnings:"
	echo "$warnings"
	exit 1
fi
# The section as one line: overstrike (bold, underline) dropped, blanks and breaks squeezed.
diagnostics=$("${render[@]}" "$page" 2>/dev/null | perl -0777 -ne \
	's/.\x08//g; /^DIAGNOSTICS\n(.*?)^SEE ALSO/ms or die "no DIAGNOSTICS\n"; ($_ = $1) =~ s/\s+/ /g; print')

# The fixed pieces, one per line, as the code writes them (escapes undone, blanks squeezed).
pieces=$(perl -e '
	for my $file (@ARGV) {
		open my $in, "<", $file or die "$file: $!\n";
		my $src = do { local $/; <$in> };
		my ($depth, $await, $constant, $piece) = (0, 0, 0);
		my $flush = sub {
			if (defined $piece) { $piece =~ s/\s+/ /g; $piece =~ s/^ | $//g; print "$piece\n" if $piece ne "" }
			undef $piece;
		};
		# Tokens: a string, a comment, a character, a call that takes a message, a text constant,
		# a parenthesis, the end of a statement, blanks, anything else.
		while ($src =~ m{\G(?:("(?:[^"\\\n]|\\.)*")|(//[^\n]*|/\*.*?\*/)|(\x27(?:[^\x27\\\n]|\\.)*\x27)
				|(\b(?:log_line|fail)\b)|(constexpr\s+char\s+k\w+\[\]\s*=)|([()])|(;)|(\s+)|(.))}gsx) {
			next if defined $2 || defined $8;
			if (defined $1) {
				next unless $depth > 0 || $constant;
				(my $text = substr($1, 1, -1)) =~ s/\\(.)/$1 eq "n" ? "\n" : $1/ge;
				$piece .= $text;
				next;
			}
			$flush->();
			if (defined $4) { $await = 1 }
			elsif (defined $5) { $constant = 1 }
			elsif (defined $7) { $constant = $await = 0 }
			elsif (defined $6 && $6 eq "(") { $depth++ if $depth > 0 || $await; $await = 0 }
			elsif (defined $6) { $depth-- if $depth > 0 }
			else { $await = 0 }
		}
	}' src/run/*.cpp src/apply/*.cpp src/cli/*.cpp | sort -u)

missing=0
while IFS= read -r piece; do
	case " $diagnostics " in
	*"$piece"*) ;;
	*)
		echo "check-manual.sh: not in the DIAGNOSTICS of $page: \"$piece\""
		missing=$((missing + 1))
		;;
	esac
done <<<"$pieces"
[ "$missing" -eq 0 ] || exit 1
echo "manual: renders cleanly; its DIAGNOSTICS hold all $(wc -l <<<"$pieces" | tr -d ' ') message pieces of the code"
