#!/usr/bin/env bash
# The signatures that ./run sign made, checked with osslsigncode against the
# certificate: every file verifies, and a copy changed by one byte does not.
# Then sign.sh itself, with the same certificate (ORV_SIGN_PKCS12 and its
# password in the environment): what reaches osslsigncode's command line;
# and with a throwaway key on a SoftHSM token, a program and the MSI.
#
#   windows-sign-test.sh CERT.pem FILE...
set -u
CERT=$1
shift
# shellcheck source=test-lib.sh
. "$(dirname "$0")/test-lib.sh"
scratch sign

verify() { osslsigncode verify -CAfile "${2:-$CERT}" -in "$1" >"$T/verify.log" 2>&1; }

begin "every file verifies against the signing certificate"
for f in "$@"; do
  verify "$f" || { fail "$(basename "$f") does not verify"; show "$T/verify.log"; }
done
end

begin "a file changed by one byte after signing does not verify"
for f in "$@"; do
  copy="$T/$(basename "$f")"
  cp "$f" "$copy"
  # A byte in the middle: code in a program, a stream in an MSI.
  size=$(stat -c %s "$copy")
  offset=$((size / 2))
  byte=$(od -An -tu1 -j "$offset" -N1 "$copy" | tr -d ' ')
  printf '%b' "\\0$(printf '%03o' $(((byte + 1) % 256)))" | dd of="$copy" bs=1 seek="$offset" conv=notrunc 2>/dev/null
  cmp -s "$f" "$copy" && fail "could not change $(basename "$f")"
  verify "$copy" && fail "$(basename "$f") changed by one byte still verifies"
done
end

# What osslsigncode is given, one argument a line, seen through a stand-in
# ahead of it on the PATH.
mkdir "$T/shim"
printf '#!/bin/sh\nprintf "%%s\\n" "$@" >>"%s/argv"\nexec %s "$@"\n' "$T" "$(command -v osslsigncode)" \
  >"$T/shim/osslsigncode"
chmod +x "$T/shim/osslsigncode"
sign() { # ARGS...: sign.sh through the stand-in; its status in RC
  rm -f "$T/argv"
  PATH="$T/shim:$PATH" bash "$SOURCE/packaging/windows/sign.sh" "$@" >"$T/sign.log" 2>&1
  RC=$?
}
RC_OUTPUT=$T/sign.log
cp "$1" "$T/program"
password=$(if [ -n "${ORV_SIGN_PASSWORD_FILE:-}" ]; then head -n 1 "$ORV_SIGN_PASSWORD_FILE"; else printf '%s' "${ORV_SIGN_PASSWORD:-}"; fi)

begin "sign.sh: no timestamp server is refused and changes nothing, unless --no-timestamp"
cp "$T/program" "$T/before"
ORV_SIGN_TIMESTAMP='' sign "$T/program"
expect_rc 2 "without ORV_SIGN_TIMESTAMP"
cmp -s "$T/before" "$T/program" || fail "the refused file changed"
[ -e "$T/argv" ] && fail "osslsigncode ran: $(cat "$T/argv")"
ORV_SIGN_TIMESTAMP='' sign --no-timestamp "$T/program"
expect_rc 0 "--no-timestamp"
grep -qx -- -ts "$T/argv" && fail "a timestamp server was asked"
verify "$T/program" || { fail "the signed file does not verify"; show "$T/verify.log"; }
end

begin "sign.sh: the password never on a command line, also from a password file"
[ -n "$password" ] && grep -qxF -- "$password" "$T/argv" && fail "the password is on osslsigncode's command line"
printf '%s\n' "$password" >"$T/password"
ORV_SIGN_TIMESTAMP='' ORV_SIGN_PASSWORD=wrong ORV_SIGN_PASSWORD_FILE="$T/password" sign --no-timestamp "$T/program"
expect_rc 0 "ORV_SIGN_PASSWORD_FILE"
grep -qxF -- wrong "$T/argv" && fail "ORV_SIGN_PASSWORD reached the command line"
end

begin "sign.sh: the signature's web address is ORV_SIGN_URL's, and none without it"
grep -qx -- -i "$T/argv" && fail "a web address without ORV_SIGN_URL"
ORV_SIGN_TIMESTAMP='' ORV_SIGN_URL=https://example.invalid/host sign --no-timestamp "$T/program"
expect_rc 0 "ORV_SIGN_URL"
grep -A1 -x -- -i "$T/argv" | grep -qxF https://example.invalid/host || fail "not ORV_SIGN_URL's address"
end

begin "sign.sh: a key on a PKCS#11 token signs a program and the MSI; the PIN never on a command line"
softhsm_key "$T/token" || fail "no SoftHSM token"
program=
for f in "$@"; do [[ "$f" == *.exe ]] && { program=$f; break; }; done
mkdir "$T/p11"
cp "$program" "$1" "$T/p11/"
for f in "$T/p11/"*; do
  ORV_SIGN_TIMESTAMP='' sign --no-timestamp "$f"
  expect_rc 0 "$(basename "$f")"
  verify "$f" "$T/token/cert.pem" || { fail "$(basename "$f") does not verify"; show "$T/verify.log"; }
  grep -qx -- -pkcs11module "$T/argv" || fail "$(basename "$f") not signed through the PKCS#11 module"
  grep -qF -- 4711-throwaway "$T/argv" && fail "the PIN is on osslsigncode's command line"
done
end

begin "sign.sh with a token: a wrong PIN fails, a PIN in the URI and no timestamp server are refused"
f=$(ls "$T/p11/"*.exe)
printf 'wrong\n' >"$T/wrong-pin"
ORV_SIGN_TIMESTAMP='' ORV_SIGN_PASSWORD_FILE="$T/wrong-pin" sign --no-timestamp "$f"
expect_rc 1 "a wrong PIN"
verify "$f" "$T/token/cert.pem" || fail "the file signed before no longer verifies after a failed signing"
ORV_SIGN_TIMESTAMP='' ORV_SIGN_PKCS11_KEY="$ORV_SIGN_PKCS11_KEY;pin-value=4711-throwaway" sign --no-timestamp "$f"
expect_rc 2 "a pin-value in the URI"
[ -e "$T/argv" ] && fail "osslsigncode ran with a PIN in the URI"
ORV_SIGN_TIMESTAMP='' sign "$f"
expect_rc 2 "without ORV_SIGN_TIMESTAMP"
[ -e "$T/argv" ] && fail "osslsigncode ran for a refused signing: $(head -n 3 "$T/argv")"
end

summary
