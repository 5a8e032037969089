#!/usr/bin/env bash
# The MSI under Wine in a 64-bit prefix, as on 64-bit Windows: install,
# properties, version resources, major upgrade, a same-version rebuild,
# refused downgrade and a clean removal, checked through reg.exe, the files and orv-verinfo.
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

STAGE="$WINEPREFIX/drive_c/orv-msi"
WIN_STAGE='C:\orv-msi'
DIR="$WINEPREFIX/drive_c/Program Files (x86)/Orvendel"
WIN_DIR='C:\Program Files (x86)\Orvendel'
CHROME_KEY="HKLM\\SOFTWARE\\Google\\Chrome\\NativeMessagingHosts\\$HOST_NAME"
EDGE_KEY="HKLM\\SOFTWARE\\Microsoft\\Edge\\NativeMessagingHosts\\$HOST_NAME"
OTHER_KEY='HKLM\SOFTWARE\Google\Chrome\NativeMessagingHosts\com.example.other'
UNINSTALL='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall'
OLD_VERSION=0.0.1
rm -rf "$STAGE"
mkdir -p "$STAGE"
trap 'rm -rf "$STAGE"' EXIT
OUT=$STAGE/out.txt
RC_OUTPUT=$OUT
REG_OUT=$STAGE/reg
cp "$MSI" "$STAGE/product.msi"
# An older MSI, and one of the same version for other extensions.
if ! bash "$SOURCE/packaging/windows/build-msi.sh" "$BIN" "$OLD_VERSION" "$STAGE/old.msi" "$IDS" >"$OUT" 2>&1 ||
  ! bash "$SOURCE/packaging/windows/build-msi.sh" "$BIN" "$VERSION" "$STAGE/same.msi" "$ID_A" >"$OUT" 2>&1; then
  show "$OUT"
  exit 1
fi

# msi ARGS...: msiexec, its status in RC; the log in $STAGE/msi.log.
msi() {
  timeout -k 5 300 "$WINE" msiexec "$@" /qn /l*v "$WIN_STAGE\\msi.log" >"$OUT" 2>&1 </dev/null
  RC=$?
}
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
  expect_absent "$CHROME_KEY" /reg:32
  expect_absent "$EDGE_KEY" /reg:32
  expect_absent 'HKLM\SOFTWARE\Microsoft\Edge' /reg:32
  expect_products
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
