#!/usr/bin/env bash
# Whole-run benchmark: wall time and peak memory of complete zalmor runs on random two-type
# models (tools/make_model.py, 0.05 atoms per cubic Angstrom), every block written. Answers
# are piped in as a user would type them.
#
#   bench/run_whole.sh [-p PROGRAM] [-t 0|4] [-o RESULTS.csv] [SIZES...]
#   bench/run_whole.sh -d [-q] [-r REPEATS] [-p PROGRAM] [-D DEBYER] [-o RESULTS.csv]
#                         [-N "SIZES"] [-Q "NQS"] [-a ATOMS] [-e "ENGINES"]
#
#   -p  the zalmor binary (default build/release/zalmor)
#   -t  thermal option: 0 (default) or 4 with examples/nacl.urms (model-1 and model-3 records)
#   -o  also write the table as CSV
#   SIZES  atom counts (default 1000 2000 5000 10000 20000 34500), 2500 Q values
#
#   -d  side by side with debyer (bench/build_debyer.sh builds it), thermal option 0, b 4.1491
#       and 5.803 fm (Si and O, the values of debyer's own neutron table). Two sweeps: atoms
#       (-N, default 1000 2000 5000 10000 20000 34500) at 2500 Q values, and Q values (-Q,
#       default 2500 5000 10000 20000 50000 100000, all up to Q = 50) at -a atoms (default
#       10000). Every point runs each zalmor engine (-e, default "pairs moments", set with
#       ZALMOR_ENGINE) and debyer in turn, -r times (default 3), and reports medians of
#       wall time, CPU time (user + system) and peak resident memory, how many times faster
#       than debyer each is (medians of the same invocation), and how far each total i(Q) is
#       from debyer's (bench/compare_debyer.py). -o writes the CSV for bench/plot_whole.py.
#   -q  quick check of the set-up: 1 repeat, -N "1000 2000", -Q "2500 5000", -a 2000
#   -D  the debyer binary (default: built by bench/build_debyer.sh)
#   Columns "wall x" and "CPU x": debyer's median over this program's (above 1: faster than
#   debyer); "i(Q) diff": largest difference of the total from debyer's over its largest value,
#   over all Q and over Q > 1 (near Q = 0 debyer's 6 printed digits limit it).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
program="$root/build/release/zalmor"
thermal=0
csv=""
side=0
repeats=3
debyer=""
n_sweep="1000 2000 5000 10000 20000 34500"
q_sweep="2500 5000 10000 20000 50000 100000"
q_atoms=10000
engines="pairs moments"
while getopts "p:t:o:dqr:D:N:Q:a:e:h" opt; do
  case $opt in
    p) program=$(realpath "$OPTARG") ;;
    t) thermal=$OPTARG ;;
    o) csv=$(realpath -m "$OPTARG") ;;
    d) side=1 ;;
    q) repeats=1; n_sweep="1000 2000"; q_sweep="2500 5000"; q_atoms=2000 ;;
    r) repeats=$OPTARG ;;
    D) debyer=$(realpath "$OPTARG") ;;
    N) n_sweep=$OPTARG ;;
    Q) q_sweep=$OPTARG ;;
    a) q_atoms=$OPTARG ;;
    e) engines=$OPTARG ;;
    *) sed -n '2,29p' "$0"; exit 2 ;;
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

# timed DIR LOG COMMAND...: runs COMMAND in DIR under GNU time (standard input from
# DIR/answers, output to DIR/console.txt) and sets wall, cpu (seconds) and peak (MiB).
timed() {
  local dir=$1 log=$2
  shift 2
  if ! (cd "$dir" && /usr/bin/time -v "$@" < answers > console.txt 2> "$log"); then
    echo "failed in $dir: $*" >&2
    tail -5 "$dir/console.txt" "$log" >&2
    exit 1
  fi
  read -r wall cpu peak < <(awk -F': ' '
    /Elapsed \(wall clock\)/ { n = split($2, p, ":"); for (i = 1; i <= n; ++i) w = w * 60 + p[i] }
    /User time|System time/ { c += $2 }
    /Maximum resident set size/ { m = $2 / 1024 }
    END { printf "%.2f %.2f %.1f\n", w, c, m }' "$log")
}

# zalmor_answers STEM B1 B2 NQ: the dialogue for a two-type model, thermal option 0, grid of
# NQ values from 50/NQ to 50; with -t 4 the .urms file and total-function answers instead.
zalmor_answers() {
  local dq
  dq=$(awk -v n="$4" 'BEGIN { printf "%.10g", 50 / n }')
  if [ "$thermal" = 4 ]; then
    printf '%s\n1\n\n\n%s\n%s\n4\n\n0\n50\n%s\n\n\n' "$1" "$2" "$3" "$dq"
  else
    printf '%s\n1\n\n\n%s\n%s\n0\n50\n%s\n\n\n' "$1" "$2" "$3" "$dq"
  fi
}

if [ "$side" = 0 ]; then
  nq=2500
  header="atoms,wall_s,peak_mib,pair_q_terms_per_s,thermal"
  [ -z "$csv" ] || echo "$header" > "$csv"
  printf "%8s %10s %10s %14s\n" atoms "wall (s)" "peak MiB" "pair-Q terms/s"
  for n in "${sizes[@]}"; do
    stem="random$n"
    python3 "$root/tools/make_model.py" random "$n" 0.05 "$work/$stem.coords"
    if [ "$thermal" = 4 ]; then cp "$root/examples/nacl.urms" "$work/$stem.urms"; fi
    zalmor_answers "$stem" 3.63 9.577 "$nq" > "$work/answers"
    timed "$work" "$work/time.txt" "$program"
    [ -s "$work/$stem.ioq" ] || { echo "no $stem.ioq written" >&2; exit 1; }
    rate=$(awk -v n="$n" -v q="$nq" -v t="$wall" 'BEGIN { printf "%.3g", n * (n - 1) / 2 * q / t }')
    printf "%8d %10.2f %10s %14s\n" "$n" "$wall" "$peak" "$rate"
    [ -z "$csv" ] || echo "$n,$wall,$peak,$rate,$thermal" >> "$csv"
    rm -f "$work/$stem".*
  done
  exit 0
fi

# Side by side with debyer.
[ "$thermal" = 0 ] || { echo "the side-by-side mode runs thermal option 0 only" >&2; exit 2; }
[ -n "$debyer" ] || debyer=$("$root/bench/build_debyer.sh")
[ -x "$debyer" ] || { echo "no debyer binary at $debyer" >&2; exit 2; }
b1=4.1491 b2=5.803    # Si and O in debyer's neutron table
read -ra engine_list <<< "$engines"
programs=("${engine_list[@]}" debyer)

# median "V1 V2 ...": the middle value, or the mean of the middle two.
median() {
  tr -s ' ' '\n' <<< "$1" | sed '/^$/d' | sort -g |
    awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

header="sweep,atoms,nq,program,repeats,wall_s,cpu_s,peak_mib,wall_speedup_vs_debyer,cpu_speedup_vs_debyer,max_rel_diff_vs_debyer,max_rel_diff_vs_debyer_q_gt_1"
[ -z "$csv" ] || echo "$header" > "$csv"
printf "%-6s %6s %6s %-8s %9s %9s %9s %8s %8s %19s\n" sweep atoms nQ program "wall (s)" \
  "CPU (s)" "peak MiB" "wall x" "CPU x" "i(Q) diff, Q > 1"

# point SWEEP ATOMS NQ: one model and grid, every program, median of the repeats.
point() {
  local sweep=$1 n=$2 nq=$3 dir="$work/$1-$2-$3" r p step
  declare -A walls cpus peaks diffs
  mkdir -p "$dir"
  python3 "$root/tools/make_model.py" random "$n" 0.05 "$dir/model.coords"
  awk 'NR > 1 { s[++n] = ($2 == 1 ? "Si" : "O") " " $3 " " $4 " " $5 }
       END { print n; print "random two-type model"; for (i = 1; i <= n; ++i) print s[i] }' \
    "$dir/model.coords" > "$dir/model.xyz"
  zalmor_answers model "$b1" "$b2" "$nq" > "$dir/answers"
  # debyer's grid: bin centres from + (j + 1/2) step, so start half a step below 50/NQ.
  read -r step from to < <(awk -v n="$nq" \
    'BEGIN { s = 50 / n; printf "%.10g %.10g %.10g\n", s, s / 2, 50 + 0.75 * s }')
  for ((r = 0; r < repeats; ++r)); do
    for p in "${programs[@]}"; do
      if [ "$p" = debyer ]; then
        timed "$dir" "$dir/time.txt" "$debyer" -q -n -f"$from" -t"$to" -s"$step" \
          --quanta=0.001 -o debyer.txt model.xyz
      else
        timed "$dir" "$dir/time.txt" env ZALMOR_ENGINE="$p" "$program"
        [ $r -gt 0 ] || "$root/tools/ioq" csv "$dir/model.ioq" --block 4 > "$dir/$p.csv"
      fi
      walls[$p]+="$wall " cpus[$p]+="$cpu " peaks[$p]+="$peak "
    done
  done
  for p in "${engine_list[@]}"; do
    diffs[$p]=$("$root/bench/compare_debyer.py" "$dir/$p.csv" "$dir/debyer.txt" \
      "$dir/model.xyz" Si=$b1 O=$b2 | sed 's/^max_rel_diff=\([^ ]*\) above_q1=\([^ ]*\).*/\1,\2/')
  done
  diffs[debyer]=","
  local dwall dcpu w c m
  dwall=$(median "${walls[debyer]}") dcpu=$(median "${cpus[debyer]}")
  for p in "${programs[@]}"; do
    w=$(median "${walls[$p]}") c=$(median "${cpus[$p]}") m=$(median "${peaks[$p]}")
    read -r rw rc < <(awk -v w="$w" -v c="$c" -v dw="$dwall" -v dc="$dcpu" \
      'BEGIN { printf "%.3g %.3g\n", (w > 0 ? dw / w : 0), (c > 0 ? dc / c : 0) }')
    printf "%-6s %6d %6d %-8s %9.2f %9.2f %9.1f %8s %8s %19s\n" "$sweep" "$n" "$nq" "$p" "$w" \
      "$c" "$m" "$rw" "$rc" "${diffs[$p]/,/ }"
    [ -z "$csv" ] || echo "$sweep,$n,$nq,$p,$repeats,$w,$c,$m,$rw,$rc,${diffs[$p]}" >> "$csv"
  done
  rm -rf "$dir"
}

for n in $n_sweep; do point atoms "$n" 2500; done
for nq in $q_sweep; do point nq "$q_atoms" "$nq"; done
