#!/usr/bin/env bash
# Runs jscript_test.js in Wine's cscript against the registered control.
# usage: jscript_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
. "$(dirname "$0")/private_prefix.sh"
use_private_prefix "$build" jscript
# Per machine: Wine 8 does not look in HKCU\Software\Classes when it resolves a ProgID.
wine regsvr32 /s "$DLL"
# Registered page origins change nothing for the user's own script host.
wine regsvr32 /s /n '/i:origin=https://good.example' "$DLL"
cp "$(dirname "$0")/jscript_test.js" "$WINEPREFIX/drive_c/jscript_test.js"
out=$(wine cscript //nologo 'C:\jscript_test.js' 2>&1 | tr -d '\r')
echo "$out"
grep -q "^jscript: ok" <<<"$out"
