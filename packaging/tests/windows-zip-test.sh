#!/usr/bin/env bash
# cpack of the Windows build: one folder holding the host, the tools, the
# scripts with CRLF line ends and the manifests, and no test program.
#
#   windows-zip-test.sh CPACK BUILD_DIR
set -u
CPACK=$1
BUILD=$2
# shellcheck source=test-lib.sh
. "$(dirname "$0")/test-lib.sh"

scratch zip
pack "$CPACK" "$BUILD" ZIP
ZIP=$(only_package .zip) || exit 1

WANT=(orvendel_host.exe orvendel-agent.exe orvendel-log.exe orvendel-doctor.exe register.cmd unregister.cmd
  "$HOST_NAME.template.json" "$HOST_NAME.json" README.md)
[ -e "$BUILD/bin/orvendel-tap.exe" ] && WANT+=(orvendel-tap.exe)
[ -f "$SOURCE/extension/manifest.json" ] && WANT+=(extension/manifest.json)

begin "one folder with the host, the tools, the scripts and the manifests; no test program"
if ! problems=$(python3 - "$ZIP" "${WANT[@]}" 2>&1 <<'EOF'
import re, sys, zipfile
names = [n for n in zipfile.ZipFile(sys.argv[1]).namelist() if not n.endswith("/")]
tops = {n.split("/", 1)[0] for n in names}
if len(tops) != 1:
    sys.exit("not one top folder: %s" % sorted(tops))
top = tops.pop()
inner = {n[len(top) + 1:] for n in names}
problems = ["no %s" % w for w in sys.argv[2:] if w not in inner]
for n in sorted(inner):
    if "/" in n and not n.startswith("extension/"):
        problems.append("not flat: %s" % n)
    if re.search(r"(^|/)(test|test-support|node_modules)/|\.test\.m?js$", n):
        problems.append("ships %s" % n)
    if re.search(r"(unit_tests|process_tests|orv-launcher|orvendel-demo|_fuzz|bench)\.exe$", n):
        problems.append("ships the test program %s" % n)
if problems:
    sys.exit("; ".join(problems))
EOF
); then
  fail "$problems"
fi
end

mkdir -p "$T/unpacked"
(cd "$T/unpacked" && python3 -m zipfile -e "$ZIP" .)
TOP=$(ls "$T/unpacked")
DIR="$T/unpacked/$TOP"

begin "the scripts end every line with CRLF; the programs are Windows programs"
for f in register.cmd unregister.cmd; do
  [ -s "$DIR/$f" ] || { fail "no $f"; continue; }
  bare=$(grep -c $'[^\r]$\|^$' "$DIR/$f")
  [ "$bare" -eq 0 ] || fail "$f has $bare lines without CRLF"
  [ "$(tail -c 2 "$DIR/$f" | od -An -tx1 | tr -d ' ')" = 0d0a ] || fail "$f does not end with CRLF"
done
for f in orvendel_host.exe orvendel-agent.exe orvendel-log.exe; do
  [ "$(head -c 2 "$DIR/$f")" = MZ ] || fail "$f is not a Windows program"
done
end

begin "the ready manifest names the host beside it; the template holds both placeholders"
check_manifest_json "$DIR/$HOST_NAME.json" orvendel_host.exe "$REF"
[ "$(grep -c '@HOST_PATH@' "$DIR/$HOST_NAME.template.json")" -eq 1 ] || fail "the template has not one @HOST_PATH@"
[ "$(grep -c '@EXTENSION_ID@' "$DIR/$HOST_NAME.template.json")" -eq 1 ] || fail "the template has not one @EXTENSION_ID@"
end

summary
