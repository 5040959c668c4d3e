#!/bin/sh
# Runs the lab tool in the build's Wine prefix: lab/kvlab.sh init | show | ...
# KV_BUILD_DIR names the build (default: build/ beside this folder).
here=$(cd "$(dirname "$0")/.." && pwd)
build="${KV_BUILD_DIR:-$here/build}"
exec "$build/wine-run" "$build/bin/kvlab.exe" "$@"
