#!/usr/bin/env bash
# make_long_flv.sh [OUT]: makes (once) the 30-minute FLV the benchmarks use
# and prints its path: about 75 MB, MP3 44.1 kHz stereo at 128 kb/s and
# Sorenson H.263 320x240 at 15 fps (a test pattern with noise, so the video
# really takes about 205 kb/s). Made with ffmpeg in about a minute; an
# existing file is kept. OUT defaults to $BENCH_WORK/info_bench_30min.flv
# (BENCH_WORK defaults to $TMPDIR/kelvra-bench); both benchmarks use it.
set -euo pipefail
work=${BENCH_WORK:-${TMPDIR:-/tmp}/kelvra-bench}
flv=${1:-$work/info_bench_30min.flv}
mkdir -p "$(dirname "$flv")"
if [[ ! -s $flv ]]; then
  echo "== making $flv (about a minute)" >&2
  ffmpeg -nostdin -v error -y \
    -f lavfi -i "testsrc=size=320x240:rate=15:duration=1800" \
    -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=1800" \
    -vf "noise=alls=10:allf=t" \
    -c:v flv1 -b:v 205k -minrate 205k -maxrate 205k -bufsize 400k -g 150 \
    -c:a libmp3lame -b:a 128k -ac 2 \
    -f flv "$flv.part"
  mv "$flv.part" "$flv"
fi
echo "$flv"
