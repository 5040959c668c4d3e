#!/usr/bin/env bash
# Builds everything and opens the SAN Option Configuration console on the lab.
# Without an X display it uses a virtual one, saves a screenshot of the console
# to screenshots/console.png and closes it again.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${KV_BUILD_DIR:-$root/build}"
"$root/scripts/build.sh"

headless=0
if [ -z "${DISPLAY:-}" ]; then
  headless=1
  export KV_DISPLAY="${KV_DISPLAY:-:98}"
else
  export KV_DISPLAY="$DISPLAY"
fi
"$root/scripts/wine-session.sh" start "$build"
[ "$headless" = 1 ] && trap '"$root/scripts/wine-session.sh" stop "$build"' EXIT

# A ready lab of a dozen servers with their Discovery Services running; every
# run starts from the default lab.
KV_BUILD_DIR="$build" bash "$root/lab/kvlab.sh" init

if [ "$headless" = 0 ]; then
  exec "$build/wine-run" "$build/bin/Quayside.exe"
fi

"$build/wine-run" "$build/bin/Quayside.exe" &
console=$!
for _ in $(seq 1 150); do
  xwininfo -display "$KV_DISPLAY" -root -tree 2>/dev/null | grep -q '"SAN Option Configuration"' && break
  sleep 0.1
done
sleep 1
mkdir -p "$root/screenshots"
import -display "$KV_DISPLAY" -window root "$root/screenshots/console.png"
convert "$root/screenshots/console.png" -trim +repage "$root/screenshots/console.png"
echo "Screenshot of the console: screenshots/console.png"
kill "$console" 2>/dev/null || true
