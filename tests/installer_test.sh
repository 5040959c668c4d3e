#!/usr/bin/env bash
# The installer package under Wine, as a customer would use it: refused where no
# product is installed; installed quietly into the product's folder; the
# installed console opens on a lab; installed again (repair); replaced by a
# higher version (one entry in the installed programs); removed, leaving the
# product's own files as they were.   installer_test.sh BUILD_DIR
set -uo pipefail
build=$(cd "${1:?usage: installer_test.sh BUILD_DIR}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
run="$build/wine-run"
export KV_BUILD_DIR="$build"
msi="$build/KestravaAdminTools.msi"
work="$build/installer-test"
drive_c="$build/wineprefix/drive_c"
folder="$drive_c/Program Files/Kestrava"
# The package is per machine, so Windows puts the shortcuts into the common
# Programs folder; Wine's msi puts them into the user's.
menus=("$drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Kestrava Administration Tools"
       "$drive_c/users/$(id -un)/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Kestrava Administration Tools")
tools=(Quayside.exe Gearwise.exe kvroles.exe KVMGR.HLP KVMGR.cnt)
product=(Dunlin.dll Bellcast.dll Prodwick.dll Toolwright.dll kvdiscoverysvc.exe TAPESVC.EXE)
# A lab of the test's own, apart from anyone's default lab in this prefix.
export KV_LAB_ROOT='SOFTWARE\KestravaLabInstallerTest' KV_PRODUCT_ROOT='SOFTWARE\KestravaInstallerTest'
export KV_TOOL_SETTINGS_ROOT='Software\KestravaInstallerTest\Tools'
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
winpath() { echo "Z:${1//\//\\}"; }
msiexec() { "$run" msiexec "$@" /qn </dev/null >/dev/null 2>&1; }
# Entries of the installed programs that name this package, and their versions.
installed_versions() {
  "$run" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s </dev/null 2>/dev/null |
    tr -d '\r' | awk '/^HKEY/ {name=""; ver=""} /DisplayName/ {sub(/.*REG_SZ +/, ""); name=$0}
                     /DisplayVersion/ {sub(/.*REG_SZ +/, ""); ver=$0}
                     name == "Kestrava Administration Tools" && ver != "" {print ver; name=""}'
}
has_key() { "$run" reg query "$1" </dev/null >/dev/null 2>&1; }
cleanup() {
  [ -n "${console:-}" ] && kill "$console" 2>/dev/null
  "$run" "$build/bin/kvlab.exe" destroy </dev/null >/dev/null 2>&1
  [ -f "$work/upgrade/KestravaAdminTools.msi" ] && msiexec /x "$(winpath "$work/upgrade/KestravaAdminTools.msi")"
  msiexec /x "$(winpath "$msi")"
  bash "$root/scripts/install-lab-product.sh" --remove
  rm -rf "$work"
}
trap cleanup EXIT
[ -f "$msi" ] || { echo "no package at $msi"; exit 1; }
rm -rf "$work"; mkdir -p "$work"
msiexec /x "$(winpath "$msi")"   # whatever an interrupted run left

# 1. No product: refused (1603, cut to 8 bits), nothing installed.
bash "$root/scripts/install-lab-product.sh" --remove
msiexec /i "$(winpath "$msi")"; rc=$?
[ $rc -eq $((1603 & 255)) ] || fail "install without the product: exit $rc, expected 1603"
[ -e "$folder/Quayside.exe" ] && fail "install without the product left Quayside.exe"
[ -z "$(installed_versions)" ] || fail "install without the product left an entry in the installed programs"

# 2. The product's stand-ins, then the package into their folder.
bash "$root/scripts/install-lab-product.sh" >/dev/null || fail "install-lab-product.sh"
for f in "${product[@]}"; do md5sum "$folder/$f"; done >"$work/product.md5"
msiexec /i "$(winpath "$msi")"; rc=$?
[ $rc -eq 0 ] || fail "install: exit $rc"
for f in "${tools[@]}"; do cmp -s "$build/bin/$f" "$folder/$f" || fail "install: $f is not the built one"; done
for s in "SAN Option Configuration" "Device Configuration"; do
  [ -f "${menus[0]}/$s.lnk" ] || [ -f "${menus[1]}/$s.lnk" ] || fail "install: no Start-menu shortcut \"$s\""
done
version=$(sed -n 's/^#define KV_VERSION_TEXT "\([0-9]*\.[0-9]*\.[0-9]*\).*/\1/p' "$build/include-version/kvversion.h")
[ "$(installed_versions)" = "$version" ] || fail "install: installed programs show '$(installed_versions)', expected $version"

# 3. The installed console opens on a lab, with the product's libraries beside it.
"$run" "$build/bin/kvlab.exe" init </dev/null >/dev/null 2>&1 || fail "kvlab init"
"$run" 'C:\Program Files\Kestrava\Quayside.exe' </dev/null >/dev/null 2>&1 &
console=$!
seen=0
for _ in $(seq 1 150); do
  xwininfo -display "$KV_DISPLAY" -root -tree 2>/dev/null | grep -q '"SAN Option Configuration"' && { seen=1; break; }
  kill -0 "$console" 2>/dev/null || break
  sleep 0.1
done
[ $seen -eq 1 ] || fail "the installed console showed no window"
kill "$console" 2>/dev/null; wait "$console" 2>/dev/null; console=
"$run" "$build/bin/kvlab.exe" destroy </dev/null >/dev/null 2>&1

# 4. Repair: a lost file comes back; installing the same version again keeps one entry.
# (Wine's msiexec does not take /f: the same repair through REINSTALL.)
rm -f "$folder/Gearwise.exe"
msiexec /i "$(winpath "$msi")" REINSTALL=ALL REINSTALLMODE=omus; rc=$?
[ $rc -eq 0 ] || fail "repair: exit $rc"
cmp -s "$build/bin/Gearwise.exe" "$folder/Gearwise.exe" || fail "repair did not restore Gearwise.exe"
msiexec /i "$(winpath "$msi")"; rc=$?
[ $rc -eq 0 ] || fail "the same version again: exit $rc"
[ "$(installed_versions)" = "$version" ] || fail "the same version again: installed programs show '$(installed_versions)'"

# 5. A higher version replaces it: one entry, the new version.
IFS=. read -r major minor patch <<<"$version"
higher="$major.$minor.$((patch + 1))"
mkdir -p "$work/upgrade"
cp "$root/installer/KestravaAdminTools.wxs" "$work/upgrade/"
(cd "$work/upgrade" && wixl -a x64 -D Version="$higher" -D BinDir=../../bin -o KestravaAdminTools.msi \
  KestravaAdminTools.wxs 2>/dev/null) || fail "wixl (version $higher)"
msiexec /i "$(winpath "$work/upgrade/KestravaAdminTools.msi")"; rc=$?
[ $rc -eq 0 ] || fail "upgrade: exit $rc"
[ "$(installed_versions)" = "$higher" ] || fail "upgrade: installed programs show '$(installed_versions)', expected $higher alone"
for f in "${tools[@]}"; do [ -f "$folder/$f" ] || fail "upgrade: $f missing"; done

# 6. Uninstall: every file, shortcut and key of the package goes; the product stays.
msiexec /x "$(winpath "$work/upgrade/KestravaAdminTools.msi")"; rc=$?
[ $rc -eq 0 ] || fail "uninstall: exit $rc"
for f in "${tools[@]}"; do [ -e "$folder/$f" ] && fail "uninstall left $f"; done
for m in "${menus[@]}"; do [ -e "$m" ] && fail "uninstall left the Start-menu folder $m"; done
has_key 'HKLM\SOFTWARE\Quillmark\KestravaAdminTools' && fail "uninstall left HKLM\\SOFTWARE\\Quillmark\\KestravaAdminTools"
[ -z "$(installed_versions)" ] || fail "uninstall left an entry in the installed programs"
md5sum --quiet -c "$work/product.md5" >/dev/null 2>&1 || fail "the product's files changed"

if [ $failures -eq 0 ]; then echo "installer: all checks passed"; else echo "installer: $failures check(s) failed"; fi
[ $failures -eq 0 ]
