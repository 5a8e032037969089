# shellcheck shell=bash
# Set-up: the packages each job needs, installed when missing, and the builds of the presets.
# Sourced by ./run, which sets ROOT, JOBS and log().

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; elif command -v sudo >/dev/null; then sudo "$@"; else
    log "need root to run: $*"; return 1; fi
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

NATIVE_PACKAGES=(cmake ninja-build g++ rapidjson-dev libgtest-dev googletest libbenchmark-dev shellcheck ccache libicu-dev)

# wine32 installs everywhere but runs only where the kernel runs 32-bit programs.
WINDOWS_PACKAGES=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64 xvfb wixl msitools osslsigncode
  softhsm2 libengine-pkcs11-openssl)

FUZZ_PACKAGES=(clang libclang-rt-14-dev)

# Real Chromium end to end, and the reference extension's own tests.
BROWSER_PACKAGES=(chromium)

ensure_packages() {
  local missing=() p
  for p in "$@"; do installed "$p" || missing+=("$p"); done
  [ "${#missing[@]}" -eq 0 ] && return 0
  if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
    log "adding the i386 architecture for wine32"
    as_root dpkg --add-architecture i386
  fi
  log "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # A mirror in the middle of a sync fails one list ("File has unexpected
  # size") and apt-get update then fails as a whole; the other lists are good.
  local lists_ok=1
  as_root apt-get update -qq </dev/null || {
    lists_ok=0
    log "apt-get update reported errors (above); going on with the package lists it has"
  }
  # With recommends, as Wine was seen to work on this machine kind.
  as_root apt-get install -y -qq "${missing[@]}" </dev/null >/dev/null && return 0
  [ "$lists_ok" = 0 ] || return 1
  install_without_security_lists "${missing[@]}"
}

# Where the security archive's i386 list could not be read, its amd64
# updates of libraries that Wine needs in both architectures cannot be
# matched by i386 ones, and apt finds no solution. Wine's packages then come
# with the point release's versions in both, and the rest as usual.
install_without_security_lists() {
  local wine=() rest=() p pref rc=0
  for p in "$@"; do
    if printf '%s\n' "${WINDOWS_PACKAGES[@]}" | grep -qxF "$p"; then wine+=("$p"); else rest+=("$p"); fi
  done
  [ "${#wine[@]}" -gt 0 ] || return 1
  log "installing Wine's packages again without the security archive's updates: ${wine[*]}"
  pref=$(mktemp)
  printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 100\n' >"$pref"
  chmod 644 "$pref"
  as_root apt-get install -y -qq -o Dir::Etc::Preferences="$pref" "${wine[@]}" </dev/null >/dev/null || rc=$?
  rm -f "$pref"
  [ "$rc" -eq 0 ] || return "$rc"
  [ "${#rest[@]}" -eq 0 ] || as_root apt-get install -y -qq "${rest[@]}" </dev/null >/dev/null
}

# The machine's own Node.js will do (18 or later); Debian's otherwise.
ensure_node() {
  local major
  major="$(node -p 'process.versions.node.split(".")[0]' 2>/dev/null || echo 0)"
  [ "$major" -ge 18 ] || ensure_packages nodejs
}

# Every compiler runs through ccache, whose cache (~/.cache/ccache) outlives
# the clone: a run after the first on this machine compiles only what
# changed. Paths below the clone are hashed relative to it, so that a fresh
# clone elsewhere hits too; the sloppiness is what precompiled headers need.
use_ccache() {
  command -v ccache >/dev/null || return 0
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR="$ROOT" CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-8G}"
  export CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
}

# build PRESET [TARGET...]: configure and build it, or only those targets.
build() {
  local preset="$1"
  shift
  if [[ "$preset" = mingw* ]]; then ensure_packages "${NATIVE_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
  else ensure_packages "${NATIVE_PACKAGES[@]}"; fi
  log "building preset $preset${1:+ ($*)}"
  use_ccache
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$JOBS" ${1:+--target "$@"}
}

# product_programs PRESET: the file names of what ships (CMake's
# ORV_PRODUCT_PROGRAMS), once the preset is configured. Its target `product`
# builds them: all of the 32-bit build that a machine which runs no 32-bit
# program needs.
product_programs() { cat "$ROOT/build/$1/bin/product-programs.txt"; }
