#!/bin/sh
# Runs the lab tool in the build's Wine prefix: lab/kvlab.sh init | show | ...
# KV_BUILD_DIR names the build (default: build/ beside this folder).
here=$(cd "$(dirname "$0")/.." && pwd)
build="${KV_BUILD_DIR:-$here/build}"
# A program that outlives the tool keeps the Unix standard error of the
# program that started it, whatever the Windows side asks for: Wine's own
# helpers, which the first program of a Wine session starts, and the lab
# host, which the tool starts. So the session is started here with none of
# the caller's descriptors, and the tool's standard error goes through a
# file that is copied to the caller's when the tool ends. A caller that reads
# the output through a pipe (out=$(kvlab.sh init 2>&1), kvlab.sh init | tee)
# then sees its end when the tool ends.
"$build/wine-run" wineboot </dev/null >/dev/null 2>&1
errors=$(mktemp)
"$build/wine-run" "$build/bin/kvlab.exe" "$@" 2>"$errors"
status=$?
cat "$errors" >&2
rm -f "$errors"
exit $status
