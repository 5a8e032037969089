#!/usr/bin/env bash
# orvendel-doctor on Linux as a program, without a browser and without root:
# files in a temporary HOME and system root, each case asserting the doctor's
# whole verdict for Google Chrome (every check's status and rule, and what
# the extension is told). What each rule makes of a layout is checked against
# real Chromium in tests/chromium/doctor_agreement_test.cpp; here it is the
# command line, the JSON and the installers' output.
#
#   doctor-linux-test.sh DOCTOR HOST SCRIPTS
#
# SCRIPTS: the folder where the build wrote install.sh.
set -u
DOCTOR=$1
HOST=$2
SCRIPTS=$3
# shellcheck source=test-lib.sh
. "$(dirname "$0")/test-lib.sh"
scratch doctor

export ORVENDEL_SYSTEM_ROOT="$T/root" ORVENDEL_WINDOWS_DIR="$T/windows"
export ORVENDEL_NAMESPACE="doctor-test-$$"
unset XDG_CONFIG_HOME CHROME_CONFIG_HOME
export HOME="$T/home"
SYSTEM_DIR="$ORVENDEL_SYSTEM_ROOT/etc/opt/chrome/native-messaging-hosts"
POLICY_DIR="$ORVENDEL_SYSTEM_ROOT/etc/opt/chrome/policies/managed"
NOT_FOUND="Specified native messaging host not found."
FORBIDDEN="Access to the specified native messaging host is forbidden."
BLOCKED="Access to the native messaging host was disabled by the system administrator."

# manifest FILE [NAME [PATH [ORIGINS_JSON]]]
manifest() {
  mkdir -p "$(dirname "$1")"
  printf '{"name":"%s","description":"test","path":"%s","type":"stdio","allowed_origins":%s}\n' \
    "${2:-$HOST_NAME}" "${3:-$HOST}" "${4:-[\"chrome-extension://$REF/\"]}" >"$1"
}

# verdict: the last run's verdict for $BROWSER (default chrome), one line:
# what the extension is told (or "starts"), then each of its checks as
# "STATUS rule", in order.
verdict() {
  python3 - "$T/out.json" "${BROWSER:-chrome}" <<'PY'
import json, sys
doc = json.load(open(sys.argv[1], encoding="utf-8"))
b = [v for v in doc["browsers"] if v["browser"] == sys.argv[2]][0]
checks = [c["status"] + " " + c["rule"] for c in doc["checks"] if c["browser"] == sys.argv[2] and c["area"] != "agent"]
print(" | ".join([b["browser_says"] or "starts"] + checks))
PY
}

# run_case NAME SETUP EXPECTED_RC EXPECTED_VERDICT
run_case() {
  begin "$1"
  rm -rf "$HOME" "$ORVENDEL_SYSTEM_ROOT"
  mkdir -p "$HOME" "$ORVENDEL_SYSTEM_ROOT"
  $2
  "$DOCTOR" --browser "${BROWSER:-chrome}" --json >"$T/out.json" 2>"$T/err.txt"
  local rc=$? got
  [ "$rc" -eq "$3" ] || fail "exit status $rc, expected $3"
  got=$(verdict) || { fail "no JSON report"; show "$T/out.json"; }
  [ "$got" = "$4" ] || { fail "verdict: $got"; fail "expected: $4"; }
  end
}

GOOD="OK registration.used | OK manifest.fields | OK manifest.origin | OK program"
none() { :; }
good() { manifest "$SYSTEM_DIR/$HOST_NAME.json"; }
user_and_system() {
  manifest "$SYSTEM_DIR/$HOST_NAME.json"
  manifest "$HOME/.config/google-chrome/NativeMessagingHosts/$HOST_NAME.json"
}
other_id() { manifest "$SYSTEM_DIR/$HOST_NAME.json" "$HOST_NAME" "$HOST" "[\"chrome-extension://$ID_A/\"]"; }
blocked() {
  good
  mkdir -p "$POLICY_DIR"
  printf '{"NativeMessagingBlocklist": ["*"]}\n' >"$POLICY_DIR/block.json"
}
installed_user() { sh "$SCRIPTS/install.sh" --user --browser chrome --host "$HOST" >/dev/null; }

run_case "no registration" none 1 "$NOT_FOUND | FAIL registration.none"
run_case "all right" good 0 "starts | $GOOD"
run_case "the same manifest twice: a fact, not a warning" user_and_system 0 \
  "starts | OK registration.used | OK registration.unread | OK manifest.fields | OK manifest.origin | OK program"
run_case "the extension not allowed" other_id 1 \
  "$FORBIDDEN | OK registration.used | OK manifest.fields | FAIL manifest.origin"
run_case "a blocklist policy" blocked 1 "$BLOCKED | FAIL policy.blocklist"
run_case "after install.sh --user: nothing to warn of" installed_user 0 "starts | $GOOD"

# Confined packages: where each reads the user's manifests, and that it
# cannot start a host of the system's whatever the manifest says.
FAILED_TO_START="Failed to start native messaging host."
CONFINED="$FAILED_TO_START | OK registration.used | OK manifest.fields | OK manifest.origin | FAIL program"
snap() {
  mkdir -p "$ORVENDEL_SYSTEM_ROOT/snap/chromium/current"
  manifest "$HOME/snap/chromium/common/chromium/NativeMessagingHosts/$HOST_NAME.json"
}
snap_host_folders() {
  mkdir -p "$ORVENDEL_SYSTEM_ROOT/snap/bin"
  cp /bin/true "$ORVENDEL_SYSTEM_ROOT/snap/bin/chromium"
  sh "$SCRIPTS/install.sh" --user --browser chromium --host "$HOST" >/dev/null
  manifest "$ORVENDEL_SYSTEM_ROOT/etc/chromium/native-messaging-hosts/$HOST_NAME.json"
}
flatpak_system() {
  mkdir -p "$ORVENDEL_SYSTEM_ROOT/var/lib/flatpak/app/org.chromium.Chromium"
  manifest "$HOME/.var/app/org.chromium.Chromium/config/chromium/NativeMessagingHosts/$HOST_NAME.json"
}
flatpak_user_host_folders() {
  mkdir -p "$HOME/.local/share/flatpak/app/com.microsoft.Edge"
  manifest "$ORVENDEL_SYSTEM_ROOT/etc/opt/edge/native-messaging-hosts/$HOST_NAME.json"
  manifest "$HOME/.config/microsoft-edge/NativeMessagingHosts/$HOST_NAME.json"
}
BROWSER=chromium-snap run_case "a snap Chromium: its own folder, no host of the system's" snap 1 "$CONFINED"
BROWSER=chromium-snap run_case "a snap Chromium: the host's folders are not its" snap_host_folders 1 \
  "$NOT_FOUND | FAIL registration.none"
BROWSER=chromium-flatpak run_case "a Flatpak Chromium: its own folder, no host of the system's" flatpak_system 1 "$CONFINED"
BROWSER=edge-flatpak run_case "a Flatpak Edge of the user's: the host's folders are not its" flatpak_user_host_folders 1 \
  "$NOT_FOUND | FAIL registration.none"

begin "install.sh --user reaches every channel the doctor knows; no confined browser starts the host"
rm -rf "$HOME" "$ORVENDEL_SYSTEM_ROOT"
mkdir -p "$HOME" "$ORVENDEL_SYSTEM_ROOT"
sh "$SCRIPTS/install.sh" --user --host "$HOST" >/dev/null || fail "install.sh --user failed"
"$DOCTOR" --json >"$T/out.json" 2>"$T/err.txt"
python3 - "$T/out.json" "$DOCTOR" <<'PY' || fail "the doctor and install.sh disagree"
import json, subprocess, sys
ids = [b["browser"] for b in json.load(open(sys.argv[1]))["browsers"]]
bad = []
for i in ids:
    doc = json.loads(subprocess.run([sys.argv[2], "--browser", i, "--json"], capture_output=True).stdout)
    b = doc["browsers"][0]
    if b["starts"] == (i.endswith("-snap") or i.endswith("-flatpak")):
        bad.append(i + (" starts" if b["starts"] else ": " + b["browser_says"]))
print("\n".join(bad))
sys.exit(1 if bad or len(ids) < 7 else 0)
PY
end

begin "without --browser: browsers not installed are listed as such, not failed"
rm -rf "$HOME" "$ORVENDEL_SYSTEM_ROOT"
mkdir -p "$HOME" "$ORVENDEL_SYSTEM_ROOT/usr/bin"
"$DOCTOR" --json >"$T/out.json" 2>"$T/err.txt"
rc=$?
[ "$rc" -eq 0 ] || fail "exit status $rc, expected 0: nothing is installed, nothing can fail"
cp /bin/true "$ORVENDEL_SYSTEM_ROOT/usr/bin/chromium"
"$DOCTOR" --json >"$T/out2.json" 2>"$T/err.txt"
[ $? -eq 1 ] || fail "an installed Chromium with no registration: not exit status 1"
python3 - "$T/out.json" "$T/out2.json" <<'PY' || fail "the browsers' list is not as expected"
import json, sys
none = json.load(open(sys.argv[1]))["browsers"]
some = json.load(open(sys.argv[2]))["browsers"]
ids = ["chromium", "chrome", "chrome-beta", "chrome-dev", "edge", "edge-beta", "edge-dev",
       "chromium-snap", "chromium-flatpak", "chrome-flatpak", "edge-flatpak"]
ok = [b["browser"] for b in none] == ids and not any(b["installed"] or b["checked"] for b in none)
ok = ok and [(b["browser"], b["checked"]) for b in some] == [(i, i == "chromium") for i in ids]
ok = ok and some[0]["browser_says"] == "Specified native messaging host not found."
sys.exit(0 if ok else 1)
PY
# Ubuntu's chromium-browser: a script that starts the snap is not a Chromium of the system's.
rm "$ORVENDEL_SYSTEM_ROOT/usr/bin/chromium"
printf '#!/bin/sh\nexec /snap/bin/chromium "$@"\n' >"$ORVENDEL_SYSTEM_ROOT/usr/bin/chromium-browser"
chmod +x "$ORVENDEL_SYSTEM_ROOT/usr/bin/chromium-browser"
"$DOCTOR" --json >"$T/out.json" 2>"$T/err.txt" ||
  fail "Ubuntu's chromium-browser script counted as a Chromium of the system's"
end

# --user and --all-users read the named accounts' HOME from the password
# database, never this process's HOME or XDG variables.
begin "--user LOGIN or uid, --all-users: the accounts' own HOME, not \$HOME"
rm -rf "$HOME" "$ORVENDEL_SYSTEM_ROOT"
mkdir -p "$HOME" "$ORVENDEL_SYSTEM_ROOT"
user_and_system
for who in "$(id -un)" "$(id -u)"; do
  "$DOCTOR" --browser chrome --json --user "$who" >"$T/user-$who.json" 2>"$T/err.txt"
done
"$DOCTOR" --browser chrome --json --all-users >"$T/all.json" 2>"$T/err.txt"
python3 - "$T/user-$(id -un).json" "$T/user-$(id -u).json" "$T/all.json" "$HOME" <<'PY' || fail "not the accounts' HOME"
import json, os, pwd, sys
me = pwd.getpwuid(os.getuid())
bad = []
for path in sys.argv[1:3]:
    doc = json.load(open(path))
    used = [c["text"] for c in doc["checks"] if c["rule"] == "registration.used"]
    if doc["user"] != me.pw_name or "HOME of %s: %s" % (me.pw_name, me.pw_dir) not in doc["notes"]:
        bad.append(path + ": user " + doc["user"] + ", notes " + repr(doc["notes"]))
    if any(sys.argv[4] in t for t in used):
        bad.append(path + ": reads $HOME: " + repr(used))
doc = json.load(open(sys.argv[3]))
want = sorted({p.pw_name for p in pwd.getpwall() if p.pw_uid >= 1000 and p.pw_uid != 65534 and os.path.exists(p.pw_dir)})
got = sorted(u["user"] for u in doc["users"])
if got != want or doc["browsers"] or any(u["read"] == bool(u["why"]) for u in doc["users"]):
    bad.append("--all-users: %r, expected %r" % (got, want))
print("\n".join(bad))
sys.exit(1 if bad else 0)
PY
"$DOCTOR" --user "no-such-login-$$" >"$T/out.txt" 2>&1
[ $? -eq 2 ] || fail "--user with no such login: not exit status 2"
"$DOCTOR" --user "$(id -un)" --all-users >"$T/out.txt" 2>&1
[ $? -eq 2 ] || fail "--user and --all-users together: not exit status 2"
end

begin "JSON stays valid whatever bytes a path holds"
rm -rf "$HOME" "$ORVENDEL_SYSTEM_ROOT"
export HOME="$T/home-"$'\xff\xfe\xc3'
mkdir -p "$HOME/.config/google-chrome/NativeMessagingHosts"
printf '{ \xff' >"$HOME/.config/google-chrome/NativeMessagingHosts/$HOST_NAME.json"
"$DOCTOR" --browser chrome --json >"$T/out.json" 2>/dev/null
python3 -c 'import json,sys; json.loads(open(sys.argv[1],"rb").read().decode("utf-8","strict"))' "$T/out.json" ||
  fail "not valid UTF-8 JSON"
export HOME="$T/home"
end

# --bundle on a broken machine: no ini, a FIFO for a log, logs of other
# days and another program's; each part checked, and nothing secret in any.
begin "--bundle: every part of a broken machine's bundle, nothing secret"
rm -rf "$HOME" "$ORVENDEL_SYSTEM_ROOT" "$ORVENDEL_WINDOWS_DIR" "$T/bundle"
mkdir -p "$HOME" "$ORVENDEL_SYSTEM_ROOT/var/lib/dpkg/info" "$T/bundle"
DUMP="$ORVENDEL_WINDOWS_DIR/stelvo/dump"
mkdir -p "$DUMP"
TODAY=$(date +%Y%m%d) YESTERDAY=$(date -d yesterday +%Y%m%d) OLD=$(date -d '3 days ago' +%Y%m%d)
log_file() { # FILE TEXT...: records scrambled as the host writes them
  python3 - "$@" <<'PY'
import sys
with open(sys.argv[1], "wb") as f:
    for text in sys.argv[2:]:
        raw = ("\r\n   [12/09 10:00:00][0001:0002] " + text).encode()
        f.write(bytes((~b ^ i) & 0xFF for i, b in enumerate(raw)) + b"@!@")
PY
}
log_file "$DUMP/${TODAY}_Orvendel_chrome.log" "first record" "second record"
log_file "$DUMP/${OLD}_Orvendel.log" "three days old"
log_file "$DUMP/${TODAY}_Stelvo.log" "another program's"
mkfifo "$DUMP/${YESTERDAY}_Orvendel_edge.log"
blocked
printf 'secret-token-value\n' >"$SYSTEM_DIR/$HOST_NAME-chrome-machine.token"
printf '%s\n' "$HOST" >"$ORVENDEL_SYSTEM_ROOT/var/lib/dpkg/info/orvendel.list"
printf 'Package: other\nVersion: 1.0\n\nPackage: orvendel\nStatus: install ok installed\nVersion: 9.8.7\n' \
  >"$ORVENDEL_SYSTEM_ROOT/var/lib/dpkg/status"
# Laid out as the .deb does, less the host; the tools' sizes are where
# SHA-256's padding takes one block or two.
PKG="$T/pkg"
rm -rf "$PKG" && mkdir -p "$PKG/bin"
cp "$DOCTOR" "$PKG/bin/orvendel-doctor"
head -c 55 /dev/urandom >"$PKG/bin/orvendel-log"
head -c 56 /dev/urandom >"$PKG/bin/orvendel-tap"
head -c 64 /dev/urandom >"$PKG/bin/orvendel-agent"
sum() { sha256sum "$1" | cut -d' ' -f1; }
B="$T/bundle"
SECRET_TOKEN=secret-env-value LC_TIME=C timeout 60 "$PKG/bin/orvendel-doctor" --browser chrome --bundle "$B" \
  >"$T/out.txt" 2>"$T/err.txt"
rc=$?
[ "$rc" -eq 1 ] || fail "exit status $rc, expected the report's 1 (a blocklist)"
grep -qF "bundle written to $B" "$T/err.txt" || fail "stderr does not say where: $(cat "$T/err.txt")"
cmp -s "$T/out.txt" "$B/doctor.txt" || fail "doctor.txt is not the report printed"
# FILE|TEXT it must hold
while IFS='|' read -r file text; do
  [ -f "$B/$file" ] || { fail "no $file"; continue; }
  grep -qF -- "$text" "$B/$file" || fail "$file lacks: $text"
done <<EOF
doctor.txt|FAIL [chrome]
doctor.json|"rule":"policy.blocklist"
logs/${TODAY}_Orvendel_chrome.txt|   [12/09 10:00:00][0001:0002] second record
README.txt|logs/${TODAY}_Orvendel_chrome.txt: ${TODAY}_Orvendel_chrome.log (
README.txt|logs/${YESTERDAY}_Orvendel_edge.txt: not gathered: ${YESTERDAY}_Orvendel_edge.log: it is a FIFO
README.txt|stelvo.ini: not gathered: $ORVENDEL_WINDOWS_DIR/stelvo/policy/stelvo.ini: it does not exist
README.txt|1 of other days left out
manifests/chrome-1.json|"path":"$HOST"
policies/chrome.json|"NativeMessagingBlocklist": [
policies/chrome.json|"NativeMessagingBlocklist": "$POLICY_DIR/block.json"
registrations.txt|registration (system) $SYSTEM_DIR/$HOST_NAME.json
programs.txt|sha256: $(sum "$HOST")
programs.txt|sha256: $(sum "$PKG/bin/orvendel-log")
programs.txt|sha256: $(sum "$PKG/bin/orvendel-tap")
programs.txt|sha256: $(sum "$PKG/bin/orvendel-agent")
programs.txt|$PKG/lib/orvendel/orvendel_host
programs.txt|not examined: it does not exist
programs.txt|version: package orvendel 9.8.7
programs.txt|signature: not signed (Linux programs carry no signature
environment.txt|LC_TIME=C
environment.txt|root: 
EOF
[ "$(grep -c 'record' "$B/logs/${TODAY}_Orvendel_chrome.txt")" -eq 2 ] || fail "not both records decoded"
[ -e "$B/logs/${OLD}_Orvendel.txt" ] && fail "a log of three days ago was taken"
compgen -G "$B/logs/*Stelvo*" >/dev/null && fail "another program's log was taken"
grep -rqF -e secret-env-value -e secret-token-value "$B" && fail "a secret reached the bundle"
end

begin "--bundle: a folder not empty is refused untouched (2), one that cannot be made fails (1)"
mkdir -p "$T/full" && printf 'keep\n' >"$T/full/mine.txt"
"$DOCTOR" --browser chrome --bundle "$T/full" >/dev/null 2>"$T/err.txt"
RC=$? RC_OUTPUT="$T/err.txt"
expect_rc 2 "a folder not empty"
if [ "$(ls "$T/full")" != mine.txt ] || ! grep -qx keep "$T/full/mine.txt"; then fail "the folder not empty was changed"; fi
grep -q 'not empty' "$T/err.txt" || fail "no reason given: $(cat "$T/err.txt")"
"$DOCTOR" --browser chrome --bundle "$T/full/mine.txt/sub" >"$T/out.txt" 2>"$T/err.txt"
RC=$?
expect_rc 1 "a folder under a file"
[ -s "$T/err.txt" ] || fail "no message on stderr"
[ -s "$T/out.txt" ] && fail "the report was printed although no bundle could be made"
end

begin "usage: --help, --version, bad arguments, missing values"
"$DOCTOR" --help >"$T/out.txt" 2>&1 || fail "--help failed"
grep -q '^Usage: orvendel-doctor' "$T/out.txt" || fail "no usage"
grep -q 'It writes nothing' "$T/out.txt" || fail "the usage does not say what it touches"
"$DOCTOR" --browser firefox >"$T/out.txt" 2>&1
[ $? -eq 2 ] || fail "--browser firefox: not exit status 2"
"$DOCTOR" --extension-id "${REF:0:31}" >"$T/out.txt" 2>&1
[ $? -eq 2 ] || fail "a short id: not exit status 2"
for option in --browser --name --extension-id --user; do
  "$DOCTOR" --json "$option" >"$T/out.txt" 2>"$T/err.txt"
  [ $? -eq 2 ] || fail "$option without a value: not exit status 2"
  grep -q -- "$option needs a value" "$T/err.txt" || fail "$option without a value: $(head -n 1 "$T/err.txt")"
done
end

summary
