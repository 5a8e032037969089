# Sourced by the packaging tests: named groups of checks, one line each, and
# a closing "N passed, N failed" line. A group fails when any check in it does.

# shellcheck disable=SC2034 # the constants are for the tests that source this

SOURCE=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# The host's registered name and the reference extension's id, as the
# contract's header has them; two other ids.
contract_fact() { sed -n "s/^#define $1 \"\\(.*\\)\"\$/\\1/p" "$SOURCE/contract/contract.h"; }
HOST_NAME=$(contract_fact HOST_REGISTERED_NAME)
REF=$(contract_fact REFERENCE_EXTENSION_ID)
if [ -z "$HOST_NAME" ] || [ -z "$REF" ]; then
  echo "contract/contract.h names no host or extension" >&2
  exit 1
fi
ID_A=aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa
ID_B=ponmlkjihgfedcbaponmlkjihgfedcba

# Debian's own Python where there is one: a version manager's shim first on
# PATH (pyenv's) took seconds a call on a busy machine.
PYTHON=/usr/bin/python3
[ -x "$PYTHON" ] || PYTHON=$(command -v python3)
python3() { "$PYTHON" "$@"; }

PASSED=0
FAILED=0
GROUP=
GROUP_FAILS=0

begin() {
  GROUP=$1
  GROUP_FAILS=0
}

fail() {
  GROUP_FAILS=$((GROUP_FAILS + 1))
  printf '    %s\n' "$*"
}

show() {
  sed 's/^/      | /' "$1" | head -n 40
}

end() {
  if [ "$GROUP_FAILS" -eq 0 ]; then
    PASSED=$((PASSED + 1))
    printf 'ok      %s\n' "$GROUP"
  else
    FAILED=$((FAILED + 1))
    printf 'FAILED  %s\n' "$GROUP"
  fi
}

summary() {
  printf '%d passed, %d failed\n' "$PASSED" "$FAILED"
  [ "$FAILED" -eq 0 ]
}

# expect_rc EXPECTED [WHAT]: RC, the status the test kept, is EXPECTED;
# otherwise a failure that shows the file RC_OUTPUT names, if the test named one.
expect_rc() {
  [ "$RC" -eq "$1" ] && return 0
  fail "${2:+$2: }exit status $RC, expected $1"
  if [ -n "${RC_OUTPUT:-}" ]; then show "$RC_OUTPUT"; fi
}

# scratch TAG: $T, a new temporary folder that goes when the test ends.
scratch() {
  T=$(mktemp -d "${TMPDIR:-/tmp}/orv-pack-$1.XXXXXX") || exit 1
  trap 'rm -rf "$T"' EXIT
}

# pack CPACK BUILD_DIR GENERATORS: cpack of that build into $T/out. Without
# packages there is nothing to check: a failure ends the test.
pack() {
  if ! "$1" --config "$2/CPackConfig.cmake" -G "$3" -B "$T/out" >"$T/cpack.log" 2>&1; then
    cat "$T/cpack.log" >&2
    exit 1
  fi
}

# only_package SUFFIX: the path of the one package in $T/out whose name ends
# so; fails, saying what is there, when there is not exactly one.
only_package() {
  local found=("$T"/out/*"$1")
  if [ "${#found[@]}" -ne 1 ] || [ ! -f "${found[0]}" ]; then
    echo "expected one *$1 package, found: $(ls "$T/out")" >&2
    return 1
  fi
  printf '%s\n' "${found[0]}"
}

# check_manifest_json FILE HOST_PATH IDS...: the file is one JSON object with
# exactly the fields a browser reads, naming that host and those origins in
# that order.
check_manifest_json() {
  local problems
  if ! problems=$(python3 - "$HOST_NAME" "$@" 2>&1 <<'EOF'
import json, sys
name, path, host = sys.argv[1:4]
origins = ["chrome-extension://%s/" % i for i in sys.argv[4:]]
try:
    with open(path, encoding="utf-8") as f:
        m = json.load(f)
except ValueError as e:
    sys.exit("not JSON: %s" % e)
problems = []
if not isinstance(m, dict):
    sys.exit("not a JSON object")
want = {"name": name, "path": host, "type": "stdio",
        "allowed_origins": origins}
for key, value in want.items():
    if m.get(key) != value:
        problems.append("%s is %r, expected %r" % (key, m.get(key), value))
if not isinstance(m.get("description"), str) or not m["description"]:
    problems.append("no description")
extra = set(m) - set(want) - {"description"}
if extra:
    problems.append("unexpected fields %s" % sorted(extra))
if problems:
    sys.exit("; ".join(problems))
EOF
  ); then
    fail "$1: $problems"
  fi
}

# wine_cmd FOLDER OUT ARGS...: cmd.exe /c ARGS from FOLDER, its output in OUT,
# its exit status in RC. On a loaded machine Wine's cmd.exe was seen to fail
# to start reg.exe ("Can't recognize 'reg add ...' as an internal or external
# command"), which unregister.cmd reports as "could not run reg.exe": a script
# that met either is run once more; WINE_CMD_TRIES=1 where that is the
# outcome under test.
wine_cmd() {
  local folder=$1 out=$2 try
  shift 2
  for ((try = 1; ; try++)); do
    (cd "$folder" && timeout -k 5 120 "$WINE" cmd /c "$@") >"$out" 2>&1 </dev/null
    RC=$?
    grep -q -e "^Can't recognize '" -e "could not run reg.exe" "$out" || return 0
    [ "$try" -lt "${WINE_CMD_TRIES:-2}" ] || return 0
    echo "    (Wine's cmd.exe could not start a program; running $1 again)"
  done
}

# wine_run OUT ERR SECONDS PROGRAM [ARGS...]: the program under Wine, its
# output in OUT and its errors in ERR (which may be OUT). The programs run
# this way always write something, so one that failed before writing
# anything was not started by Wine, as happens on a loaded machine
# (wine-exec), and is run once more.
wine_run() {
  local out=$1 err=$2 seconds=$3 try rc
  shift 3
  for try in 1 2; do
    if [ "$err" = "$out" ]; then timeout -k 5 "$seconds" "$WINE" "$@" >"$out" 2>&1 </dev/null
    else timeout -k 5 "$seconds" "$WINE" "$@" >"$out" 2>"$err" </dev/null; fi
    rc=$?
    [ "$rc" -ne 0 ] && [ ! -s "$out" ] && [ ! -s "$err" ] || return "$rc"
    [ "$try" = 1 ] && echo "    (Wine ended $1 with status $rc before it wrote anything; running it again)"
  done
  return "$rc"
}

# reg ARGS...: Wine's reg.exe, its output in $REG_OUT (set by the test).
reg() { wine_run "$REG_OUT" "$REG_OUT" 60 reg "$@"; }

# reg_value KEY [/reg:NN]: the key's default value in REPLY; fails when absent.
reg_value() {
  REPLY=
  reg query "$@" /ve || return 1
  REPLY=$(tr -d '\r' <"$REG_OUT" | sed -n 's/^.*REG_SZ[[:blank:]]*//p')
}

expect_value() { # KEY VIEW EXPECTED (VIEW may be "")
  if ! reg_value "$1" ${2:+"$2"}; then
    fail "$1 $2 is absent, expected $3"
  elif [ "$REPLY" != "$3" ]; then
    fail "$1 $2 is '$REPLY', expected '$3'"
  fi
}

# nothing_to_warn_of JSON BROWSER: the doctor's --json report says the
# browser starts the host, with no WARN or FAIL in its own checks (the
# agent's, which need a running host, left out); prints any that are.
nothing_to_warn_of() {
  python3 - "$1" "$2" <<'PY'
import json, sys
doc = json.loads(open(sys.argv[1], encoding="utf-8").read().strip())
bad = [c for c in doc["checks"] if c["browser"] == sys.argv[2] and c["area"] != "agent" and c["status"] != "OK"]
for c in bad:
    print("      |", c["status"], c["rule"], c["text"])
b = [v for v in doc["browsers"] if v["browser"] == sys.argv[2]][0]
sys.exit(1 if bad or b["browser_says"] else 0)
PY
}

# msi_stage NAME: $STAGE, the prefix's C:\NAME ($WIN_STAGE), made empty now
# and removed at the end, and in it the files Wine's commands write ($OUT,
# the one failures show, and $REG_OUT).
msi_stage() {
  STAGE="$WINEPREFIX/drive_c/$1"
  WIN_STAGE="C:\\$1"
  rm -rf "$STAGE"
  mkdir -p "$STAGE"
  trap 'rm -rf "$STAGE"' EXIT
  OUT=$STAGE/out.txt
  RC_OUTPUT=$OUT
  REG_OUT=$STAGE/reg
}

# msi ARGS...: msiexec quiet and without a restart, as the deployment guide
# runs it; its status in RC, its log in $STAGE/msi.log.
msi() {
  timeout -k 5 300 "$WINE" msiexec "$@" /qn /norestart /l*v "$WIN_STAGE\\msi.log" >"$OUT" 2>&1 </dev/null
  RC=$?
}

# need_wine64: ends the test unless it runs in the 64-bit Wine prefix that
# ./run sets up, whose registry keeps the 32- and 64-bit views apart.
need_wine64() {
  if [ -z "${WINEPREFIX:-}" ] || [ -z "${WINE:-}" ] || [ "${WINEARCH:-}" != win64 ]; then
    echo "needs a 64-bit Wine prefix (WINEPREFIX, WINE, WINEARCH=win64): run it through ./run wine-test 64" >&2
    exit 2
  fi
}

# softhsm_key DIR: a throwaway code-signing key on a SoftHSM token of its
# own under DIR (DIR/cert.pem its certificate, DIR/pin its PIN), and the
# environment that makes sign.sh sign with it (no ORV_SIGN_PKCS12).
softhsm_key() {
  local dir=$1 module
  for module in /usr/lib/softhsm/libsofthsm2.so /usr/lib/*/softhsm/libsofthsm2.so ''; do
    [ -f "$module" ] && break
  done
  if [ -z "$module" ] || ! command -v softhsm2-util >/dev/null; then
    echo "no SoftHSM (Debian: softhsm2)" >&2
    return 1
  fi
  mkdir -p "$dir/tokens"
  printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' "$dir" >"$dir/softhsm2.conf"
  export SOFTHSM2_CONF=$dir/softhsm2.conf
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$dir/key.pem" -out "$dir/cert.pem" -days 2 \
    -subj "/CN=Orvendel throwaway token signing" -addext "extendedKeyUsage=codeSigning" \
    -addext "keyUsage=critical,digitalSignature" -addext "basicConstraints=critical,CA:FALSE" 2>/dev/null &&
    printf '4711-throwaway\n' >"$dir/pin" &&
    softhsm2-util --init-token --free --label orv-test --so-pin 87654321 --pin 4711-throwaway >/dev/null &&
    softhsm2-util --import "$dir/key.pem" --token orv-test --label codesign --id 01 --pin 4711-throwaway >/dev/null &&
    rm -f "$dir/key.pem" || return 1
  unset ORV_SIGN_PKCS12 ORV_SIGN_PASSWORD
  export ORV_SIGN_PKCS11_MODULE=$module ORV_SIGN_PKCS11_KEY='pkcs11:token=orv-test;object=codesign;type=private' \
    ORV_SIGN_CERT=$dir/cert.pem ORV_SIGN_PASSWORD_FILE=$dir/pin
}
