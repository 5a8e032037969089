# Sourced by ./run: one private Wine prefix and one persistent wineserver for a
# whole test run, with no display (the null graphics driver gives real
# top-level windows without an X server).
wine_env_start() {
  local run="$1"
  rm -rf "$run"
  mkdir -p "$run/home/.config" "$run/tmp"
  export WINEPREFIX="$run/prefix" WINEARCH=win32 WINEDEBUG=-all
  # winedbg off: a crash must end the program, not wait in a debugger.
  export WINEDLLOVERRIDES="mscoree=d;mshtml=d;winemenubuilder.exe=d;winedbg.exe=d"
  export HOME="$run/home" XDG_CONFIG_HOME="$run/home/.config" TMPDIR="$run/tmp"
  unset DISPLAY
  timeout -k 5 180 wineboot -i </dev/null >"$run/wineboot.log" 2>&1
  timeout -k 5 60 wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >>"$run/wineboot.log" 2>&1
  timeout -k 5 60 wineserver -w
  wineserver -p >/dev/null 2>&1 </dev/null
}

wine_env_stop() {
  [ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1 || true
}
