# shellcheck shell=bash disable=SC2034 # WINE32_WHY is for the scripts that source this
# Sourced by ./run and tests/wine/wine-exec: private Wine prefixes with no
# display (the null graphics driver gives real top-level windows without an X
# server) and a persistent wineserver each.
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

# wine_env_export RUN_DIR 32|64: the environment of the prefix in RUN_DIR;
# touches no file.
wine_env_export() {
  local run="$1" bits="$2"
  case "$bits" in
    32) export WINE="$WINE32_LOADER" WINEARCH=win32 ;;
    64) export WINE="$WINE64_LOADER" WINEARCH=win64 ;;
    *) echo "wine: 32 or 64, not '$bits'" >&2; return 2 ;;
  esac
  # The 64-bit server serves both kinds of prefix.
  if [ -x /usr/lib/wine/wineserver64 ]; then export WINESERVER=/usr/lib/wine/wineserver64
  else export WINESERVER=/usr/lib/wine/wineserver32; fi
  export WINEPREFIX="$run/prefix" WINEDEBUG=-all
  # winedbg off: a crash must end the program, not wait in a debugger.
  export WINEDLLOVERRIDES="mscoree=d;mshtml=d;winemenubuilder.exe=d;winedbg.exe=d"
  export HOME="$run/home" XDG_CONFIG_HOME="$run/home/.config" TMPDIR="$run/tmp"
  unset DISPLAY
}

# wine_prefix_create: a new prefix where wine_env_export points, whatever
# was there before.
wine_prefix_create() {
  local run="${WINEPREFIX%/prefix}"
  rm -rf "$run"
  mkdir -p "$run/home/.config" "$run/tmp" "$run/prefix"
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
}

# wine_env_start RUN_DIR 32|64: a fresh prefix in RUN_DIR and one server for
# all that runs in it until wine_env_stop.
wine_env_start() {
  wine_env_export "$1" "$2" && wine_prefix_create || return 1
  "$WINESERVER" -p >/dev/null 2>&1 </dev/null
}

wine_env_stop() {
  if [ -n "${WINEPREFIX:-}" ]; then "${WINESERVER:-wineserver}" -k >/dev/null 2>&1 || true; fi
}

# wine_pool_stop POOL_DIR: ends the servers of a pool's prefixes, and any
# Wine process of theirs that outlived its server's -k (a server was once
# seen to stay up with Wine's services after it).
wine_pool_stop() {
  local slot
  for slot in "$1"/slot-*/; do
    [ -d "$slot/prefix" ] || continue
    WINEPREFIX="$slot/prefix" "${WINESERVER:-/usr/lib/wine/wineserver64}" -k >/dev/null 2>&1 || true
  done
  grep -l -z -F "WINEPREFIX=$1/slot-" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3 |
    while read -r pid; do kill -9 "$pid" 2>/dev/null || true; done
}
