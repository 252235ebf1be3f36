#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds sonex and runs its main job on the
# bundled sample: the audio of examples/sample.flv into an MP3, then the
# information display of the sample and a look at the MP3 made.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh
bash scripts/build.sh build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
sonex=build/release/bin/sonex
out=build/release/sample.mp3

echo "\$ sonex -i examples/sample.flv -out $out"
"$sonex" -i examples/sample.flv -out "$out"
echo
echo "\$ sonex -info examples/sample.flv"
"$sonex" -info examples/sample.flv
echo
echo "\$ ffprobe $out"
ffprobe -v error -show_entries stream=codec_name,sample_rate,channels,bit_rate:format=duration \
  -of default=noprint_wrappers=1 "$out"
