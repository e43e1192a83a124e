#!/usr/bin/env bash
# Range upload throughput of PostChunk against curl on the same loopback
# vexa-server, in one run; prints the CPU it ran on beside the ratio.
set -euo pipefail
build=${1:?usage: post_chunk_vs_curl.sh BUILD_DIR [MiB] [REPETITIONS]}
exe="$build/bench/post_chunk_vs_curl"
[ -x "$exe" ] || { echo "no $exe: build first" >&2; exit 1; }
command -v curl >/dev/null || { echo "curl not found" >&2; exit 1; }
lscpu | grep -E '^(Model name|L1d cache|L2 cache|L3 cache):' || true
VEXA_BINARY_DIR=$(cd "$build" && pwd) exec "$exe" "${2:-256}" "${3:-3}"
