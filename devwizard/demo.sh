#!/usr/bin/env bash
# Device Configuration wizard with the tape engine running:
#   bash devwizard/demo.sh          builds, installs and starts the tape engine
#                                   service KVTapeEngine and opens Gearwise on
#                                   your display (or a virtual one)
#   bash devwizard/demo.sh --auto   the same, then plays the administrator
#                                   with the keyboard: Next, RAID Device, Next,
#                                   Yes to stopping the tape engine, a change
#                                   in the RAID plug-in's dialog, Apply; the
#                                   Complete page then shows the restart
#                                   notice. Saves its pictures as
#                                   screenshots/wizard-*.png and exits the
#                                   wizard.
#   bash devwizard/demo.sh --docs   the same as --auto, but the pictures replace
#                                   the README's, docs/screenshots/wizard-*.png
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${KV_BUILD_DIR:-$root/build}"
auto=0
shots="$root/screenshots"
case "${1:-}" in
  "") ;;
  --auto) auto=1 ;;
  --docs) auto=1 shots="$root/docs/screenshots" ;;
  *)
    echo "usage: bash devwizard/demo.sh [--auto | --docs]" >&2
    exit 2
    ;;
esac
"$root/scripts/build.sh"

if [ "$auto" = 1 ] || [ -z "${DISPLAY:-}" ]; then
  export KV_DISPLAY="${KV_DISPLAY:-:98}"
  auto=1
else
  export KV_DISPLAY="$DISPLAY"
fi
# (a second start finds the wineserver running and says so: not an error here)
"$root/scripts/wine-session.sh" start "$build" </dev/null >/dev/null 2>&1 || true
run() { "$build/wine-run" "$@"; }

# The tape engine as the product installs it, running.
run "$build/bin/TAPESVC.EXE" -install >/dev/null 2>&1 || true
run sc start KVTapeEngine >/dev/null 2>&1 || true
run sc query KVTapeEngine | grep STATE

if [ "$auto" = 0 ]; then
  echo "Next, pick an option (RAID Device), Next: the wizard asks before stopping the tape engine."
  echo "In the option's dialog change a setting and Apply: the last page asks for a restart of the engine."
  exec "$build/wine-run" "$build/bin/Gearwise.exe"
fi

mkdir -p "$shots"
export DISPLAY="$KV_DISPLAY"
window_up() { xwininfo -root -tree 2>/dev/null | grep -q "\"$1\""; }
wait_for() {
  for _ in $(seq 1 150); do
    window_up "$1" && { sleep 0.6; return 0; }
    sleep 0.1
  done
  echo "window \"$1\" never came" >&2
  return 1
}
shot() {
  import -window root "$shots/$1"
  convert "$shots/$1" -trim +repage "$shots/$1"
  echo "saved ${shots#"$root"/}/$1"
}
key() { xdotool key --delay 150 "$@"; sleep 0.8; }

"$build/wine-run" "$build/bin/Gearwise.exe" &
wizard=$!
trap 'kill $wizard 2>/dev/null || true' EXIT
wait_for "Device Configuration"
shot wizard-welcome.png
key Return                      # Next
shot wizard-options.png
key alt+a                       # R&AID Device
key Return                      # Next: "Tape Engine service will be stopped ..."
wait_for "Gearwise" || true
shot wizard-stop-question.png
key Return                      # Yes: the engine stops, the RAID plug-in opens
wait_for "RAID Device Configuration"
run sc query KVTapeEngine | grep STATE
key alt+v                       # a change: "Verify parity after each backup"
shot wizard-raid-plugin.png
key Return                      # Apply: the plug-in reports the change
sleep 1
shot wizard-complete-restart.png
key Escape                      # Exit: "Exit Device Configuration?"
key Return                      # Yes
for _ in $(seq 1 100); do
  window_up "Device Configuration" || break
  sleep 0.1
done
window_up "Device Configuration" && echo "the wizard is still open" >&2
kill "$wizard" 2>/dev/null || true
trap - EXIT
echo "The tape engine stays stopped until it is restarted (sc start KVTapeEngine)."
