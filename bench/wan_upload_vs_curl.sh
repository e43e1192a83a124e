#!/usr/bin/env bash
# Uploads over an emulated wide-area link, beside one curl POST of the same
# bytes on the same link in the same run. The link is made here: two network
# namespaces, a TUN device in each, and bench/wan_link relaying the packets
# with the link's rate, one-way delay and a tail-drop queue (the kernel's TCP
# on both ends). Addresses 198.18.0.1 (client) and 198.18.0.2 (service) exist
# only inside those namespaces. Everything made is removed at the end, also on
# failure or Ctrl-C. Needs root; says so and skips otherwise.
#
# For each link (50 ms / 100 Mbit/s, then 150 ms / 20 Mbit/s; 100 ms queue):
#  - curl --data-binary of the file to a sink (one POST): the peer figure;
#  - curl sending the file's signed 1 MiB ranges to vexa-server from one
#    process (-K, "next": one connection while the service keeps it);
#  - `vexaupload upload` of the file;
# and at 50 ms the same two peers over HTTPS: curl to a TLS sink and
# `vexaupload upload` to a second vexa-server with --tls-cert/--tls-key, both
# with a certificate for 198.18.0.2 from a test authority made for the run
# (curl --cacert, VEXAUPLOAD_CA_FILE); then a folder of small files: seconds
# per file beyond the 0.5 s pause between files, in round trips. Every upload
# is checked against the service's stored copy, byte for byte.
#
# usage: wan_upload_vs_curl.sh BUILD_DIR [MiB at 50 ms] [MiB at 150 ms] [small files]
# VEXA_WAN_SERVER_ARGS adds arguments to vexa-server's (e.g. "--keep-alive 0"
# to compare with one request per connection); VEXA_WAN_TLS=0 leaves out the
# HTTPS figures.
set -euo pipefail
build=$(cd "${1:?usage: wan_upload_vs_curl.sh BUILD_DIR [MiB50] [MiB150] [FILES]}" && pwd)
mib_near=${2:-64}
mib_far=${3:-64}
small_files=${4:-20}
for n in "$mib_near" "$mib_far" "$small_files"; do
  [[ $n =~ ^[1-9][0-9]*$ ]] || { echo "sizes are positive counts" >&2; exit 2; }
done
link="$build/bench/wan_link"
ranges="$build/bench/wan_curl_ranges"
server="$build/server/vexa-server"
cli="$build/apps/cli/vexaupload"
for exe in "$link" "$ranges" "$server" "$cli"; do
  [ -x "$exe" ] || { echo "no $exe: build first" >&2; exit 1; }
done
command -v curl >/dev/null || { echo "curl not found" >&2; exit 1; }

skip() {
  echo "SKIPPED: the wide-area benchmark cannot make its network namespaces: $*"
  exit 0
}
[ "$(id -u)" -eq 0 ] || skip "it needs root"
command -v ip >/dev/null || skip "no ip command (iproute2)"
[ -c /dev/net/tun ] || skip "no /dev/net/tun"

client_ns=vxwanc$$
server_ns=vxwans$$
work=$(mktemp -d)
relay_pid="" server_pid="" sink_pid="" tls_server_pid="" tls_sink_pid=""
stop() {
  local pid
  for pid in "$@"; do
    [ -n "$pid" ] || continue
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
}
cleanup() {
  stop "$server_pid" "$sink_pid" "$tls_server_pid" "$tls_sink_pid" "$relay_pid"
  ip netns del "$client_ns" 2>/dev/null || true
  ip netns del "$server_ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
ip netns add "$client_ns" 2>"$work/err" || skip "$(cat "$work/err")"
ip netns add "$server_ns" 2>"$work/err" || skip "$(cat "$work/err")"
in_client() { ip netns exec "$client_ns" "$@"; }

unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY all_proxy ALL_PROXY no_proxy VEXAUPLOAD_API VEXAUPLOAD_PASSWORD

# first_line COMMAND...: runs COMMAND (a program, so that its pid is the
# one to stop) in the background and waits for its first line of output;
# sets $line and $started_pid.
first_line() {
  local fifo="$work/line.$RANDOM"
  mkfifo "$fifo"
  "$@" >"$fifo" 2>>"$work/daemons.log" &
  started_pid=$!
  if ! read -r -t 20 line <"$fifo"; then
    echo "did not start: $*" >&2
    cat "$work/daemons.log" >&2
    exit 1
  fi
  rm -f "$fifo"
}

link_up() {  # RTT_MS MBIT
  stop "$server_pid" "$sink_pid" "$tls_server_pid" "$tls_sink_pid" "$relay_pid"
  server_pid="" sink_pid="" tls_server_pid="" tls_sink_pid="" relay_pid=""
  first_line "$link" relay "$client_ns" "$server_ns" --rtt-ms "$1" --mbit "$2" --queue-ms 100
  relay_pid=$started_pid
  [ "$line" = ready ] || { echo "relay: $line" >&2; exit 1; }
  ip -n "$client_ns" link set lo up
  ip -n "$server_ns" link set lo up
  ip -n "$client_ns" addr add 198.18.0.1 peer 198.18.0.2 dev vxwan0
  ip -n "$server_ns" addr add 198.18.0.2 peer 198.18.0.1 dev vxwan1
  ip -n "$client_ns" link set vxwan0 mtu 1500 up
  ip -n "$server_ns" link set vxwan1 mtu 1500 up
  rm -rf "$work/server" "$work/client" "$work/server-tls" "$work/client-tls"
  first_line ip netns exec "$server_ns" "$server" --listen 198.18.0.2:0 --data "$work/server" --user alice:alice-pw \
    --admin-token wan-bench-token ${VEXA_WAN_SERVER_ARGS:-}
  server_pid=$started_pid
  base=${line#listening on }
  first_line ip netns exec "$server_ns" "$link" sink 198.18.0.2
  sink_pid=$started_pid
  sink=${line#listening on }
  export VEXAUPLOAD_DATA_DIR="$work/client"
  printf 'alice-pw\n' | in_client "$cli" login --api "$base" --remember alice >/dev/null
}

# The HTTPS peers on the link that is up: a TLS sink ($tls_sink) and a
# vexa-server over TLS ($tls_base), with a client data folder logged in there.
tls_up() {
  local ca="$work/authority"
  [ -f "$ca/ca.pem" ] || "$link" authority 198.18.0.2 "$ca"
  first_line ip netns exec "$server_ns" "$server" --listen 198.18.0.2:0 --data "$work/server-tls" \
    --user alice:alice-pw --admin-token wan-bench-token --tls-cert "$ca/server.pem" \
    --tls-key "$ca/server.key" ${VEXA_WAN_SERVER_ARGS:-}
  tls_server_pid=$started_pid
  tls_base=${line#listening on }
  first_line ip netns exec "$server_ns" "$link" sink 198.18.0.2 --tls-cert "$ca/server.pem" \
    --tls-key "$ca/server.key"
  tls_sink_pid=$started_pid
  tls_sink=${line#listening on }
  tls_cacert="$ca/ca.pem"
  tls_client=(ip netns exec "$client_ns" env VEXAUPLOAD_DATA_DIR="$work/client-tls"
    VEXAUPLOAD_CA_FILE="$tls_cacert")
  printf 'alice-pw\n' | "${tls_client[@]}" "$cli" login --api "$tls_base" --remember alice >/dev/null
}

now() { date +%s.%N; }
# rate BYTES SECONDS -> MB/s
rate() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.2f", b / s / 1e6 }'; }

# verify_upload SERVER_DATA FILE: the service holds the file's bytes, under
# the name of their SHA-1.
verify_upload() {
  local sha blob
  sha=$(sha1sum "$2" | cut -c1-40)
  blob=$(find "$1/content/blobs" -type f -iname "$sha" | head -n 1)
  if [ -z "$blob" ] || ! cmp -s "$blob" "$2"; then
    echo "the service does not hold the uploaded file (SHA-1 $sha)" >&2
    exit 1
  fi
}

# Processor seconds (user and system) process PID has used so far.
cpu_of() {
  sed 's/^.*) //' "/proc/$1/stat" | awk -v hz="$(getconf CLK_TCK)" '{ printf "%.2f", ($12 + $13) / hz }'
}

# timed_upload SERVER_DATA FILE PREFIX...: "SECONDS CPU_SECONDS" of
# `PREFIX... vexaupload upload FILE`; checks the service's copy. The
# processor time is that of a shell's children (the second line `times`
# prints there, not in a pipe's subshell): the upload and two clock reads.
timed_upload() {
  local data=$1 file=$2 figures
  shift 2
  # shellcheck disable=SC2016
  figures=$(bash -c 'date +%s.%N; "$@" >"$0" 2>&1 || exit 1; date +%s.%N; times' \
    "$work/upload.log" "$@" "$cli" upload "$file") ||
    { cat "$work/upload.log" >&2; echo "vexaupload upload failed" >&2; exit 1; }
  verify_upload "$data" "$file"
  awk 'NR == 1 { a = $1 } NR == 2 { b = $1 } NR == 4 {
    split($1, u, "m"); split($2, s, "m")
    printf "%.3f %.2f\n", b - a, u[1] * 60 + u[2] + s[1] * 60 + s[2]
  }' <<<"$figures"
}

row() {  # WHAT SECONDS BYTES PEER_SECONDS [NOTE]
  awk -v w="$1" -v s="$2" -v b="$3" -v p="$4" -v n="${5:-}" 'BEGIN {
    printf "  %-44s %8.2f s %7.2f MB/s  %5.2f%s\n", w, s, b / s / 1e6, p / s, n ? "  " n : ""
  }'
}

measure_link() {  # RTT_MS MBIT MiB WITH_TLS
  local rtt=$1 mbit=$2 mib=$3 with_tls=$4 bytes=$(($3 * 1048576)) curl_s ranges_s cli_s cli_cpu
  local server_cpu figures
  link_up "$rtt" "$mbit"
  head -c "$bytes" /dev/urandom >"$work/file.bin"
  echo
  echo "link: ${rtt} ms round trip, ${mbit} Mbit/s, 100 ms queue; ${mib} MiB"
  curl_s=$(in_client curl -sS --fail -o /dev/null -H 'Expect:' --data-binary "@$work/file.bin" \
    -w '%{time_total}' "$sink/")
  ranges_s=$(in_client "$ranges" "$base" "$mib" | sed -n 's/^curl ranges: \([0-9.]*\) s$/\1/p')
  server_cpu=$(cpu_of "$server_pid")
  figures=$(timed_upload "$work/server" "$work/file.bin" ip netns exec "$client_ns")
  read -r cli_s cli_cpu <<<"$figures"
  server_cpu=$(awk -v a="$server_cpu" -v b="$(cpu_of "$server_pid")" 'BEGIN { printf "%.2f", b - a }')
  row "curl --data-binary to a sink (one POST)" "$curl_s" "$bytes" "$curl_s"
  row "curl signed 1 MiB ranges (-K, next)" "$ranges_s" "$bytes" "$curl_s"
  row "vexaupload upload" "$cli_s" "$bytes" "$curl_s" "(goal >= 0.85)"
  [ "$with_tls" -eq 1 ] || return 0
  local tls_curl_s tls_cli_s tls_cli_cpu tls_server_cpu
  tls_up
  tls_curl_s=$(in_client curl -sS --fail -o /dev/null -H 'Expect:' --cacert "$tls_cacert" \
    --data-binary "@$work/file.bin" -w '%{time_total}' "$tls_sink/")
  tls_server_cpu=$(cpu_of "$tls_server_pid")
  figures=$(timed_upload "$work/server-tls" "$work/file.bin" "${tls_client[@]}")
  read -r tls_cli_s tls_cli_cpu <<<"$figures"
  tls_server_cpu=$(awk -v a="$tls_server_cpu" -v b="$(cpu_of "$tls_server_pid")" \
    'BEGIN { printf "%.2f", b - a }')
  echo "  over HTTPS (TLS to 198.18.0.2, the run's test authority trusted):"
  row "curl --data-binary to a TLS sink (one POST)" "$tls_curl_s" "$bytes" "$tls_curl_s"
  row "vexaupload upload over HTTPS" "$tls_cli_s" "$bytes" "$tls_curl_s" "(goal >= 0.85)"
  awk -v c="$curl_s" -v tc="$tls_curl_s" -v u="$cli_s" -v tu="$tls_cli_s" 'BEGIN {
    printf "  HTTPS / plain HTTP throughput: curl %.2f, vexaupload %.2f\n", c / tc, u / tu
  }'
  echo "  processor time of the upload, plain / HTTPS: vexaupload $cli_cpu / $tls_cli_cpu s," \
    "vexa-server $server_cpu / $tls_server_cpu s"
}

measure_small_files() {  # RTT_MS COUNT
  local rtt=$1 count=$2 i t0 total
  mkdir -p "$work/small"
  for i in $(seq 1 "$count"); do head -c 4096 /dev/urandom >"$work/small/f$i.bin"; done
  t0=$(now)
  in_client "$cli" upload "$work/small" >"$work/upload.log" 2>&1 ||
    { cat "$work/upload.log" >&2; echo "vexaupload upload failed" >&2; exit 1; }
  total=$(awk -v a="$t0" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }')
  awk -v t="$total" -v n="$count" -v rtt="$rtt" 'BEGIN {
    beyond = t / n - 0.5
    printf "  %d files of 4 KiB in one folder: %.2f s, %.3f s per file beyond the 0.5 s pause = %.1f round trips (goal <= 3)\n",
      n, t, beyond, beyond / (rtt / 1000)
  }'
}

lscpu | grep -E '^(Model name):' || true
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
with_tls=1
if [ "${VEXA_WAN_TLS:-1}" = 0 ]; then
  with_tls=0
elif ! command -v openssl >/dev/null; then
  echo "SKIPPED: the HTTPS figures: no openssl command to make the test authority"
  with_tls=0
fi
measure_link 50 100 "$mib_near" "$with_tls"
measure_small_files 50 "$small_files"
measure_link 150 20 "$mib_far" 0
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
