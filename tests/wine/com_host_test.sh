#!/usr/bin/env bash
# Registers the control (regsvr32) in a prefix of its own and runs the C++
# test host, which creates it by ProgID. When the Linux build's vexa-server is there ($VEXA_SERVER,
# else build/server/vexa-server beside this build), the host also logs in to it and uploads a file
# and a folder.
# usage: com_host_test.sh BUILD_DIR [gtest arguments...]
set -euo pipefail
build=$(cd "$1" && pwd)
shift
here=$(cd "$(dirname "$0")" && pwd)
. "$here/private_prefix.sh"
use_private_prefix "$build" com-host
# Per machine: Wine 8 does not look in HKCU\Software\Classes when it resolves a ProgID.
wine regsvr32 /s "$DLL"

server=${VEXA_SERVER:-$here/../../build/server/vexa-server}
if [ -x "$server" ]; then
  work=$(mktemp -d)
  mkfifo "$work/listen"
  "$server" --listen 127.0.0.1:0 --data "$work/server" --user alice:alice-pw --admin-token wine-test >"$work/listen" 2>"$work/server.log" &
  server_pid=$!
  trap 'kill $server_pid 2>/dev/null || true; rm -rf "$work"; wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
  read -r -t 20 line <"$work/listen" || { echo "vexa-server did not start:"; cat "$work/server.log"; exit 1; }
  export VEXAUPLOAD_API=${line#listening on }
  upload="$WINEPREFIX/drive_c/upload"
  mkdir -p "$upload/folder/sub"
  head -c 2500000 /dev/urandom >"$upload/one.bin"
  printf 'hello\n' >"$upload/folder/a.txt"
  head -c 70000 /dev/urandom >"$upload/folder/sub/b.bin"
  export VEXA_TEST_ACCOUNT=alice VEXA_TEST_PASSWORD=alice-pw
  export VEXA_TEST_FILE='C:\upload\one.bin' VEXA_TEST_FOLDER='C:\upload\folder'
  echo "vexa-server at $VEXAUPLOAD_API"
else
  echo "no vexa-server at $server: the upload test is skipped"
fi
wine "$build/tests/wine/com_host_test.exe" "$@"
