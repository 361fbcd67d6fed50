#!/usr/bin/env bash
# Periodic boxes: zalmor beside debyer's periodic mode on a box of 10^6 atoms, the per-frame
# cost over 200 frames of a 34500-atom box, and zalmor.average on dask workers against one
# process (bench/periodic_bench.py, which documents the boxes and what is measured).
#
#   bench/run_periodic.sh [--quick] [--only abc] [--repeats N] [--debyer PATH] [--csv FILE]
#                         [--box-command]
#
# Runs this tree's package with the compiled part of build/release (cmake --preset release &&
# cmake --build --preset release); debyer from build/peers (bench/build_debyer.sh builds it).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
if ! compgen -G "$root/build/release/python/zalmor/_core*.so" > /dev/null; then
  echo "no build/release/python/zalmor/_core*.so (cmake --preset release && cmake --build --preset release)" >&2
  exit 2
fi
[ -x /usr/bin/time ] || { echo "needs GNU time (/usr/bin/time, Debian package 'time')" >&2; exit 2; }
exec /usr/bin/python3 "$root/bench/periodic_bench.py" "$@"
