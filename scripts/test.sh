#!/usr/bin/env bash
# Builds everything and runs every test under Wine inside Xvfb.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${KV_BUILD_DIR:-$root/build}"
export KV_DISPLAY="${KV_DISPLAY:-:97}"
"$root/scripts/build.sh"
trap '"$root/scripts/wine-session.sh" stop "$build"' EXIT
"$root/scripts/wine-session.sh" start "$build"
cd "$build"
ctest --output-on-failure -j2 "$@"
