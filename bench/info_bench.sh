#!/usr/bin/env bash
# info_bench.sh [SONEX]: speed of `sonex -info` against `ffprobe -v error
# -show_format` on one 30-minute FLV (about 75 MB: MP3 44.1 kHz stereo at
# 128 kb/s and Sorenson H.263 320x240 at 15 fps), made once with ffmpeg.
#
# sonex indexes every tag of the file while ffprobe reads only the start and
# the end, so this asks for a scan of well over 1 GB/s. Both run RUNS times
# (default 5), alternating, after one warm-up run each with the file in the
# page cache; the script prints the median wall times and their ratio and
# fails when sonex is the slower.
#
# SONEX defaults to build/release/bin/sonex, built (RelWithDebInfo) when it
# is missing. BENCH_WORK (default $TMPDIR/kelvra-bench) keeps the file
# between runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${RUNS:-5}
work=${BENCH_WORK:-${TMPDIR:-/tmp}/kelvra-bench}
sonex=${1:-${SONEX:-$root/build/release/bin/sonex}}

if [[ ! -x $sonex ]]; then
  echo "== building $sonex"
  cmake -S "$root" -B "$root/build/release" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$root/build/release" --target sonex -j "$(nproc)" >/dev/null
fi

mkdir -p "$work"
flv=$work/info_bench_30min.flv
if [[ ! -s $flv ]]; then
  echo "== making $flv (about a minute)"
  ffmpeg -v error -y \
    -f lavfi -i "testsrc=size=320x240:rate=15:duration=1800" \
    -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=1800" \
    -vf "noise=alls=10:allf=t" \
    -c:v flv1 -b:v 205k -minrate 205k -maxrate 205k -bufsize 400k -g 150 \
    -c:a libmp3lame -b:a 128k -ac 2 \
    -f flv "$flv.part"
  mv "$flv.part" "$flv"
fi
bytes=$(stat -c %s "$flv")

echo "== $flv: $((bytes / 1000000)) MB"
echo "-- sonex -info says:"
"$sonex" -info "$flv"
echo "-- ffprobe -show_format says:"
ffprobe -v error -show_format "$flv" | grep -E '^(duration|size|bit_rate)='

# Wall time of one run in milliseconds, output discarded.
time_ms() {
  local start end
  start=$EPOCHREALTIME
  "$@" >/dev/null
  end=$EPOCHREALTIME
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.1f\n", (e - s) * 1000 }'
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

time_ms "$sonex" -info "$flv" >/dev/null  # warm-up: page cache, loader
time_ms ffprobe -v error -show_format "$flv" >/dev/null
sonex_times=()
ffprobe_times=()
for ((i = 0; i < runs; i++)); do
  sonex_times+=("$(time_ms "$sonex" -info "$flv")")
  ffprobe_times+=("$(time_ms ffprobe -v error -show_format "$flv")")
done

sonex_median=$(printf '%s\n' "${sonex_times[@]}" | median)
ffprobe_median=$(printf '%s\n' "${ffprobe_times[@]}" | median)
echo "== runs (ms)   sonex: ${sonex_times[*]}"
echo "             ffprobe: ${ffprobe_times[*]}"
awk -v s="$sonex_median" -v f="$ffprobe_median" -v b="$bytes" 'BEGIN {
  printf "median  sonex -info %.1f ms (%.2f GB/s of file), ffprobe -show_format %.1f ms\n", s, b / s / 1e6, f
  printf "ratio   sonex / ffprobe = %.2f\n", s / f
}'
if awk -v s="$sonex_median" -v f="$ffprobe_median" 'BEGIN { exit !(s <= f) }'; then
  echo "PASS: sonex -info is not slower than ffprobe -show_format"
else
  echo "FAIL: sonex -info is slower than ffprobe -show_format"
  exit 1
fi
