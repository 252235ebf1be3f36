#!/usr/bin/env bash
# info_bench.sh [SONEX]: speed of `sonex -info` against `ffprobe -v error
# -show_format` on one 30-minute FLV (about 75 MB: MP3 44.1 kHz stereo at
# 128 kb/s and Sorenson H.263 320x240 at 15 fps), made once with ffmpeg.
#
# sonex indexes every tag of the file while ffprobe reads only the start and
# the end, so this asks for a scan of well over 1 GB/s. Both run RUNS times
# (default 5), alternating, after one warm-up run each with the file in the
# page cache; the script prints the median wall times and their ratio and
# fails when sonex takes more than half of ffprobe's time. It prints the
# scan rate (bytes / (wall time - wall time on a header-only file)), then
# runs sonex on a 4-hour file (the 30-minute one eight times over) to show
# the time growing linearly and the peak memory only with the number of
# tags, and fails when the 4-hour scan is more than 1.3 times slower per
# byte.
#
# SONEX defaults to build/release/bin/sonex, built (Release) when it
# is missing. BENCH_WORK (default $TMPDIR/kelvra-bench) keeps the files
# between runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${RUNS:-5}
work=${BENCH_WORK:-${TMPDIR:-/tmp}/kelvra-bench}
sonex=${1:-${SONEX:-$root/build/release/bin/sonex}}

if [[ ! -x $sonex ]]; then
  echo "== building $sonex"
  cmake -S "$root" -B "$root/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$root/build/release" --target sonex -j "$(nproc)" >/dev/null
fi

flv=$(BENCH_WORK="$work" bash "$root/bench/make_long_flv.sh")
bytes=$(stat -c %s "$flv")

echo "== $flv: $((bytes / 1000000)) MB"
echo "-- sonex -info says:"
"$sonex" -info "$flv"
echo "-- ffprobe -show_format says:"
ffprobe -v error -show_format "$flv" | grep -E '^(duration|size|bit_rate)='

# One run, output discarded: "wall cpu" in milliseconds (cpu = user + system,
# which a busy machine disturbs less than the wall time).
run_ms() {
  local TIMEFORMAT='%3R %3U %3S' times
  times=$({ time "$@" >/dev/null 2>&1; } 2>&1)
  awk '{ printf "%.1f %.1f\n", $1 * 1000, ($2 + $3) * 1000 }' <<<"$times"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

run_ms "$sonex" -info "$flv" >/dev/null  # warm-up: page cache, loader
run_ms ffprobe -v error -show_format "$flv" >/dev/null
sonex_wall=() sonex_cpu=() ffprobe_wall=() ffprobe_cpu=()
for ((i = 0; i < runs; i++)); do
  read -r wall cpu < <(run_ms "$sonex" -info "$flv")
  sonex_wall+=("$wall") sonex_cpu+=("$cpu")
  read -r wall cpu < <(run_ms ffprobe -v error -show_format "$flv")
  ffprobe_wall+=("$wall") ffprobe_cpu+=("$cpu")
done

# The program's own start (nothing to scan): a file that is only an FLV
# header.
empty=$work/header_only.flv
printf 'FLV\001\005\000\000\000\011' >"$empty"
start_wall=() start_cpu=()
for ((i = 0; i < runs; i++)); do
  read -r wall cpu < <(run_ms "$sonex" -info "$empty")
  start_wall+=("$wall") start_cpu+=("$cpu")
done
start_median=$(printf '%s\n' "${start_wall[@]}" | median)
start_cpu_median=$(printf '%s\n' "${start_cpu[@]}" | median)

sonex_median=$(printf '%s\n' "${sonex_wall[@]}" | median)
ffprobe_median=$(printf '%s\n' "${ffprobe_wall[@]}" | median)
sonex_cpu_median=$(printf '%s\n' "${sonex_cpu[@]}" | median)
ffprobe_cpu_median=$(printf '%s\n' "${ffprobe_cpu[@]}" | median)
echo "== wall (ms)   sonex: ${sonex_wall[*]}"
echo "             ffprobe: ${ffprobe_wall[*]}"
echo "      header-only file: ${start_wall[*]}"
echo "== cpu (ms)    sonex: ${sonex_cpu[*]}"
echo "             ffprobe: ${ffprobe_cpu[*]}"
echo "== load average: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
awk -v s="$sonex_median" -v f="$ffprobe_median" -v sc="$sonex_cpu_median" \
    -v fc="$ffprobe_cpu_median" -v st="$start_median" -v stc="$start_cpu_median" -v b="$bytes" 'BEGIN {
  printf "median wall  sonex -info %.1f ms, ffprobe -show_format %.1f ms, ratio %.2f (target <= 0.50)\n", s, f, s / f
  printf "median cpu   sonex -info %.1f ms, ffprobe -show_format %.1f ms, ratio %.2f\n", sc, fc, sc / fc
  printf "sonex start (header-only file): wall %.1f ms, cpu %.1f ms\n", st, stc
  if (s > st) printf "scan rate: %.2f GB/s (%d bytes in %.1f ms of wall time past the start)\n", b / (s - st) / 1e6, b, s - st
}'
failed=0
if awk -v s="$sonex_median" -v f="$ffprobe_median" 'BEGIN { exit !(s <= 0.5 * f) }'; then
  echo "PASS: sonex -info takes at most half of ffprobe -show_format's wall time"
else
  echo "FAIL: sonex -info takes more than half of ffprobe -show_format's wall time"
  failed=1
fi

# Four hours: wall time and peak memory (/usr/bin/time's maximum resident
# set) against the 30-minute file's and the header-only file's.
long_flv=$(BENCH_WORK="$work" bash "$root/bench/make_long_flv.sh" --4h)
long_bytes=$(stat -c %s "$long_flv")
# One run: "wall_ms peak_rss_kb".
run_rss() {
  /usr/bin/time -f '%e %M' -o "$work/time.out" "$@" >/dev/null 2>&1
  awk '{ printf "%.1f %d\n", $1 * 1000, $2 }' "$work/time.out"
}
"$sonex" -info "$long_flv" >/dev/null  # page cache
long_wall=() long_rss=() short_rss=() empty_rss=()
for ((i = 0; i < 3; i++)); do
  read -r wall rss < <(run_rss "$sonex" -info "$long_flv")
  long_wall+=("$wall") long_rss+=("$rss")
  read -r wall rss < <(run_rss "$sonex" -info "$flv")
  short_rss+=("$rss")
  read -r wall rss < <(run_rss "$sonex" -info "$empty")
  empty_rss+=("$rss")
done
long_median=$(printf '%s\n' "${long_wall[@]}" | median)
echo "== 4 hours: $long_flv, $((long_bytes / 1000000)) MB; wall (ms) ${long_wall[*]}"
echo "   peak RSS (KB)  4 hours: ${long_rss[*]}  30 minutes: ${short_rss[*]}  header only: ${empty_rss[*]}"
long_rss_median=$(printf '%s\n' "${long_rss[@]}" | median)
short_rss_median=$(printf '%s\n' "${short_rss[@]}" | median)
empty_rss_median=$(printf '%s\n' "${empty_rss[@]}" | median)
awk -v l="$long_median" -v s="$sonex_median" -v st="$start_median" -v lb="$long_bytes" -v sb="$bytes" \
    -v lr="$long_rss_median" -v sr="$short_rss_median" -v er="$empty_rss_median" 'BEGIN {
  printf "scan time per MB  4 hours %.3f ms, 30 minutes %.3f ms, ratio %.2f; 4-hour scan rate %.2f GB/s\n", (l - st) / lb * 1e6, (s - st) / sb * 1e6, ((l - st) / lb) / ((s - st) / sb), lb / (l - st) / 1e6
  printf "peak memory above the header-only run  4 hours %d KB, 30 minutes %d KB (8 times the tags; each run holds one 64 KiB read block of the file, the rest is the index)\n", lr - er, sr - er
}'
if awk -v l="$long_median" -v s="$sonex_median" -v st="$start_median" -v lb="$long_bytes" -v sb="$bytes" \
     'BEGIN { exit !((l - st) / lb <= 1.3 * (s - st) / sb) }'; then
  echo "PASS: the 4-hour scan costs no more per byte than the 30-minute one (within 1.3x)"
else
  echo "FAIL: the 4-hour scan costs more per byte than the 30-minute one"
  failed=1
fi
if awk -v lr="$long_rss_median" -v sr="$short_rss_median" -v er="$empty_rss_median" \
     'BEGIN { exit !(lr - er <= 8 * (sr - er)) }'; then
  echo "PASS: the 4-hour file's memory grows no faster than its tags"
else
  echo "FAIL: the 4-hour file takes more than 8 times the 30-minute file's memory"
  failed=1
fi

# The same length as AAC + H.264: -info reads each AAC configuration and
# H.264 parameter set, and must cost no more than on the MP3 file.
aac_flv=$(BENCH_WORK="$work" bash "$root/bench/make_long_flv.sh" --aac)
echo "-- sonex -info on $aac_flv says:"
"$sonex" -info "$aac_flv"
run_ms "$sonex" -info "$aac_flv" >/dev/null
aac_wall=() mp3_wall=()
for ((i = 0; i < runs; i++)); do
  read -r wall cpu < <(run_ms "$sonex" -info "$aac_flv")
  aac_wall+=("$wall")
  read -r wall cpu < <(run_ms "$sonex" -info "$flv")
  mp3_wall+=("$wall")
done
aac_median=$(printf '%s\n' "${aac_wall[@]}" | median)
mp3_median=$(printf '%s\n' "${mp3_wall[@]}" | median)
echo "== sonex -info wall (ms)  AAC + H.264: ${aac_wall[*]}   MP3 + H.263: ${mp3_wall[*]}"
# Per byte, as the two files differ a little in size.
aac_bytes=$(stat -c %s "$aac_flv")
awk -v a="$aac_median" -v m="$mp3_median" -v ab="$aac_bytes" -v mb="$bytes" 'BEGIN {
  printf "median wall per MB  AAC + H.264 %.3f ms, MP3 + H.263 %.3f ms, ratio %.2f\n", a / ab * 1e6, m / mb * 1e6, (a / ab) / (m / mb)
}'
if awk -v a="$aac_median" -v m="$mp3_median" -v ab="$aac_bytes" -v mb="$bytes" \
     'BEGIN { exit !(a / ab <= 1.05 * m / mb) }'; then
  echo "PASS: -info on AAC + H.264 is no slower than on MP3 + H.263"
else
  echo "FAIL: -info on AAC + H.264 is slower than on MP3 + H.263"
  failed=1
fi
exit $failed
