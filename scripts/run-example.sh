#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds sonex and runs it on the bundled sample.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh
bash scripts/build.sh build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
sonex=build/release/bin/sonex

echo "\$ sonex -info examples/sample.flv"
"$sonex" -info examples/sample.flv
