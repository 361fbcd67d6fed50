#!/usr/bin/env bash
# Whole-run benchmark: wall time and peak memory of complete zalmor runs on random two-type
# models (tools/make_model.py, 0.05 atoms per cubic Angstrom), the default Q grid (2500
# values, 0.02 to 50), every block written. Answers are piped in as a user would type them.
#
#   bench/run_whole.sh [-p PROGRAM] [-t 0|4] [-o RESULTS.csv] [SIZES...]
#
#   -p  the zalmor binary (default build/release/zalmor)
#   -t  thermal option: 0 (default) or 4 with examples/nacl.urms (model-1 and model-3 records)
#   -o  also write the table as CSV
#   SIZES  atom counts (default 1000 2000 5000 10000 20000 34500)
#
# Columns: atoms, wall time (s), peak resident memory (MiB), and pair-Q terms per second
# of the whole run, N (N - 1) / 2 x 2500 / wall time.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
program="$root/build/release/zalmor"
thermal=0
csv=""
while getopts "p:t:o:h" opt; do
  case $opt in
    p) program=$(realpath "$OPTARG") ;;
    t) thermal=$OPTARG ;;
    o) csv=$(realpath -m "$OPTARG") ;;
    *) sed -n '2,16p' "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1000 2000 5000 10000 20000 34500)

if [ ! -x "$program" ]; then
  echo "no zalmor binary at $program (cmake --preset release && cmake --build --preset release)" >&2
  exit 2
fi
if [ ! -x /usr/bin/time ]; then
  echo "needs GNU time (/usr/bin/time, Debian package 'time')" >&2
  exit 2
fi
case $thermal in
  0|4) ;;
  *) echo "thermal option must be 0 or 4" >&2; exit 2 ;;
esac

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
nq=2500

header="atoms,wall_s,peak_mib,pair_q_terms_per_s,thermal"
[ -z "$csv" ] || echo "$header" > "$csv"
printf "%8s %10s %10s %14s\n" atoms "wall (s)" "peak MiB" "pair-Q terms/s"

for n in "${sizes[@]}"; do
  stem="random$n"
  python3 "$root/tools/make_model.py" random "$n" 0.05 "$work/$stem.coords"
  # Model name, header lines, atoms to normalise to, scale, b_bar of types 1 and 2, thermal
  # option (with option 4: the .urms name and the total-function option), Qmax, delta-Q,
  # grid start, output name: empty answers take the defaults.
  if [ "$thermal" = 4 ]; then
    cp "$root/examples/nacl.urms" "$work/$stem.urms"
    printf '%s\n1\n\n\n3.63\n9.577\n4\n\n0\n\n\n\n\n' "$stem" > "$work/answers"
  else
    printf '%s\n1\n\n\n3.63\n9.577\n0\n\n\n\n\n' "$stem" > "$work/answers"
  fi
  if ! (cd "$work" && /usr/bin/time -v "$program" < answers > console.txt 2> time.txt); then
    echo "run with $n atoms failed:" >&2
    tail -5 "$work/console.txt" "$work/time.txt" >&2
    exit 1
  fi
  [ -s "$work/$stem.ioq" ] || { echo "no $stem.ioq written" >&2; exit 1; }
  wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {
           n = split($2, p, ":"); s = 0; for (i = 1; i <= n; ++i) s = s * 60 + p[i]; print s }' \
         "$work/time.txt")
  rss_kib=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time.txt")
  peak=$(awk -v k="$rss_kib" 'BEGIN { printf "%.1f", k / 1024 }')
  rate=$(awk -v n="$n" -v q="$nq" -v t="$wall" 'BEGIN { printf "%.3g", n * (n - 1) / 2 * q / t }')
  printf "%8d %10.2f %10s %14s\n" "$n" "$wall" "$peak" "$rate"
  [ -z "$csv" ] || echo "$n,$wall,$peak,$rate,$thermal" >> "$csv"
  rm -f "$work/$stem".*
done
