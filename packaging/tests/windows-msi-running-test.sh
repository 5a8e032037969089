#!/usr/bin/env bash
# The per-machine MSI upgraded (major upgrade, msiexec /i newer.msi /qn
# /norestart) and removed under Wine while a host started from its folder
# runs, as whenever a browser with the extension is open: msiexec's status,
# the files, the renames left for the next restart, and the running host.
#
#   windows-msi-running-test.sh BIN_DIR VERSION VERINFO_EXE LAUNCHER_EXE
#
# BIN_DIR holds programs of VERSION that run here: the test builds an MSI of
# them and a newer one whose host carries a higher version resource (every
# digit of VERSION made 9: same length, so only those bytes change, and the
# MSI's hash of the file differs). The 64-bit build's programs run
# everywhere; where 32-bit programs run, the product's programs and its own
# MSI would do as the older one.
# Needs the prefix of `./run wine-test`'s kind (WINEPREFIX, WINE; WINEARCH=win64).
#
# What Wine does differs from Windows, whose Restart Manager first asks the
# host to end in a quiet install and otherwise renames the file in use away:
# https://learn.microsoft.com/windows/win32/msi/using-windows-installer-with-restart-manager
# https://learn.microsoft.com/windows/win32/msi/logging-of-reboot-requests
set -u
BIN=$1
VERSION=$2
VERINFO=$3
LAUNCHER=$4
# shellcheck source=test-lib.sh
. "$(dirname "$0")/test-lib.sh"

need_wine64

NEW=${VERSION//[0-8]/9}
if [ "$NEW" = "$VERSION" ]; then
  echo "no higher version of the length of $VERSION" >&2
  exit 2
fi
DIR="$WINEPREFIX/drive_c/Program Files (x86)/Orvendel"
WIN_DIR='C:\Program Files (x86)\Orvendel'
HOST=orvendel_host.exe
CHROME_KEY="HKLM\\SOFTWARE\\Google\\Chrome\\NativeMessagingHosts\\$HOST_NAME"
EDGE_KEY="HKLM\\SOFTWARE\\Microsoft\\Edge\\NativeMessagingHosts\\$HOST_NAME"
SESSION='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager'
UNINSTALL='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall'
msi_stage orv-running
mkdir -p "$STAGE/new"
HOLDER=
trap 'if [ -n "$HOLDER" ]; then kill "$HOLDER"; fi; rm -rf "$STAGE"' EXIT
FIFO=$STAGE/stdin
FRAMES=$STAGE/frames.bin
mkfifo "$FIFO"
cp "$LAUNCHER" "$STAGE/chrome.exe"
cp "$BIN/msi-programs.txt" "$STAGE/new/" || exit 1
while read -r f; do
  cp "$BIN/$f" "$STAGE/new/" || exit 1
done <"$BIN/msi-programs.txt"
# new_host: the host of BIN with its version resource's fixed version (file
# and product) and its two version strings made NEW, in place.
new_host() {
  python3 - "$STAGE/new/$HOST" "$VERSION" "$NEW" <<'PY'
import struct, sys
path, old, new = sys.argv[1:]
data = bytearray(open(path, "rb").read())
signature = struct.pack("<I", 0xFEEF04BD)
before, after = [(v + "\0").encode("utf-16le") for v in (old, new)]
if data.count(signature) != 1 or data.count(before) != 2:
    sys.exit("%s: not one VS_FIXEDFILEINFO and two version strings %s" % (path, old))
a, b, c = (int(x) for x in new.split("."))
struct.pack_into("<4I", data, data.find(signature) + 8, a << 16 | b, c << 16, a << 16 | b, c << 16)
open(path, "wb").write(data.replace(before, after))
PY
}
if ! new_host >"$OUT" 2>&1 ||
  ! bash "$SOURCE/packaging/windows/build-msi.sh" "$BIN" "$VERSION" "$STAGE/old.msi" >"$OUT" 2>&1 ||
  ! bash "$SOURCE/packaging/windows/build-msi.sh" "$STAGE/new" "$NEW" "$STAGE/new.msi" >"$OUT" 2>&1; then
  show "$OUT"
  exit 1
fi

# The installed host under chrome.exe, its input a FIFO that a sleep holds
# open, so that it runs until stop_host. Wine starts its own background
# programs from whichever Wine command comes first, and they inherit every
# descriptor of it: the test itself never keeps the FIFO open.
start_host() {
  : >"$FRAMES"
  timeout -k 5 300 "$WINE" "$WIN_STAGE\\chrome.exe" "$WIN_DIR\\$HOST" <"$FIFO" >"$FRAMES" 2>"$OUT" &
  HOST_JOB=$!
  sleep 600 >"$FIFO" &
  HOLDER=$!
}
# One frame that is no JSON; then N refusals in all. The write is bounded:
# with no reader left, opening the FIFO would wait for ever.
ask() {
  local i
  # shellcheck disable=SC2016 # the inner shell expands $1
  timeout -k 5 60 sh -c 'printf "\001\000\000\000x" >"$1"' - "$FIFO" || fail "could not write to the host"
  for ((i = 0; i < 240; i++)); do
    [ "$(stat -c %s "$FRAMES")" -ge $(($1 * 29)) ] && break
    sleep 0.5
  done
  expect_frames "$1"
}
expect_frames() { # N: exactly N refusals so far
  local i
  for ((i = 0; i < $1; i++)); do printf '\031\000\000\000{"Result":"-1","Data":""}'; done >"$STAGE/want.bin"
  cmp -s "$STAGE/want.bin" "$FRAMES" || fail "the host's output is not $1 refusal(s): $(od -c "$FRAMES" | head -4)"
}
# Ends the host's input: one more refusal, and -1 through chrome.exe.
stop_host() {
  kill "$HOLDER"
  wait "$HOLDER" 2>/dev/null
  HOLDER=
  wait "$HOST_JOB"
  RC=$?
  expect_rc 255 "the host under chrome.exe"
  expect_frames "$1"
}
folder() { find "$DIR" -mindepth 1 -printf '%f\n' 2>/dev/null | sort | tr '\n' ' '; }
expect_folder() { # NAMES...: exactly these files in the install folder
  local got
  got=$(folder)
  [ "$got" = "$(printf '%s\n' "$@" | sort | tr '\n' ' ')" ] || fail "$WIN_DIR holds '$got', expected '$*'"
}
expect_pending() { # VALUE: PendingFileRenameOperations as reg.exe shows it ("" absent)
  local got=
  if reg query "$SESSION" /v PendingFileRenameOperations; then
    got=$(tr -d '\r' <"$REG_OUT" | sed -n 's/^ *PendingFileRenameOperations *REG_MULTI_SZ *//p')
  fi
  [ "$got" = "$1" ] || fail "pending renames: '$got', expected '$1'"
}
expect_products() { # VERSION...: the versions of ours in Programs and Features
  local got
  reg query "$UNINSTALL" /s /reg:32
  got=$(tr -d '\r' <"$REG_OUT" | awk '/^HKEY/ { ours = 0 } /DisplayName.*Orvendel native messaging host/ { ours = 1 }
    ours && /DisplayVersion/ { print $NF; ours = 0 }' | tr '\n' ' ')
  [ "$got" = "${*:+$* }" ] || fail "installed products: '$got', expected '$*'"
}
reboot() { # what Windows does at a restart: wineboot applies the pending renames
  timeout -k 5 120 "$WINE" wineboot -r >"$OUT" 2>&1 </dev/null || { fail "wineboot -r"; show "$OUT"; }
}
observe() { # prints what the guide compares with Windows
  echo "    $1: msiexec's status in the shell $RC; $WIN_DIR: $(folder)"
  echo "    C:\\Config.Msi: $(if [ -e "$WINEPREFIX/drive_c/Config.Msi" ]; then ls -A "$WINEPREFIX/drive_c/Config.Msi"; else echo absent; fi)"
}

begin "$VERSION installs, and its host runs from $WIN_DIR under chrome.exe"
msi /i "$WIN_STAGE\\old.msi"
expect_rc 0 "msiexec /i $VERSION"
start_host
ask 1
end

begin "the upgrade to $NEW under the running host: 3010, the new host waits beside it for a restart"
msi /i "$WIN_STAGE\\new.msi"
observe upgrade
# Wine's msiexec exits with 3010 (ERROR_SUCCESS_REBOOT_REQUIRED), of which the shell sees 8 bits.
expect_rc $((3010 % 256)) "msiexec /i $NEW over $VERSION"
expect_products "$NEW"
found=("$DIR"/msi*.tmp)
tmp=${found[0]##*/}
expect_folder "$HOST" "$tmp" "$HOST_NAME.json" orvendel-log.exe orvendel-tap.exe orvendel-doctor.exe
cmp -s "$DIR/$HOST" "$BIN/$HOST" || fail "$WIN_DIR\\$HOST is not the running $VERSION host"
cmp -s "$DIR/$tmp" "$STAGE/new/$HOST" || fail "$WIN_DIR\\$tmp is not the $NEW host"
cmp -s "$DIR/orvendel-log.exe" "$STAGE/new/orvendel-log.exe" || fail "orvendel-log.exe is not $NEW's"
# Delete the host, then rename the new one into its place.
expect_pending "\\??\\$WIN_DIR\\$HOST\\0\\0\\??\\$WIN_DIR\\$tmp\\0\\??\\$WIN_DIR\\$HOST"
end

begin "the running host still answers, and ends as ever when its input does"
ask 2
stop_host 3
end

begin "until a restart $WIN_DIR\\$HOST stays $VERSION; after one, the next host started is $NEW"
cmp -s "$DIR/$HOST" "$BIN/$HOST" || fail "$WIN_DIR\\$HOST changed before the restart"
reboot
expect_folder "$HOST" "$HOST_NAME.json" orvendel-log.exe orvendel-tap.exe orvendel-doctor.exe
expect_pending ""
timeout -k 5 60 "$WINE" "$VERINFO" --expect "$NEW" "$WIN_DIR\\$HOST" >"$OUT" 2>&1 </dev/null || {
  fail "the installed host is not $NEW"
  show "$OUT"
}
start_host
ask 1
end

begin "removal under the running host: 0, all but the host goes, and it stays after a restart"
msi /x "$WIN_STAGE\\new.msi"
observe removal
expect_rc 0 "msiexec /x"
expect_products
expect_folder "$HOST"
expect_pending ""
if reg query "$CHROME_KEY" /reg:32; then fail "$CHROME_KEY is still there"; fi
if reg query "$EDGE_KEY" /reg:32; then fail "$EDGE_KEY is still there"; fi
ask 2
stop_host 3
reboot
expect_folder "$HOST"
end

summary
