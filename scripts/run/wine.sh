# shellcheck shell=bash
# The Windows builds under Wine: prefixes, the suites of each build, and which Wine this machine runs.
# Sourced by ./run, which sets ROOT, JOBS and log().

# shellcheck source=tests/wine/wine-env.sh
. "$ROOT/tests/wine/wine-env.sh"

# with_wine RUN_DIR 32|64 COMMAND...: the command in a fresh Wine prefix of
# that kind, with one wineserver; in a subshell, so that the prefix's
# environment (HOME, TMPDIR, WINEPREFIX, ...) ends with it.
with_wine() {
  local run="$1" bits="$2"
  shift 2
  (
    trap wine_env_stop EXIT
    wine_env_start "$run" "$bits"
    "$@"
  )
}

# The Windows build that a Wine of that kind runs: mingw is the product.
wine_preset() {
  case "$1" in
    32) echo mingw ;;
    64) echo mingw64 ;;
    *) log "32 or 64, not '$1'"; exit 2 ;;
  esac
}

need_wine32() {
  ensure_packages "${NATIVE_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
  wine32_runs && return 0
  log "the 32-bit product cannot run here: $WINE32_WHY (this machine runs no 32-bit programs); use 64"
  exit 1
}

# Parallel Windows tests, each in a prefix of the build's pool (wine-exec).
# One a core: Wine's start-up is work, not waiting, and with twice as many
# as cores the suite used 80% more CPU and took longer.
WINE_JOBS="${WINE_JOBS:-$JOBS}"

# wine_suite 32|64 [CTEST ARGS]: a built Windows build's tests under the Wine
# of its kind; the pool's servers end with it.
wine_suite() {
  local bits="$1" preset rc=0
  shift
  preset="$(wine_preset "$bits")"
  log "testing the $preset build under wine$bits"
  ctest --preset "$preset" -j "$WINE_JOBS" "$@" || rc=$?
  wine_pool_stop "$ROOT/build/$preset/wine"
  # The 32-bit build's tests that need a 64-bit prefix run in a pool of their own.
  wine_pool_stop "$ROOT/build/$preset/wine64"
  return $rc
}

# wine_tests 32|64: build one Windows build and run its tests.
wine_tests() {
  local bits="$1" preset
  preset="$(wine_preset "$bits")"
  [ "$bits" = 64 ] || need_wine32
  build "$preset"
  sign_build "$preset"
  wine_suite "$bits"
}

wine_paths_line() {
  if wine32_runs; then
    log "Windows tests: the 64-bit build under wine64 and the 32-bit product under wine32 (this machine runs 32-bit programs)"
  else
    log "Windows tests: the 64-bit build under wine64 only; the 32-bit product is built and checked to be a PE32 console program, not run ($WINE32_WHY: this machine runs no 32-bit programs)"
  fi
}

# Every Windows test this machine can run, and never silently fewer: the
# 64-bit build runs everywhere, so that path cannot rot unseen; the product
# runs where 32-bit programs do, and is otherwise checked for what it is.
windows_tests() {
  ensure_packages "${NATIVE_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
  signing_configured || throwaway_certificate
  wine_paths_line
  wine_tests 64
  if wine32_runs; then
    wine_tests 32
  else
    build mingw product
    ctest --preset mingw -L '^pe$'
  fi
  msi_tests
}
