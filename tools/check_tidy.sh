#!/usr/bin/env bash
# Runs clang-tidy (.clang-tidy) over the program's sources with the compile commands of a
# configured build; fails on any finding.
#   tools/check_tidy.sh [BUILD_DIR]    default build/ci
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/ci}
tidy=$(command -v clang-tidy-14 || command -v clang-tidy)
mapfile -t files < <(git ls-files 'src/*.cpp')
out=$("$tidy" -p "$build" --quiet "${files[@]}" 2>/dev/null || true)
if grep -q -E "(warning|error):" <<<"$out"; then
  printf '%s\n' "$out"
  exit 1
fi
echo "clang-tidy: no findings in ${#files[@]} files"
