#!/usr/bin/env bash
# Builds debyer, an independent Debye-equation program kept as a speed and accuracy yardstick,
# from the peers' source archive into a build folder outside the source tree. Debyer is GPL-2:
# it is only built and run beside zalmor, none of its code enters this project.
#
#   bench/build_debyer.sh [-s ARCHIVE] [-b BUILD_DIR]
#
#   -s  source archive (default ../shared/peers/debyer-src.tar.gz, relative to the project root)
#   -b  build folder (default build/peers/debyer); the binary ends up in BUILD_DIR/debyer/debyer
#
# Prints the binary's path. Does nothing when that binary is newer than the archive. Installs
# the Debian packages autoconf, automake, libtool and gengetopt with apt-get if they are missing.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
archive="$root/../shared/peers/debyer-src.tar.gz"
build="$root/build/peers/debyer"
while getopts "s:b:h" opt; do
  case $opt in
    s) archive=$(realpath "$OPTARG") ;;
    b) build=$(realpath -m "$OPTARG") ;;
    *) sed -n '2,12p' "$0"; exit 2 ;;
  esac
done
binary="$build/debyer/debyer"

[ -f "$archive" ] || { echo "no debyer source archive at $archive" >&2; exit 2; }
if [ -x "$binary" ] && [ "$binary" -nt "$archive" ]; then
  echo "$binary"
  exit 0
fi

missing=()
for p in autoconf automake libtool gengetopt; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq >&2
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >&2
fi

rm -rf "$build"
mkdir -p "$build"
tar -xzf "$archive" -C "$build"
# The flags the peer is usually built with: its best case is the fair yardstick.
(
  cd "$build"
  autoreconf -i
  ./configure CFLAGS="-O3 -ffast-math -march=native" CXXFLAGS="-O3 -march=native"
  make -j2
) > "$build/build.log" 2>&1 || { tail -20 "$build/build.log" >&2; exit 1; }
[ -x "$binary" ] || { echo "debyer build produced no $binary" >&2; exit 1; }
echo "$binary"
