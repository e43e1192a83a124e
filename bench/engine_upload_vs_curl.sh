#!/usr/bin/env bash
# Uploads through the engine and its transfer worker beside curl on the same
# loopback vexa-server: a large file whole, then a folder of 100 small files;
# prints the CPU and the load beside the figures.
set -euo pipefail
build=${1:?usage: engine_upload_vs_curl.sh BUILD_DIR [MiB] [REPETITIONS]}
exe="$build/bench/engine_upload_vs_curl"
[ -x "$exe" ] || { echo "no $exe: build first" >&2; exit 1; }
command -v curl >/dev/null || { echo "curl not found" >&2; exit 1; }
lscpu | grep -E '^(Model name|L1d cache|L2 cache|L3 cache):' || true
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
VEXA_BINARY_DIR=$(cd "$build" && pwd) "$exe" "${2:-1024}" "${3:-3}"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
