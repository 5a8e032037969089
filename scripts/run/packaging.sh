# shellcheck shell=bash
# Signing, the MSIs and their tests.
# Sourced by ./run, which sets ROOT, JOBS and log().

# contract_fact NAME: a string #define of contract/contract.h, as the host takes it.
contract_fact() { sed -n "s/^#define $1 \"\\(.*\\)\"\$/\\1/p" "$ROOT/contract/contract.h"; }

# A key to sign with: a PKCS#12 file or a key on a PKCS#11 token.
signing_configured() { [ -n "${ORV_SIGN_PKCS12:-}${ORV_SIGN_PKCS11_KEY:-}" ]; }

# sign FILE...: signed with that key. Without a timestamp only where asked
# (ORV_SIGN_NO_TIMESTAMP=1; the throwaway certificate asks).
sign() {
  local opts=()
  [ "${ORV_SIGN_NO_TIMESTAMP:-0}" = 1 ] && opts=(--no-timestamp)
  bash "$ROOT/packaging/windows/sign.sh" "${opts[@]}" "$@" >/dev/null
}

# Signs a build's programs when a certificate is configured, so that what is
# tested is what ships.
sign_build() {
  signing_configured || return 0
  log "signing the $1 build's programs"
  sign "$ROOT/build/$1/bin/"*.exe
}

project_version() { cat "$ROOT/build/$1/version.txt"; }

msi_path() { echo "$ROOT/build/mingw/packages/orvendel-host-$(project_version mingw)-x86.msi"; }

user_msi_path() { echo "$ROOT/build/mingw/packages/orvendel-host-$(project_version mingw)-x86-user.msi"; }

symbols_path() { echo "$ROOT/build/mingw/packages/orvendel-host-$(project_version mingw)-x86-symbols.zip"; }

# The MSIs of the mingw build, per machine and per user, from its (signed)
# programs; signed last, since any change to a signed MSI breaks its
# signature. Beside them the programs' debug files, which the build split off
# before signing.
package_msi() {
  local programs=()
  # Each step stops it: where set -e does not hold (a caller's ||), the
  # packages of an earlier build must not go on as this one's.
  build mingw product || return 1
  mapfile -t programs < <(product_programs mingw)
  sign_build mingw || return 1
  bash "$ROOT/packaging/windows/pack-symbols.sh" "$(symbols_path)" "${programs[@]/#/$ROOT/build/mingw/bin/}" || return 1
  bash "$ROOT/packaging/windows/build-msi.sh" "$ROOT/build/mingw/bin" "$(project_version mingw)" "$(msi_path)" || return 1
  bash "$ROOT/packaging/windows/build-msi.sh" --per-user "$ROOT/build/mingw/bin" "$(project_version mingw)" "$(user_msi_path)" || return 1
  if signing_configured; then sign "$(msi_path)" "$(user_msi_path)"; fi
}

# shellcheck source=packaging/release.sh
. "$ROOT/packaging/release.sh"

# A certificate that lives for one run, for testing the signatures.
throwaway_certificate() {
  local dir="$ROOT/build/throwaway-cert"
  rm -rf "$dir"
  mkdir -p "$dir"
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$dir/key.pem" -out "$dir/cert.pem" -days 2 \
    -subj "/CN=Orvendel throwaway code signing" -addext "extendedKeyUsage=codeSigning" \
    -addext "keyUsage=critical,digitalSignature" -addext "basicConstraints=critical,CA:FALSE" 2>/dev/null
  openssl pkcs12 -export -inkey "$dir/key.pem" -in "$dir/cert.pem" -out "$dir/cert.p12" -passout pass:throwaway
  export ORV_SIGN_PKCS12="$dir/cert.p12" ORV_SIGN_PASSWORD=throwaway ORV_SIGN_CERT="$dir/cert.pem" \
    ORV_SIGN_CAFILE="$dir/cert.pem" ORV_SIGN_NO_TIMESTAMP=1
}

# The signing certificate, for checking the signatures: the throwaway one's
# own file, or the one inside ORV_SIGN_PKCS12.
signing_certificate() {
  if [ -n "${ORV_SIGN_CERT:-}" ]; then echo "$ORV_SIGN_CERT"; return; fi
  local pem="$ROOT/build/signing-cert.pem"
  local pass=(-passin env:ORV_SIGN_PASSWORD)
  [ -z "${ORV_SIGN_PASSWORD_FILE:-}" ] || pass=(-passin "file:$ORV_SIGN_PASSWORD_FILE")
  ORV_SIGN_PASSWORD="${ORV_SIGN_PASSWORD:-}" openssl pkcs12 -in "$ORV_SIGN_PKCS12" -nokeys -clcerts \
    "${pass[@]}" -out "$pem" 2>/dev/null || { log "cannot read $ORV_SIGN_PKCS12"; return 1; }
  echo "$pem"
}

# The release (signed MSIs and programs, ZIP, symbols, sums, bill of
# materials) checked, then each MSI installed, upgraded and removed
# in a 64-bit prefix (every machine runs one), the per-machine one also under
# a running host. Needs the mingw64 build's programs, orv-verinfo.exe and
# orv-launcher.exe.
msi_tests() {
  local msi cert launcher='' rc=0
  # The release's own steps build the MSIs and verify every signature.
  release || return 1
  msi="$(msi_path)"
  cert="$(signing_certificate)"
  log "checking the release and the signatures"
  bash "$ROOT/packaging/tests/release-test.sh" "$(release_dir)" "$cert" || rc=1
  bash "$ROOT/packaging/tests/windows-sign-test.sh" "$cert" "$msi" "$(user_msi_path)" "$ROOT/build/mingw/bin/"*.exe || rc=1
  log "checking the shipped programs: manifest, stripped, their debug files"
  bash "$ROOT/packaging/tests/windows-binaries-test.sh" cpack "$ROOT/build/mingw" "$msi" "$(symbols_path)" || rc=1
  # Where 32-bit programs run, the installed host is started too.
  if wine32_runs; then launcher="$ROOT/build/mingw/bin/orv-launcher.exe"; fi
  log "testing the MSI under wine64"
  with_wine "$ROOT/build/mingw/msi-run" 64 msi_wine_tests "$msi" \
    "$ROOT/build/mingw/bin" "$(project_version mingw)" "$ROOT/build/mingw64/bin/orv-verinfo.exe" \
    "$ROOT/build/mingw64/bin/orvendel-doctor.exe" "${ORV_EXTENSION_IDS:-$(contract_fact REFERENCE_EXTENSION_ID)}" \
    ${launcher:+"$launcher"} || rc=1
  # In a prefix of its own: it starts with neither package installed.
  log "testing the per-user MSI under wine64"
  with_wine "$ROOT/build/mingw/msi-run" 64 bash "$ROOT/packaging/tests/windows-msi-user-test.sh" "$(user_msi_path)" \
    "$msi" "$ROOT/build/mingw/bin" "$(project_version mingw)" "$ROOT/build/mingw64/bin/orvendel-doctor.exe" \
    "${ORV_EXTENSION_IDS:-$(contract_fact REFERENCE_EXTENSION_ID)}" || rc=1
  return $rc
}

# windows-msi-test.sh ARGS..., then an upgrade and a removal while a host
# started from the install folder runs, in the same prefix (the first ends
# with nothing of ours installed; a second prefix would cost a wineboot). The
# second builds its MSIs from the 64-bit programs, which run everywhere.
msi_wine_tests() {
  local rc=0
  bash "$ROOT/packaging/tests/windows-msi-test.sh" "$@" || rc=1
  log "testing an upgrade and a removal under wine64 while the installed host runs"
  bash "$ROOT/packaging/tests/windows-msi-running-test.sh" "$ROOT/build/mingw64/bin" "$(project_version mingw64)" \
    "$ROOT/build/mingw64/bin/orv-verinfo.exe" "$ROOT/build/mingw64/bin/orv-launcher.exe" || rc=1
  return "$rc"
}
