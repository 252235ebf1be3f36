#!/usr/bin/env bash
# package-test.sh [--live] [BUILD_DIR]
#
# Builds the Debian package of sonex and Kelvra (cpack -G DEB) and checks it:
#  1. the control fields and the file list (dpkg-deb);
#  2. installs it with apt into a throwaway Debian 12 root made by debootstrap
#     from Debian's mirror (apt pulls the FFmpeg run-time packages it names),
#     converts the bundled sample into every output format and shows its
#     information with the installed sonex, then purges the package and checks
#     that nothing of it is left. The root is deleted afterwards.
# With --live, step 2 runs on this machine instead of a throwaway root.
#
# Needs root (debootstrap, chroot, mounts); installs debootstrap when missing.
# BUILD_DIR defaults to build/package. The debootstrap downloads are kept in
# /var/cache/sonex-package-test so a second run is quicker.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
live=0
if [ "${1:-}" = "--live" ]; then
  live=1
  shift
fi
build=${1:-$root/build/package}
suite=bookworm
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
cache=/var/cache/sonex-package-test

say() { printf '== %s\n' "$*"; }
fail() { printf 'package-test: %s\n' "$*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || fail "run as root"
bash "$root/scripts/setup.sh"

say "configure and build ($build, prefix /usr)"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_INSTALL_PREFIX=/usr -DKELVRA_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null

say "cpack -G DEB"
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
debs=("$build"/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb in $build"
deb=${debs[0]}
echo "$deb"

say "control fields"
dpkg-deb --field "$deb" Package Version Architecture Depends
depends=$(dpkg-deb --field "$deb" Depends)
for p in libavcodec-extra59 libavformat59 libavutil57 libswresample4 libswscale6; do
  grep -q "\b$p\b" <<<"$depends" || fail "Depends does not name $p"
done

say "contents"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
contents=$(dpkg-deb --contents "$deb" | awk '{print $6 ($7 ? " " $7 " " $8 : "")}')
echo "$contents" | grep -v '/$'
expected=(
  ./usr/bin/sonex
  ./usr/include/kelvra.h
  ./usr/share/man/man1/sonex.1
  "./usr/lib/$multiarch/libkelvra.so.1.0.0"
  "./usr/lib/$multiarch/libkelvra.so.1 -> libkelvra.so.1.0.0"
  "./usr/lib/$multiarch/libkelvra.so -> libkelvra.so.1"
  "./usr/lib/$multiarch/pkgconfig/kelvra.pc"
  "./usr/lib/$multiarch/cmake/Kelvra/KelvraConfig.cmake"
)
for lib in vexmar trevik morlin pellow; do
  expected+=("./usr/lib/$multiarch/lib$lib.so.1.0.0" "./usr/lib/$multiarch/lib$lib.so.1 -> lib$lib.so.1.0.0")
done
for f in "${expected[@]}"; do
  grep -qxF "$f" <<<"$contents" || fail "the package lacks $f"
done

# run_in_target CMD...: runs a command in the throwaway root, or here with --live.
target=""
run_in_target() {
  if [ "$live" -eq 1 ]; then
    "$@"
  else
    chroot "$target" "$@"
  fi
}

live_installed=0
cleanup() {
  if [ "$live_installed" -eq 1 ]; then
    apt-get purge -y -qq sonex >/dev/null || true
    rm -rf "$work"
  fi
  if [ -n "$target" ]; then
    for m in dev/pts dev proc; do
      mountpoint -q "$target/$m" && umount -l "$target/$m"
    done
    rm -rf --one-file-system "$target"
  fi
}
trap cleanup EXIT

export DEBIAN_FRONTEND=noninteractive
if [ "$live" -eq 1 ]; then
  say "install on this machine"
  if dpkg-query -W -f='${db:Status-Status}' sonex 2>/dev/null | grep -qx installed; then
    fail "a sonex package is already installed here; remove it first"
  fi
  work=$(mktemp -d)
  chmod 755 "$work"
  cp "$deb" "$work/"
  live_installed=1
  apt-get install -y -qq "$work/$(basename "$deb")" >/dev/null
  scratch=$work
  inside=$work
else
  if ! command -v debootstrap >/dev/null; then
    say "apt-get install debootstrap"
    apt-get update -qq && apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
  fi
  target=$(mktemp -d /var/tmp/sonex-root.XXXXXX)
  chmod 755 "$target" # apt's download user reads below it
  mkdir -p "$cache"
  say "debootstrap $suite into $target"
  debootstrap --variant=minbase --cache-dir="$cache" "$suite" "$target" "$mirror" >/dev/null
  mount -t proc proc "$target/proc"
  mount --bind /dev "$target/dev"
  mount --bind /dev/pts "$target/dev/pts"
  cp /etc/resolv.conf "$target/etc/resolv.conf"
  mkdir -p "$target/tmp/sonex-test"
  cp "$deb" "$target/tmp/sonex-test/"
  say "apt-get install the package in the throwaway root"
  run_in_target apt-get update -qq
  run_in_target apt-get install -y -qq --no-install-recommends "/tmp/sonex-test/$(basename "$deb")" >/dev/null
  scratch=$target/tmp/sonex-test
  inside=/tmp/sonex-test
fi
cp "$root/examples/sample.flv" "$scratch/"

say "installed files"
run_in_target dpkg -L sonex | grep -E 'bin/|\.so|man1'
run_in_target sh -c 'ldd /usr/bin/sonex | grep -E "kelvra|vexmar|pellow|avcodec"'

say "sonex -info sample.flv"
run_in_target /usr/bin/sonex -info "$inside/sample.flv"

for ext in mp3 wav amr aac wma; do
  say "sonex -i sample.flv -out sample.$ext"
  run_in_target /usr/bin/sonex -i "$inside/sample.flv" -out "$inside/sample.$ext" -quiet 1
  size=$(stat -c %s "$scratch/sample.$ext")
  [ "$size" -gt 100 ] || fail "sample.$ext has only $size bytes"
  echo "sample.$ext: $size bytes"
done

say "remove the package"
run_in_target apt-get purge -y -qq sonex >/dev/null
for f in /usr/bin/sonex "/usr/lib/$multiarch/libkelvra.so.1" /usr/include/kelvra.h; do
  run_in_target test ! -e "$f" || fail "$f is left after the purge"
done
live_installed=0
if [ "$live" -eq 1 ]; then
  rm -rf "$work"
fi
say "package test passed"
