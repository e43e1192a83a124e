#!/usr/bin/env bash
# vexa-server's 1 MiB range rate against the disk's durable 1 MiB write rate
# and curl, in one run; prints the CPU it ran on beside the ratio.
set -euo pipefail
build=${1:?usage: server_ranges_vs_disk.sh BUILD_DIR [MiB] [REPETITIONS]}
exe="$build/bench/server_ranges_vs_disk"
[ -x "$exe" ] || { echo "no $exe: build first" >&2; exit 1; }
lscpu | grep -E '^(Model name|L1d cache|L2 cache|L3 cache):' || true
VEXA_BINARY_DIR=$(cd "$build" && pwd) exec "$exe" "${2:-64}" "${3:-3}"
