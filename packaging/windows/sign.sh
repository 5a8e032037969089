#!/usr/bin/env bash
# Signs Windows programs and MSIs in place with osslsigncode (SHA-256), with
# a key in a PKCS#12 file or one on a PKCS#11 token (a smart card, an HSM, a
# cloud key service's PKCS#11 module).
#
#   sign.sh [--no-timestamp] FILE...
#
#   ORV_SIGN_PKCS12         the code-signing certificate and key (.p12/.pfx), or
#   ORV_SIGN_PKCS11_KEY     the key's pkcs11: URI (pkcs11:token=...;object=...),
#   ORV_SIGN_PKCS11_MODULE  with the token's PKCS#11 module (.so),
#   ORV_SIGN_CERT           the certificate and its chain (PEM), and optionally
#   ORV_SIGN_PKCS11_ENGINE  OpenSSL's pkcs11 engine (libengine-pkcs11-openssl's
#                           by default)
#   ORV_SIGN_PASSWORD_FILE  a file holding the PKCS#12 password or the token's
#                           PIN, or
#   ORV_SIGN_PASSWORD       the password or PIN itself (may be empty); a token
#                           may take its PIN from the URI's pin-source=file:...
#   ORV_SIGN_TIMESTAMP      an RFC 3161 timestamp server's URL: required, since
#                           a signature without a timestamp stops verifying
#                           when the certificate expires; --no-timestamp signs
#                           without one all the same (test builds)
#   ORV_SIGN_URL            the publisher's web address put in the signature
#                           (none by default)
#
# The password or PIN reaches osslsigncode through a file of this user's
# only, never on a command line, where any user's ps shows it: a URI with a
# pin-value is refused. A file signed before is signed anew, not twice.
set -euo pipefail
usage() { echo "usage: sign.sh [--no-timestamp] FILE..." >&2; exit 2; }
refuse() { echo "sign.sh: $*" >&2; exit 2; }
timestamp=required
if [ "${1:-}" = --no-timestamp ]; then timestamp=none; shift; fi
[ $# -gt 0 ] || usage
case "$1" in -*) usage ;; esac
if [ -n "${ORV_SIGN_PKCS12:-}" ] && [ -n "${ORV_SIGN_PKCS11_KEY:-}" ]; then
  refuse "ORV_SIGN_PKCS12 and ORV_SIGN_PKCS11_KEY are both set: sign with one key"
fi
if [ -n "${ORV_SIGN_PKCS11_KEY:-}" ]; then
  [[ "$ORV_SIGN_PKCS11_KEY" == pkcs11:* ]] || refuse "ORV_SIGN_PKCS11_KEY must be a pkcs11: URI"
  [[ "$ORV_SIGN_PKCS11_KEY" != *pin-value=* ]] ||
    refuse "the PIN must not be in ORV_SIGN_PKCS11_KEY (a command line shows it): use ORV_SIGN_PASSWORD_FILE or pin-source=file:..."
  [ -f "${ORV_SIGN_PKCS11_MODULE:-}" ] || refuse "ORV_SIGN_PKCS11_MODULE must name the token's PKCS#11 module (.so)"
  [ -f "${ORV_SIGN_CERT:-}" ] || refuse "ORV_SIGN_CERT must name the key's certificate and chain (PEM)"
  engine=${ORV_SIGN_PKCS11_ENGINE:-}
  if [ -z "$engine" ]; then
    for e in /usr/lib/*/engines-3/pkcs11.so /usr/lib/*/engines-1.1/pkcs11.so; do
      [ -f "$e" ] && { engine=$e; break; }
    done
  fi
  [ -f "$engine" ] || refuse "no OpenSSL pkcs11 engine (Debian: libengine-pkcs11-openssl): set ORV_SIGN_PKCS11_ENGINE"
elif [ -z "${ORV_SIGN_PKCS12:-}" ] || [ ! -f "$ORV_SIGN_PKCS12" ]; then
  refuse "ORV_SIGN_PKCS12 must name the certificate file (.p12/.pfx), or ORV_SIGN_PKCS11_KEY a key on a token"
fi
if [ "$timestamp" = required ] && [ -z "${ORV_SIGN_TIMESTAMP:-}" ]; then
  refuse "set ORV_SIGN_TIMESTAMP to a timestamp server's URL, or sign with --no-timestamp"
fi

secret=$(umask 077 && mktemp "${TMPDIR:-/tmp}/orv-sign.XXXXXX")
trap 'rm -f "$secret"' EXIT
if [ -n "${ORV_SIGN_PASSWORD_FILE:-}" ]; then
  # The first line, as osslsigncode reads it.
  head -n 1 "$ORV_SIGN_PASSWORD_FILE" >"$secret"
else
  printf '%s' "${ORV_SIGN_PASSWORD:-}" >"$secret"
fi

if [ -n "${ORV_SIGN_PKCS11_KEY:-}" ]; then
  args=(sign -pkcs11engine "$engine" -pkcs11module "$ORV_SIGN_PKCS11_MODULE" -key "$ORV_SIGN_PKCS11_KEY"
    -certs "$ORV_SIGN_CERT")
  # A PIN given here; else the URI's pin-source, or a module that asks none.
  if [ -n "${ORV_SIGN_PASSWORD_FILE:-}${ORV_SIGN_PASSWORD:-}" ]; then args+=(-readpass "$secret"); fi
else
  args=(sign -pkcs12 "$ORV_SIGN_PKCS12" -readpass "$secret")
fi
args+=(-h sha256 -n "Orvendel native messaging host")
[ -n "${ORV_SIGN_URL:-}" ] && args+=(-i "$ORV_SIGN_URL")
[ "$timestamp" = required ] && args+=(-ts "$ORV_SIGN_TIMESTAMP")
for f in "$@"; do
  tmp="$f.unsigned.$$"
  # osslsigncode says "No signature found" for a file never signed.
  if ! osslsigncode remove-signature -in "$f" -out "$tmp" >/dev/null 2>&1; then
    cp "$f" "$tmp"
  fi
  if ! osslsigncode "${args[@]}" -in "$tmp" -out "$f.signed.$$" >"$f.sign.log.$$" 2>&1 </dev/null; then
    cat "$f.sign.log.$$" >&2
    rm -f "$tmp" "$f.signed.$$" "$f.sign.log.$$"
    echo "sign.sh: cannot sign $f" >&2
    exit 1
  fi
  mv "$f.signed.$$" "$f"
  rm -f "$tmp" "$f.sign.log.$$"
  echo "signed $f"
done
