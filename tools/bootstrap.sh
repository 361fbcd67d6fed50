#!/usr/bin/env bash
# Sets up a fresh Debian machine and builds zalmor from scratch.
#   tools/bootstrap.sh run   build a release binary, install the Python package zalmor for
#                            /usr/bin/python3, and run the binary on the example model
#   tools/bootstrap.sh test  build and run every test (plain and sanitizer builds)
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev libhwy-dev
          libfftw3-dev python3 python3-numpy python3-matplotlib python3-ase
          python3-periodictable clang clang-format-14 clang-tidy-14 libclang-rt-14-dev time
          python3-dev pybind11-dev python3-pybind11 python3-pytest python3-mdanalysis
          python3-distributed python3-tqdm)
sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

case "${1:-test}" in
  run)
    cmake --preset release >/dev/null
    cmake --build --preset release
    # The package (its Python files and the compiled zalmor._core) into the interpreter's
    # folder for local packages: /usr/local/lib/python3.X/dist-packages. One already there is
    # replaced whole (no module of an older tree left behind), and the user is told.
    old=$(cd / && /usr/bin/python3 -c 'import os, zalmor._core as c; print(os.path.dirname(c.__file__), c.VERSION)' 2>/dev/null || true)
    if [ -n "$old" ]; then
      echo "bootstrap.sh: replacing the zalmor package ${old#* } in ${old% *} with this tree's" >&2
      case "${old% *}" in
        */dist-packages/zalmor|*/site-packages/zalmor) $sudo rm -rf "${old% *}" ;;
      esac
    fi
    $sudo cmake --install build/release --component python >/dev/null
    (cd / && /usr/bin/python3 -c "import zalmor._core") || { echo "zalmor did not install" >&2; exit 1; }
    cd examples
    if [ -t 0 ]; then
      echo "Model file: answer nacl (see examples/README.md for the b_bar values)." >&2
      exec ../build/release/zalmor
    else
      exec ../build/release/zalmor < nacl.answers
    fi
    ;;
  test)
    cmake --workflow --preset ci
    cmake --workflow --preset asan
    ;;
  *)
    echo "usage: tools/bootstrap.sh run|test" >&2
    exit 64
    ;;
esac
