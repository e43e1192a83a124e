#!/usr/bin/env bash
# The crash reporter under Wine: a program that faults leaves "YYYYMMDDhhmmssmmm_crash_host.exe"
# .exception and .dmp files in its report folder; a fault inside a system DLL leaves none.
# usage: crash_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
. "$(dirname "$0")/private_prefix.sh"
use_private_prefix "$build" crash
# No post-mortem debugger: the fault ends the process at once.
wine reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f >/dev/null 2>&1 || true
reports="$WINEPREFIX/drive_c/reports"
mkdir -p "$reports"
# Another module's fault is the host's business: nothing is written for it.
if wine "$build/tests/wine/crash_host.exe" 'C:\reports' foreign >/dev/null 2>&1; then
  echo "FAIL: crash_host did not fault in the system DLL"
  exit 1
fi
if [ -n "$(ls -A "$reports")" ]; then
  echo "FAIL: a fault outside the module was reported: $(ls "$reports")"
  exit 1
fi
if wine "$build/tests/wine/crash_host.exe" 'C:\reports' >/dev/null 2>&1; then
  echo "FAIL: crash_host did not fault"
  exit 1
fi
shopt -s nullglob
exc=("$reports"/[0-9]*_crash_host.exe.exception)
dmp=("$reports"/[0-9]*_crash_host.exe.dmp)
if [ ${#exc[@]} -ne 1 ] || [ ${#dmp[@]} -ne 1 ]; then
  echo "FAIL: want one .exception and one .dmp, found: $(ls "$reports")"
  exit 1
fi
name=$(basename "${exc[0]}")
[[ "$name" =~ ^[0-9]{17}_crash_host\.exe\.exception$ ]] || { echo "FAIL: name $name"; exit 1; }
[ "$(basename "${dmp[0]}" .dmp)" = "$(basename "${exc[0]}" .exception)" ] || { echo "FAIL: names differ"; exit 1; }
grep -q "^Exception: 0xc0000005" "${exc[0]}" || { echo "FAIL: report:"; cat "${exc[0]}"; exit 1; }
grep -q "crash_host.exe" "${exc[0]}" || { echo "FAIL: no executable in the report"; exit 1; }
# A minidump starts with "MDMP".
[ "$(head -c 4 "${dmp[0]}")" = "MDMP" ] || { echo "FAIL: ${dmp[0]} is no minidump"; exit 1; }
echo "crash reporter: $name and its .dmp written"
