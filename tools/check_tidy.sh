#!/usr/bin/env bash
# Runs clang-tidy (.clang-tidy) over the program's sources with the compile commands of a
# configured build; fails on any finding.
#   tools/check_tidy.sh [BUILD_DIR [FOLDER ...]]    default build/ci; folders of src/ (default
#                                                   util output driver, and main.cpp; CI)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/ci}
if [ $# -gt 0 ]; then shift; fi
folders=("$@")
if [ ${#folders[@]} -eq 0 ]; then folders=(util output driver); fi
tidy=$(command -v clang-tidy-14 || command -v clang-tidy)
patterns=('src/main.cpp')
for f in "${folders[@]}"; do patterns+=("src/$f/*.cpp"); done
mapfile -t files < <(git ls-files "${patterns[@]}")
out=$("$tidy" -p "$build" --quiet "${files[@]}" 2>/dev/null || true)
if grep -q -E "(warning|error):" <<<"$out"; then
  printf '%s\n' "$out"
  exit 1
fi
echo "clang-tidy: no findings in ${#files[@]} files"
