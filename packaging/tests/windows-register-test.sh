#!/usr/bin/env bash
# register.cmd and unregister.cmd under Wine, run by cmd.exe from an installed
# tree whose path holds blanks, parentheses, an ampersand and a "!" (and
# from folders named in other letters), checked through reg.exe and the
# manifests and tokens they write. (No "%": Wine's cmd.exe expands one inside
# %~dp0, where Windows does not.)
#
#   windows-register-test.sh CMAKE BUILD_DIR
#
# Needs the prefix that ./run wine-test sets up (WINEPREFIX, WINE). Every Wine
# command writes to a file: Wine's services keep inherited pipes open. Only a
# 64-bit prefix keeps the two registry views apart (the 32-bit one under
# WOW6432Node), as 64-bit Windows does; in a 32-bit prefix they are one key,
# and the checks of each view there cannot tell them apart.
set -u
CMAKE=$1
BUILD=$2
# shellcheck source=test-lib.sh
. "$(dirname "$0")/test-lib.sh"

if [ -z "${WINEPREFIX:-}" ] || [ -z "${WINE:-}" ]; then
  echo "no WINEPREFIX: run the Windows tests with ./run wine-test" >&2
  exit 2
fi

NAME='Orvendel Test (x86) & Co!'
DIR="$WINEPREFIX/drive_c/Program Files/$NAME"
WIN_DIR="C:\\Program Files\\$NAME"
OTHER="$WINEPREFIX/drive_c/Other Copy"
WIN_OTHER='C:\Other Copy'
LETTERS="$WINEPREFIX/drive_c/Jürgen 東京"
WIN_LETTERS='C:\Jürgen 東京'
# Printed in the console's code page, its path looks like LETTERS's.
LOOKALIKE="$WINEPREFIX/drive_c/Jürgen 大阪"
CHROME_KEY="Software\\Google\\Chrome\\NativeMessagingHosts\\$HOST_NAME"
EDGE_KEY="Software\\Microsoft\\Edge\\NativeMessagingHosts\\$HOST_NAME"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/orv-pack-wine.XXXXXX")
trap 'rm -rf "$WORK" "$DIR" "$OTHER" "$LETTERS" "$LOOKALIKE"' EXIT
OUT=$WORK/out
RC_OUTPUT=$OUT
REG_OUT=$WORK/reg

rm -rf "$DIR" "$OTHER" "$LETTERS" "$LOOKALIKE"
if ! "$CMAKE" --install "$BUILD" --prefix "$DIR" >"$WORK/install.log" 2>&1; then
  cat "$WORK/install.log" >&2
  exit 1
fi
(cd "$DIR" && find . | sort) >"$WORK/installed.list"

# wcmd FOLDER SCRIPT ARGS...: runs the script with cmd.exe from that folder;
# its exit status in RC, its output in $OUT.
wcmd() {
  wine_cmd "$1" "$OUT" "${@:2}"
}

expect_absent() { # KEY [VIEW]
  if reg_value "$@"; then fail "$* is still there: '$REPLY'"; fi
}

expect_no_hklm() { # KEY under HKLM: in neither view
  expect_absent "HKLM\\$1" /reg:32
  expect_absent "HKLM\\$1" /reg:64
}

expect_failure() { # WHAT
  if [ "$RC" -eq 0 ]; then fail "$1: succeeded"; show "$OUT"; fi
}

# check_manifest FILE IDS...: valid JSON naming the host beside it by its
# name alone, and the host is there.
check_manifest() {
  local file=$1
  shift
  [ -f "$file" ] || { fail "no manifest $file"; return; }
  check_manifest_json "$file" orvendel_host.exe "$@"
  [ -f "$(dirname "$file")/orvendel_host.exe" ] || fail "no orvendel_host.exe beside $file"
}

# expect_token KEY VIEW FILE: beside its default value the key holds the
# token, digits, that FILE holds.
expect_token() {
  local want
  want=$(tr -d '\r\n' <"$3" 2>/dev/null)
  [[ $want =~ ^[0-9]+$ ]] || { fail "$3 holds '$want', not a token"; return; }
  if ! reg query "$1" ${2:+"$2"} /v OrvendelToken; then fail "$1 $2 has no token"; return; fi
  REPLY=$(tr -d '\r' <"$REG_OUT" | sed -n 's/^.*REG_SZ[[:blank:]]*//p')
  [ "$REPLY" = "$want" ] || fail "$1 $2 has the token '$REPLY', $3 '$want'"
}

# copy_to FOLDER: a copy of the host and both scripts there.
copy_to() {
  mkdir -p "$1"
  cp "$DIR"/orvendel_host.exe "$DIR"/register.cmd "$DIR"/unregister.cmd "$DIR"/"$HOST_NAME".template.json "$1/"
}

# reg_exact KEY: the key's default value in REPLY, read through reg export
# (UTF-16): reg query writes in the console's code page, which lacks letters.
reg_exact() {
  local file="$WORK/key.reg"
  REPLY=
  rm -f "$file"
  reg export "$1" "Z:${file//\//\\}" /y || return 1
  REPLY=$(python3 - "$file" <<'PY'
import sys
for line in open(sys.argv[1], encoding="utf-16"):
    if line.startswith('@="'):
        print(line.rstrip("\r\n")[3:-1].replace('\\\\', '\\').replace('\\"', '"'))
PY
  )
}

# Where 64-bit Windows keeps the 32-bit view of HKLM\Software.
wow_key() { printf 'Software\\WOW6432Node\\%s' "${1#Software\\}"; }

if [ "$WINEARCH" = win64 ]; then
  begin "the prefix keeps the 32- and 64-bit registry views apart"
  PROBE='Software\Orvendel View Probe'
  reg add "HKLM\\$PROBE" /ve /d probe /f /reg:32 || { fail "reg add /reg:32 failed"; show "$REG_OUT"; }
  expect_absent "HKLM\\$PROBE" /reg:64
  expect_value "HKLM\\$(wow_key "$PROBE")" /reg:64 probe
  reg delete "HKLM\\$PROBE" /f /reg:32 || fail "reg delete /reg:32 failed"
  end
else
  echo "note: $WINEARCH prefix: the two registry views are one key here, so the view checks cannot fail"
fi

begin "invalid ids and arguments are refused and nothing is written"
for bad in "${REF:0:31}" "${REF}a" HMKGOJDNHDINEDLDEMACIPDHGNBPLLGK "${REF:0:31}q" '*' "$REF,${REF:0:31}"; do
  wcmd "$DIR" register.cmd /user /id "$bad"
  expect_failure "register /id '$bad'"
  grep -q 'invalid extension id' "$OUT" || { fail "no message for id '$bad'"; show "$OUT"; }
done
wcmd "$DIR" register.cmd /user /id
expect_rc 2 "register /id without an id"
wcmd "$DIR" register.cmd /users
expect_rc 2 "register /users"
expect_absent "HKCU\\$CHROME_KEY"
expect_absent "HKCU\\$EDGE_KEY"
expect_no_hklm "$CHROME_KEY"
expect_no_hklm "$EDGE_KEY"
ls "$DIR"/"$HOST_NAME"-* >/dev/null 2>&1 && fail "a manifest was written: $(ls "$DIR"/"$HOST_NAME"-*)"
end

begin "register /user: both browsers, the reference id, manifests beside the host, no HKLM view"
wcmd "$DIR" register.cmd /user
expect_rc 0 "register /user"
for b in chrome edge; do
  check_manifest "$DIR/$HOST_NAME-$b-user.json" "$REF"
done
expect_value "HKCU\\$CHROME_KEY" "" "$WIN_DIR\\$HOST_NAME-chrome-user.json"
expect_value "HKCU\\$EDGE_KEY" "" "$WIN_DIR\\$HOST_NAME-edge-user.json"
expect_token "HKCU\\$CHROME_KEY" "" "$DIR/$HOST_NAME-chrome-user.token"
expect_token "HKCU\\$EDGE_KEY" "" "$DIR/$HOST_NAME-edge-user.token"
expect_no_hklm "$CHROME_KEY"
expect_no_hklm "$EDGE_KEY"
cp "$DIR/$HOST_NAME-chrome-user.json" "$WORK/first.json"
wcmd "$DIR" register.cmd /user
expect_rc 0 "register /user again"
cmp -s "$WORK/first.json" "$DIR/$HOST_NAME-chrome-user.json" || fail "a second register changed the manifest"
ls "$DIR"/*.part >/dev/null 2>&1 && fail "a .part file was left"
end

begin "register /machine /chrome /id A,B: HKLM in both views, two origins"
wcmd "$DIR" register.cmd /machine /chrome /id "$ID_A,$ID_B"
expect_rc 0 "register /machine /chrome"
check_manifest "$DIR/$HOST_NAME-chrome-machine.json" "$ID_A" "$ID_B"
expect_value "HKLM\\$CHROME_KEY" /reg:32 "$WIN_DIR\\$HOST_NAME-chrome-machine.json"
expect_value "HKLM\\$CHROME_KEY" /reg:64 "$WIN_DIR\\$HOST_NAME-chrome-machine.json"
[ "$WINEARCH" = win64 ] && expect_value "HKLM\\$(wow_key "$CHROME_KEY")" /reg:64 "$WIN_DIR\\$HOST_NAME-chrome-machine.json"
expect_token "HKLM\\$CHROME_KEY" /reg:32 "$DIR/$HOST_NAME-chrome-machine.token"
expect_token "HKLM\\$CHROME_KEY" /reg:64 "$DIR/$HOST_NAME-chrome-machine.token"
expect_no_hklm "$EDGE_KEY"
[ -e "$DIR/$HOST_NAME-edge-machine.json" ] && fail "an Edge manifest was written for /chrome"
expect_value "HKCU\\$CHROME_KEY" "" "$WIN_DIR\\$HOST_NAME-chrome-user.json"
end

begin "a manifest that cannot be written: an error and no key"
mkdir "$DIR/$HOST_NAME-edge-machine.json"
wcmd "$DIR" register.cmd /machine /edge
expect_failure "register over a folder"
grep -q 'cannot write' "$OUT" || { fail "no message"; show "$OUT"; }
expect_no_hklm "$EDGE_KEY"
rmdir "$DIR/$HOST_NAME-edge-machine.json"
end

begin "unregister leaves a key that another copy registered, by its token or (from an older register.cmd) its path"
copy_to "$OTHER"
wcmd "$OTHER" register.cmd /user /chrome
expect_rc 0 "register /user /chrome from the other copy"
wcmd "$DIR" unregister.cmd /user
expect_rc 0 "unregister /user"
expect_value "HKCU\\$CHROME_KEY" "" "$WIN_OTHER\\$HOST_NAME-chrome-user.json"
grep -q 'left' "$OUT" || { fail "no word of the key left alone"; show "$OUT"; }
expect_absent "HKCU\\$EDGE_KEY"
ls "$DIR"/"$HOST_NAME"-*-user.* >/dev/null 2>&1 && fail "user files are still there: $(ls "$DIR"/"$HOST_NAME"-*-user.*)"
check_manifest "$OTHER/$HOST_NAME-chrome-user.json" "$REF"
expect_token "HKCU\\$CHROME_KEY" "" "$OTHER/$HOST_NAME-chrome-user.token"
wcmd "$OTHER" unregister.cmd /user /chrome
expect_rc 0 "unregister from the other copy"
expect_absent "HKCU\\$CHROME_KEY"
ls "$OTHER"/"$HOST_NAME"-* >/dev/null 2>&1 && fail "the other copy's files are still there: $(ls "$OTHER"/"$HOST_NAME"-*)"
# Keys without a token, each with a manifest here: FOLDER|whether the key goes.
for row in "$WIN_OTHER|stays" "$WIN_DIR|goes"; do
  key_path="${row%|*}\\$HOST_NAME-chrome-user.json"
  reg add "HKCU\\$CHROME_KEY" /ve /d "$key_path" /f || fail "reg add $key_path failed"
  : >"$DIR/$HOST_NAME-chrome-user.json"
  wcmd "$DIR" unregister.cmd /user /chrome
  expect_rc 0 "unregister /user /chrome, a key without a token at $key_path"
  if [ "${row##*|}" = stays ]; then expect_value "HKCU\\$CHROME_KEY" "" "$key_path"
  else expect_absent "HKCU\\$CHROME_KEY"; fi
  [ -e "$DIR/$HOST_NAME-chrome-user.json" ] && fail "$key_path: the manifest here is still there"
done
reg delete "HKCU\\$CHROME_KEY" /f
end

# cmd.exe without PATH cannot find reg.exe: that is a failure, not "nothing
# registered", and the key that stays keeps its manifest.
begin "unregister when reg.exe cannot run: an error, the key and its manifest kept"
wcmd "$DIR" register.cmd /user /edge
expect_rc 0 "register /user /edge"
printf '@echo off\r\nset "PATH="\r\ncall "%%~dp0unregister.cmd" %%*\r\n' >"$DIR/no-path.cmd"
WINE_CMD_TRIES=1 wcmd "$DIR" no-path.cmd /user /edge
expect_rc 1 "unregister /user /edge without reg.exe"
grep -q 'could not run reg.exe' "$OUT" || { fail "no message"; show "$OUT"; }
rm -f "$DIR/no-path.cmd"
expect_value "HKCU\\$EDGE_KEY" "" "$WIN_DIR\\$HOST_NAME-edge-user.json"
[ -e "$DIR/$HOST_NAME-edge-user.json" ] || fail "the manifest of the key that stays was removed"
[ -e "$DIR/$HOST_NAME-edge-user.token" ] || fail "the token of the key that stays was removed"
wcmd "$DIR" unregister.cmd /user /edge
expect_rc 0 "unregister /user /edge"
expect_absent "HKCU\\$EDGE_KEY"
end

begin "unregister /machine removes both views; nothing registered is fine"
wcmd "$DIR" unregister.cmd /machine /chrome /id "$ID_A,$ID_B"
expect_rc 0 "unregister /machine /chrome"
cp "$OUT" "$WORK/unregister.out"
expect_no_hklm "$CHROME_KEY"
[ "$WINEARCH" = win64 ] && expect_absent "HKLM\\$(wow_key "$CHROME_KEY")" /reg:64
[ -e "$DIR/$HOST_NAME-chrome-machine.json" ] && fail "the machine manifest is still there"
[ "$GROUP_FAILS" -eq 0 ] || show "$WORK/unregister.out"
wcmd "$DIR" unregister.cmd /machine
expect_rc 0 "unregister /machine with nothing registered"
wcmd "$DIR" unregister.cmd /user
expect_rc 0 "unregister /user with nothing registered"
(cd "$DIR" && find . | sort) >"$WORK/after.list"
diff "$WORK/installed.list" "$WORK/after.list" >"$WORK/diff" || { fail "the folder differs from the installed one"; show "$WORK/diff"; }
end

# reg.exe prints the key's path in the console's code page, which has not
# all these letters, but the token is ASCII.
begin "from folders named in other letters: an ASCII manifest, the real path, each copy's own key removed"
copy_to "$LETTERS"
copy_to "$LOOKALIKE"
wcmd "$LOOKALIKE" register.cmd /user /chrome
expect_rc 0 "register /user /chrome from the look-alike"
wcmd "$LETTERS" register.cmd /user /chrome /id "$ID_A"
expect_rc 0 "register /user /chrome from $WIN_LETTERS"
check_manifest "$LETTERS/$HOST_NAME-chrome-user.json" "$ID_A"
iconv -f ASCII -t ASCII "$LETTERS/$HOST_NAME-chrome-user.json" >/dev/null 2>&1 || fail "the manifest is not ASCII"
reg_exact "HKCU\\$CHROME_KEY"
[ "$REPLY" = "$WIN_LETTERS\\$HOST_NAME-chrome-user.json" ] || fail "HKCU\\$CHROME_KEY is '$REPLY'"
wcmd "$LOOKALIKE" unregister.cmd /user /chrome
expect_rc 0 "unregister /user /chrome from the look-alike"
reg_exact "HKCU\\$CHROME_KEY"
[ "$REPLY" = "$WIN_LETTERS\\$HOST_NAME-chrome-user.json" ] || fail "after the look-alike's unregister, HKCU\\$CHROME_KEY is '$REPLY'"
wcmd "$LETTERS" register.cmd /machine /edge
expect_rc 0 "register /machine /edge from $WIN_LETTERS"
wcmd "$LETTERS" unregister.cmd /user /chrome
expect_rc 0 "unregister /user /chrome from $WIN_LETTERS"
cp "$OUT" "$WORK/unregister.out"
wcmd "$LETTERS" unregister.cmd /machine /edge
expect_rc 0 "unregister /machine /edge from $WIN_LETTERS"
expect_absent "HKCU\\$CHROME_KEY"
expect_no_hklm "$EDGE_KEY"
for d in "$LETTERS" "$LOOKALIKE"; do
  ls "$d"/"$HOST_NAME"-* >/dev/null 2>&1 && fail "files are still there: $(ls "$d"/"$HOST_NAME"-*)"
done
[ "$GROUP_FAILS" -eq 0 ] || { show "$WORK/unregister.out"; show "$OUT"; }
end

summary
