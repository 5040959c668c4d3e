#!/usr/bin/env bash
# Installs the backup product's stand-ins (libraries, services, plug-ins) into
# a program folder of the build's Wine prefix, as the product's own setup would,
# and points the product's registry at that folder; the tools' installer
# package then installs beside them, as on a customer's server.
#   install-lab-product.sh            install (safe to run again)
#   install-lab-product.sh --remove   remove the stand-ins and the registry value
# KV_BUILD_DIR names the build (default: build/ beside this folder).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${KV_BUILD_DIR:-$root/build}"
run="$build/wine-run"
folder='C:\Program Files\Kestrava'
unix_folder="$build/wineprefix/drive_c/Program Files/Kestrava"
key='HKLM\SOFTWARE\Quillmark\KestravaNet'
files=(Dunlin.dll Bellcast.dll Prodwick.dll Toolwright.dll kvdiscoverysvc.exe TAPESVC.EXE KVBUSY.EXE
       Chaplet.DLL Ntmsgate.DLL Raidwell.DLL Remora.DLL Vellum.DLL)

if [ "${1:-}" = "--remove" ]; then
  for f in "${files[@]}"; do rm -f "$unix_folder/$f"; done
  rmdir "$unix_folder" 2>/dev/null || true
  "$run" reg delete "$key" /v InstallPath /f </dev/null >/dev/null 2>&1 || true
  exit 0
fi

mkdir -p "$unix_folder"
for f in "${files[@]}"; do cp "$build/bin/$f" "$unix_folder/"; done
"$run" reg add "$key" /v InstallPath /t REG_SZ /d "$folder" /f </dev/null >/dev/null
echo "The product's stand-ins are in $folder"
