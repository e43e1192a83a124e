#!/usr/bin/env bash
# fileid throughput of `vexaupload hash` on one 1 GiB file, against peers
# measured in the same run with alternating repetitions (best time of each):
#   - `openssl dgst -sha1`, file in the page cache (target: >= 1.3x);
#   - the in-memory rate of the SHA-extensions engine, from codec_bench
#     (target: within 10 %);
#   - the portable engine (`hash --engine=portable`) against `sha1sum`;
#   - both again with the file dropped from the page cache before each run,
#     where `dd iflag=nocache` can drop it.
# `vexaupload hash` also computes quickid (25 KiB of reads) on top. The load
# average is printed before and after: the figures mean little on a busy machine.
set -euo pipefail
build=${1:?usage: hash_vs_openssl.sh BUILD_DIR [REPETITIONS]}
reps=${2:-5}
exe="$build/apps/cli/vexaupload"
codec_bench="$build/bench/codec_bench"
[ -x "$exe" ] || { echo "no $exe: build first" >&2; exit 1; }
command -v openssl >/dev/null || { echo "openssl not found" >&2; exit 1; }

file=$(mktemp "${TMPDIR:-/var/tmp}/vexa_hash_bench.XXXXXX")
trap 'rm -f "$file"' EXIT
head -c $((1 << 30)) /dev/urandom >"$file"
size=$(stat -c %s "$file")

warm() { cat "$file" >/dev/null; }
# Pages of the file in the page cache, as util-linux's fincore counts them
# (empty where fincore is missing).
resident() { fincore -n -o PAGES "$file" 2>/dev/null | tr -d ' ' || true; }
# Drops the file's pages from the page cache (posix_fadvise DONTNEED through
# dd); false where that is not possible, or where fincore still finds pages.
evict() {
  dd if="$file" iflag=nocache count=0 status=none 2>/dev/null || return 1
  local pages
  pages=$(resident)
  [ -z "$pages" ] || [ "$pages" = 0 ]
}

now_ns() { date +%s%N; }
# time_ns COMMAND...: prints the wall time of one run in nanoseconds
time_ns() {
  local t0 t1
  t0=$(now_ns)
  "$@" >/dev/null
  t1=$(now_ns)
  echo $((t1 - t0))
}
mibs() { awk -v s="$size" -v t="$1" 'BEGIN { printf "%.0f", s / 1048576 / (t / 1e9) }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
min() { if (($1 == 0 || $2 < $1)); then echo "$2"; else echo "$1"; fi; }

# They must agree before their speed means anything.
warm
theirs=$(openssl dgst -sha1 -r "$file" | cut -d' ' -f1)
has_shani=1
for engine in sha-ni portable; do
  if ! ours=$("$exe" hash --engine=$engine "$file" 2>/dev/null | cut -d' ' -f1); then
    [ $engine = sha-ni ] && has_shani=0 && continue
    echo "vexaupload hash --engine=$engine failed" >&2
    exit 1
  fi
  if [ "${ours,,}" != "${theirs,,}" ]; then
    echo "digests differ: vexaupload ($engine) $ours, openssl $theirs" >&2
    exit 1
  fi
done

lscpu | grep -E '^(Model name|L1d cache|L2 cache|L3 cache):' || true
grep -qw sha_ni /proc/cpuinfo && echo "SHA extensions: yes" || echo "SHA extensions: no"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "file: $((size >> 20)) MiB in the page cache, $reps alternating runs, best of each"
# The SHA-extensions engine alone on 1 MiB in memory (MiB/s of one short run),
# where the CPU has it and codec_bench was built.
mem_rate() {
  "$codec_bench" --benchmark_filter='^BM_Sha1ShaNi/1048576/' --benchmark_min_time=0.3 \
    --benchmark_format=json 2>/dev/null | python3 -c '
import json, sys
runs = [b for b in json.load(sys.stdin)["benchmarks"] if b.get("run_type") == "iteration"]
print("%.0f" % (max(b["bytes_per_second"] for b in runs) / 1048576))'
}
measure_mem=0
[ $has_shani = 1 ] && [ -x "$codec_bench" ] && measure_mem=1
best_v=0 best_o=0 best_p=0 best_s=0 mem_mibs=0
for ((i = 1; i <= reps; i++)); do
  v=$(time_ns "$exe" hash "$file")
  o=$(time_ns openssl dgst -sha1 "$file")
  p=$(time_ns "$exe" hash --engine=portable "$file")
  s=$(time_ns sha1sum "$file")
  m=0
  if [ $measure_mem = 1 ]; then
    m=$(mem_rate) || m=0
    if ((m > mem_mibs)); then mem_mibs=$m; fi
  fi
  best_v=$(min $best_v "$v") best_o=$(min $best_o "$o") best_p=$(min $best_p "$p") best_s=$(min $best_s "$s")
  awk -v i="$i" -v v="$v" -v o="$o" -v p="$p" -v s="$s" -v m="$m" 'BEGIN {
    printf "run %d: vexaupload %6.3f s  openssl %6.3f s  vexaupload portable %6.3f s  sha1sum %6.3f s", \
      i, v / 1e9, o / 1e9, p / 1e9, s / 1e9
    if (m > 0) printf "  in-memory SHA-NI %d MiB/s", m
    printf "\n" }'
done

echo "best: vexaupload hash $(mibs $best_v) MiB/s, openssl dgst -sha1 $(mibs $best_o) MiB/s"
echo "ratio vexaupload/openssl (page cache): $(ratio $best_o $best_v) (target >= 1.3)"
if ((mem_mibs > 0)); then
  echo "ratio vexaupload/in-memory SHA-NI ($mem_mibs MiB/s): $(ratio "$(mibs $best_v)" "$mem_mibs") (target >= 0.9)"
else
  echo "in-memory SHA-NI rate: not available (no SHA extensions or no codec_bench)"
fi
echo "portable engine: $(mibs $best_p) MiB/s, sha1sum $(mibs $best_s) MiB/s," \
  "ratio $(ratio $best_s $best_p)"

if evict; then
  best_v=0 best_o=0
  for ((i = 1; i <= reps; i++)); do
    evict || { echo "the file stayed in the page cache" >&2; exit 1; }
    v=$(time_ns "$exe" hash "$file")
    evict || { echo "the file stayed in the page cache" >&2; exit 1; }
    o=$(time_ns openssl dgst -sha1 "$file")
    best_v=$(min $best_v "$v") best_o=$(min $best_o "$o")
  done
  checked="not checked (no fincore)"
  [ -n "$(resident)" ] && checked="0 pages resident before each run (fincore)"
  echo "cold (dropped from the page cache before each run, $checked): vexaupload hash" \
    "$(mibs $best_v) MiB/s, openssl $(mibs $best_o) MiB/s, ratio $(ratio $best_o $best_v)"
else
  echo "cold: cannot drop the file from the page cache here"
fi
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
