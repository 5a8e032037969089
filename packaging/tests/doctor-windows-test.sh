#!/usr/bin/env bash
# orvendel-doctor under Wine in a 64-bit prefix, whose registry keeps the
# 32- and 64-bit views apart as 64-bit Windows does: one case per fault,
# each made with reg.exe or a file, and one where register.cmd made all right.
#
#   doctor-windows-test.sh DOCTOR_EXE BUILD_DIR
#
# The host a manifest names only has to look like the product (a PE32
# console program): the doctor reads its headers and never starts it.
set -u
DOCTOR=$1
BUILD=$2
# shellcheck source=test-lib.sh
. "$(dirname "$0")/test-lib.sh"

need_wine64

DIR="$WINEPREFIX/drive_c/orv-doctor"
WIN_DIR='C:\orv-doctor'
MANIFEST="$WIN_DIR\\$HOST_NAME.json"
SW='SOFTWARE'
CHROME="Google\\Chrome\\NativeMessagingHosts\\$HOST_NAME"
EDGE="Microsoft\\Edge\\NativeMessagingHosts\\$HOST_NAME"
POLICY='HKLM\SOFTWARE\Policies\Google\Chrome'
rm -rf "$DIR"
mkdir -p "$DIR"
trap 'rm -rf "$DIR"' EXIT

# A file with the headers of a 32-bit console program.
python3 - "$DIR/orvendel_host.exe" <<'PY'
import struct, sys
data = bytearray(0x200)
data[0:2] = b"MZ"
struct.pack_into("<I", data, 0x3C, 0x80)
data[0x80:0x84] = b"PE\0\0"
struct.pack_into("<H", data, 0x84, 0x14C)          # i386
struct.pack_into("<H", data, 0x98, 0x10B)          # PE32
struct.pack_into("<H", data, 0x98 + 68, 3)         # console
open(sys.argv[1], "wb").write(data)
PY
cp "$DIR/orvendel_host.exe" "$DIR/pe32.bin"

REG_OUT="$DIR/reg.txt"

# manifest FILE [NAME [PATH [ID]]]
manifest() {
  printf '{"name":"%s","description":"test","path":"%s","type":"stdio","allowed_origins":["chrome-extension://%s/"]}\n' \
    "${2:-$HOST_NAME}" "${3:-orvendel_host.exe}" "${4:-$REF}" >"$1"
}

reset() {
  local hive view key
  for hive in HKLM HKCU; do
    for view in /reg:32 /reg:64; do
      for key in "$CHROME" "$EDGE" "Chromium\\NativeMessagingHosts\\$HOST_NAME"; do
        reg delete "$hive\\$SW\\$key" /f "$view"
      done
      reg delete "$hive\\SOFTWARE\\Policies\\Google\\Chrome" /f "$view"
    done
  done
  rm -f "$DIR"/*.json
  manifest "$DIR/$HOST_NAME.json"
}

# doctor BROWSER: its JSON in $DIR/out.json, its status in RC.
doctor() {
  timeout -k 5 60 "$WINE" "$DOCTOR" --browser "$1" --json >"$DIR/out.json" 2>"$DIR/err.txt" </dev/null
  RC=$?
}

expect() { # STATUS TEXT
  python3 - "$DIR/out.json" "$1" "$2" <<'PY' || { fail "no $1 check with '$2'"; show "$DIR/out.json"; }
import json, sys
doc = json.loads(open(sys.argv[1], encoding="utf-8", errors="replace").read().strip())
sys.exit(0 if any(c["status"] == sys.argv[2] and sys.argv[3] in c["text"] for c in doc["checks"]) else 1)
PY
}
add() { reg add "$1" /ve /d "${3:-$MANIFEST}" /f "$2" || fail "reg add $1 $2"; }

begin "a missing key"
reset
doctor chrome
expect_rc 1
expect FAIL "finds no registration"
end

begin "a relative manifest path in the registry"
reset
add "HKLM\\$SW\\$CHROME" /reg:32 "orv-doctor\\$HOST_NAME.json"
doctor chrome
expect_rc 1
expect FAIL "is not absolute"
end

begin "broken JSON, a wrong name, a missing program, the extension not allowed"
reset
add "HKLM\\$SW\\$CHROME" /reg:32
printf '{"name":' >"$DIR/$HOST_NAME.json"
doctor chrome
expect FAIL "is not valid JSON"
manifest "$DIR/$HOST_NAME.json" com.example.other
doctor chrome
expect FAIL "name in"
manifest "$DIR/$HOST_NAME.json" "$HOST_NAME" missing.exe
doctor chrome
expect FAIL "does not exist"
manifest "$DIR/$HOST_NAME.json" "$HOST_NAME" orvendel_host.exe "$ID_A"
doctor chrome
expect_rc 1
expect FAIL "extension $REF is not in allowed_origins"
end

begin "HKCU shadows HKLM"
reset
add "HKLM\\$SW\\$CHROME" /reg:32
manifest "$DIR/user.json"
add "HKCU\\$SW\\$CHROME" /reg:32 "$WIN_DIR\\user.json"
doctor chrome
expect OK "Chrome uses HKCU\\SOFTWARE\\$CHROME"
expect WARN "HKLM\\SOFTWARE\\$CHROME (32-bit view) is shadowed"
end

begin "only the 64-bit view: both browsers still find it"
reset
add "HKLM\\$SW\\$CHROME" /reg:64
doctor chrome
expect_rc 0
expect OK "Chrome uses HKLM\\SOFTWARE\\$CHROME (64-bit view)"
doctor edge
expect OK "Edge uses HKLM\\SOFTWARE\\$CHROME (64-bit view)"
end

begin "Edge falls back to Chrome's key"
reset
add "HKLM\\$SW\\$CHROME" /reg:32
doctor edge
expect_rc 0
expect OK "Edge uses HKLM\\SOFTWARE\\$CHROME (32-bit view)"
add "HKLM\\$SW\\$EDGE" /reg:64
doctor edge
expect OK "Edge uses HKLM\\SOFTWARE\\$CHROME (32-bit view)"
expect WARN "HKLM\\SOFTWARE\\$EDGE (64-bit view) is shadowed"
end

begin "a blocklist of *, with and without an allowlist entry"
reset
add "HKLM\\$SW\\$CHROME" /reg:32
reg add "$POLICY\\NativeMessagingBlocklist" /v 1 /d '*' /f /reg:64 || fail "reg add blocklist"
doctor chrome
expect_rc 1
expect FAIL "NativeMessagingBlocklist blocks $HOST_NAME"
doctor edge
expect OK "Edge's policies do not block"
reg add "$POLICY\\NativeMessagingAllowlist" /v 1 /d "$HOST_NAME" /f /reg:64 || fail "reg add allowlist"
doctor chrome
expect_rc 0
expect OK "allows $HOST_NAME"
end

begin "NativeMessagingUserLevelHosts=0 with a per-user registration"
reset
add "HKCU\\$SW\\$CHROME" /reg:32
reg add "$POLICY" /v NativeMessagingUserLevelHosts /t REG_DWORD /d 0 /f /reg:64 || fail "reg add policy"
doctor chrome
expect_rc 1
expect WARN "is ignored: user-level hosts are turned off"
expect FAIL "finds no registration"
end

begin "all right: register.cmd /machine"
reset
INSTALL="$DIR/installed"
"${CMAKE:-cmake}" --install "$BUILD" --prefix "$INSTALL" >"$DIR/install.log" 2>&1 || { fail "cmake --install"; show "$DIR/install.log"; }
cp "$DIR/pe32.bin" "$INSTALL/orvendel_host.exe"
(cd "$INSTALL" && timeout -k 5 120 "$WINE" cmd /c register.cmd /machine) >"$DIR/register.txt" 2>&1 </dev/null ||
  { fail "register.cmd /machine"; show "$DIR/register.txt"; }
for b in chrome edge; do
  doctor "$b"
  expect_rc 0
  expect OK "path names the host"
  expect OK "extension $REF is allowed"
done
(cd "$INSTALL" && timeout -k 5 120 "$WINE" cmd /c unregister.cmd /machine) >"$DIR/register.txt" 2>&1 </dev/null
end

summary
