#!/usr/bin/env bash
# Builds the per-machine MSI from a Windows build's programs, or with
# --per-user the per-user one (orvendel-user.wxs), which needs no elevation.
#
#   build-msi.sh [--per-user] BIN_DIR VERSION OUT.msi [EXTENSION_IDS]
#
# EXTENSION_IDS: the extension ids the manifest allows, separated by commas
# or blanks (the Chrome Web Store id and the Edge Add-ons id differ: give
# both, Chrome's first); default $ORV_EXTENSION_IDS, else the reference
# extension's id. Each is 32 letters a to p. The first is CHROMEEXTENSIONID's
# default, the second (else the first) EDGEEXTENSIONID's. Needs wixl,
# msibuild (msitools) and python3.
#
# The MSI's properties: CHROMEINSTALL / EDGEINSTALL (0 leaves that browser's
# registration out), CHROMEEXTENSION / EDGEEXTENSION (none, force or offer),
# CHROMEEXTENSIONID / EDGEEXTENSIONID, CHROMEUPDATEURL / EDGEUPDATEURL (https),
# LOGFOLDER / LOGTRACE (1 makes the client's log folder, with the users'
# grant / the ini's Debug=1; per machine only).
# What an install was given is remembered for the next one.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
# contract_fact NAME: a #define of the contract's header, as the host takes it.
contract_fact() {
  sed -n "s/^#define $1 \"\\(.*\\)\"\$/\\1/p" "$HERE/../../contract/contract.h"
}
REFERENCE_ID=$(contract_fact REFERENCE_EXTENSION_ID)
HOST_NAME=$(contract_fact HOST_REGISTERED_NAME)
if [ -z "$REFERENCE_ID" ] || [ -z "$HOST_NAME" ]; then
  echo "build-msi.sh: the contract's header names no host or extension" >&2
  exit 1
fi
# The MSI's own key (HKLM, 32-bit view for this x86 package).
OWN_KEY='SOFTWARE\Orvendel\NativeHost'
HKLM=2
HKCU=1

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
# What the MSIs ship, as the build names it; the WiX source must list the same.
[ -f "$BIN/msi-programs.txt" ] || { echo "build-msi.sh: no $BIN/msi-programs.txt (configure the build first)" >&2; exit 1; }
mapfile -t PROGRAMS <"$BIN/msi-programs.txt"
for f in "${PROGRAMS[@]}"; do
  [ -f "$BIN/$f" ] || { echo "build-msi.sh: no $BIN/$f" >&2; exit 1; }
done
for wxs in orvendel.wxs orvendel-user.wxs; do
  listed=$(grep -o 'Name="[^"]*\.exe"' "$HERE/$wxs" | sed 's/^Name="//; s/"$//' | sort)
  if [ "$listed" != "$(printf '%s\n' "${PROGRAMS[@]}" | sort)" ]; then
    echo "build-msi.sh: $wxs lists $(echo "$listed" | tr '\n' ' ')but the build ships ${PROGRAMS[*]}" >&2
    exit 1
  fi
done

# The properties an install remembers, NAME DEFAULT: the command line wins,
# then what the previous install was given, then the default.
REMEMBERED=(
  "CHROMEINSTALL 1"
  "EDGEINSTALL 1"
  "CHROMEEXTENSION none"
  "EDGEEXTENSION none"
  "CHROMEEXTENSIONID ${ID_LIST[0]}"
  "EDGEEXTENSIONID ${ID_LIST[1]:-${ID_LIST[0]}}"
  "CHROMEUPDATEURL https://clients2.google.com/service/update2/crx"
  "EDGEUPDATEURL https://edge.microsoft.com/extensionwebstorebase/v1/crx"
  "LOGFOLDER 0"
  "LOGTRACE 0"
)

STAGE=$(mktemp -d "${TMPDIR:-/tmp}/orv-msi.XXXXXX")
trap 'rm -rf "$STAGE"' EXIT
MSI=$STAGE/product.msi

# The manifest: the template's fields, the host beside it (Windows browsers
# take a path relative to the manifest's folder), every id once, in order.
write_manifest() { # OUT
  python3 - "$HERE/../manifest/host.template.json.in" "$HOST_NAME" "$1" "${ID_LIST[@]}" <<'PY'
import json, sys
template, name, out, ids = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
with open(template, encoding="utf-8") as f:
    manifest = json.load(f)
manifest["name"] = name
# A placeholder the build fills in elsewhere must not ship unfilled here.
if "@ORV_" in json.dumps(manifest):
    sys.exit("build-msi.sh: the manifest template has a placeholder this script does not fill in")
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
}

# Table edits, gathered and applied by one msibuild. No value holds a
# single quote.
QUERIES=()
sql() { QUERIES+=(-q "$1"); }
# set_property ACTION PROPERTY VALUE SEQUENCE CONDITION: an immediate
# type-51 action, in both sequences, between AppSearch (50) and
# LaunchConditions (100).
set_property() {
  local seq
  sql "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('$1', 51, '$2', '$3')"
  for seq in InstallExecuteSequence InstallUISequence; do
    sql "INSERT INTO \`$seq\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('$1', '$5', $4)"
  done
}
# search PROPERTY SIGNATURE ROOT KEY NAME: AppSearch of a registry value, raw.
# wixl schedules the AppSearch action only for a source with a RegistrySearch
# of its own: without it the rows below would never be read.
APPSEARCH_SCHEDULED=
search() {
  sql "INSERT INTO \`RegLocator\` (\`Signature_\`, \`Root\`, \`Key\`, \`Name\`, \`Type\`) VALUES ('$2', $3, '$4', '$5', 2)"
  sql "INSERT INTO \`AppSearch\` (\`Property\`, \`Signature_\`) VALUES ('$1', '$2')"
  [ -z "$APPSEARCH_SCHEDULED" ] || return 0
  APPSEARCH_SCHEDULED=1
  local seq
  for seq in InstallExecuteSequence InstallUISequence; do
    msiinfo export "$MSI" "$seq" | tr -d '\r' | cut -f1 | grep -qx AppSearch ||
      sql "INSERT INTO \`$seq\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('AppSearch', '', 50)"
  done
}
condition() { # COMPONENT CONDITION
  sql "UPDATE \`Component\` SET \`Condition\` = '$2' WHERE \`Component\` = '$1'"
}
launch_condition() { # CONDITION MESSAGE
  sql "INSERT INTO \`LaunchCondition\` (\`Condition\`, \`Description\`) VALUES ('$1', '$2')"
}

# remember_properties COMPONENT ROOT KEY: each remembered property P read
# back from KEY into SAVED_P, restored when not given, and written there
# again as given (empty: not given, so that a default follows the build
# that installs). EFFECTIVE_P, given or default, is what the install uses.
remember_properties() {
  local component=$1 root=$2 key=$3 entry name default
  for entry in "${REMEMBERED[@]}"; do
    name=${entry%% *} default=${entry#* }
    search "SAVED_$name" "Saved$name" "$root" "$key" "$name"
    set_property "Restore$name" "$name" "[SAVED_$name]" 51 "NOT $name AND SAVED_$name"
    set_property "Given$name" "EFFECTIVE_$name" "[$name]" 52 "$name"
    set_property "Default$name" "EFFECTIVE_$name" "$default" 52 "NOT $name"
    sql "INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Value\`, \`Component_\`) VALUES ('Remember$name', $root, '$key', '$name', '[$name]', '$component')"
  done
}

# extension_rollout PREFIX NAME EXTENSIONS_KEY: one browser's extension
# components (ForceNAME, OfferNAME) and the refusal of an extension id the
# manifest does not allow. An existing update_url of an allowed id's
# external extension key, not ours, sets PREFIXOFFERTAKEN: one search per
# id, since a search runs before the remembered id is known.
extension_rollout() {
  local p=$1 name=$2 extensions=$3 n=0 id message
  for id in "${ID_LIST[@]}"; do
    n=$((n + 1))
    set_property "${name}IdAllowed$n" "${p}EXTENSIONIDALLOWED" 1 53 "EFFECTIVE_${p}EXTENSIONID=\"$id\""
    search "${p}OFFER$n" "${name}Offer$n" "$HKLM" "$extensions\\$id" update_url
    set_property "${name}OfferTaken$n" "${p}OFFERTAKEN" 1 53 "EFFECTIVE_${p}EXTENSIONID=\"$id\" AND ${p}OFFER$n"
  done
  message="${p}EXTENSIONID is \"[EFFECTIVE_${p}EXTENSIONID]\", which the host manifest does not allow: ${ID_LIST[*]} expected."
  [ "${#message}" -le 255 ] || message="${p}EXTENSIONID is \"[EFFECTIVE_${p}EXTENSIONID]\", which the host manifest does not allow."
  launch_condition "Installed OR EFFECTIVE_${p}EXTENSION~=\"none\" OR ${p}EXTENSIONIDALLOWED" "$message"
  condition "Force$name" "EFFECTIVE_${p}EXTENSION~=\"force\" AND (NOT ${p}FORCELISTTAKEN OR ${p}FORCELISTOURS)"
  condition "Offer$name" "EFFECTIVE_${p}EXTENSION~=\"offer\" AND (NOT ${p}OFFERTAKEN OR ${p}OFFEROURS = EFFECTIVE_${p}EXTENSIONID)"
}

# table NAME COLUMNS TYPES KEYS ROW...: a table wixl does not make, with its
# rows, each a tab-separated line; added at once, before the queries.
table() {
  local name=$1 columns=$2 types=$3 keys=$4
  shift 4
  { printf '%s\n' "$columns" "$types" "$name"$'\t'"$keys"; printf '%s\n' "$@"; } >"$STAGE/$name.idt"
  msibuild "$MSI" -i "$STAGE/$name.idt"
}

# client_log: the client's dump folder (LOGFOLDER) with the users' right to
# add and append to files, and Debug=1 in its ini (LOGTRACE). Each is made
# only where none was there before the install, or where a previous install
# made it (its mark in our key): a removal then takes away only what the MSI
# made. wixl has no DirectorySearch, IniFile nor MsiLockPermissionsEx.
client_log() {
  # The search's Path takes properties (DrLocator); with a Signature row of
  # the same name it looks for that file in the folder.
  table DrLocator $'Signature_\tParent\tPath\tDepth' $'s72\tS72\tS255\tI2' $'Signature_\tParent\tPath' \
    $'LogFolderFound\t\t[WindowsFolder]stelvo\\dump\t0' \
    $'LogIniFound\t\t[WindowsFolder]stelvo\\policy\t0'
  sql "INSERT INTO \`Signature\` (\`Signature\`, \`FileName\`) VALUES ('LogIniFound', 'stelvo.ini')"
  sql "INSERT INTO \`AppSearch\` (\`Property\`, \`Signature_\`) VALUES ('LOGFOLDERFOUND', 'LogFolderFound')"
  sql "INSERT INTO \`AppSearch\` (\`Property\`, \`Signature_\`) VALUES ('LOGINIFOUND', 'LogIniFound')"
  condition LogFolder 'EFFECTIVE_LOGFOLDER = "1" AND (NOT LOGFOLDERFOUND OR LOGFOLDEROURS)'
  condition LogTrace 'EFFECTIVE_LOGTRACE = "1" AND (NOT LOGINIFOUND OR LOGTRACEOURS)'
  # Users (S-1-5-32-545) may read, add files and append (icacls's RX,W),
  # passed on to the log files; SYSTEM and Administrators keep full control
  # even where the DACL would not take the inherited entries.
  table MsiLockPermissionsEx $'MsiLockPermissionsEx\tLockObject\tTable\tSDDLText\tCondition' \
    $'s72\ts72\ts32\ts255\tS255' MsiLockPermissionsEx \
    $'LogFolderUsers\tStelvoDump\tCreateFolder\tD:AI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1201bf;;;BU)\t'
  # msidbIniFileActionAddLine (0): removed again with the component.
  table IniFile $'IniFile\tFileName\tDirProperty\tSection\tKey\tValue\tAction\tComponent_' \
    $'s72\tl255\tS72\tl96\tl128\tl255\ti2\ts72' IniFile \
    $'LogTraceDebug\tstelvo.ini\tStelvoPolicy\tRoot\tDebug\t1\t0\tLogTrace'
  # The ini the install made goes with it (msidbRemoveFileInstallModeOnRemove),
  # after its line (RemoveIniValues before RemoveFiles): none is left behind
  # to keep a later install from making it again.
  sql "INSERT INTO \`RemoveFile\` (\`FileKey\`, \`Component_\`, \`FileName\`, \`DirProperty\`, \`InstallMode\`) VALUES ('LogTraceIni', 'LogTrace', 'stelvo.ini', 'StelvoPolicy', 2)"
  # Their parent, stelvo, is each one's folder too: removed when left empty.
  sql "INSERT INTO \`CreateFolder\` (\`Directory_\`, \`Component_\`) VALUES ('Stelvo', 'LogFolder')"
  sql "INSERT INTO \`CreateFolder\` (\`Directory_\`, \`Component_\`) VALUES ('Stelvo', 'LogTrace')"
  sql "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('RemoveIniValues', '', 3400)"
  sql "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('WriteIniValues', '', 5100)"
}

# Nor AllowSameVersionUpgrades: the upgrade row takes its own version too
# (msidbUpgradeAttributesMigrateFeatures | msidbUpgradeAttributesVersionMaxInclusive,
# https://learn.microsoft.com/windows/win32/msi/upgrade-table), so that an MSI
# rebuilt at the same version, with other extension ids, replaces the one
# installed instead of landing beside it.
# Attributes is part of the table's key, which an UPDATE cannot change: the
# table goes out, and back in with that row mended.
# The older product goes first, inside the transaction: it removes what it
# wrote, under the keys its own ids name, before this one writes. (wixl puts
# it after InstallFinalize, where Windows keeps a component this product
# shares by GUID, so an older offer under another id would stay.)
major_upgrade() {
  msiinfo export "$MSI" Upgrade | tr -d '\r' |
    awk -F'\t' -v OFS='\t' '$7 == "WIX_UPGRADE_DETECTED" && $5 == 1 { $5 = 513 } 1' >"$STAGE/Upgrade.idt"
  msibuild "$MSI" -i "$STAGE/Upgrade.idt"
  sql "UPDATE \`InstallExecuteSequence\` SET \`Sequence\` = 1501 WHERE \`Action\` = 'RemoveExistingProducts'"
}

# The properties a per-machine install passes on from the command line.
secure_properties() {
  local secure entry names=""
  secure=$(msiinfo export "$MSI" Property | tr -d '\r' | sed -n 's/^SecureCustomProperties\t//p')
  for entry in "${REMEMBERED[@]}"; do names+="${names:+;}${entry%% *}"; done
  sql "UPDATE \`Property\` SET \`Value\` = '${secure:+$secure;}$names' WHERE \`Property\` = 'SecureCustomProperties'"
}

mkdir "$STAGE/bin"
for f in "${PROGRAMS[@]}"; do cp "$BIN/$f" "$STAGE/bin/"; done
cp "$HERE/$WXS" "$STAGE/"
write_manifest "$STAGE/$HOST_NAME.json"
# wixl dates the cabinet's files from the copies: the commit's time, as the
# programs' own time stamps.
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$HERE" log -1 --format=%ct 2>/dev/null || true)}
if [[ "$epoch" =~ ^[0-9]+$ ]]; then touch -d "@$epoch" "$STAGE/bin/"* "$STAGE/$HOST_NAME.json"; fi
(cd "$STAGE" && wixl -a x86 -D Version="$VERSION" -D BinDir=bin -D Manifest="$HOST_NAME.json" -D HostName="$HOST_NAME" \
  -o product.msi "$WXS")

# wixl takes no <Condition> inside a component: the conditions go into the
# built table.
condition RegChrome 'EFFECTIVE_CHROMEINSTALL <> "0"'
condition RegEdge 'EFFECTIVE_EDGEINSTALL <> "0"'
if [ "$WXS" = orvendel.wxs ]; then
  remember_properties Settings "$HKLM" "$OWN_KEY"
  extension_rollout CHROME Chrome 'SOFTWARE\Google\Chrome\Extensions'
  extension_rollout EDGE Edge 'SOFTWARE\Microsoft\Edge\Extensions'
  client_log
else
  # A user cannot write the machine's policies, and the per-user package
  # rolls out no extension: only the browser switches are its own.
  REMEMBERED=("${REMEMBERED[@]:0:2}")
  remember_properties Version "$HKCU" "$OWN_KEY"
fi
major_upgrade
secure_properties
msibuild "$MSI" "${QUERIES[@]}"

mkdir -p "$(dirname "$OUT")"
mv "$MSI" "$OUT"
echo "built $OUT (version $VERSION, extension ids: ${ID_LIST[*]})"
