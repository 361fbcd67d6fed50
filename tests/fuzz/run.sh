#!/usr/bin/env bash
# Builds the libFuzzer harnesses (the input readers, and the whole run) with clang (address and undefined-
# behaviour sanitizers) and runs each for a bounded time. Exits non-zero when a build fails
# or any harness finds a crash, a sanitizer report, a timeout or a memory blow-up.
#
#   tests/fuzz/run.sh [seconds per harness, default 60] [harness ...]
#
# ZALMOR_FUZZ_BUILD_DIR chooses the build folder (default build/fuzz under the project).
# The seeds in tests/fuzz/corpus/<harness>/ are only read; inputs the fuzzer finds go to
# <build>/corpus/<harness>/, and a crashing input to <build>/artifacts/.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
# Absolute: the whole-run harness changes its working folder, and libFuzzer writes the
# corpus and artifacts by these names as it goes.
build="$(realpath -m "${ZALMOR_FUZZ_BUILD_DIR:-$root/build/fuzz}")"
seconds="${1:-60}"
if [[ $# -gt 0 ]]; then shift; fi
harnesses=("$@")
if [[ ${#harnesses[@]} -eq 0 ]]; then
  harnesses=(fuzz_coords fuzz_urms fuzz_answers fuzz_ioq fuzz_run)
fi

if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [[ "$seconds" -lt 1 ]]; then
  echo "run.sh: the time per harness must be a whole number of seconds, at least 1" >&2
  exit 2
fi

cxx=""
for candidate in clang++-14 clang++; do
  if command -v "$candidate" >/dev/null 2>&1; then
    cxx="$(command -v "$candidate")"
    break
  fi
done
if [[ -z "$cxx" ]]; then
  echo "run.sh: clang++ not found" >&2
  exit 2
fi

generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
cmake -S "$here" -B "$build" "${generator[@]}" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$build" --parallel 2 --target "${harnesses[@]}"

# Sanitizer reports end the run with the stack, so libFuzzer keeps the input.
export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

failed=()
for harness in "${harnesses[@]}"; do
  seeds="$here/corpus/$harness"
  work="$build/corpus/$harness"
  artifacts="$build/artifacts"
  mkdir -p "$work" "$artifacts"
  echo "=== $harness: ${seconds} s"
  status=0
  "$build/$harness" "$work" "$seeds" \
    -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
    -artifact_prefix="$artifacts/$harness-" -print_final_stats=1 \
    >"$build/$harness.log" 2>&1 || status=$?
  # The last lines carry the execution count, or the finding and its input.
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|Done [0-9]+ runs)' \
    "$build/$harness.log" || true
  if [[ $status -ne 0 ]]; then
    echo "=== $harness FAILED (status $status); log: $build/$harness.log"
    tail -n 60 "$build/$harness.log"
    failed+=("$harness")
  fi
done

if [[ ${#failed[@]} -ne 0 ]]; then
  echo "fuzzing found problems in: ${failed[*]}" >&2
  exit 1
fi
echo "fuzzing: no findings"
