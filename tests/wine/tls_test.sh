#!/usr/bin/env bash
# The Windows build over HTTPS under Wine, against the Linux vexa-server with
# a certificate of an authority made here: a login and an upload that arrives
# whole, with the authority given through VEXAUPLOAD_CA_FILE; then the
# refusals of a self-signed certificate and of one for another name.
# usage: tls_test.sh BUILD_DIR SOURCE_DIR   (the plain build's vexa-server is
# SOURCE_DIR/build/server/vexa-server unless VEXA_SERVER names another)
set -euo pipefail
build=$(cd "$1" && pwd)
server_bin=${VEXA_SERVER:-$2/build/server/vexa-server}
if [ ! -x "$server_bin" ]; then
  echo "SKIPPED: no Linux vexa-server at $server_bin (the plain build makes it)"
  exit 77
fi
. "$(dirname "$0")/private_prefix.sh"
use_private_prefix "$build" tls
work=$(mktemp -d)
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX" "$work"
}
trap cleanup EXIT

windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# The authority and its certificates, with RSA keys: Wine's crypt32 refuses an
# ECDSA signature whose r or s is shorter than 32 bytes (about one in 128), so
# P-256 certificates (as the Linux tests use) made this test fail at random.
cd "$work"
key_options=(-newkey rsa:2048 -nodes)
openssl req -x509 "${key_options[@]}" -keyout ca.key -out ca.pem -days 2 -subj '/CN=Vexa Wine Test Authority' \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
issue() {  # NAME SUBJECT_ALT_NAMES
  openssl req "${key_options[@]}" -keyout "$1.key" -out "$1.csr" -subj "/CN=$1" 2>/dev/null
  printf 'basicConstraints=CA:FALSE\nsubjectAltName=%s\n' "$2" >"$1.ext"
  openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -sha256 -extfile "$1.ext" \
    -out "$1.pem" 2>/dev/null
}
issue good 'IP:127.0.0.1,DNS:localhost'
issue other 'DNS:other.example'
openssl req -x509 "${key_options[@]}" -keyout selfsigned.key -out selfsigned.pem -days 2 -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1 2>/dev/null

# start_server NAME: vexa-server over HTTPS with NAME.pem; its port in $port.
start_server() {
  mkdir -p "data-$1"
  "$server_bin" --listen 127.0.0.1:0 --data "data-$1" --user alice:alice-pw --admin-token wine-tls \
    --tls-cert "$1.pem" --tls-key "$1.key" >"server-$1.out" 2>"server-$1.err" &
  pids+=($!)
  local i
  for i in $(seq 100); do
    port=$(sed -n 's|^listening on https://127.0.0.1:\([0-9]*\).*|\1|p' "server-$1.out")
    [ -n "$port" ] && return 0
    sleep 0.1
  done
  echo "FAIL: vexa-server with $1.pem did not start"; cat "server-$1.err"; exit 1
}

export VEXAUPLOAD_CA_FILE
VEXAUPLOAD_CA_FILE=$(windows_path "$work/ca.pem")
export VEXAUPLOAD_DATA_DIR
VEXAUPLOAD_DATA_DIR=$(windows_path "$work/client")
mkdir -p client
host="$build/tests/wine/tls_upload_host.exe"

# Three ranges and a bit, random, so the service cannot have it already.
head -c $((3 * 1024 * 1024 + 4321)) /dev/urandom >upload.bin
start_server good
out=$(wine "$host" "https://127.0.0.1:$port" upload "$(windows_path "$work/upload.bin")" 2>&1 | tr -d '\r')
echo "$out"
sha1=$(sha1sum upload.bin | cut -d' ' -f1 | tr a-f A-F)  # file identities are upper case
size=$(stat -c %s upload.bin)
grep -qx "uploaded $sha1 $size" <<<"$out" || { echo "FAIL: upload over TLS"; exit 1; }
# What the service holds, asked over TLS too (curl trusts the same authority).
export_json=$(curl -sS --cacert ca.pem -H 'X-Admin-Token: wine-tls' "https://127.0.0.1:$port/admin/export")
grep -qi "\"sha1\":\"$sha1\"" <<<"$export_json" || { echo "FAIL: the service holds no $sha1: $export_json"; exit 1; }
grep -q "\"size\":$size" <<<"$export_json" || { echo "FAIL: the service holds another size: $export_json"; exit 1; }

# refused NAME EXPECTED: the login to a server with NAME.pem fails with EXPECTED.
refused() {
  start_server "$1"
  out=$(wine "$host" "https://127.0.0.1:$port" refused 2>&1 | tr -d '\r')
  echo "$out"
  grep -qF "refused: certificate of 127.0.0.1 refused: $2" <<<"$out" || { echo "FAIL: $1 not refused with '$2'"; exit 1; }
}
refused selfsigned 'self-signed certificate'
# The good certificate, but no authority named: Wine's roots do not hold ours.
VEXAUPLOAD_CA_FILE='' refused good 'unable to get local issuer certificate'
refused other 'IP address mismatch'
echo "tls: ok"
