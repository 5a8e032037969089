#!/usr/bin/env bash
# install.sh and uninstall.sh as the build writes them into SCRIPTS, run by
# /bin/sh into a temporary HOME and ORVENDEL_ROOT, checked through the files
# they leave.
#
#   linux-scripts-test.sh HOST_PROGRAM SCRIPTS
set -u
HOST_PROGRAM=$1
SCRIPTS=$2
# shellcheck source=test-lib.sh
. "$(dirname "$0")/test-lib.sh"

scratch linux
OUT=$T/out
ERR=$T/err
RC_OUTPUT=$ERR

# A host folder whose name a manifest must escape.
HOST_DIR="$T/host dir \"quoted\" back\\slash"
mkdir -p "$HOST_DIR"
cp "$HOST_PROGRAM" "$HOST_DIR/orvendel_host"
HOST="$HOST_DIR/orvendel_host"

user_file() { # BROWSER [CONFIG]
  local config=${2:-$T/home/.config}
  case $1 in
    chrome) echo "$config/google-chrome/NativeMessagingHosts/$HOST_NAME.json" ;;
    chromium) echo "$config/chromium/NativeMessagingHosts/$HOST_NAME.json" ;;
    edge) echo "$config/microsoft-edge/NativeMessagingHosts/$HOST_NAME.json" ;;
  esac
}

# Each browser's channels, by their user data folders: install.sh --user
# writes in every one.
declare -A CHANNELS=([chrome]="google-chrome google-chrome-beta google-chrome-unstable" [chromium]=chromium
  [edge]="microsoft-edge microsoft-edge-beta microsoft-edge-dev")
# channels BROWSER...: every channel's user-level manifest into U, under
# $CONFIG or the temporary HOME's .config.
channels() {
  local b f
  U=()
  for b in "$@"; do
    for f in ${CHANNELS[$b]}; do U+=("${CONFIG:-$T/home/.config}/$f/NativeMessagingHosts/$HOST_NAME.json"); done
  done
}

system_file() { # BROWSER
  case $1 in
    chrome) echo "$T/root/etc/opt/chrome/native-messaging-hosts/$HOST_NAME.json" ;;
    chromium) echo "$T/root/etc/chromium/native-messaging-hosts/$HOST_NAME.json" ;;
    edge) echo "$T/root/etc/opt/edge/native-messaging-hosts/$HOST_NAME.json" ;;
  esac
}

fresh() {
  rm -rf "${T:?}/home" "${T:?}/root"
  mkdir -p "$T/home" "$T/root"
}

# run SCRIPT ARGS...: with sh, HOME and ORVENDEL_ROOT in the temporary tree.
run() {
  local script=$1
  shift
  env -u XDG_CONFIG_HOME HOME="$T/home" ORVENDEL_ROOT="$T/root" \
    sh "$SCRIPTS/$script" "$@" >"$OUT" 2>"$ERR"
  RC=$?
}


# Every regular file under the temporary HOME and root, one a line.
files() { (cd "$T" && find home root -type f | sort); }

expect_files() { # PATHS... (absolute)
  local want
  want=$(for f in "$@"; do echo "${f#"$T"/}"; done | sort)
  if [ "$(files)" != "$want" ]; then
    fail "files are:"$'\n'"$(files)"$'\n'"    expected:"$'\n'"$want"
  fi
}

begin "--user: every channel of the three browsers, the reference id, the host path escaped"
fresh
run install.sh --host "$HOST"
expect_rc 0 "install.sh --user"
channels chrome chromium edge
for f in "${U[@]}"; do
  check_manifest_json "$f" "$HOST" "$REF"
  [ "$(stat -c %a "$f")" = 644 ] || fail "$f has mode $(stat -c %a "$f")"
done
expect_files "${U[@]}"
[ "$(grep -c '^installed ' "$OUT")" -eq 7 ] || fail "expected one 'installed' line per manifest"
end

begin "the same install twice leaves the same files"
cp "$(user_file edge)" "$T/first.json"
run install.sh --user --host "$HOST"
expect_rc 0 "second install"
cmp -s "$T/first.json" "$(user_file edge)" || fail "the second install changed the manifest"
expect_files "${U[@]}"
end

begin "--browser and --id choose browsers and origins"
fresh
run install.sh --browser edge --id "$ID_A,$ID_B" --id "$ID_A" --host "$HOST"
expect_rc 0 "--browser edge --id A,B --id A"
channels edge
for f in "${U[@]}"; do check_manifest_json "$f" "$HOST" "$ID_A" "$ID_B"; done
expect_files "${U[@]}"
fresh
run install.sh --browser=chrome,chromium --browser chrome --id="$ID_B" --host "$HOST"
expect_rc 0 "--browser=chrome,chromium --browser chrome"
channels chrome chromium
for f in "${U[@]}"; do check_manifest_json "$f" "$HOST" "$ID_B"; done
expect_files "${U[@]}"
end

begin "a relative --host becomes absolute; XDG_CONFIG_HOME is followed when absolute"
fresh
(cd "$HOST_DIR/.." && env HOME="$T/home" XDG_CONFIG_HOME="$T/home/xdg" \
  sh "$SCRIPTS/install.sh" --browser chrome --host "./$(basename "$HOST_DIR")/orvendel_host") >"$OUT" 2>"$ERR"
RC=$?
expect_rc 0 "relative --host"
check_manifest_json "$(user_file chrome "$T/home/xdg")" "$HOST" "$REF"
CONFIG=$T/home/xdg channels chrome
expect_files "${U[@]}"
fresh
(cd "$T/home" && env HOME="$T/home" XDG_CONFIG_HOME="relative" \
  sh "$SCRIPTS/install.sh" --browser chrome --host "$HOST") >"$OUT" 2>"$ERR"
RC=$?
expect_rc 0 "relative XDG_CONFIG_HOME"
channels chrome
expect_files "${U[@]}"
end

begin "an invalid id is refused and nothing is written"
for bad in "${REF:0:31}" "${REF}a" HMKGOJDNHDINEDLDEMACIPDHGNBPLLGK "${REF:0:31}q" "" \
  "$REF," ",$REF" "$REF,,$ID_A" "$ID_A $ID_B" '*' "${REF:0:31}é" "$ID_A,${REF:0:31}"; do
  fresh
  run install.sh --id "$bad" --host "$HOST"
  expect_rc 1 "--id '$bad'"
  grep -q 'invalid extension id' "$ERR" || fail "--id '$bad': no message"
  expect_files
done
run install.sh --browser chromium --host "$HOST"
cp "$(user_file chromium)" "$T/before.json"
run install.sh --browser chromium --id "$ID_A,x" --host "$HOST"
expect_rc 1 "a bad id over an installed manifest"
cmp -s "$T/before.json" "$(user_file chromium)" || fail "a refused install changed the manifest"
end

begin "bad arguments and hosts are refused and nothing is written"
fresh
run install.sh --browser firefox --host "$HOST"
expect_rc 2 "--browser firefox"
run install.sh --host "$HOST" --browser
expect_rc 2 "--browser without a value"
run install.sh --host "$HOST" --id
expect_rc 2 "--id without a value"
run install.sh --frobnicate --host "$HOST"
expect_rc 2 "--frobnicate"
run install.sh --user extra --host "$HOST"
expect_rc 2 "a stray argument"
chmod -x "$HOST"
run install.sh --host "$HOST"
expect_rc 1 "a host that is not executable"
chmod +x "$HOST"
run install.sh --host "$T/nowhere/orvendel_host"
expect_rc 1 "a host that does not exist"
run install.sh --host "$HOST_DIR"
expect_rc 1 "a folder as host"
run install.sh --host "$T/line"$'\n'"break/orvendel_host"
expect_rc 1 "a host path with a newline"
grep -q 'control character' "$ERR" || fail "a host path with a newline: no message"
run install.sh
expect_rc 1 "no --host and no host beside the script"
expect_files
end

begin "--system: the three system folders under ORVENDEL_ROOT, the host named as seen from it"
fresh
mkdir -p "$T/root/opt/orvendel"
cp "$HOST_PROGRAM" "$T/root/opt/orvendel/orvendel_host"
run install.sh --system --host /opt/orvendel/orvendel_host
expect_rc 0 "install.sh --system"
for b in chrome chromium edge; do
  check_manifest_json "$(system_file $b)" /opt/orvendel/orvendel_host "$REF"
done
expect_files "$(system_file chrome)" "$(system_file chromium)" "$(system_file edge)" \
  "$T/root/opt/orvendel/orvendel_host"
run install.sh --system --host "$HOST"
expect_rc 1 "--system with a host outside ORVENDEL_ROOT"
run install.sh --system --host opt/orvendel/orvendel_host
expect_rc 1 "--system with a relative host under ORVENDEL_ROOT"
run install.sh --system
expect_rc 1 "--system under ORVENDEL_ROOT without --host"
end

begin "a manifest path taken by a folder: an error, and nothing written"
fresh
mkdir -p "$(user_file edge)"
touch "$(user_file edge)/keep"
run install.sh --host "$HOST"
expect_rc 1 "install over a folder"
grep -q 'it is a folder' "$ERR" || fail "no message"
expect_files "$(user_file edge)/keep"
end

begin "uninstall removes exactly the manifests, per browser and scope"
fresh
mkdir -p "$T/root/opt/orvendel"
cp "$HOST_PROGRAM" "$T/root/opt/orvendel/orvendel_host"
run install.sh --user --host "$HOST"
run install.sh --system --host /opt/orvendel/orvendel_host
for f in "$(user_file chrome)" "$(system_file edge)"; do
  echo '{}' >"$(dirname "$f")/org.other.host.json"
done
run uninstall.sh --browser chromium --id "$ID_A" --host "$HOST"
expect_rc 0 "uninstall --browser chromium"
[ -e "$(user_file chromium)" ] && fail "chromium's manifest is still there"
[ -e "$(user_file chrome)" ] || fail "chrome's manifest went too"
run uninstall.sh --user
expect_rc 0 "uninstall --user"
grep -q "^removed $(user_file chrome)\$" "$OUT" || fail "no 'removed' line for chrome"
run uninstall.sh --system
expect_rc 0 "uninstall --system"
expect_files "$(dirname "$(user_file chrome)")/org.other.host.json" \
  "$(dirname "$(system_file edge)")/org.other.host.json" "$T/root/opt/orvendel/orvendel_host"
run uninstall.sh
expect_rc 0 "uninstall with nothing installed"
[ -s "$OUT" ] && fail "uninstall with nothing installed said: $(cat "$OUT")"
run uninstall.sh --browser opera
expect_rc 2 "uninstall --browser opera"
end

begin "installed layout: the host, the template and common.sh are found beside the scripts"
fresh
LAYOUT="$T/root/usr"
mkdir -p "$LAYOUT/share/orvendel" "$LAYOUT/lib/orvendel"
cp "$SCRIPTS/install.sh" "$SCRIPTS/uninstall.sh" "$SCRIPTS/common.sh" "$SCRIPTS/../manifest/$HOST_NAME.template.json" \
  "$LAYOUT/share/orvendel/"
cp "$HOST_PROGRAM" "$LAYOUT/lib/orvendel/orvendel_host"
env -u XDG_CONFIG_HOME HOME="$T/home" sh "$LAYOUT/share/orvendel/install.sh" --browser edge >"$OUT" 2>"$ERR"
RC=$?
expect_rc 0 "install.sh from share/orvendel"
check_manifest_json "$(user_file edge)" "$LAYOUT/lib/orvendel/orvendel_host" "$REF"
(cd / && env -u XDG_CONFIG_HOME HOME="$T/home" sh "$LAYOUT/share/orvendel/uninstall.sh" --browser edge) >"$OUT" 2>"$ERR"
RC=$?
expect_rc 0 "uninstall.sh from share/orvendel, started from another folder"
channels edge
for f in "${U[@]}"; do [ -e "$f" ] && fail "uninstall.sh from share/orvendel left $f"; done
rm "$LAYOUT/share/orvendel/common.sh"
env -u XDG_CONFIG_HOME HOME="$T/home" sh "$LAYOUT/share/orvendel/install.sh" --browser edge >"$OUT" 2>"$ERR"
RC=$?
expect_rc 1 "install.sh without common.sh"
grep -q 'common.sh' "$ERR" || fail "install.sh without common.sh: no message naming it"
cp "$SCRIPTS/common.sh" "$LAYOUT/share/orvendel/"
rm "$LAYOUT/share/orvendel/$HOST_NAME.template.json"
env -u XDG_CONFIG_HOME HOME="$T/home" sh "$LAYOUT/share/orvendel/install.sh" --browser edge >"$OUT" 2>"$ERR"
RC=$?
expect_rc 1 "install.sh without its template"
end

begin "--help prints the usage and succeeds"
run install.sh --help
expect_rc 0 "install.sh --help"
grep -q '^Usage: install.sh' "$OUT" || fail "no usage on standard output"
run uninstall.sh -h
expect_rc 0 "uninstall.sh -h"
grep -q '^Usage: uninstall.sh' "$OUT" || fail "no usage on standard output"
end

begin "the scripts' and the manifest's sources name the host and the reference extension by placeholder only"
# The build fills both in from the contract's header; one spelled out here
# would go on shipping the old value when that changes.
while IFS= read -r f; do
  fail "${f#"$SOURCE"/} spells out $HOST_NAME or $REF"
done < <(grep -rlF -e "$HOST_NAME" -e "$REF" "$SOURCE/packaging/linux" "$SOURCE/packaging/windows" "$SOURCE/packaging/manifest")
end

summary
