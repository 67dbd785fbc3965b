# Sourced: the Wine environment of the project's programs and tests, and a prefix ready to
# run them. Set WINEPREFIX before sourcing (default: build-win32/wineprefix).
#   . scripts/wine-env.sh && wine_prepare_prefix && wine_start_server

export WINEPREFIX="${WINEPREFIX:-$PWD/build-win32/wineprefix}"
export WINEARCH=win32
export WINEDEBUG=-all
# No Mono/Gecko prompts; no winebus virtual HID devices in every HID enumeration.
export WINEDLLOVERRIDES="mscoree,mshtml=;winebus.sys=d"

# Creates the prefix once (parallel callers wait on a lock): fonts linked so "MS Sans Serif"
# and "Tahoma" are Wine's own, Wine draws the frames, no 2 s wait at exit, no crash dialog.
wine_prepare_prefix() {
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.tokenmode-ready" ]; then
      rm -rf "$WINEPREFIX"
      DISPLAY= timeout 120 wineboot -i </dev/null >/dev/null 2>&1 || exit 1
      reg="$WINEPREFIX/tokenmode.reg"
      cat >"$reg" <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Decorated"="N"
"Managed"="N"

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000
REG
      DISPLAY= timeout 60 wine regedit /S "$reg" </dev/null >/dev/null 2>&1 || exit 1
      ln -sf /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/"
      timeout 60 wineserver -w
      touch "$WINEPREFIX/.tokenmode-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
}

# Starts the wineserver and Wine's services detached, so they do not hold the caller's
# stdout and stderr open (ctest would wait for them at every test).
# When the server runs already (wineserver answers 2), its services run too.
wine_start_server() {
  if wineserver -p30 </dev/null >/dev/null 2>&1; then
    timeout 60 wine cmd /c exit </dev/null >/dev/null 2>&1 || true
  fi
}

# Stops this prefix's wineserver only.
wine_stop_server() {
  timeout 30 wineserver -k >/dev/null 2>&1 || true
}
