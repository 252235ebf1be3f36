#!/usr/bin/env bash
# make_corpus.sh OUT_DIR [MAKE_AUDIO_SEEDS]: seed corpora for the fuzz targets.
#   OUT_DIR/flv    FLV streams (stream parser and tag reader): short files
#                  made with ffmpeg, and the fixture files (large ones cut to
#                  their first 32 KiB, so seeds stay small and fuzzing fast).
#   OUT_DIR/audio  audio decode seeds taken from those files' audio tags by
#                  the make_audio_seeds tool built with the fuzzers.
set -euo pipefail
out=${1:?usage: make_corpus.sh OUT_DIR [MAKE_AUDIO_SEEDS]}
seeds_tool=${2:-}
root=$(cd "$(dirname "$0")/.." && pwd)
fixtures=$root/tests/data/flv
max_seed=$((32 * 1024))

mkdir -p "$out/flv" "$out/audio"

# Short files of every codec ffmpeg writes into FLV.
if command -v ffmpeg >/dev/null; then
  ff=(ffmpeg -hide_banner -loglevel error -y -nostdin)
  tone=(-f lavfi -i "sine=frequency=440:duration=0.4")
  pic=(-f lavfi -i "testsrc=size=64x48:rate=10:duration=0.4")
  make() { local name=$1; shift; "${ff[@]}" "$@" -f flv "$out/flv/$name.flv" || echo "make_corpus: $name not made" >&2; }
  make mp3_22050_stereo "${tone[@]}" -ar 22050 -ac 2 -c:a libmp3lame -b:a 32k
  make mp3_11025_mono "${tone[@]}" -ar 11025 -ac 1 -c:a libmp3lame -b:a 16k
  make mp3_44100_mono "${tone[@]}" -ar 44100 -ac 1 -c:a libmp3lame -b:a 64k
  make adpcm_11025_mono "${tone[@]}" -ar 11025 -ac 1 -c:a adpcm_swf
  make adpcm_22050_stereo "${tone[@]}" -ar 22050 -ac 2 -c:a adpcm_swf
  make nellymoser_8000 "${tone[@]}" -ar 8000 -ac 1 -c:a nellymoser
  make nellymoser_16000 "${tone[@]}" -ar 16000 -ac 1 -c:a nellymoser
  make nellymoser_11025 "${tone[@]}" -ar 11025 -ac 1 -c:a nellymoser
  make pcm_s16le_5512 "${tone[@]}" -ar 5512 -ac 2 -c:a pcm_s16le
  make pcm_u8_11025 "${tone[@]}" -ar 11025 -ac 1 -c:a pcm_u8
  make h263_mp3 "${pic[@]}" "${tone[@]}" -c:v flv -g 3 -ar 22050 -ac 1 -c:a libmp3lame -b:a 32k
  make screen_adpcm "${pic[@]}" "${tone[@]}" -c:v flashsv -g 3 -ar 11025 -ac 1 -c:a adpcm_swf
else
  echo "make_corpus: ffmpeg missing; fixtures only" >&2
fi

# The fixtures beside the checkout.
if [ -d "$fixtures" ]; then
  for f in "$fixtures"/real/*.flv "$fixtures"/generated/*.flv; do
    [ -f "$f" ] || continue
    head -c "$max_seed" "$f" >"$out/flv/fixture_$(basename "$f")"
  done
else
  echo "make_corpus: no fixtures at $fixtures" >&2
fi

# A header alone, and a header with one empty tag of each kind.
printf 'FLV\x01\x05\x00\x00\x00\x09\x00\x00\x00\x00' >"$out/flv/header_only.flv"
printf 'FLV\x01\x05\x00\x00\x00\x09\x00\x00\x00\x00\x08\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x2f\x00\x00\x00\x0c\x09\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x12\x00\x00\x00\x0c' \
  >"$out/flv/empty_tags.flv"

if [ -n "$seeds_tool" ]; then
  files=("$out"/flv/*.flv)
  [ -d "$fixtures" ] && files+=("$fixtures"/real/*.flv "$fixtures"/generated/*.flv)
  "$seeds_tool" "$out/audio" "${files[@]}"
fi
