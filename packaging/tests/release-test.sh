#!/usr/bin/env bash
# What ./run release left: every file summed in SHA256SUMS and matching it;
# a CycloneDX bill of materials naming each statically linked component with
# the version of the Debian package installed here and its licences; every
# MSI, and every program inside the MSIs and the ZIP, signed.
#
#   release-test.sh RELEASE_DIR CA.pem
set -u
DIR=$1
CA=$2
# shellcheck source=test-lib.sh
. "$(dirname "$0")/test-lib.sh"
scratch release

begin "SHA256SUMS names every file of the release, and each matches"
(cd "$DIR" && sha256sum --strict -c SHA256SUMS) >"$T/sums" 2>&1 || { fail "sha256sum -c"; show "$T/sums"; }
for f in "$DIR"/*; do
  [ "${f##*/}" = SHA256SUMS ] || grep -qF "  ${f##*/}" "$DIR/SHA256SUMS" || fail "${f##*/} is not in SHA256SUMS"
done
for kind in x86.msi x86-user.msi x86.zip x86-symbols.zip cdx.json; do
  compgen -G "$DIR/*-$kind" >/dev/null || compgen -G "$DIR/*.$kind" >/dev/null || fail "no *$kind"
done
end

begin "the bill of materials names each linked component, its package's version and licences"
if ! problems=$(python3 - "$DIR"/*.cdx.json 2>&1 <<'EOF'
import json, subprocess, sys
bom = json.load(open(sys.argv[1], encoding="utf-8"))
problems = []
if (bom.get("bomFormat"), bom.get("specVersion")) != ("CycloneDX", "1.5"):
    problems.append("not CycloneDX 1.5")
found = {c.get("name"): c for c in bom.get("components", [])}
for name in ("mingw-w64 runtime", "winpthreads", "libstdc++", "libgcc", "RapidJSON"):
    c = found.get(name)
    if c is None:
        problems.append("no %s" % name)
        continue
    pkg = {p["name"]: p["value"] for p in c.get("properties", [])}.get("debian:package", "")
    installed = subprocess.run(["dpkg-query", "-W", "-f=${Version}", pkg], capture_output=True, text=True).stdout
    if not c.get("version") or c["version"] != installed:
        problems.append("%s: version %r, %s has %r" % (name, c.get("version"), pkg, installed))
    if not [l for l in c.get("licenses", []) if l.get("license", {}).get("name")]:
        problems.append("%s: no licence" % name)
if problems:
    sys.exit("; ".join(problems))
EOF
); then
  fail "$problems"
fi
end

begin "every MSI, and every program in the MSIs and the ZIP, is signed by the certificate"
files=("$DIR"/*.msi)
for f in "$DIR"/*.msi; do
  mkdir -p "$T/${f##*/}"
  msiextract -C "$T/${f##*/}" "$f" >/dev/null || fail "msiextract ${f##*/}"
done
python3 -m zipfile -e "$(ls "$DIR"/*-x86.zip)" "$T/zip" || fail "cannot unpack the ZIP"
while IFS= read -r -d '' f; do files+=("$f"); done < <(find "$T" -iname '*.exe' -print0)
[ "$(find "$T/zip" -iname '*.exe' | wc -l)" -ge 4 ] || fail "fewer than 4 programs in the ZIP"
for f in "${files[@]}"; do
  osslsigncode verify -CAfile "$CA" -in "$f" >"$T/verify.log" 2>&1 || { fail "${f##*/} does not verify"; show "$T/verify.log"; }
done
end

summary
