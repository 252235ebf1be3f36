#!/usr/bin/env bash
# make_long_flv.sh [--aac | --aac-mix | --4h] [OUT]: makes (once) a 30-minute FLV the
# benchmarks use and prints its path. An existing file is kept.
#   default  about 75 MB: MP3 44.1 kHz stereo at 128 kb/s and Sorenson H.263
#            320x240 at 15 fps (a test pattern with noise, so the video
#            really takes about 205 kb/s); OUT defaults to
#            $BENCH_WORK/info_bench_30min.flv. About a minute.
#   --aac    the same length and picture as AAC-LC 44.1 kHz stereo at
#            128 kb/s and H.264 (x264, about 205 kb/s), the FLV of the
#            2010s; OUT defaults to $BENCH_WORK/info_bench_30min_aac.flv.
#            A few minutes.
#   --aac-mix the --aac file's pictures with other AAC audio: tones whose
#            pitch and level move slowly, over pink noise at -26 dB (a
#            steady sine is the one sound where 16-bit samples make LAME
#            work about 7% harder than float ones; see bench/README.md);
#            OUT defaults to $BENCH_WORK/info_bench_30min_aac_mix.flv.
#            Makes the --aac file first if needed.
#   --4h     four hours (about 600 MB): the default file's tags eight times
#            over, joined without re-encoding (ffmpeg's concat demuxer, -c
#            copy); OUT defaults to $BENCH_WORK/info_bench_4h.flv. Makes the
#            30-minute file first if needed.
# BENCH_WORK defaults to $TMPDIR/kelvra-bench.
set -euo pipefail
work=${BENCH_WORK:-${TMPDIR:-/tmp}/kelvra-bench}
kind=mp3
if [[ ${1:-} == --aac ]]; then
  kind=aac
  shift
elif [[ ${1:-} == --aac-mix ]]; then
  shift
  flv=${1:-$work/info_bench_30min_aac_mix.flv}
  if [[ ! -s $flv ]]; then
    pictures=$(BENCH_WORK="$work" bash "$0" --aac)
    echo "== making $flv" >&2
    mkdir -p "$(dirname "$flv")"
    left='0.3*sin(2*PI*(220+110*sin(0.3*t))*t)+0.2*sin(2*PI*660*t)*sin(2*PI*0.5*t)'
    right='0.3*sin(2*PI*(330+50*sin(0.2*t))*t)'
    ffmpeg -nostdin -v error -y -i "$pictures" \
      -f lavfi -i "aevalsrc='$left|$right':s=44100:d=1800" \
      -f lavfi -i "anoisesrc=color=pink:amplitude=0.05:d=1800:r=44100" \
      -filter_complex "[1][2]amix=inputs=2:normalize=0[a]" -map 0:v -map "[a]" \
      -c:v copy -c:a aac -b:a 128k -ac 2 -f flv "$flv.part"
    mv "$flv.part" "$flv"
  fi
  echo "$flv"
  exit 0
elif [[ ${1:-} == --4h ]]; then
  shift
  flv=${1:-$work/info_bench_4h.flv}
  if [[ ! -s $flv ]]; then
    part=$(BENCH_WORK="$work" bash "$0")
    echo "== making $flv" >&2
    mkdir -p "$(dirname "$flv")"
    list=$flv.list
    for ((i = 0; i < 8; i++)); do echo "file '$part'"; done >"$list"
    ffmpeg -nostdin -v error -y -f concat -safe 0 -i "$list" -c copy -f flv "$flv.part"
    rm -f "$list"
    mv "$flv.part" "$flv"
  fi
  echo "$flv"
  exit 0
fi
if [[ $kind == aac ]]; then
  flv=${1:-$work/info_bench_30min_aac.flv}
  codecs=(-c:v libx264 -preset veryfast -b:v 205k -maxrate 205k -bufsize 400k -g 150
          -c:a aac -b:a 128k -ac 2)
else
  flv=${1:-$work/info_bench_30min.flv}
  codecs=(-c:v flv1 -b:v 205k -minrate 205k -maxrate 205k -bufsize 400k -g 150
          -c:a libmp3lame -b:a 128k -ac 2)
fi
mkdir -p "$(dirname "$flv")"
if [[ ! -s $flv ]]; then
  echo "== making $flv" >&2
  ffmpeg -nostdin -v error -y \
    -f lavfi -i "testsrc=size=320x240:rate=15:duration=1800" \
    -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=1800" \
    -vf "noise=alls=10:allf=t" "${codecs[@]}" \
    -f flv "$flv.part"
  mv "$flv.part" "$flv"
fi
echo "$flv"
