#!/usr/bin/env bash
# Signs Windows programs and MSIs in place with osslsigncode (SHA-256).
#
#   sign.sh [--no-timestamp] FILE...
#
#   ORV_SIGN_PKCS12         the code-signing certificate and key (.p12/.pfx)
#   ORV_SIGN_PASSWORD_FILE  a file holding its password, or
#   ORV_SIGN_PASSWORD       its password (may be empty)
#   ORV_SIGN_TIMESTAMP      an RFC 3161 timestamp server's URL: required, since
#                           a signature without a timestamp stops verifying
#                           when the certificate expires; --no-timestamp signs
#                           without one all the same (test builds)
#   ORV_SIGN_URL            the publisher's web address put in the signature
#                           (none by default)
#
# The password reaches osslsigncode through a file of this user's only,
# never on a command line, where any user's ps shows it. A file signed
# before is signed anew, not twice.
set -euo pipefail
usage() { echo "usage: sign.sh [--no-timestamp] FILE..." >&2; exit 2; }
timestamp=required
if [ "${1:-}" = --no-timestamp ]; then timestamp=none; shift; fi
[ $# -gt 0 ] || usage
case "$1" in -*) usage ;; esac
if [ -z "${ORV_SIGN_PKCS12:-}" ] || [ ! -f "$ORV_SIGN_PKCS12" ]; then
  echo "sign.sh: ORV_SIGN_PKCS12 must name the certificate file (.p12/.pfx)" >&2
  exit 2
fi
if [ "$timestamp" = required ] && [ -z "${ORV_SIGN_TIMESTAMP:-}" ]; then
  echo "sign.sh: set ORV_SIGN_TIMESTAMP to a timestamp server's URL, or sign with --no-timestamp" >&2
  exit 2
fi

secret=$(umask 077 && mktemp "${TMPDIR:-/tmp}/orv-sign.XXXXXX")
trap 'rm -f "$secret"' EXIT
if [ -n "${ORV_SIGN_PASSWORD_FILE:-}" ]; then
  # The first line, as osslsigncode reads it.
  head -n 1 "$ORV_SIGN_PASSWORD_FILE" >"$secret"
else
  printf '%s' "${ORV_SIGN_PASSWORD:-}" >"$secret"
fi

args=(sign -pkcs12 "$ORV_SIGN_PKCS12" -readpass "$secret" -h sha256 -n "Orvendel native messaging host")
[ -n "${ORV_SIGN_URL:-}" ] && args+=(-i "$ORV_SIGN_URL")
[ "$timestamp" = required ] && args+=(-ts "$ORV_SIGN_TIMESTAMP")
for f in "$@"; do
  tmp="$f.unsigned.$$"
  # osslsigncode says "No signature found" for a file never signed.
  if ! osslsigncode remove-signature -in "$f" -out "$tmp" >/dev/null 2>&1; then
    cp "$f" "$tmp"
  fi
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
