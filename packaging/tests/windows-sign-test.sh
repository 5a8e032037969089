#!/usr/bin/env bash
# The signatures that ./run sign made, checked with osslsigncode against the
# certificate: every file verifies, and a copy changed by one byte does not.
#
#   windows-sign-test.sh CERT.pem FILE...
set -u
CERT=$1
shift
# shellcheck source=test-lib.sh
. "$(dirname "$0")/test-lib.sh"
scratch sign

verify() { osslsigncode verify -CAfile "$CERT" -in "$1" >"$T/verify.log" 2>&1; }

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

summary
