# shellcheck shell=bash disable=SC2034 # WINE32_WHY is for the scripts that source this
# Sourced by ./run: one private Wine prefix and one persistent wineserver for a
# whole test run, with no display (the null graphics driver gives real
# top-level windows without an X server).
#
# Two kinds of prefix: "32" runs the product (i686) under wine32, "64" the
# x86_64 build of the same code under wine64. Every script that starts a
# Windows program calls "$WINE", which names the loader of the prefix's kind:
# Debian's plain `wine` starts the 32-bit loader whenever wine32 is installed,
# even where the kernel cannot run it.

WINE32_LOADER=/usr/lib/wine/wine
WINE64_LOADER=/usr/lib/wine/wine64

# wine32_runs: whether this machine runs 32-bit x86 programs, found by trying
# one (the 32-bit loader itself). WINE32_WHY says why not.
wine32_runs() {
  local out
  if [ ! -x "$WINE32_LOADER" ]; then
    WINE32_WHY="$WINE32_LOADER is not installed"
    return 1
  fi
  if ! out=$("$WINE32_LOADER" --version 2>&1 </dev/null); then
    WINE32_WHY="$WINE32_LOADER --version: ${out##*: }"
    return 1
  fi
  return 0
}

# wine_env_start RUN_DIR 32|64
wine_env_start() {
  local run="$1" bits="$2"
  case "$bits" in
    32) export WINE="$WINE32_LOADER" WINEARCH=win32 ;;
    64) export WINE="$WINE64_LOADER" WINEARCH=win64 ;;
    *) echo "wine_env_start: 32 or 64, not '$bits'" >&2; return 2 ;;
  esac
  # The 64-bit server serves both kinds of prefix.
  if [ -x /usr/lib/wine/wineserver64 ]; then export WINESERVER=/usr/lib/wine/wineserver64
  else export WINESERVER=/usr/lib/wine/wineserver32; fi
  rm -rf "$run"
  mkdir -p "$run/home/.config" "$run/tmp" "$run/prefix"
  export WINEPREFIX="$run/prefix" WINEDEBUG=-all
  # winedbg off: a crash must end the program, not wait in a debugger.
  export WINEDLLOVERRIDES="mscoree=d;mshtml=d;winemenubuilder.exe=d;winedbg.exe=d"
  export HOME="$run/home" XDG_CONFIG_HOME="$run/home/.config" TMPDIR="$run/tmp"
  unset DISPLAY
  # The null graphics driver must be there before the prefix's first start:
  # set afterwards, a 64-bit prefix refused windows (CreateWindowExW error
  # 1400). The server loads this file as the user's hive and keeps it.
  printf '%s\n' 'WINE REGISTRY Version 2' '' \
    '[Software\\Wine\\Drivers]' '"Graphics"="null"' >"$WINEPREFIX/user.reg"
  timeout -k 5 180 "$WINE" wineboot -i </dev/null >"$run/wineboot.log" 2>&1 || {
    echo "wineboot failed ($?): see $run/wineboot.log" >&2
    return 1
  }
  timeout -k 5 60 "$WINESERVER" -w
  "$WINESERVER" -p >/dev/null 2>&1 </dev/null
}

wine_env_stop() {
  if [ -n "${WINEPREFIX:-}" ]; then "${WINESERVER:-wineserver}" -k >/dev/null 2>&1 || true; fi
}
