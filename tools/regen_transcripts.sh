#!/usr/bin/env bash
# Regenerates tests/transcripts/<case>.out (and .status) from the built program.
# Read `git diff tests/transcripts` line by line before committing the result.
#   tools/regen_transcripts.sh BUILD_DIR [CASE ...]
set -euo pipefail
build=$(realpath "${1:?usage: regen_transcripts.sh BUILD_DIR [CASE ...]}")
shift
src=$(cd "$(dirname "$0")/../tests/transcripts" && pwd)
cases=("$@")
if ((${#cases[@]} == 0)); then
  for f in "$src"/*.in; do cases+=("$(basename "$f" .in)"); done
fi
for c in "${cases[@]}"; do
  work=$(mktemp -d)
  cp -r "$src"/models/. "$work"/
  status=0
  (cd "$work" && "$build/zalmor" < "$src/$c.in" > "$work/.stdout" 2> "$work/.stderr") || status=$?
  sed "s|$work|@ABS@|g" "$work/.stdout" > "$src/$c.out"
  if ((status != 0)); then echo "$status" > "$src/$c.status"; else rm -f "$src/$c.status"; fi
  echo "$c: exit $status $(head -c 200 "$work/.stderr")"
  rm -rf "$work"
done
