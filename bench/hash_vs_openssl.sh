#!/usr/bin/env bash
# Compares the fileid throughput of `vexaupload hash` with `openssl dgst -sha1`
# on the same 1 GiB file in the page cache, in one run with alternating
# repetitions, and prints the best time of each and their throughput ratio.
# `vexaupload hash` also computes quickid (25 KiB of reads) on top.
set -euo pipefail
build=${1:?usage: hash_vs_openssl.sh BUILD_DIR [REPETITIONS]}
reps=${2:-5}
exe="$build/apps/cli/vexaupload"
[ -x "$exe" ] || { echo "no $exe: build first" >&2; exit 1; }
command -v openssl >/dev/null || { echo "openssl not found" >&2; exit 1; }

file=$(mktemp /tmp/vexa_hash_bench.XXXXXX)
trap 'rm -f "$file"' EXIT
head -c $((1 << 30)) /dev/urandom >"$file"
cat "$file" >/dev/null  # warm the page cache
size=$(stat -c %s "$file")

now_ns() { date +%s%N; }
# time_ns COMMAND...: prints the wall time of one run in nanoseconds
time_ns() {
  local t0 t1
  t0=$(now_ns)
  "$@" >/dev/null
  t1=$(now_ns)
  echo $((t1 - t0))
}

# The two must agree before their speed means anything.
ours=$("$exe" hash "$file" | cut -d' ' -f1)
theirs=$(openssl dgst -sha1 -r "$file" | cut -d' ' -f1)
if [ "${ours,,}" != "${theirs,,}" ]; then
  echo "digests differ: vexaupload $ours, openssl $theirs" >&2
  exit 1
fi

best_vexa=0
best_ossl=0
for ((i = 1; i <= reps; i++)); do
  v=$(time_ns "$exe" hash "$file")
  o=$(time_ns openssl dgst -sha1 "$file")
  ((best_vexa == 0 || v < best_vexa)) && best_vexa=$v
  ((best_ossl == 0 || o < best_ossl)) && best_ossl=$o
  awk -v i="$i" -v v="$v" -v o="$o" \
    'BEGIN { printf "run %d: vexaupload %6.3f s  openssl %6.3f s\n", i, v / 1e9, o / 1e9 }'
done

awk -v size="$size" -v v="$best_vexa" -v o="$best_ossl" 'BEGIN {
  printf "best: vexaupload hash %.0f MiB/s, openssl dgst -sha1 %.0f MiB/s\n",
    size / 1048576 / (v / 1e9), size / 1048576 / (o / 1e9)
  printf "throughput ratio vexaupload/openssl: %.3f (target >= 0.95)\n", o / v
}'
