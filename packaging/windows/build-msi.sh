#!/usr/bin/env bash
# Builds the per-machine MSI from a Windows build's programs, or with
# --per-user the per-user one (orvendel-user.wxs), which needs no elevation.
#
#   build-msi.sh [--per-user] BIN_DIR VERSION OUT.msi [EXTENSION_IDS]
#
# EXTENSION_IDS: the extension ids the manifest allows, separated by commas
# or blanks (the Chrome Web Store id and the Edge Add-ons id differ: give
# both); default $ORV_EXTENSION_IDS, else the reference extension's id. Each
# is 32 letters a to p. Needs wixl, msibuild (msitools) and python3.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
REFERENCE_ID=hmkgojdnhdinedldemacipdhgnbpllgk
HOST_NAME=com.orvendel.native_host

WXS=orvendel.wxs
if [ "${1:-}" = --per-user ]; then
  WXS=orvendel-user.wxs
  shift
fi
if [ $# -lt 3 ] || [ $# -gt 4 ]; then
  echo "usage: build-msi.sh [--per-user] BIN_DIR VERSION OUT.msi [EXTENSION_IDS]" >&2
  exit 2
fi
BIN=$1 VERSION=$2 OUT=$3
IDS=${4:-${ORV_EXTENSION_IDS:-$REFERENCE_ID}}

if ! [[ "$VERSION" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]]; then
  echo "build-msi.sh: version '$VERSION' is not MAJOR.MINOR.PATCH" >&2
  exit 2
fi
read -r -a ID_LIST <<<"${IDS//,/ }"
if [ "${#ID_LIST[@]}" -eq 0 ]; then
  echo "build-msi.sh: no extension id" >&2
  exit 2
fi
for id in "${ID_LIST[@]}"; do
  if ! [[ "$id" =~ ^[a-p]{32}$ ]]; then
    echo "build-msi.sh: invalid extension id '$id': 32 letters a to p expected" >&2
    exit 2
  fi
done
PROGRAMS=(orvendel_host.exe orvendel-log.exe orvendel-tap.exe orvendel-doctor.exe)
for f in "${PROGRAMS[@]}"; do
  [ -f "$BIN/$f" ] || { echo "build-msi.sh: no $BIN/$f" >&2; exit 1; }
done

STAGE=$(mktemp -d "${TMPDIR:-/tmp}/orv-msi.XXXXXX")
trap 'rm -rf "$STAGE"' EXIT
mkdir "$STAGE/bin"
for f in "${PROGRAMS[@]}"; do cp "$BIN/$f" "$STAGE/bin/"; done
cp "$HERE/$WXS" "$STAGE/"

# The manifest: the template's fields, the host beside it (Windows browsers
# take a path relative to the manifest's folder), every id once, in order.
python3 - "$HERE/../manifest/$HOST_NAME.template.json" "$STAGE/$HOST_NAME.json" "${ID_LIST[@]}" <<'PY'
import json, sys
template, out, ids = sys.argv[1], sys.argv[2], sys.argv[3:]
with open(template, encoding="utf-8") as f:
    manifest = json.load(f)
manifest["path"] = "orvendel_host.exe"
seen = []
for i in ids:
    if i not in seen:
        seen.append(i)
manifest["allowed_origins"] = ["chrome-extension://%s/" % i for i in seen]
with open(out, "w", encoding="utf-8", newline="\r\n") as f:
    json.dump(manifest, f, indent=2)
    f.write("\n")
PY

(cd "$STAGE" && wixl -a x86 -D Version="$VERSION" -D BinDir=bin -D Manifest="$HOST_NAME.json" \
  -o product.msi "$WXS")

# wixl takes no <Condition> inside a component: the conditions go into the
# built table, and the properties become ones a per-machine install passes
# on from the command line.
msibuild "$STAGE/product.msi" -q "UPDATE \`Component\` SET \`Condition\` = 'CHROMEINSTALL <> \"0\"' WHERE \`Component\` = 'RegChrome'"
msibuild "$STAGE/product.msi" -q "UPDATE \`Component\` SET \`Condition\` = 'EDGEINSTALL <> \"0\"' WHERE \`Component\` = 'RegEdge'"
# Nor AllowSameVersionUpgrades: the upgrade row takes its own version too
# (msidbUpgradeAttributesMigrateFeatures | msidbUpgradeAttributesVersionMaxInclusive,
# https://learn.microsoft.com/windows/win32/msi/upgrade-table), so that an MSI
# rebuilt at the same version, with other extension ids, replaces the one
# installed instead of landing beside it.
# Attributes is part of the table's key, which an UPDATE cannot change: the
# table goes out, and back in with that row mended.
msiinfo export "$STAGE/product.msi" Upgrade | tr -d '\r' |
  awk -F'\t' -v OFS='\t' '$7 == "WIX_UPGRADE_DETECTED" && $5 == 1 { $5 = 513 } 1' >"$STAGE/Upgrade.idt"
msibuild "$STAGE/product.msi" -i "$STAGE/Upgrade.idt"
secure=$(msiinfo export "$STAGE/product.msi" Property | tr -d '\r' | sed -n 's/^SecureCustomProperties\t//p')
msibuild "$STAGE/product.msi" -q "UPDATE \`Property\` SET \`Value\` = '${secure:+$secure;}CHROMEINSTALL;EDGEINSTALL' WHERE \`Property\` = 'SecureCustomProperties'"

mkdir -p "$(dirname "$OUT")"
mv "$STAGE/product.msi" "$OUT"
echo "built $OUT (version $VERSION, extension ids: ${ID_LIST[*]})"
