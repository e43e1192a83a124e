#!/usr/bin/env bash
# Registers ievexaupload_plugin.dll under Wine the ways a user or installer does (regsvr32, DllInstall
# with "user", "USER" and "users") and reads the registry back with `reg query`.
# usage: registration_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
. "$(dirname "$0")/private_prefix.sh"
use_private_prefix "$build" registration
dll=$DLL

CLSID='{1BA822E9-BB45-48AE-894E-83FD9B689D0F}'
APPID='{2AF4385B-C4DB-464C-BE4D-199C02D8E0BC}'
LIBID='{DDBC348F-027B-4511-9052-1690EF7675F7}'
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# value KEY [NAME]: the REG_SZ data of a value ("" name: the default), or "<missing>".
value() {
  local out
  if [ -n "${2:-}" ]; then
    out=$(wine reg query "$1" /v "$2" 2>/dev/null) || { echo "<missing>"; return; }
  else
    out=$(wine reg query "$1" /ve 2>/dev/null) || { echo "<missing>"; return; }
  fi
  printf '%s\n' "$out" | tr -d '\r' | sed -n 's/^ *[^ ].*REG_SZ *//p' | head -1
}
has_key() { wine reg query "$1" >/dev/null 2>&1; }
expect() {  # KEY NAME WANT
  local got
  got=$(value "$1" "$2")
  [ "$got" = "$3" ] || fail "$1 [${2:-default}]: got '$got', want '$3'"
}

# check_registered ROOT: every key and value of the two scripts under ROOT.
check_registered() {
  local r=$1
  expect "$r\\AppID\\$APPID" "" "Myvexaupload_plugin_ie"
  expect "$r\\AppID\\vexaupload_plugin_ie.DLL" AppID "$APPID"
  expect "$r\\upload_plugin_ie.Upload.1" "" "Upload Class"
  expect "$r\\upload_plugin_ie.Upload.1\\CLSID" "" "$CLSID"
  expect "$r\\upload_plugin_ie.Upload" "" "Upload Class"
  expect "$r\\upload_plugin_ie.Upload\\CLSID" "" "$CLSID"
  expect "$r\\upload_plugin_ie.Upload\\CurVer" "" "upload_plugin_ie.Upload.1"
  local c="$r\\CLSID\\$CLSID"
  expect "$c" "" "Upload Class"
  expect "$c" AppID "$APPID"
  expect "$c\\ProgID" "" "upload_plugin_ie.Upload.1"
  expect "$c\\VersionIndependentProgID" "" "upload_plugin_ie.Upload"
  expect "$c\\InprocServer32" "" "$dll"
  expect "$c\\InprocServer32" ThreadingModel "Apartment"
  expect "$c\\ToolboxBitmap32" "" "$dll, 102"
  expect "$c\\MiscStatus" "" "0"
  expect "$c\\MiscStatus\\1" "" "131473"
  expect "$c\\TypeLib" "" "$LIBID"
  expect "$c\\Version" "" "1.0.1026.4"
  has_key "$c\\Programmable" || fail "$c\\Programmable missing"
  has_key "$c\\Control" || fail "$c\\Control missing"
}

check_unregistered() {
  local r=$1
  for k in "$r\\CLSID\\$CLSID" "$r\\upload_plugin_ie.Upload" "$r\\upload_plugin_ie.Upload.1" \
           "$r\\AppID\\$APPID" "$r\\AppID\\vexaupload_plugin_ie.DLL"; do
    has_key "$k" && fail "$k left after unregistration"
  done
  has_key "$r\\CLSID" || fail "$r\\CLSID removed"
  has_key "$r\\AppID" || fail "$r\\AppID removed"
}

MACHINE='HKLM\Software\Classes'
USER='HKCU\Software\Classes'

echo "-- regsvr32 (per machine)"
wine regsvr32 /s "$dll" || fail "regsvr32 failed"
check_registered "$MACHINE"
has_key "HKCR\\TypeLib\\$LIBID\\1.0" || fail "type library not registered"
has_key "$USER\\CLSID\\$CLSID" && fail "per-machine registration wrote per-user keys"
wine regsvr32 /s /u "$dll" || fail "regsvr32 /u failed"
check_unregistered "$MACHINE"

for arg in user USER; do
  echo "-- DllInstall \"$arg\" (per user)"
  wine regsvr32 /s /n "/i:$arg" "$dll" || fail "DllInstall $arg failed"
  check_registered "$USER"
  has_key "$MACHINE\\CLSID\\$CLSID" && fail "DllInstall $arg wrote per-machine keys"
  wine regsvr32 /s /u /n "/i:$arg" "$dll" || fail "DllInstall $arg uninstall failed"
  check_unregistered "$USER"
done

echo "-- DllInstall \"users\" (one letter more: per machine)"
wine regsvr32 /s /n /i:users "$dll" || fail "DllInstall users failed"
check_registered "$MACHINE"
has_key "$USER\\CLSID\\$CLSID" && fail "DllInstall users wrote per-user keys"
wine regsvr32 /s /u /n /i:users "$dll" || fail "DllInstall users uninstall failed"
check_unregistered "$MACHINE"

# Origins whose pages may script the control: https or loopback http, per user or per machine, and
# plain http of another host only when forced. They leave the class registration alone.
ORIGINS='Software\vexaupload\control\Origins'
echo "-- DllInstall origins"
wine regsvr32 /s /n '/i:user origin=https://Good.Example:443/ origin=http://127.0.0.1:8080' "$dll" ||
  fail "DllInstall user origins failed"
expect "HKCU\\$ORIGINS" "https://good.example" "https://good.example"
expect "HKCU\\$ORIGINS" "http://127.0.0.1:8080" "http://127.0.0.1:8080"
has_key "HKLM\\$ORIGINS" && fail "per-user origins written per machine"
has_key "$USER\CLSID\$CLSID" && fail "DllInstall origins registered the class"
wine regsvr32 /s /n '/i:origin=http://evil.example' "$dll" && fail "a plain http origin was taken"
has_key "HKLM\\$ORIGINS" && fail "a refused origin was written"
wine regsvr32 /s /n '/i:origin=http://evil.example force' "$dll" || fail "a forced origin was refused"
expect "HKLM\\$ORIGINS" "http://evil.example" "http://evil.example"
wine regsvr32 /s /u /n '/i:user origin=https://good.example' "$dll" || fail "DllInstall origin removal failed"
[ "$(value "HKCU\\$ORIGINS" "https://good.example")" = "<missing>" ] || fail "a removed origin is left"
expect "HKCU\\$ORIGINS" "http://127.0.0.1:8080" "http://127.0.0.1:8080"

if [ "$failures" -ne 0 ]; then
  echo "$failures registration check(s) failed"
  exit 1
fi
echo "registration: all checks passed"
