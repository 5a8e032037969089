#!/usr/bin/env bash
# orvendel-doctor on Linux: one case per fault of a registration, each made
# with files in a temporary HOME and system folder, and one where all is
# right. Each case names the check that must come out and how.
#
#   doctor-linux-test.sh DOCTOR HOST
set -u
DOCTOR=$1
HOST=$2
# shellcheck source=test-lib.sh
. "$(dirname "$0")/test-lib.sh"
scratch doctor

export HOME="$T/home" ORVENDEL_SYSTEM_ROOT="$T/root" ORVENDEL_WINDOWS_DIR="$T/windows"
export ORVENDEL_NAMESPACE="doctor-test-$$"
USER_DIR="$HOME/.config/google-chrome/NativeMessagingHosts"
SYSTEM_DIR="$ORVENDEL_SYSTEM_ROOT/etc/opt/chrome/native-messaging-hosts"

# manifest FILE [NAME [PATH [ORIGINS_JSON]]]
manifest() {
  mkdir -p "$(dirname "$1")"
  printf '{"name":"%s","description":"test","path":"%s","type":"stdio","allowed_origins":%s}\n' \
    "${2:-$HOST_NAME}" "${3:-$HOST}" "${4:-[\"chrome-extension://$REF/\"]}" >"$1"
}

# expect STATUS TEXT: the doctor's last run has a Chrome check of that status
# whose text holds TEXT.
expect() {
  python3 - "$T/out.json" "$1" "$2" <<'PY' || fail "no $1 check with '$2'"
import json, sys
doc = json.load(open(sys.argv[1]))
sys.exit(0 if any(c["status"] == sys.argv[2] and sys.argv[3] in c["text"] for c in doc["checks"]) else 1)
PY
}

# run_case NAME SETUP EXPECTED_RC STATUS TEXT [STATUS TEXT]...
run_case() {
  local name=$1 setup=$2 rc_want=$3
  shift 3
  begin "$name"
  rm -rf "$HOME" "$ORVENDEL_SYSTEM_ROOT"
  mkdir -p "$HOME" "$ORVENDEL_SYSTEM_ROOT"
  $setup
  "$DOCTOR" --browser chrome --json >"$T/out.json" 2>"$T/err.txt"
  local rc=$?
  [ "$rc" -eq "$rc_want" ] || { fail "exit status $rc, expected $rc_want"; show "$T/out.json"; }
  while [ $# -ge 2 ]; do
    expect "$1" "$2"
    shift 2
  done
  end
}

none() { :; }
good() { manifest "$SYSTEM_DIR/$HOST_NAME.json"; }
broken() { mkdir -p "$SYSTEM_DIR"; printf '{"name": "%s",' "$HOST_NAME" >"$SYSTEM_DIR/$HOST_NAME.json"; }
wrong_name() { manifest "$SYSTEM_DIR/$HOST_NAME.json" com.example.other; }
no_exe() { manifest "$SYSTEM_DIR/$HOST_NAME.json" "$HOST_NAME" "$T/missing/orvendel_host"; }
relative() { manifest "$SYSTEM_DIR/$HOST_NAME.json" "$HOST_NAME" orvendel_host; }
other_id() { manifest "$SYSTEM_DIR/$HOST_NAME.json" "$HOST_NAME" "$HOST" "[\"chrome-extension://$ID_A/\"]"; }
wildcard() { manifest "$SYSTEM_DIR/$HOST_NAME.json" "$HOST_NAME" "$HOST" '["chrome-extension://*/"]'; }
shadowed() {
  manifest "$SYSTEM_DIR/$HOST_NAME.json"
  manifest "$USER_DIR/$HOST_NAME.json" "$HOST_NAME" "$HOST" "[\"chrome-extension://$ID_A/\"]"
}

run_case "no registration" none 1 FAIL "finds no registration"
run_case "all right" good 0 OK "Chrome uses $SYSTEM_DIR/$HOST_NAME.json" OK "path names the host" \
  OK "extension $REF is allowed"
run_case "broken JSON" broken 1 FAIL "is not valid JSON"
run_case "a name that does not match" wrong_name 1 FAIL "name in"
run_case "a missing program" no_exe 1 FAIL "does not exist"
run_case "a relative program path" relative 1 FAIL "is relative"
run_case "the extension not allowed" other_id 1 FAIL "extension $REF is not in allowed_origins"
run_case "a malformed origin" wildcard 1 FAIL "is malformed"
run_case "the user's manifest shadows the system's" shadowed 1 OK "Chrome uses $USER_DIR/$HOST_NAME.json" \
  WARN "is shadowed by" FAIL "extension $REF is not in allowed_origins"

begin "usage: --help, --version, bad arguments"
"$DOCTOR" --help >"$T/out.txt" 2>&1 || fail "--help failed"
grep -q '^Usage: orvendel-doctor' "$T/out.txt" || fail "no usage"
"$DOCTOR" --browser firefox >"$T/out.txt" 2>&1
[ $? -eq 2 ] || fail "--browser firefox: not exit status 2"
"$DOCTOR" --extension-id "${REF:0:31}" >"$T/out.txt" 2>&1
[ $? -eq 2 ] || fail "a short id: not exit status 2"
end

summary
