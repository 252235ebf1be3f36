#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine needs to build and test sonex and
# Kelvra. Does nothing when every package is already present.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config googletest libgtest-dev
  libavcodec-dev libavformat-dev libavutil-dev libswresample-dev libswscale-dev
  libavcodec-extra ffmpeg parallel
  clang libclang-rt-14-dev
  groff-base
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [ "$status" = "installed" ] || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
