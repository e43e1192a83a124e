#!/usr/bin/env bash
# Registers the control (regsvr32) in a prefix of its own and runs the C++
# test host, which creates it by ProgID. When the Linux build's vexa-server is there ($VEXA_SERVER,
# else build/server/vexa-server beside this build), the host also logs in to it and uploads a file
# and a folder; and when the Linux CLI is there too ($VEXAUPLOAD_CLI, else build/apps/cli/vexaupload),
# the Linux control then makes the same login and file upload against a second, fresh server, and
# the two controls' payloads are compared (compare_payloads.py).
# usage: com_host_test.sh BUILD_DIR [gtest arguments...]
set -euo pipefail
build=$(cd "$1" && pwd)
shift
here=$(cd "$(dirname "$0")" && pwd)
. "$here/private_prefix.sh"
use_private_prefix "$build" com-host
# Per machine: Wine 8 does not look in HKCU\Software\Classes when it resolves a ProgID.
# Headless, windows (the container's and the control's) need Wine's null display driver; the
# desktop reads it when it starts, so the prefix's processes are ended once it is set.
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null
wineserver -w
wine regsvr32 /s "$DLL"
# The one origin whose pages may script the control (the host test's registered document).
wine regsvr32 /s /n '/i:user origin=https://good.example' "$DLL"

server=${VEXA_SERVER:-$here/../../build/server/vexa-server}
cli=${VEXAUPLOAD_CLI:-$here/../../build/apps/cli/vexaupload}
server_pids=()
# start_server NAME: starts a fresh vexa-server and sets $api to its address.
start_server() {
  mkfifo "$work/$1.listen"
  "$server" --listen 127.0.0.1:0 --data "$work/$1" --user alice:alice-pw --admin-token wine-test \
    >"$work/$1.listen" 2>"$work/$1.log" &
  server_pids+=($!)
  read -r -t 20 line <"$work/$1.listen" || { echo "vexa-server did not start:"; cat "$work/$1.log"; exit 1; }
  api=${line#listening on }
}
if [ -x "$server" ]; then
  work=$(mktemp -d)
  trap 'kill "${server_pids[@]}" 2>/dev/null || true; rm -rf "$work"; wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
  start_server windows
  export VEXAUPLOAD_API=$api
  upload="$WINEPREFIX/drive_c/upload"
  mkdir -p "$upload/folder/sub"
  head -c 2500000 /dev/urandom >"$upload/one.bin"
  printf 'hello\n' >"$upload/folder/a.txt"
  head -c 70000 /dev/urandom >"$upload/folder/sub/b.bin"
  export VEXA_TEST_ACCOUNT=alice VEXA_TEST_PASSWORD=alice-pw
  export VEXA_TEST_FILE='C:\upload\one.bin' VEXA_TEST_FOLDER='C:\upload\folder'
  export VEXA_PAYLOAD_LOG="$work/host_payloads.txt"
  echo "vexa-server at $VEXAUPLOAD_API"
else
  echo "no vexa-server at $server: the upload test is skipped"
fi
wine "$build/tests/wine/com_host_test.exe" "$@"

if [ -s "${VEXA_PAYLOAD_LOG:-}" ]; then
  if [ -x "$cli" ]; then
    start_server linux
    VEXAUPLOAD_DATA_DIR="$work/linux-data" \
      python3 "$here/compare_payloads.py" "$cli" "$api" alice alice-pw "$upload/one.bin" "$VEXA_PAYLOAD_LOG"
  else
    echo "no Linux CLI at $cli: the payload comparison is skipped"
  fi
fi
