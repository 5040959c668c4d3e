#!/usr/bin/env bash
# Runs a command with it and the build's wineserver on one CPU, then gives the
# wineserver every CPU again, e.g.
#   bash scripts/one-cpu.sh build/wine-run build/bin/consolebench.exe --startup 10
# Every call a Wine program makes to the wineserver is a round trip between two
# processes. On a machine whose other CPU sits idle (as on this project's
# two-CPU virtual machine), each trip wakes that CPU first: about 60 us a
# request at the console's start, a few on one CPU. Figures taken so measure
# the programs' own work rather than the machine's wake-ups, and vary far less.
# KV_CPU chooses the CPU (default 0); KV_BUILD_DIR the build (default build/).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${KV_BUILD_DIR:-$root/build}"
prefix="$build/wineprefix"
cpu="${KV_CPU:-0}"
[ $# -gt 0 ] || { echo "usage: $0 COMMAND [ARGS...]" >&2; exit 2; }
command -v taskset >/dev/null || { echo "one-cpu.sh: taskset (util-linux) is needed" >&2; exit 1; }

# The wineserver of this prefix works in a folder server-DEV-INODE (the
# prefix's device and inode in hexadecimal) under the temporary folder.
read -r dev ino < <(stat -c '%d %i' "$prefix")
dir=$(printf 'server-%x-%x' "$dev" "$ino")
server=""
for pid in $(pgrep wineserver || true); do
  cwd=$(readlink "/proc/$pid/cwd" 2>/dev/null || true)
  [ "${cwd##*/}" = "$dir" ] && server=$pid
done
[ -n "$server" ] || { echo "one-cpu.sh: no wineserver runs for $prefix (scripts/wine-session.sh start)" >&2; exit 1; }

pin() { for task in /proc/"$server"/task/*; do taskset -p -c "$1" "${task##*/}" >/dev/null; done; }
pin "$cpu"
trap 'pin "0-$(($(nproc) - 1))"' EXIT
taskset -c "$cpu" "$@"
