#!/usr/bin/env bash
# Signs Windows programs and MSIs in place with osslsigncode (SHA-256).
#
#   sign.sh FILE...
#
#   ORV_SIGN_PKCS12     the code-signing certificate and key (.p12/.pfx)
#   ORV_SIGN_PASSWORD   its password (may be empty)
#   ORV_SIGN_TIMESTAMP  a timestamp server's URL, where one is reachable
#
# A file signed before is signed anew, not twice.
set -euo pipefail
if [ -z "${ORV_SIGN_PKCS12:-}" ] || [ ! -f "$ORV_SIGN_PKCS12" ]; then
  echo "sign.sh: ORV_SIGN_PKCS12 must name the certificate file (.p12/.pfx)" >&2
  exit 2
fi
[ $# -gt 0 ] || { echo "usage: sign.sh FILE..." >&2; exit 2; }
for f in "$@"; do
  tmp="$f.unsigned.$$"
  # osslsigncode says "No signature found" for a file never signed.
  if ! osslsigncode remove-signature -in "$f" -out "$tmp" >/dev/null 2>&1; then
    cp "$f" "$tmp"
  fi
  args=(sign -pkcs12 "$ORV_SIGN_PKCS12" -pass "${ORV_SIGN_PASSWORD:-}" -h sha256
    -n "Orvendel native messaging host" -i "https://orvendel.invalid/")
  [ -n "${ORV_SIGN_TIMESTAMP:-}" ] && args+=(-ts "$ORV_SIGN_TIMESTAMP")
  if ! osslsigncode "${args[@]}" -in "$tmp" -out "$f.signed.$$" >"$f.sign.log.$$" 2>&1; then
    cat "$f.sign.log.$$" >&2
    rm -f "$tmp" "$f.signed.$$" "$f.sign.log.$$"
    echo "sign.sh: cannot sign $f" >&2
    exit 1
  fi
  mv "$f.signed.$$" "$f"
  rm -f "$tmp" "$f.sign.log.$$"
  echo "signed $f"
done
