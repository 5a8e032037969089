#!/usr/bin/env bash
# The per-user MSI under Wine in a 64-bit prefix: a table of msiexec steps,
# each followed by the whole state it must leave (the files in the profile,
# the HKCU keys, the installed products and the per-machine package's part),
# then what the doctor makes of it.
#
#   windows-msi-user-test.sh USER_MSI MACHINE_MSI BIN_DIR VERSION DOCTOR_EXE EXTENSION_IDS
#
# BIN_DIR holds the programs the MSIs were built from: the test builds an
# older per-user MSI of them for the upgrade. DOCTOR_EXE is a doctor that
# runs here. Needs the prefix of `./run wine-test`'s kind (WINEPREFIX, WINE;
# WINEARCH=win64). Every Wine command writes to a file.
set -u
USER_MSI=$1
MACHINE_MSI=$2
BIN=$3
VERSION=$4
DOCTOR=$5
IDS=$6
# shellcheck source=test-lib.sh
. "$(dirname "$0")/test-lib.sh"

need_wine64

OLD_VERSION=0.0.1
USER_NAME='Orvendel native messaging host (per user)'
MACHINE_NAME='Orvendel native messaging host'
CHROME_KEY="Software\\Google\\Chrome\\NativeMessagingHosts\\$HOST_NAME"
EDGE_KEY="Software\\Microsoft\\Edge\\NativeMessagingHosts\\$HOST_NAME"
UNINSTALL='Software\Microsoft\Windows\CurrentVersion\Uninstall'
OUR_KEY='hkcu\software\orvendel\nativehost'
MACHINE_DIR="$WINEPREFIX/drive_c/Program Files (x86)/Orvendel"
WIN_MACHINE_DIR='C:\Program Files (x86)\Orvendel'
msi_stage orv-msi-user
cp "$USER_MSI" "$STAGE/user.msi"
cp "$MACHINE_MSI" "$STAGE/machine.msi"
if ! bash "$SOURCE/packaging/windows/build-msi.sh" --per-user "$BIN" "$OLD_VERSION" "$STAGE/old.msi" "$IDS" >"$OUT" 2>&1; then
  show "$OUT"
  exit 1
fi

# The profile's folders, as this prefix's user has them.
wine_cmd "$STAGE" "$OUT" echo %LOCALAPPDATA%
WIN_LOCAL=$(tr -d '\r' <"$OUT" | tail -n 1)
case "$WIN_LOCAL" in
  [Cc]:\\*) ;;
  *) echo "cannot read LOCALAPPDATA: '$WIN_LOCAL'" >&2; exit 1 ;;
esac
WIN_DIR="$WIN_LOCAL\\Programs\\Orvendel"
LOCAL=${WIN_LOCAL#?:\\}
LOCAL="$WINEPREFIX/drive_c/${LOCAL//\\//}"
PROGRAMS="$LOCAL/Programs"
PROGRAMS_REL=${PROGRAMS#"$WINEPREFIX/drive_c/"}
DIR="$PROGRAMS/Orvendel"
SHARED="$PROGRAMS/Other App"
MACHINE_REL=${MACHINE_DIR#"$WINEPREFIX/drive_c/"}
FILES=("$HOST_NAME.json" orvendel-doctor.exe orvendel-log.exe orvendel-tap.exe orvendel_host.exe)

# regdump TAG KEY [VIEW]: what of ours reg query KEY /s shows, a line each
# (key paths in lower case, as Windows compares them):
#   R<TAG> KEY NAME=VALUE   a value under Orvendel's, Google's or Edge's key
#   R<TAG> KEY (empty)      a key there with neither values nor subkeys
#   A NAME VERSION          an entry in Apps (an Uninstall key)
#   P<TAG> NAME             a product Windows Installer published there
regdump() {
  local tag=$1
  shift
  reg query "$@" /s >&2 || return 0
  tr -d '\r' <"$REG_OUT" | awk -v tag="$tag" -v user="$USER_NAME" -v machine="$MACHINE_NAME" '
    function ours(k) { return tolower(k) ~ /^hk(cu|lm)\\software\\(orvendel|google|microsoft\\edge)(\\|$)/ }
    function close_key() {
      if (ours(key) && !values && leaf) print "R" tag " " tolower(key) " (empty)"
      if (display == user || display == machine) print "A " display " " version
    }
    /^HKEY_/ {
      next_key = $0; sub(/^HKEY_CURRENT_USER/, "HKCU", next_key); sub(/^HKEY_LOCAL_MACHINE/, "HKLM", next_key)
      if (key != "") { leaf = index(tolower(next_key), tolower(key) "\\") != 1; close_key() }
      key = next_key; values = 0; display = ""; version = ""
      next
    }
    match($0, /    REG_[A-Z_]+( +|$)/) {
      name = substr($0, 1, RSTART - 1); sub(/^ +/, "", name)
      value = substr($0, RSTART + RLENGTH)
      values = 1
      if (ours(key)) print "R" tag " " tolower(key) " " name "=" value
      if (name == "DisplayName") display = value
      if (name == "DisplayVersion") version = value
      if (name == "ProductName" && (value == user || value == machine) && tolower(key) ~ /installer\\products\\[^\\]+$/)
        print "P" tag " " value
    }
    END { if (key != "") { leaf = 1; close_key() } }'
}

# The whole state of ours: the files and folders of both packages, the
# HKCU keys, the HKLM keys in both views, the entries in Apps and the
# products published per user (PU) and per machine (PM).
snapshot() {
  {
    (cd "$WINEPREFIX/drive_c" && find "$PROGRAMS_REL" "$MACHINE_REL" 2>/dev/null) | sed 's/^/F /'
    regdump U 'HKCU\Software'
    regdump 32 'HKLM\Software\Google' /reg:32
    regdump 32 'HKLM\Software\Microsoft\Edge' /reg:32
    regdump 64 'HKLM\Software\Google' /reg:64
    regdump 64 'HKLM\Software\Microsoft\Edge' /reg:64
    # Apps: HKCU's Uninstall key is in the dump above; Wine 8 writes every
    # product's entry, per-user ones too, in HKLM's (dlls/msi/registry.c,
    # MSIREG_OpenUninstallKey).
    regdump 32 "HKLM\\$UNINSTALL" /reg:32
    regdump M 'HKLM\Software\Classes\Installer\Products'
  } | sort
}

# expected USER MACHINE CHROME EDGE: the snapshot that goes with the
# per-user product's version (or -), the per-machine one's, and whether the
# per-user Chrome and Edge keys are there (y/n).
expected() {
  local user=$1 machine=$2 f
  {
    if [ "$user" != - ] || [ -e "$SHARED" ]; then echo "F $PROGRAMS_REL"; fi
    if [ -e "$SHARED" ]; then printf 'F %s\n' "$PROGRAMS_REL/Other App" "$PROGRAMS_REL/Other App/keep.txt"; fi
    if [ "$user" != - ]; then
      echo "F $PROGRAMS_REL/Orvendel"
      for f in "${FILES[@]}"; do echo "F $PROGRAMS_REL/Orvendel/$f"; done
      echo "A $USER_NAME $user"
      echo "PU $USER_NAME"
      echo "RU $OUR_KEY InstallDir=$WIN_DIR\\"
      echo "RU $OUR_KEY Version=$user"
      # Remembered as given: 0 where a browser's key is left out.
      echo "RU $OUR_KEY CHROMEINSTALL=${3/[yY]/}" | sed 's/=n$/=0/'
      echo "RU $OUR_KEY EDGEINSTALL=${4/[yY]/}" | sed 's/=n$/=0/'
    fi
    if [ "$3" = y ]; then echo "RU hkcu\\${CHROME_KEY,,} (Default)=$WIN_DIR\\$HOST_NAME.json"; fi
    if [ "$4" = y ]; then echo "RU hkcu\\${EDGE_KEY,,} (Default)=$WIN_DIR\\$HOST_NAME.json"; fi
    if [ "$machine" != - ]; then
      echo "F $MACHINE_REL"
      for f in "${FILES[@]}"; do echo "F $MACHINE_REL/$f"; done
      echo "A $MACHINE_NAME $machine"
      echo "PM $MACHINE_NAME"
      echo "R32 hklm\\${CHROME_KEY,,} (Default)=$WIN_MACHINE_DIR\\$HOST_NAME.json"
      echo "R32 hklm\\${EDGE_KEY,,} (Default)=$WIN_MACHINE_DIR\\$HOST_NAME.json"
    fi
  } | sort
}

expect_state() { # USER MACHINE CHROME EDGE
  snapshot >"$STAGE/got"
  expected "$@" >"$STAGE/want"
  diff "$STAGE/want" "$STAGE/got" >"$STAGE/diff" || { fail "the state differs (- expected, + found):"; show "$STAGE/diff"; }
  if [ "$1" != - ]; then
    # shellcheck disable=SC2086 # the ids are words
    check_manifest_json "$DIR/$HOST_NAME.json" orvendel_host.exe ${IDS//,/ }
  fi
}

# expect_doctor HIVE: for both browsers, the doctor has nothing to warn of
# and says the browser uses the registration under HIVE.
expect_doctor() {
  local b
  for b in chrome edge; do
    wine_run "$STAGE/doctor.json" "$OUT" 60 "$DOCTOR" --browser "$b" --json
    nothing_to_warn_of "$STAGE/doctor.json" "$b" || { fail "$b: a WARN or FAIL"; show "$OUT"; }
    python3 - "$STAGE/doctor.json" "$b" "$1" <<'PY' || fail "$b: the doctor does not say it uses $1's registration"
import json, sys
doc = json.loads(open(sys.argv[1], encoding="utf-8").read().strip())
used = [c["text"] for c in doc["checks"] if c["browser"] == sys.argv[2] and c["rule"] == "registration.used"]
if len(used) != 1 or " uses %s\\SOFTWARE\\" % sys.argv[3] not in used[0]:
    sys.exit("      | %s" % used)
PY
  done
}

# One row a step: what msiexec does (U the per-user MSI, OLD its older build,
# M the per-machine MSI; a leading ! when it must fail; "shared" puts another
# application's folder into Programs), the state it leaves (per-user
# version, per-machine version, per-user Chrome and Edge keys), and the
# registration the doctor must find both browsers using (- for no doctor).
# A "=" row starts a group.
TABLE="
= install for the current user: the profile and HKCU only, per-user context
/i U                 | V - y y   | HKCU
/x U                 | - - n n   | -
= EDGEINSTALL=0 leaves Edge's key out, CHROMEINSTALL=0 Chrome's
/i U EDGEINSTALL=0   | V - y n   | -
/x U                 | - - n n   | -
/i U CHROMEINSTALL=0 | V - n y   | -
/x U                 | - - n n   | -
= V replaces OLD and keeps its EDGEINSTALL=0; a downgrade is refused and changes nothing
/i OLD EDGEINSTALL=0 | OLD - y n | -
/i U                 | V - y n   | -
!/i OLD              | V - y n   | -
/x U                 | - - n n   | -
= removal keeps a Programs folder that holds another application
shared               | - - n n   | -
/i U                 | V - y y   | -
/x U                 | - - n n   | -
= beside the per-machine package: both install, HKCU wins, each leaves cleanly
/i M                 | - V n n   | HKLM
/i U                 | V V y y   | HKCU
/x U                 | - V n n   | HKLM
/i U                 | V V y y   | -
/x M                 | V - y y   | HKCU
/x U                 | - - n n   | -
"

run_step() { # ACTION...: its status in RC
  local args=() a
  if [ "$1" = shared ]; then
    mkdir -p "$SHARED" && echo keep >"$SHARED/keep.txt"
    RC=$?
    return
  fi
  for a in "$@"; do
    case $a in
      U) args+=("$WIN_STAGE\\user.msi") ;;
      OLD) args+=("$WIN_STAGE\\old.msi") ;;
      M) args+=("$WIN_STAGE\\machine.msi") ;;
      *) args+=("$a") ;;
    esac
  done
  msi "${args[@]}"
}

# What Windows enforces and Wine does not: a package that asks for no
# elevation (no ALLUSERS, Word Count bit 3), components in the profile keyed
# by an HKCU value (ICE38), and every folder of ours there removed (ICE64).
begin "the tables: no elevation asked for; HKCU key paths; each folder of ours removed"
msiinfo suminfo "$USER_MSI" 2>/dev/null | grep -q '^Source: 10 ' || fail "Word Count is not 10: $(msiinfo suminfo "$USER_MSI" 2>&1 | grep '^Source')"
for t in Property Directory Component Registry RemoveFile; do
  msiinfo export "$USER_MSI" "$t" | tr -d '\r' | tail -n +4 >"$STAGE/$t.idt"
done
problems=$(python3 - "$STAGE" <<'PY'
import sys
def rows(t):
    return [l.rstrip("\n").split("\t") for l in open("%s/%s.idt" % (sys.argv[1], t), encoding="utf-8")]
problems = []
if any(r[0] == "ALLUSERS" for r in rows("Property")):
    problems.append("ALLUSERS is set")
parent = {r[0]: r[1] for r in rows("Directory")}
def in_profile(d):
    while d:
        if d == "LocalAppDataFolder":
            return True
        d = parent.get(d)
    return False
ours = {d for d in parent if d != "LocalAppDataFolder" and in_profile(d)}
removed = {r[3] for r in rows("RemoveFile") if r[2] == "" and r[4] in ("2", "3")}
for d in sorted(ours - removed):
    problems.append("no RemoveFolder for " + d)
registry = {r[0]: r[1] for r in rows("Registry")}
for c in rows("Component"):
    if not int(c[3]) & 4 or registry.get(c[5]) != "1":
        problems.append("component %s is not keyed by an HKCU value" % c[0])
print("; ".join(problems))
PY
)
[ -z "$problems" ] || fail "$problems"
end

GROUP=
while IFS='|' read -r action state doctor; do
  read -r action <<<"$action"
  read -r doctor <<<"$doctor"
  [ -n "$action" ] || continue
  if [ "${action:0:1}" = = ]; then
    [ -n "$GROUP" ] && end
    if [ -e "$SHARED" ]; then rm -rf "$SHARED" && rmdir "$PROGRAMS"; fi
    begin "${action#= }"
    continue
  fi
  before=$GROUP_FAILS
  # shellcheck disable=SC2086 # words of the table
  run_step ${action#!}
  if [ "${action:0:1}" = '!' ]; then
    [ "$RC" -ne 0 ] || fail "msiexec ${action#!} succeeded"
  else
    expect_rc 0 "msiexec $action"
  fi
  state=${state//OLD/$OLD_VERSION}
  # shellcheck disable=SC2086 # four words
  expect_state ${state//V/$VERSION}
  [ "$doctor" = - ] || expect_doctor "$doctor"
  [ "$GROUP_FAILS" -eq "$before" ] || echo "    (after: $action)"
done <<<"$TABLE"
end

summary
