#!/usr/bin/env bash
# The MSI under Wine in a 64-bit prefix, as on 64-bit Windows: install,
# properties, the extension's rollout, remembered properties, version
# resources, major upgrade, a same-version rebuild, refused downgrade and a
# clean removal, checked through reg.exe, the files and orv-verinfo.
#
#   windows-msi-test.sh MSI BIN_DIR VERSION VERINFO_EXE DOCTOR_EXE EXTENSION_IDS [LAUNCHER_EXE]
#
# DOCTOR_EXE, a doctor that runs here, checks the default install: all OK.
# BIN_DIR holds the programs the MSI was built from: the test builds an older
# MSI of them for the upgrade. With LAUNCHER_EXE (where the installed
# programs can run), the installed host is also started under it, named
# chrome.exe. Needs the prefix of `./run wine-test`'s kind (WINEPREFIX, WINE;
# WINEARCH=win64). Every Wine command writes to a file.
set -u
MSI=$1
BIN=$2
VERSION=$3
VERINFO=$4
DOCTOR=$5
IDS=$6
LAUNCHER=${7:-}
# shellcheck source=test-lib.sh
. "$(dirname "$0")/test-lib.sh"

need_wine64

DIR="$WINEPREFIX/drive_c/Program Files (x86)/Orvendel"
WIN_DIR='C:\Program Files (x86)\Orvendel'
CHROME_KEY="HKLM\\SOFTWARE\\Google\\Chrome\\NativeMessagingHosts\\$HOST_NAME"
EDGE_KEY="HKLM\\SOFTWARE\\Microsoft\\Edge\\NativeMessagingHosts\\$HOST_NAME"
OTHER_KEY='HKLM\SOFTWARE\Google\Chrome\NativeMessagingHosts\com.example.other'
UNINSTALL='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall'
OWN_KEY='HKLM\SOFTWARE\Orvendel\NativeHost'
OLD_VERSION=0.0.1
# Per browser: the forcelist policy key (shared by both views), the external
# extensions key (read in the 32-bit view), the store, the default id.
declare -A FORCELIST=([chrome]='HKLM\SOFTWARE\Policies\Google\Chrome\ExtensionInstallForcelist'
  [edge]='HKLM\SOFTWARE\Policies\Microsoft\Edge\ExtensionInstallForcelist')
declare -A EXTENSIONS=([chrome]='HKLM\SOFTWARE\Google\Chrome\Extensions' [edge]='HKLM\SOFTWARE\Microsoft\Edge\Extensions')
declare -A STORE=([chrome]=https://clients2.google.com/service/update2/crx
  [edge]=https://edge.microsoft.com/extensionwebstorebase/v1/crx)
read -r -a ID_LIST <<<"${IDS//,/ }"
declare -A DEFAULT_ID=([chrome]=${ID_LIST[0]} [edge]=${ID_LIST[1]:-${ID_LIST[0]}})
# What an administrator wrote there, one "SUBKEY\NAME=DATA" a line (as tree prints).
declare -A ADMIN_FORCELIST=() ADMIN_EXTENSIONS=()
msi_stage orv-msi
cp "$MSI" "$STAGE/product.msi"
# An older MSI, whose Chrome default id is another, and one of the same
# version for other extensions.
if ! bash "$SOURCE/packaging/windows/build-msi.sh" "$BIN" "$OLD_VERSION" "$STAGE/old.msi" "$ID_B,$IDS" >"$OUT" 2>&1 ||
  ! bash "$SOURCE/packaging/windows/build-msi.sh" "$BIN" "$VERSION" "$STAGE/same.msi" "$ID_A" >"$OUT" 2>&1; then
  show "$OUT"
  exit 1
fi

expect_absent() { # KEY VIEW
  if reg query "$1" "$2"; then fail "$1 $2 is there"; fi
}
# The installed products of ours: their versions, one a line.
products() {
  reg query "$UNINSTALL" /s /reg:32 || true
  tr -d '\r' <"$REG_OUT" | awk '
    /^HKEY/ { name = 0; version = "" }
    /DisplayName/ && /Orvendel native messaging host/ { name = 1 }
    /DisplayVersion/ { version = $NF }
    name && version != "" { print version; name = 0 }'
}
expect_products() { # VERSIONS...: exactly these installed
  local got want
  got=$(products | sort | tr '\n' ' ')
  want=$(printf '%s\n' "$@" | sed '/^$/d' | sort | tr '\n' ' ')
  [ "$got" = "$want" ] || fail "installed products: '$got', expected '$want'"
}
expect_installed() { # the four files and what they say
  local f
  for f in orvendel_host.exe orvendel-log.exe orvendel-tap.exe orvendel-doctor.exe "$HOST_NAME.json"; do
    [ -f "$DIR/$f" ] || fail "no $f in $WIN_DIR"
  done
  # shellcheck disable=SC2086 # the ids are words
  check_manifest_json "$DIR/$HOST_NAME.json" orvendel_host.exe ${IDS//,/ }
}
expect_removed() {
  [ -e "$DIR" ] && fail "$WIN_DIR is still there: $(ls "$DIR")"
  [ "$(log_state)" = - ] || fail "the client's log is still there: $(log_state)"
  expect_absent "$CHROME_KEY" /reg:32
  expect_absent "$EDGE_KEY" /reg:32
  expect_absent "$OWN_KEY" /reg:32
  expect_rollout none none
  expect_products
}
# The client's log under the Windows folder: "-", else "dump" (empty),
# "dump+log", "ini=LINE;LINE..." or an empty "stelvo".
STELVO="$WINEPREFIX/drive_c/windows/stelvo"
log_state() {
  local s=
  [ ! -d "$STELVO/dump" ] || s=dump$([ -z "$(ls -A "$STELVO/dump")" ] || echo +log)
  [ ! -f "$STELVO/policy/stelvo.ini" ] || s+="${s:+ }ini=$(tr -d '\r' <"$STELVO/policy/stelvo.ini" | paste -sd';')"
  [ -n "$s" ] || [ ! -e "$STELVO" ] || s=stelvo
  echo "${s:--}"
}
# tree KEY VIEW: the values of the key and its subkeys, one "SUBKEY\NAME=DATA"
# (or "NAME=DATA") a line, sorted; nothing when the key is absent.
tree() {
  reg query "$1" /s "$2" || return 0
  tr -d '\r' <"$REG_OUT" | awk -v skip=$((${#1} + 16)) '
    /^HKEY_/ { key = substr($0, skip); if (key != "") key = key "\\"; next }
    match($0, /    REG_[A-Z_]+    /) { print key substr($0, 5, RSTART - 5) "=" substr($0, RSTART + RLENGTH) }' |
    sort
}
expect_tree() { # KEY VIEW LINES...: exactly these
  local got want
  got=$(tree "$1" "$2")
  want=$(printf '%s\n' "${@:3}" | sed '/^$/d' | sort)
  [ "$got" = "$want" ] || fail "$1 $2: $(echo "$got" | tr '\n' ' ')expected $(echo "$want" | tr '\n' ' ')"
}
# expect_rollout CHROME EDGE: each "none", "force [ID [URL]]" or "offer [ID
# [URL]]" (default: the browser's default id, its store): our entry beside
# what the administrator wrote, in the view the browser reads.
expect_rollout() {
  local b mode id url force offer
  for b in chrome edge; do
    read -r mode id url <<<"$1"
    shift
    id=${id:-${DEFAULT_ID[$b]}} url=${url:-${STORE[$b]}} force='' offer=''
    case "$mode" in
      force) force="5198422=$id;$url" ;;
      offer) offer="$id\\update_url=$url" ;;
    esac
    expect_tree "${FORCELIST[$b]}" /reg:64 "$force" "${ADMIN_FORCELIST[$b]:-}"
    expect_tree "${EXTENSIONS[$b]}" /reg:32 "$offer" "${ADMIN_EXTENSIONS[$b]:-}"
    expect_tree "${EXTENSIONS[$b]}" /reg:64
  done
}
# expect_own_key VERSION NAME=VALUE...: the MSI's key in the 32-bit view
# holds the version, every remembered property as given (empty if not) and
# the given marks.
expect_own_key() {
  local name lines=("Version=$1")
  shift
  for name in CHROMEINSTALL EDGEINSTALL CHROMEEXTENSION EDGEEXTENSION CHROMEEXTENSIONID EDGEEXTENSIONID \
    CHROMEUPDATEURL EDGEUPDATEURL LOGFOLDER LOGTRACE; do
    printf '%s\n' "$@" | grep -q "^$name=" || lines+=("$name=")
  done
  expect_tree "$OWN_KEY" /reg:32 "${lines[@]}" "$@"
  expect_absent "$OWN_KEY" /reg:64
}
# rollout_case PROPERTIES CHROME EDGE MARKS: installed with those
# properties, the extension as expect_rollout takes it, the properties and
# the marks of what was written remembered; then removed, leaving only the
# administrator's.
rollout_case() {
  # shellcheck disable=SC2086 # the properties and marks are words
  msi /i "$WIN_STAGE\\product.msi" $1
  expect_rc 0 "msiexec /i $1"
  expect_rollout "$2" "$3"
  # shellcheck disable=SC2086
  expect_own_key "$VERSION" $1 $4
  msi /x "$WIN_STAGE\\product.msi"
  expect_rc 0 "msiexec /x"
  expect_removed
}

begin "install: the files in Program Files (x86), both browsers' keys in the 32-bit view"
reg add "$OTHER_KEY" /ve /d 'C:\other\other.json' /f /reg:32 || fail "cannot add another host's key"
msi /i "$WIN_STAGE\\product.msi"
expect_rc 0 "msiexec /i"
expect_installed
expect_value "$CHROME_KEY" /reg:32 "$WIN_DIR\\$HOST_NAME.json"
expect_value "$EDGE_KEY" /reg:32 "$WIN_DIR\\$HOST_NAME.json"
expect_absent "$CHROME_KEY" /reg:64
expect_absent "$EDGE_KEY" /reg:64
expect_own_key "$VERSION"
expect_rollout none none
expect_products "$VERSION"
end

begin "the doctor finds nothing to warn of in the default install"
for b in chrome edge; do
  wine_run "$STAGE/doctor.json" "$OUT" 60 "$DOCTOR" --browser "$b" --json
  nothing_to_warn_of "$STAGE/doctor.json" "$b" || { fail "$b: a WARN or FAIL after the install"; show "$OUT"; }
done
end

begin "the installed programs carry the version $VERSION"
timeout -k 5 60 "$WINE" "$VERINFO" --expect "$VERSION" "$WIN_DIR" >"$OUT" 2>&1 </dev/null || {
  fail "orv-verinfo"
  show "$OUT"
}
[ "$(grep -c '^  ProductVersion=' "$OUT")" -eq 4 ] || { fail "not four programs"; show "$OUT"; }
timeout -k 5 60 "$WINE" "$VERINFO" --expect 9.9.9 "$WIN_DIR\\orvendel_host.exe" >"$OUT" 2>&1 </dev/null &&
  fail "orv-verinfo took 9.9.9 for $VERSION"
end

if [ -n "$LAUNCHER" ]; then
  begin "the installed host starts under Chrome and answers"
  cp "$LAUNCHER" "$STAGE/chrome.exe"
  # A frame that is no JSON, then the end of the input: two refusals.
  printf '\001\000\000\000x' >"$STAGE/in.bin"
  timeout -k 5 60 "$WINE" "$WIN_STAGE\chrome.exe" "$WIN_DIR\orvendel_host.exe" \
    <"$STAGE/in.bin" >"$STAGE/frames.bin" 2>"$OUT"
  RC=$?
  expect_rc 255 "the host under chrome.exe"
  reply='{"Result":"-1","Data":""}'
  printf '\031\000\000\000%s\031\000\000\000%s' "$reply" "$reply" >"$STAGE/want.bin"
  cmp -s "$STAGE/want.bin" "$STAGE/frames.bin" || fail "its output is not two refusals: $(od -c "$STAGE/frames.bin" | head -3)"
  end
else
  echo "note: this machine runs no 32-bit programs: the installed host is not started here"
fi

begin "uninstall removes every file, key and empty folder of ours, and nothing else"
msi /x "$WIN_STAGE\\product.msi"
expect_rc 0 "msiexec /x"
expect_removed
expect_value "$OTHER_KEY" /reg:32 'C:\other\other.json'
end

begin "EDGEINSTALL=0 leaves Edge's key out, CHROMEINSTALL=0 Chrome's"
msi /i "$WIN_STAGE\\product.msi" EDGEINSTALL=0
expect_rc 0 "msiexec /i EDGEINSTALL=0"
expect_value "$CHROME_KEY" /reg:32 "$WIN_DIR\\$HOST_NAME.json"
expect_absent "$EDGE_KEY" /reg:32
msi /x "$WIN_STAGE\\product.msi"
expect_rc 0 "msiexec /x"
msi /i "$WIN_STAGE\\product.msi" CHROMEINSTALL=0
expect_rc 0 "msiexec /i CHROMEINSTALL=0"
expect_absent "$CHROME_KEY" /reg:32
expect_value "$EDGE_KEY" /reg:32 "$WIN_DIR\\$HOST_NAME.json"
expect_installed
msi /x "$WIN_STAGE\\product.msi"
expect_rc 0 "msiexec /x"
expect_removed
end

begin "the extension forced or offered per browser, beside an administrator's entries, which stay"
# A GPO's forcelist entry for another extension.
for b in chrome edge; do
  reg add "${FORCELIST[$b]}" /v 1 /d "$ID_A;${STORE[$b]}" /f /reg:64 || fail "cannot add the forcelist value 1"
  ADMIN_FORCELIST[$b]="1=$ID_A;${STORE[$b]}"
done
# PROPERTIES|CHROME|EDGE|MARKS
while IFS='|' read -r props chrome edge marks; do
  rollout_case "$props" "$chrome" "$edge" "$marks"
done <<EOF
CHROMEEXTENSION=force EDGEEXTENSION=offer CHROMEUPDATEURL=https://example.com/crx|force ${DEFAULT_ID[chrome]} https://example.com/crx|offer|ChromeForcelistValue=5198422 EdgeExtensionsKey=${DEFAULT_ID[edge]}
CHROMEEXTENSION=Offer EDGEEXTENSION=FORCE EDGEEXTENSIONID=${DEFAULT_ID[edge]}|offer|force|ChromeExtensionsKey=${DEFAULT_ID[chrome]} EdgeForcelistValue=5198422
EOF
# A value of our name in Edge's forcelist, and an offer of Chrome's id, that
# are not ours: left as they are, and nothing written in their place.
admin_url=https://admin.example.com/crx
reg add "${FORCELIST[edge]}" /v 5198422 /d "$ID_A;$admin_url" /f /reg:64 || fail "cannot add the forcelist value 5198422"
reg add "${EXTENSIONS[chrome]}\\${DEFAULT_ID[chrome]}" /v update_url /d "$admin_url" /f /reg:32 ||
  fail "cannot add an external extension"
ADMIN_FORCELIST[edge]+=$'\n'"5198422=$ID_A;$admin_url"
ADMIN_EXTENSIONS[chrome]="${DEFAULT_ID[chrome]}\\update_url=$admin_url"
rollout_case "CHROMEEXTENSION=offer EDGEEXTENSION=force" none none ""
reg delete "${FORCELIST[edge]}" /v 5198422 /f /reg:64 || fail "cannot delete the forcelist value 5198422"
reg delete "${EXTENSIONS[chrome]}" /f /reg:32 || fail "cannot delete the external extension"
ADMIN_FORCELIST[edge]="1=$ID_A;${STORE[edge]}" ADMIN_EXTENSIONS=()
end

begin "the client's log: made by LOGFOLDER and LOGTRACE where none is there, removed only if the MSI made it"
# Wine applies no permissions: the users' grant is checked in the table.
msiinfo export "$STAGE/product.msi" MsiLockPermissionsEx | tr -d '\r' |
  grep -qxF $'LogFolderUsers\tStelvoDump\tCreateFolder\tD:AI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1201bf;;;BU)\t' ||
  fail "no grant of read, add and append to Users on the dump folder"
# BEFORE|PROPERTIES|INSTALLED|REMOVED, as log_state prints them; a log is
# written before the removal where one should stay.
while IFS='|' read -r before props installed removed; do
  rm -rf "$STELVO"
  case "$before" in
    dump) mkdir -p "$STELVO/dump" ;;
    ini=*) mkdir -p "$STELVO/policy" && echo "${before#ini=}" | tr ';' '\n' | sed 's/$/\r/' >"$STELVO/policy/stelvo.ini" ;;
  esac
  # shellcheck disable=SC2086 # the properties are words
  msi /i "$WIN_STAGE\\product.msi" $props
  expect_rc 0 "msiexec /i $props"
  [ "$(log_state)" = "$installed" ] || fail "$before, $props: '$(log_state)', expected '$installed'"
  [[ "$removed" != *+log* ]] || echo line >"$STELVO/dump/20260101_Orvendel_chrome.log"
  msi /x "$WIN_STAGE\\product.msi"
  expect_rc 0 "msiexec /x"
  [ "$(log_state)" = "$removed" ] || fail "$before, $props, removed: '$(log_state)', expected '$removed'"
done <<'CASES'
-||-|-
-|LOGFOLDER=1|dump|-
-|LOGFOLDER=1 LOGTRACE=1|dump ini=[Root];Debug=1|dump+log
-|LOGTRACE=1|ini=[Root];Debug=1|-
dump|LOGFOLDER=1|dump|dump
ini=[Root];Debug=0|LOGFOLDER=1 LOGTRACE=1|dump ini=[Root];Debug=0|ini=[Root];Debug=0
ini=[Other];A=1|LOGTRACE=1|ini=[Other];A=1|ini=[Other];A=1
CASES
rm -rf "$STELVO"
# Kept by an upgrade that is given neither; the doctor finds both OK.
msi /i "$WIN_STAGE\\old.msi" LOGFOLDER=1 LOGTRACE=1
expect_rc 0 "msiexec /i $OLD_VERSION LOGFOLDER=1 LOGTRACE=1"
msi /i "$WIN_STAGE\\product.msi"
expect_rc 0 "msiexec /i $VERSION over $OLD_VERSION"
[ "$(log_state)" = "dump ini=[Root];Debug=1" ] || fail "upgraded: '$(log_state)'"
expect_own_key "$VERSION" LOGFOLDER=1 LOGTRACE=1 LogFolderMade=1 LogTraceIniMade=1
wine_run "$STAGE/doctor.json" "$OUT" 60 "$DOCTOR" --browser chrome --json
python3 -c 'import json, sys; sys.exit(sorted(c["rule"] + "=" + c["status"] for c in json.load(open(sys.argv[1]))["checks"]
  if c["rule"] in ("client.dump", "client.ini")) != ["client.dump=OK", "client.ini=OK"])' "$STAGE/doctor.json" || {
  fail "the doctor: the dump folder or the ini not OK"
  show "$STAGE/doctor.json"
}
msi /x "$WIN_STAGE\\product.msi"
expect_rc 0 "msiexec /x"
expect_removed
end

begin "refused, with nothing installed: an unknown mode, an id the manifest does not allow, an update URL but https, a LOGFOLDER but 0 or 1"
for props in "CHROMEEXTENSION=forced" "EDGEEXTENSION=offer EDGEEXTENSIONID=$ID_A" \
  "CHROMEEXTENSION=force CHROMEUPDATEURL=http://example.com/crx" LOGFOLDER=yes; do
  # shellcheck disable=SC2086 # the properties are words
  msi /i "$WIN_STAGE\\product.msi" $props
  expect_rc 67 "msiexec /i $props (1603, cut to 8 bits)"
  expect_products
  expect_absent "$OWN_KEY" /reg:32
done
expect_rollout none none
end

begin "$VERSION replaces $OLD_VERSION; a downgrade is refused and changes nothing"
msi /i "$WIN_STAGE\\old.msi"
expect_rc 0 "msiexec /i $OLD_VERSION"
expect_products "$OLD_VERSION"
msi /i "$WIN_STAGE\\product.msi"
expect_rc 0 "msiexec /i $VERSION over $OLD_VERSION"
expect_products "$VERSION"
expect_installed
expect_value "$CHROME_KEY" /reg:32 "$WIN_DIR\\$HOST_NAME.json"
msi /i "$WIN_STAGE\\old.msi"
[ "$RC" -ne 0 ] || fail "the downgrade to $OLD_VERSION succeeded"
expect_products "$VERSION"
expect_installed
expect_value "$EDGE_KEY" /reg:32 "$WIN_DIR\\$HOST_NAME.json"
msi /x "$WIN_STAGE\\product.msi"
expect_rc 0 "msiexec /x"
expect_removed
expect_value "$OTHER_KEY" /reg:32 'C:\other\other.json'
end

begin "remembered: $OLD_VERSION given EDGEINSTALL=0 CHROMEEXTENSION=offer, $VERSION nothing, a rebuild other values"
msi /i "$WIN_STAGE\\old.msi" EDGEINSTALL=0 CHROMEEXTENSION=offer
expect_rc 0 "msiexec /i $OLD_VERSION"
expect_absent "$EDGE_KEY" /reg:32
expect_rollout "offer $ID_B" none
expect_own_key "$OLD_VERSION" EDGEINSTALL=0 CHROMEEXTENSION=offer "ChromeExtensionsKey=$ID_B"
# The ids not given follow the build: $ID_B's key goes with $OLD_VERSION.
msi /i "$WIN_STAGE\\product.msi"
expect_rc 0 "msiexec /i $VERSION over $OLD_VERSION"
expect_products "$VERSION"
expect_value "$CHROME_KEY" /reg:32 "$WIN_DIR\\$HOST_NAME.json"
expect_absent "$EDGE_KEY" /reg:32
expect_rollout offer none
expect_own_key "$VERSION" EDGEINSTALL=0 CHROMEEXTENSION=offer "ChromeExtensionsKey=${DEFAULT_ID[chrome]}"
msi /i "$WIN_STAGE\\same.msi" EDGEINSTALL=1 CHROMEEXTENSION=none
expect_rc 0 "msiexec /i of the rebuild"
expect_products "$VERSION"
expect_value "$EDGE_KEY" /reg:32 "$WIN_DIR\\$HOST_NAME.json"
expect_rollout none none
expect_own_key "$VERSION" EDGEINSTALL=1 CHROMEEXTENSION=none
msi /x "$WIN_STAGE\\same.msi"
expect_rc 0 "msiexec /x"
expect_removed
end

begin "a rebuild of $VERSION for other extensions replaces the installed one: one product"
msi /i "$WIN_STAGE\\product.msi"
expect_rc 0 "msiexec /i"
msi /i "$WIN_STAGE\\same.msi"
expect_rc 0 "msiexec /i of the rebuild"
expect_products "$VERSION"
check_manifest_json "$DIR/$HOST_NAME.json" orvendel_host.exe "$ID_A"
msi /x "$WIN_STAGE\\same.msi"
expect_rc 0 "msiexec /x"
expect_removed
end

summary
