#!/usr/bin/env bash
# Prepares what every Wine run of a build needs and is safe to run again:
#   wine-session.sh start BUILD_DIR   creates the prefix once, starts Xvfb (when no
#                                     display is given; KV_SCREEN=WxH, default
#                                     1280x1024) and a persistent wineserver
#   wine-session.sh stop BUILD_DIR    ends the wineserver and the Xvfb it started
set -euo pipefail
cmd=$1
build=$(cd "$2" && pwd)
prefix="$build/wineprefix"
export WINEPREFIX="$prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export LANG=C.UTF-8 LC_ALL=C.UTF-8
display="${KV_DISPLAY:-:97}"  # tests get their own virtual display
xvfb_pid_file="$build/xvfb.pid"

start_xvfb() {
  if xdpyinfo -display "$display" >/dev/null 2>&1; then
    return
  fi
  Xvfb "$display" -screen 0 "${KV_SCREEN:-1280x1024}x24" -nolisten tcp >/dev/null 2>&1 &
  echo $! >"$xvfb_pid_file"
  for _ in $(seq 1 100); do
    xdpyinfo -display "$display" >/dev/null 2>&1 && return
    sleep 0.1
  done
  echo "Xvfb did not start on $display" >&2
  exit 1
}

make_prefix() {
  [ -f "$prefix/.kv-ready" ] && return
  rm -rf "$prefix"
  echo "Creating Wine prefix $prefix"
  wineboot -i </dev/null >/dev/null 2>&1
  # No window manager: without this every closing window waits for a withdrawn state.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
  # A crash must fail the test: no crash dialog and no debugger that exits 0.
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  wine reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f >/dev/null 2>&1 || true
  wineserver -w
  touch "$prefix/.kv-ready"
}

# Wine's own fonts (Marlett draws the caption buttons, Tahoma and MS Sans Serif
# the dialogs): this Wine build does not load them from its data folder.
install_wine_fonts() {
  local fonts="$prefix/drive_c/windows/Fonts"
  [ -f "$fonts/marlett.ttf" ] && return
  [ -d /usr/share/wine/fonts ] && cp /usr/share/wine/fonts/*.ttf "$fonts/" 2>/dev/null || true
}

case "$cmd" in
  start)
    start_xvfb
    export DISPLAY="$display"
    make_prefix
    install_wine_fonts
    # Persistent server (kept if one already runs for this prefix); its output
    # must not hold a caller's pipe open.
    wineserver -p </dev/null >/dev/null 2>&1 || true
    # Warm-up: the first process of a session starts Wine's helpers; do it here so
    # they do not inherit a test runner's output pipe.
    wine wineboot </dev/null >/dev/null 2>&1 || true
    # The desktop process (explorer /desktop) is started by the first program
    # that needs a window and then keeps that program's standard error for the
    # rest of the session: a test that happened to start it never ended for
    # ctest. Start it here, holding nothing of anyone's.
    (wine explorer.exe /desktop </dev/null >/dev/null 2>&1 &)
    ;;
  stop)
    wineserver -k 2>/dev/null || true
    if [ -f "$xvfb_pid_file" ]; then
      kill "$(cat "$xvfb_pid_file")" 2>/dev/null || true
      rm -f "$xvfb_pid_file"
    fi
    ;;
  *)
    echo "usage: $0 start|stop BUILD_DIR" >&2
    exit 2
    ;;
esac
