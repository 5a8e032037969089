#!/usr/bin/env bash
# orvendel-doctor under Wine in a 64-bit prefix, whose registry keeps the
# 32- and 64-bit views apart as 64-bit Windows does: one case per rule of
# Chrome's and Edge's Windows lookup and policies, each made with reg.exe or
# a file and asserting the doctor's whole verdict, and register.cmd's
# /machine and /user installs, after which nothing is a WARN or FAIL.
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
struct.pack_into("<H", data, 0x96, 0x102)          # an executable image, 32-bit
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

# reset: none of the keys the cases write, in either view, and only the good
# manifest. One reg.exe import of deletions: a Wine process per key and view
# made this test several times longer.
reset() {
  local hive node key
  {
    printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    for hive in HKEY_LOCAL_MACHINE HKEY_CURRENT_USER; do
      for node in '' "Wow6432Node\\"; do
        for key in "$CHROME" "$EDGE" "Chromium\\NativeMessagingHosts\\$HOST_NAME" 'Policies\Google\Chrome' \
          'Policies\Microsoft\Edge' 'Policies\Microsoft\Windows\System' 'Google\Chrome\Extensions' \
          'Microsoft\Edge\Extensions'; do
          printf '[-%s\\SOFTWARE\\%s%s]\r\n' "$hive" "$node" "$key"
        done
      done
    done
  } >"$DIR/reset.reg"
  timeout -k 5 60 "$WINE" reg import 'C:\orv-doctor\reset.reg' >"$REG_OUT" 2>&1 </dev/null ||
    { fail "reg import of the deletions"; show "$REG_OUT"; }
  rm -f "$DIR"/*.json
  manifest "$DIR/$HOST_NAME.json"
}

# doctor BROWSER [ARGS...]: its JSON in $DIR/out.json, its status in RC.
doctor() {
  wine_run "$DIR/out.json" "$DIR/err.txt" 60 "$DOCTOR" --browser "$1" --json "${@:2}"
  RC=$?
}

NOT_FOUND="Specified native messaging host not found."
FORBIDDEN="Access to the specified native messaging host is forbidden."
BLOCKED="Access to the native messaging host was disabled by the system administrator."
EXITED="Native host has exited."
NOT_STARTED="Failed to start native messaging host."
GOOD="OK registration.used | OK manifest.fields | OK manifest.origin | OK program"

# expect BROWSER RC VERDICT [ARGS...]: the doctor's whole verdict for that
# browser: what the extension is told (or "starts", or "never runs"), then
# each of its checks as "STATUS rule", in order (the agent's left out), then
# how the extension is rolled out, if at all: "by MODE SOURCE URL".
expect() {
  doctor "$1" "${@:4}"
  [ "$RC" -eq "$2" ] || fail "$1: exit status $RC, expected $2"
  local got
  got=$(python3 - "$DIR/out.json" "$1" <<'PY'
import json, sys
doc = json.loads(open(sys.argv[1], encoding="utf-8").read().strip())
b = [v for v in doc["browsers"] if v["browser"] == sys.argv[2]][0]
checks = [c["status"] + " " + c["rule"] for c in doc["checks"] if c["browser"] == sys.argv[2] and c["area"] != "agent"]
e = b["extensions"][0]
said = b["browser_says"] or ("starts" if e["runs"] else "never runs")
by = [" ".join(["by", e["install_mode"], e["install_source"], e["install_update_url"]]).rstrip()] if e["installed_by"] else []
print(" | ".join([said] + checks + by))
PY
  ) || { fail "$1: no JSON report"; show "$DIR/out.json"; show "$DIR/err.txt"; return; }
  [ "$got" = "$3" ] || { fail "$1: $got"; fail "expected: $3"; }
}
add() { reg add "$1" /ve /d "${3:-$MANIFEST}" /f "$2" || fail "reg add $1 $2"; }
policy() { reg add "$@" /f /reg:64 || fail "reg add $*"; }

# launch_context_win.cc, FindManifest: HKCU first, the 32-bit view
# before the 64-bit one; the first value found is used, and must be absolute.
begin "a missing key"
reset
expect chrome 1 "$NOT_FOUND | FAIL registration.none"
end

begin "a relative manifest path: no fall back to HKLM"
reset
add "HKLM\\$SW\\$CHROME" /reg:32
add "HKCU\\$SW\\$CHROME" /reg:32 "orv-doctor\\$HOST_NAME.json"
expect chrome 1 "$NOT_FOUND | OK registration.used | OK registration.unread | FAIL registration.path"
end

begin "a key with no string default is passed over"
reset
add "HKLM\\$SW\\$CHROME" /reg:32
reg add "HKCU\\$SW\\$CHROME" /ve /t REG_DWORD /d 1 /f /reg:32 || fail "reg add REG_DWORD"
expect chrome 0 "starts | OK registration.unread | $GOOD"
end

begin "REG_EXPAND_SZ is expanded"
reset
reg add "HKLM\\$SW\\$CHROME" /ve /t REG_EXPAND_SZ /d "%SystemDrive%\\orv-doctor\\$HOST_NAME.json" /f /reg:32 ||
  fail "reg add REG_EXPAND_SZ"
expect chrome 0 "starts | $GOOD"
end

begin "broken JSON, a wrong name, a missing program, the extension not allowed"
reset
add "HKLM\\$SW\\$CHROME" /reg:32
printf '{"name":' >"$DIR/$HOST_NAME.json"
expect chrome 1 "$NOT_FOUND | OK registration.used | FAIL manifest.json"
manifest "$DIR/$HOST_NAME.json" com.example.other
expect chrome 1 "$NOT_FOUND | OK registration.used | FAIL manifest.name"
manifest "$DIR/$HOST_NAME.json" "$HOST_NAME" missing.exe
expect chrome 1 "$NOT_FOUND | OK registration.used | OK manifest.fields | OK manifest.origin | FAIL program"
manifest "$DIR/$HOST_NAME.json" "$HOST_NAME" orvendel_host.exe "$ID_A"
expect chrome 1 "$FORBIDDEN | OK registration.used | OK manifest.fields | FAIL manifest.origin"
end

begin "a PE32+ host starts: not being PE32 is the product's rule, a WARN"
reset
add "HKLM\\$SW\\$CHROME" /reg:32
python3 - "$DIR/orvendel_host.exe" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
struct.pack_into("<H", data, 0x98, 0x20B)
open(sys.argv[1], "wb").write(data)
PY
expect chrome 0 "starts | OK registration.used | OK manifest.fields | OK manifest.origin | WARN program"
cp "$DIR/pe32.bin" "$DIR/orvendel_host.exe"
end

begin "HKCU comes before HKLM: the one not read is a fact"
reset
add "HKLM\\$SW\\$CHROME" /reg:32
manifest "$DIR/user.json"
add "HKCU\\$SW\\$CHROME" /reg:32 "$WIN_DIR\\user.json"
expect chrome 0 "starts | OK registration.used | OK registration.unread | OK manifest.fields | OK manifest.origin | OK program"
end

begin "only the 64-bit view: both browsers still find it"
reset
add "HKLM\\$SW\\$CHROME" /reg:64
expect chrome 0 "starts | $GOOD"
expect edge 0 "starts | $GOOD"
end

begin "Edge reads its own key, then Chrome's"
reset
add "HKLM\\$SW\\$CHROME" /reg:32
expect edge 0 "starts | $GOOD"
add "HKLM\\$SW\\$EDGE" /reg:64
expect edge 0 "starts | OK registration.used | OK registration.unread | OK manifest.fields | OK manifest.origin | OK program"
end

# chrome_messaging_delegate.cc, IsNativeMessagingHostAllowed: the allowlist
# beats the blocklist; policy_loader_win.cc: per policy, the machine's value
# wins whole over the user's, the two lists never merged.
begin "policies: block all, allowlist, machine over user, user-level hosts"
reset
add "HKLM\\$SW\\$CHROME" /reg:32
policy "$POLICY\\NativeMessagingBlocklist" /v 1 /d '*'
expect chrome 1 "$BLOCKED | FAIL policy.blocklist"
expect edge 0 "starts | $GOOD"
policy "HKCU\\SOFTWARE\\Policies\\Google\\Chrome\\NativeMessagingAllowlist" /v 1 /d "$HOST_NAME"
expect chrome 0 "starts | OK policy.allowlist | $GOOD"
reg delete "HKCU\\SOFTWARE\\Policies\\Google\\Chrome" /f /reg:64
policy "HKCU\\SOFTWARE\\Policies\\Google\\Chrome\\NativeMessagingBlocklist" /v 1 /d "$HOST_NAME"
reg delete "$POLICY\\NativeMessagingBlocklist" /f /reg:64
policy "$POLICY\\NativeMessagingBlocklist" /v 1 /d com.example.other
expect chrome 0 "starts | OK policy.blocklist | $GOOD"
reg delete "HKCU\\SOFTWARE\\Policies\\Google\\Chrome" /f /reg:64
reg delete "$POLICY" /f /reg:64
reset
add "HKCU\\$SW\\$CHROME" /reg:32
policy "$POLICY" /v NativeMessagingUserLevelHosts /t REG_DWORD /d 0
expect chrome 1 "$NOT_FOUND | OK policy.user_level_hosts | OK registration.unread | FAIL registration.none"
end

# One registry layout a row, imported whole over a reset: the policies as
# registry_dict.cc converts them (list values only numbered ones, a JSON
# string list, booleans from numbers, names case-sensitive, the mandatory
# level over the recommended one), then how the host is started
# (launch_context_win.cc: cmd.exe or directly, DisableCMD) and what a path
# that names no program ends in. Chrome's registration is in each.
M='HKEY_LOCAL_MACHINE\SOFTWARE\Policies\Google\Chrome'
U='HKEY_CURRENT_USER\SOFTWARE\Policies\Google\Chrome'
CMD='[HKEY_CURRENT_USER\SOFTWARE\Policies\Microsoft\Windows\System]'
REG_M="[HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\$CHROME]"
REG_U="[HKEY_CURRENT_USER\\SOFTWARE\\$CHROME]"
AT="@=\"C:\\\\orv-doctor\\\\$HOST_NAME.json\""
mkdir -p "$DIR/folder"
echo text >"$DIR/notes.txt"
echo text >"$DIR/fake.exe"
PROGRAM="OK registration.used | OK manifest.fields | OK manifest.origin"
IGNORED="WARN policy.ignored"

# row TITLE BROWSER VERDICT HOST_PATH REG_LINES...: the doctor's whole verdict
# (exit status 1 with any FAIL) for a manifest naming HOST_PATH.
row() {
  local title=$1 browser=$2 verdict=$3 path=$4 rc=0
  shift 4
  begin "$title"
  reset
  [ "$path" = - ] || manifest "$DIR/$HOST_NAME.json" "$HOST_NAME" "$path"
  { printf 'Windows Registry Editor Version 5.00\r\n\r\n'; printf '%s\r\n' "$@"; } >"$DIR/case.reg"
  reg import 'C:\orv-doctor\case.reg' || { fail "reg import"; show "$REG_OUT"; }
  case "$verdict" in *FAIL*) rc=1 ;; esac
  expect "$browser" "$rc" "$verdict"
  end
}

row "a list takes only values named by numbers" chrome "starts | $IGNORED | $IGNORED | OK policy.blocklist | $GOOD" - \
  "$REG_M" "$AT" "[$M\\NativeMessagingBlocklist]" '"a"="*"' '" 2"="*"'
row "numbered: a sign and leading zeros count" chrome "$BLOCKED | FAIL policy.blocklist" - \
  "$REG_M" "$AT" "[$M\\NativeMessagingBlocklist]" '"+1"="com.example.other"' '"007"="*"'
row "a REG_SZ holding a JSON list, trailing comma and all" chrome "$BLOCKED | FAIL policy.blocklist" - \
  "$REG_M" "$AT" "[$M]" '"NativeMessagingBlocklist"="[\"*\",]"'
row "a REG_SZ that is no JSON list is dropped" chrome "starts | $IGNORED | $GOOD" - \
  "$REG_M" "$AT" "[$M]" '"NativeMessagingBlocklist"="*"'
row "a REG_MULTI_SZ list is not read" chrome "starts | $IGNORED | $GOOD" - \
  "$REG_M" "$AT" "[$M]" '"NativeMessagingBlocklist"=hex(7):2a,00,00,00,00,00'
row "the subkey wins over a value of the same name" chrome "starts | OK policy.blocklist | $GOOD" - \
  "$REG_M" "$AT" "[$M]" '"NativeMessagingBlocklist"="[\"*\"]"' \
  "[$M\\NativeMessagingBlocklist]" '"1"="com.example.other"'
row "a boolean from a number in a string" chrome \
  "$NOT_FOUND | OK policy.user_level_hosts | OK registration.unread | FAIL registration.none" - \
  "$REG_U" "$AT" "[$M]" '"NativeMessagingUserLevelHosts"="0"'
row "a boolean from a word is dropped" chrome "starts | $IGNORED | $GOOD" - \
  "$REG_U" "$AT" "[$M]" '"NativeMessagingUserLevelHosts"="false"'
row "a policy name in another case is not the policy" chrome "starts | $IGNORED | $GOOD" - \
  "$REG_M" "$AT" "[$M\\nativemessagingblocklist]" '"1"="*"'
row "a recommended blocklist is not read" chrome "starts | $IGNORED | $GOOD" - \
  "$REG_M" "$AT" "[$M\\Recommended\\NativeMessagingBlocklist]" '"1"="*"'
row "the user's mandatory value over the machine's recommended one" chrome "starts | OK policy.blocklist | $GOOD" - \
  "$REG_M" "$AT" "[$M\\Recommended\\NativeMessagingBlocklist]" '"1"="*"' "[$U\\NativeMessagingBlocklist]" '"1"="x.y"'
row "Edge reads its own policies" edge "$BLOCKED | FAIL policy.blocklist" - \
  "$REG_M" "$AT" '[HKEY_LOCAL_MACHINE\SOFTWARE\Policies\Microsoft\Edge\NativeMessagingBlocklist]' '"1"="*"'
row "a manifest path that is a folder" chrome "$NOT_FOUND | OK registration.used | FAIL registration.path" - \
  "$REG_M" '@="C:\\orv-doctor\\folder"'
row "a manifest path that is a device" chrome "$NOT_FOUND | OK registration.used | FAIL registration.path" - \
  "$REG_M" '@="C:\\orv-doctor\\NUL"'
row "a folder as host: cmd.exe takes the pipes, then ends" chrome "$EXITED | $PROGRAM | FAIL program" folder \
  "$REG_M" "$AT"
row "a text file as host" chrome "$EXITED | $PROGRAM | FAIL program" notes.txt "$REG_M" "$AT"
row "an .exe that is no program, through cmd.exe" chrome "$EXITED | $PROGRAM | FAIL program" fake.exe "$REG_M" "$AT"
row "an .exe that is no program, started directly" chrome "$NOT_STARTED | $PROGRAM | FAIL program" fake.exe \
  "$REG_M" "$AT" "[$M]" '"NativeHostsExecutablesLaunchDirectly"=dword:00000001'
row "DisableCMD=1: cmd.exe refuses before the pipes" chrome "$NOT_STARTED | $PROGRAM | FAIL program" - \
  "$REG_M" "$AT" "$CMD" '"DisableCMD"=dword:00000001'
row "DisableCMD=2: scripts, and so cmd.exe /c, still run" chrome "starts | $GOOD" - \
  "$REG_M" "$AT" "$CMD" '"DisableCMD"=dword:00000002'
row "DisableCMD=1, the .exe started directly (the policy as a string)" chrome "starts | $GOOD" - \
  "$REG_M" "$AT" "$CMD" '"DisableCMD"=dword:00000001' "[$M]" '"NativeHostsExecutablesLaunchDirectly"="1"'
row "DisableCMD=1, Edge's launch left to its rollout" edge "starts | $PROGRAM | WARN program" - \
  "$REG_M" "$AT" "$CMD" '"DisableCMD"=dword:00000001'

# How the extension is rolled out: a policy that installs it
# (extension_management.cc, ExtensionManagement::GetForceInstallList), or an
# offer in the browser's Extensions key (external_registry_loader_win.cc:
# HKLM's 32-bit view, then HKCU), each as the MSI writes it and beside the
# rules that pass an offer over. Wine's machine is in no domain.
STORE='https://clients2.google.com/service/update2/crx'
EDGE_STORE='https://edge.microsoft.com/extensionwebstorebase/v1/crx'
OFFERS='SOFTWARE\Wow6432Node\Google\Chrome\Extensions'
OFFER_M="[HKEY_LOCAL_MACHINE\\$OFFERS\\$REF]"
SHOWN_M="HKLM\\SOFTWARE\\WOW6432Node\\Google\\Chrome\\Extensions\\$REF"
UPPER=$(printf '%s' "$REF" | tr a-p A-P)
echo x >"$DIR/ext.crx"
row "the MSI's force: a numbered ExtensionInstallForcelist value, id;URL" chrome \
  "starts | OK extension.policy | $GOOD | by force_installed HKLM\\SOFTWARE\\Policies\\Google\\Chrome $STORE" - \
  "$REG_M" "$AT" "[$M\\ExtensionInstallForcelist]" "\"1\"=\"$REF;$STORE\""
row "the forcelist in HKCU, an id alone: Edge's store" edge \
  "starts | OK extension.policy | $GOOD | by force_installed HKCU\\SOFTWARE\\Policies\\Microsoft\\Edge $EDGE_STORE" - \
  "$REG_M" "$AT" '[HKEY_CURRENT_USER\SOFTWARE\Policies\Microsoft\Edge\ExtensionInstallForcelist]' "\"1\"=\"$REF\""
row "ExtensionSettings' normal_installed, a JSON string" chrome \
  "starts | OK extension.policy | $GOOD | by normal_installed HKLM\\SOFTWARE\\Policies\\Google\\Chrome $STORE" - \
  "$REG_M" "$AT" "[$M]" "\"ExtensionSettings\"=\"{\\\"$REF\\\":{\\\"installation_mode\\\":\\\"normal_installed\\\",\\\"update_url\\\":\\\"$STORE\\\"}}\""
row "forced from elsewhere than the store, on a machine in no domain" chrome \
  "starts | WARN extension.policy | $GOOD | by force_installed HKLM\\SOFTWARE\\Policies\\Google\\Chrome https://example.com/u.xml" - \
  "$REG_M" "$AT" "[$M\\ExtensionInstallForcelist]" "\"1\"=\"$REF;https://example.com/u.xml\""
row "the MSI's offer: HKLM's 32-bit view, update_url" chrome "starts | OK extension.offer | $GOOD | by offered $SHOWN_M $STORE" - \
  "$REG_M" "$AT" "$OFFER_M" "\"update_url\"=\"$STORE\""
row "Edge's offer in its own key, a .crx path and a version" edge \
  "starts | OK extension.offer | $GOOD | by offered HKLM\\SOFTWARE\\WOW6432Node\\Microsoft\\Edge\\Extensions\\$REF" - \
  "$REG_M" "$AT" "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Microsoft\\Edge\\Extensions\\$REF]" \
  '"path"="C:\\orv-doctor\\ext.crx"' '"version"="1.0"'
row "an offer in HKLM's 64-bit view is never read" chrome "starts | WARN extension.offer | $GOOD" - \
  "$REG_M" "$AT" "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Google\\Chrome\\Extensions\\$REF]" "\"update_url\"=\"$STORE\""
row "HKCU, the id in capitals, from elsewhere: Chrome keeps it off" chrome \
  "starts | WARN extension.offer | $GOOD | by offered HKCU\\Software\\Google\\Chrome\\Extensions\\$UPPER https://example.com/u.xml" - \
  "$REG_M" "$AT" "[HKEY_CURRENT_USER\\SOFTWARE\\Google\\Chrome\\Extensions\\$UPPER]" '"update_url"="https://example.com/u.xml"'
row "HKLM's offer is read, not HKCU's: an update_url that is no URL; a key that is no id" chrome \
  "starts | WARN extension.offer | WARN extension.offer | $GOOD" - \
  "$REG_M" "$AT" "$OFFER_M" '"update_url"="https://"' "[HKEY_CURRENT_USER\\SOFTWARE\\Google\\Chrome\\Extensions\\$REF]" \
  "\"update_url\"=\"$STORE\"" "[HKEY_LOCAL_MACHINE\\$OFFERS\\${REF}q]" "\"update_url\"=\"$STORE\""
row "a .crx path without a version" edge "starts | WARN extension.offer | $GOOD" - \
  "$REG_M" "$AT" "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Microsoft\\Edge\\Extensions\\$REF]" \
  '"path"="C:\\orv-doctor\\ext.crx"'
row "offered, and ExtensionInstallBlocklist keeps it out" chrome \
  "never runs | WARN extension.offer | FAIL extension.policy | $GOOD | by offered $SHOWN_M $STORE" - \
  "$REG_M" "$AT" "$OFFER_M" "\"update_url\"=\"$STORE\"" "[$M\\ExtensionInstallBlocklist]" "\"1\"=\"$REF\""
row "offered, and BlockExternalExtensions reads no offer" chrome "starts | WARN extension.offer | $GOOD" - \
  "$REG_M" "$AT" "$OFFER_M" "\"update_url\"=\"$STORE\"" "[$M]" '"BlockExternalExtensions"=dword:00000001'

begin "without --browser: browsers not installed are listed as such, App Paths says which are"
reset
APP_PATHS='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths'
wine_run "$DIR/none.json" "$DIR/err.txt" 60 "$DOCTOR" --json
RC=$?
[ "$RC" -eq 0 ] || fail "nothing installed: exit status $RC, expected 0"
reg add "$APP_PATHS\\msedge.exe" /ve /d 'C:\edge\msedge.exe' /f /reg:64 || fail "reg add App Paths"
wine_run "$DIR/edge.json" "$DIR/err.txt" 60 "$DOCTOR" --json
RC=$?
[ "$RC" -eq 1 ] || fail "Edge installed, no registration: exit status $RC, expected 1"
reg delete "$APP_PATHS\\msedge.exe" /f /reg:64
python3 - "$DIR/none.json" "$DIR/edge.json" <<'PY' || fail "the browsers' list is not as expected"
import json, sys
none = json.loads(open(sys.argv[1], encoding="utf-8").read().strip())["browsers"]
edge = json.loads(open(sys.argv[2], encoding="utf-8").read().strip())["browsers"]
ok = [(b["browser"], b["installed"], b["checked"]) for b in none] == [("chrome", False, False), ("edge", False, False)]
ok = ok and [(b["browser"], b["checked"], b["browser_says"]) for b in edge] == [
    ("chrome", False, ""), ("edge", True, "Specified native messaging host not found.")]
sys.exit(0 if ok else 1)
PY
end

# agent.sessions: one signed-in user (or, as Wine 8 lists no session at all,
# no line) is never a WARN; more than one is the unit tests' table.
begin "one user session: no warning that sessions share the agent's objects"
reset
doctor chrome
python3 - "$DIR/out.json" <<'PY' || { fail "agent.sessions is not as expected"; show "$DIR/out.json"; }
import json, re, sys
doc = json.loads(open(sys.argv[1], encoding="utf-8").read().strip())
got = [(c["status"], c["area"], c["browser"], c["text"]) for c in doc["checks"] if c["rule"] == "agent.sessions"]
one = r"one user session is signed in \(\S+ in session [1-9]\d* \(active\)\)"
sys.exit(0 if got == [] or (len(got) == 1 and got[0][:3] == ("OK", "agent", "") and re.fullmatch(one, got[0][3])) else 1)
PY
end

# client.dump: the account's own right to add a file, by AccessCheck on the
# folder's security (a denial needs an ACL that Wine does not enforce for
# root, so only the allowed case is here).
begin "the dump folder: judged by the account's right to add files, not claimed"
reset
mkdir -p "$WINEPREFIX/drive_c/windows/stelvo/dump"
doctor chrome
python3 - "$DIR/out.json" <<'PY' || { fail "client.dump is not as expected"; show "$DIR/out.json"; }
import json, re, sys
doc = json.loads(open(sys.argv[1], encoding="utf-8").read().strip())
got = [(c["status"], c["text"]) for c in doc["checks"] if c["rule"] == "client.dump"]
sys.exit(0 if len(got) == 1 and got[0][0] == "OK" and re.fullmatch(
    r"\S+ may add files to the dump folder C:\\windows\\stelvo\\dump", got[0][1], re.I) else 1)
PY
rm -rf "$WINEPREFIX/drive_c/windows/stelvo"
end

# Another user's hive, as SYSTEM or an administrator finds it under
# HKEY_USERS while that user is signed in, beside HKCU's settings that must
# not leak into it; and a profile whose hive is not loaded.
OTHER=S-1-5-21-1-2-3-1001
GONE=S-1-5-21-1-2-3-1002
HKU_SW="HKEY_USERS\\$OTHER\\SOFTWARE"
PROFILES='HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList'
begin "--user SID and --all-users judge the users' hives under HKEY_USERS, not HKCU"
reset
{
  printf 'Windows Registry Editor Version 5.00\r\n\r\n'
  printf '%s\r\n' "$REG_U" '@="C:\\orv-doctor\\hkcu.json"' "[$U\\NativeMessagingBlocklist]" '"1"="*"' \
    "[$HKU_SW\\$CHROME]" "$AT" "[$HKU_SW\\Policies\\Google\\Chrome\\ExtensionInstallForcelist]" "\"1\"=\"$REF;$STORE\"" \
    "[$HKU_SW\\Microsoft\\Windows\\CurrentVersion\\App Paths\\chrome.exe]" '@="C:\\chrome\\chrome.exe"' \
    "[HKEY_USERS\\${OTHER}_Classes\\.orv]" "[$PROFILES\\$GONE]" '"ProfileImagePath"="C:\\users\\gone"'
} >"$DIR/case.reg"
reg import 'C:\orv-doctor\case.reg' || { fail "reg import"; show "$REG_OUT"; }
expect chrome 0 "starts | OK extension.policy | $GOOD | by force_installed HKU\\$OTHER\\SOFTWARE\\Policies\\Google\\Chrome $STORE" \
  --user "$OTHER"
python3 - "$DIR/out.json" "$OTHER" "$HOST_NAME" <<'PY' || { fail "--user: not the user's hive alone"; show "$DIR/out.json"; }
import json, sys
doc = json.loads(open(sys.argv[1], encoding="utf-8").read().strip())
used = [c["text"] for c in doc["checks"] if c["rule"] == "registration.used"]
ok = doc["user"] == sys.argv[2] and doc["read"] and doc["browsers"][0]["installed"] and "users" not in doc
sys.exit(0 if ok and "HKCU" not in json.dumps(doc) and used == [
    "Chrome uses HKU\\%s\\SOFTWARE\\Google\\Chrome\\NativeMessagingHosts\\%s" % (sys.argv[2], sys.argv[3])] else 1)
PY
reg add "HKU\\$OTHER\\SOFTWARE\\Policies\\Microsoft\\Windows\\System" /v DisableCMD /t REG_DWORD /d 1 /f ||
  fail "reg add DisableCMD"
expect chrome 1 "$NOT_STARTED | OK extension.policy | $PROGRAM | FAIL program | by force_installed HKU\\$OTHER\\SOFTWARE\\Policies\\Google\\Chrome $STORE" \
  --user "$OTHER"
doctor chrome --all-users
[ "$RC" -eq 1 ] || fail "--all-users: exit status $RC, expected 1 (HKCU's user is blocked)"
python3 - "$DIR/out.json" "$OTHER" "$GONE" <<'PY' || { fail "--all-users: not each user's verdict"; show "$DIR/out.json"; }
import json, sys
doc = json.loads(open(sys.argv[1], encoding="utf-8").read().strip())
got = {u["user"]: (u["read"], u["why"], [b["browser_says"] for b in u["browsers"]]) for u in doc["users"]}
own = [s for s in got if s not in sys.argv[2:]]
ok = len(own) == 1 and own[0].startswith("S-1-5-21-") and got[own[0]] == (True, "", [
    "Access to the native messaging host was disabled by the system administrator."])
ok = ok and got.get(sys.argv[2]) == (True, "", ["Failed to start native messaging host."])
ok = ok and got.get(sys.argv[3]) == (False, "its hive is not loaded: the user is not signed in", [])
sys.exit(0 if ok and len(got) == 3 and doc["browsers"] == [] and doc["fail"] == 2 else 1)
PY
doctor chrome --user "$GONE"
[ "$RC" -eq 1 ] || fail "--user of a user not signed in: exit status $RC, expected 1"
grep -q '"rule":"account.user"' "$DIR/out.json" || { fail "--user of a user not signed in: no account.user"; show "$DIR/out.json"; }
doctor chrome --user S-1-5-21-x
[ "$RC" -eq 2 ] || fail "--user S-1-5-21-x: exit status $RC, expected 2"
{
  printf 'Windows Registry Editor Version 5.00\r\n\r\n'
  printf '[-%s]\r\n' "HKEY_USERS\\$OTHER" "HKEY_USERS\\${OTHER}_Classes" "$PROFILES\\$GONE"
} >"$DIR/case.reg"
reg import 'C:\orv-doctor\case.reg' || { fail "reg import of the deletions"; show "$REG_OUT"; }
end

# orvendel.wxs: the MSI writes both browsers' keys in HKLM's 32-bit view,
# each naming the one manifest; Edge reads its own and never Chrome's.
begin "the MSI's registrations: nothing to warn of"
reset
add "HKLM\\$SW\\$CHROME" /reg:32
add "HKLM\\$SW\\$EDGE" /reg:32
expect chrome 0 "starts | $GOOD"
expect edge 0 "starts | OK registration.used | OK registration.unread | OK manifest.fields | OK manifest.origin | OK program"
end

for scope in /machine /user; do
  begin "register.cmd $scope: nothing to warn of"
  reset
  INSTALL="$DIR/installed"
  "${CMAKE:-cmake}" --install "$BUILD" --prefix "$INSTALL" >"$DIR/install.log" 2>&1 || { fail "cmake --install"; show "$DIR/install.log"; }
  cp "$DIR/pe32.bin" "$INSTALL/orvendel_host.exe"
  wine_cmd "$INSTALL" "$DIR/register.txt" register.cmd "$scope"
  [ "$RC" -eq 0 ] || { fail "register.cmd $scope"; show "$DIR/register.txt"; }
  for b in chrome edge; do
    doctor "$b"
    nothing_to_warn_of "$DIR/out.json" "$b" || fail "$b: a WARN or FAIL after register.cmd $scope"
  done
  wine_cmd "$INSTALL" "$DIR/register.txt" unregister.cmd "$scope"
  end
done

# --bundle: each program's signature state as Wine's WinVerifyTrust gives it
# (unsigned, signed with a throwaway certificate, changed after signing), the
# host a manifest names by a relative path, and today's log decoded.
begin "--bundle: signature states, the registered host, today's log"
reset
add "HKLM\\$SW\\$CHROME" /reg:32
PROGRAMS="$DIR/programs"
mkdir -p "$PROGRAMS" "$DIR/cert"
cp "$DOCTOR" "$PROGRAMS/orvendel-doctor.exe"
# The build under test may be signed already (./run test signs it): the
# unsigned case is a copy without its signature.
if command -v osslsigncode >/dev/null &&
  osslsigncode remove-signature -in "$DOCTOR" -out "$DIR/unsigned.exe" >/dev/null 2>&1; then
  cp "$DIR/unsigned.exe" "$PROGRAMS/orvendel-doctor.exe"
  rm -f "$DIR/unsigned.exe"
fi
cp "$PROGRAMS/orvendel-doctor.exe" "$PROGRAMS/orvendel-log.exe"
signed=
if openssl req -x509 -newkey rsa:2048 -nodes -keyout "$DIR/cert/key.pem" -out "$DIR/cert/cert.pem" -days 2 \
  -subj "/CN=Orvendel bundle test" -addext "extendedKeyUsage=codeSigning" >/dev/null 2>&1 &&
  openssl pkcs12 -export -inkey "$DIR/cert/key.pem" -in "$DIR/cert/cert.pem" -out "$DIR/cert/cert.p12" \
    -passout pass:test >/dev/null 2>&1 &&
  ORV_SIGN_PKCS12="$DIR/cert/cert.p12" ORV_SIGN_PASSWORD=test \
    bash "$SOURCE/packaging/windows/sign.sh" --no-timestamp "$PROGRAMS/orvendel-log.exe" >/dev/null 2>&1; then
  signed=1
  cp "$PROGRAMS/orvendel-log.exe" "$PROGRAMS/orvendel-tap.exe"
  printf 'x' | dd of="$PROGRAMS/orvendel-tap.exe" bs=1 seek=4096 conv=notrunc 2>/dev/null
else
  echo "    (no openssl or osslsigncode: the signed programs are left out)"
fi
DUMP="$WINEPREFIX/drive_c/windows/stelvo/dump"
mkdir -p "$DUMP"
python3 - "$DUMP/$(date +%Y%m%d)_Orvendel_chrome.log" <<'PY'
import sys
raw = b"\r\n<E>[12/09 10:00:00][0001:0002] a logged error"
open(sys.argv[1], "wb").write(bytes((~b ^ i) & 0xFF for i, b in enumerate(raw)) + b"@!@")
PY
rm -rf "$DIR/bundle"
wine_run "$DIR/out.txt" "$DIR/err.txt" 120 "$PROGRAMS/orvendel-doctor.exe" --browser chrome --bundle 'C:\orv-doctor\bundle'
RC=$? RC_OUTPUT="$DIR/err.txt"
expect_rc 0 "--bundle"
# Each program's block in programs.txt, by its path: the lines it must hold.
VERSION=$(sed -n 's/^project(orvendel VERSION \([0-9.]*\) .*/\1/p' "$SOURCE/CMakeLists.txt")
python3 - "$DIR/bundle/programs.txt" "$signed" "$VERSION" "$HOST_NAME" <<'PY' || { fail "programs.txt is not as expected"; show "$DIR/bundle/programs.txt"; }
import sys
blocks, name = {}, None
for line in open(sys.argv[1], encoding="utf-8").read().splitlines():
    if line and not line.startswith(" "):
        name = line.lower()
        blocks[name] = []
    elif name:
        blocks[name].append(line.strip())
P = "c:\\orv-doctor\\programs\\"
want = [
    (P + "orvendel-doctor.exe", "signature: not signed (TRUST_E_NOSIGNATURE, 0x800B0100)"),
    (P + "orvendel-doctor.exe", "version: %s.0" % sys.argv[3]),
    (P + "orvendel_host.exe", "not examined: it does not exist"),
    ("c:\\orv-doctor\\orvendel_host.exe", "listed: named by C:\\orv-doctor\\%s.json" % sys.argv[4]),
    ("c:\\orv-doctor\\orvendel_host.exe", "version: none (no VERSIONINFO resource)"),
]
if sys.argv[2]:
    # Wine 8 trusts a self-signed certificate; Windows says CERT_E_UNTRUSTEDROOT.
    want += [(P + "orvendel-log.exe", "signature: signed and trusted"),
             (P + "orvendel-tap.exe", "signature: signed, but the file was changed after signing (TRUST_E_BAD_DIGEST, 0x80096010)")]
bad = [w for w in want if w[1] not in blocks.get(w[0], [])]
for w in bad:
    print("    %s lacks: %s" % w)
sys.exit(1 if bad else 0)
PY
grep -qF '<E>[12/09 10:00:00][0001:0002] a logged error' "$DIR/bundle/logs/$(date +%Y%m%d)_Orvendel_chrome.txt" ||
  fail "today's log is not decoded in the bundle"
grep -qF "registration (system) HKLM\\$SW\\$CHROME (32-bit view)" "$DIR/bundle/registrations.txt" ||
  { fail "registrations.txt lacks the key read"; show "$DIR/bundle/registrations.txt"; }
grep -q '^elevated: ' "$DIR/bundle/environment.txt" || fail "environment.txt does not say whether elevated"
rm -rf "$WINEPREFIX/drive_c/windows/stelvo" "$PROGRAMS" "$DIR/cert"
end

# The prefix is the pool's: the next test in it finds no key of these.
reset

summary
