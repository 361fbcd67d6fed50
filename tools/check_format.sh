#!/usr/bin/env bash
# Fails when a C++ file of the tree differs from what .clang-format makes of it.
#   tools/check_format.sh        check (CI)
#   tools/check_format.sh -i     reformat in place
set -euo pipefail
cd "$(dirname "$0")/.."
format=$(command -v clang-format-14 || command -v clang-format)
mapfile -t files < <(git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/*.cpp' 'tests/*.hpp' 'bench/*.cpp' 'bench/*.hpp' \
                          'python/*.cpp')
if [ "${1:-}" = "-i" ]; then
  "$format" -i "${files[@]}"
else
  "$format" --dry-run --Werror "${files[@]}"
fi
