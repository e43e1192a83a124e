#!/usr/bin/env bash
# Range uploads over HTTPS beside plain HTTP on loopback vexa-servers; prints
# the CPU (and whether it has AES instructions) and the load beside the figures.
set -euo pipefail
build=${1:?usage: tls_upload_vs_plain.sh BUILD_DIR [MiB] [REPETITIONS]}
exe="$build/bench/tls_upload_vs_plain"
[ -x "$exe" ] || { echo "no $exe: build first" >&2; exit 1; }
lscpu | grep -E '^(Model name):' || true
grep -qw aes /proc/cpuinfo && echo "AES instructions: yes" || echo "AES instructions: no"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
VEXA_BINARY_DIR=$(cd "$build" && pwd) "$exe" "${2:-1024}" "${3:-3}"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
