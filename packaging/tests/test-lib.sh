# Sourced by the packaging tests: named groups of checks, one line each, and
# a closing "N passed, N failed" line. A group fails when any check in it does.

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

# check_manifest_json FILE HOST_PATH IDS...: the file is one JSON object with
# exactly the fields a browser reads, naming that host and those origins in
# that order.
check_manifest_json() {
  local problems
  if ! problems=$(python3 - "$@" 2>&1 <<'EOF'
import json, sys
path, host = sys.argv[1], sys.argv[2]
origins = ["chrome-extension://%s/" % i for i in sys.argv[3:]]
try:
    with open(path, encoding="utf-8") as f:
        m = json.load(f)
except ValueError as e:
    sys.exit("not JSON: %s" % e)
problems = []
if not isinstance(m, dict):
    sys.exit("not a JSON object")
want = {"name": "com.orvendel.native_host", "path": host, "type": "stdio",
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
