#!/usr/bin/env bash
# Takes every picture of the README afresh from the current build on the default
# lab and writes them under docs/screenshots/: the console, a distributed
# server's context menu, the Properties of a primary on both tabs, the Discovery
# Service status dialog, and the wizard's pages (through devwizard/demo.sh);
# then the same dialogs, the Security dialog and the wizard's first two pages
# at 192 DPI (docs/screenshots/192dpi/), on a 2560x1600 screen.
# Runs on a virtual display of its own (KV_DISPLAY, default :98).
#   bash scripts/screenshots.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${KV_BUILD_DIR:-$root/build}"
export KV_BUILD_DIR="$build" KV_DISPLAY="${KV_DISPLAY:-:98}"
shots="$root/docs/screenshots"
"$root/scripts/build.sh"
"$root/scripts/wine-session.sh" start "$build" </dev/null >/dev/null 2>&1 || true
trap '"$root/scripts/wine-session.sh" stop "$build"' EXIT
export DISPLAY="$KV_DISPLAY"
mkdir -p "$shots"

# Window names are matched as regular expressions, whole.
window_up() { xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1; }
wait_for() {
  for _ in $(seq 1 150); do
    window_up "$1" && { sleep 0.8; return 0; }
    sleep 0.1
  done
  echo "screenshots: the window /$1/ never came" >&2
  return 1
}
wait_gone() {
  for _ in $(seq 1 100); do
    window_up "$1" || return 0
    sleep 0.1
  done
}
# The whole screen, trimmed to what is on it (the background is black).
shot() {
  import -window root "$shots/$1"
  convert "$shots/$1" -trim +repage "$shots/$1"
  echo "saved ${shots#"$root"/}/$1"
}
# Only the window named $1 (a dialog without what lies behind it).
shot_window() {
  import -window "$(xdotool search --onlyvisible --name "^$1\$" | head -1)" "$shots/$2"
  echo "saved ${shots#"$root"/}/$2"
}
key() { xdotool key --delay 120 "$@"; sleep 0.6; }
# Clicks at (x, y) inside the window named exactly $1, with button $2.
click_in() {
  local w
  w=$(xdotool search --name "^$1\$" | head -1)
  xdotool mousemove --window "$w" "$2" "$3" click "$4"
  sleep 0.8
}

bash "$root/lab/kvlab.sh" init >/dev/null
"$build/wine-run" "$build/bin/Quayside.exe" </dev/null >/dev/null 2>&1 &
console=$!
trap 'kill $console 2>/dev/null || true; "$root/scripts/wine-session.sh" stop "$build"' EXIT
console_title="SAN Option Configuration"
wait_for "$console_title"
sleep 1
shot console.png

# Tree rows are 16 pixels from y = 69: FALCON, OSPREY, HERON, KITE.
click_in "$console_title" 92 117 1   # KITE
click_in "$console_title" 92 117 3
shot console-menu.png
key Escape

click_in "$console_title" 80 85 1    # OSPREY
click_in "$console_title" 80 85 3
key Down Return                      # Properties
wait_for "Properties for Primary Server"
shot_window "Properties for Primary Server" properties-products.png
click_in "Properties for Primary Server" 120 176 1   # the Distributed Servers tab
sleep 1
shot_window "Properties for Primary Server" properties-distributed-servers.png
click_in "Properties for Primary Server" 400 210 1   # DS Status for the selected member
wait_for ' \\\\HERON'   # its title is " \\HERON"
sleep 1.5
shot_window ' \\\\HERON' discovery-status.png
key Escape
wait_gone ' \\\\HERON'
key Escape
kill "$console" 2>/dev/null || true
wait "$console" 2>/dev/null || true

# The wizard's pages, from its demo; the tape engine service it installs is
# removed again, so that the prefix stays as the tests expect it.
KV_DISPLAY="$KV_DISPLAY" bash "$root/devwizard/demo.sh" --docs
"$build/wine-run" "$build/bin/TAPESVC.EXE" -uninstall </dev/null >/dev/null 2>&1 || true

# At 192 DPI (the prefix's LogPixels, read by each program as it starts): the
# console is 1320 pixels wide there, so the virtual screen is larger, as a
# screen set to 200 % is; the Xvfb of the session is started afresh for it.
"$root/scripts/wine-session.sh" stop "$build"
export KV_SCREEN=2560x1600
"$root/scripts/wine-session.sh" start "$build" </dev/null >/dev/null 2>&1 || true
dpi_key='HKCU\Control Panel\Desktop'
"$build/wine-run" reg add "$dpi_key" /v LogPixels /t REG_DWORD /d 192 /f </dev/null >/dev/null 2>&1
trap '"$build/wine-run" reg delete "$dpi_key" /v LogPixels /f </dev/null >/dev/null 2>&1;
      "$root/scripts/wine-session.sh" stop "$build"' EXIT
shots="$shots/192dpi"
mkdir -p "$shots"
"$build/wine-run" "$build/bin/Quayside.exe" </dev/null >/dev/null 2>&1 &
console=$!
wait_for "$console_title"
sleep 1
shot_window "$console_title" console.png
# Tree rows are 32 pixels from y = 130: FALCON, OSPREY, HERON, KITE.
click_in "$console_title" 155 162 1  # OSPREY
click_in "$console_title" 155 162 3
key Down Return                      # Properties
wait_for "Properties for Primary Server"
shot_window "Properties for Primary Server" properties-products.png
click_in "Properties for Primary Server" 220 332 1   # the Distributed Servers tab
sleep 1
shot_window "Properties for Primary Server" properties-distributed-servers.png
click_in "Properties for Primary Server" 855 400 1   # DS Status for the selected member
wait_for ' \\\\HERON'
sleep 1.5
shot_window ' \\\\HERON' discovery-status.png
click_in ' \\\\HERON' 742 17 1                     # its close button
wait_gone ' \\\\HERON'
click_in "Properties for Primary Server" 887 80 1    # OK
wait_gone "Properties for Primary Server"
click_in "$console_title" 155 162 3
key Down Down Return                 # Security
wait_for Security
shot_window Security server-credentials.png
key Escape
kill "$console" 2>/dev/null || true
wait "$console" 2>/dev/null || true

"$build/wine-run" "$build/bin/Gearwise.exe" </dev/null >/dev/null 2>&1 &
wizard=$!
wait_for "Device Configuration"
shot_window "Device Configuration" wizard-welcome.png
key Return
sleep 1
shot_window "Device Configuration" wizard-options.png
kill "$wizard" 2>/dev/null || true
wait "$wizard" 2>/dev/null || true
