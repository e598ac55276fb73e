#!/bin/sh
# Instructions per benchmark iteration, counted under callgrind: a figure
# that does not move with the machine's load, for comparing two builds of a
# change whose effect is smaller than the timing noise of a shared machine
# (the wall-clock benchmarks stay the measure of the targets).
#
# Each benchmark runs for exactly one iteration (--benchmark_min_time=0)
# with counting switched on only inside its own function, so the figure
# is that iteration's work: instructions, conditional branches and the
# mispredictions of callgrind's simple branch model (a trend, not what a
# real processor's predictor does).
#
# Usage: bench/instructions.sh BUILD [BASE_BUILD] [FILTER...]
#   BUILD, BASE_BUILD: Release builds with bench_html (BASE_BUILD, when
#   given as a directory, is counted first and the change is printed).
#   FILTER: benchmark names (default: the 1,000-row page's three steps).
# Needs valgrind.
set -eu
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 1; }
build=$(cd "$1" && pwd)
shift
base=
if [ $# -gt 0 ] && [ -d "$1" ]; then
  base=$(cd "$1" && pwd)
  shift
fi
[ $# -gt 0 ] || set -- BM_BuildTableAndWrite/0 BM_BuildTableAndWrite/1 BM_BuildTableAndWrite/2 BM_BuildTableAndWrite/3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# count BUILD FILTER: prints "instructions branches mispredictions".
count() {
  program=$1/bin/bench_html
  [ -x "$program" ] || { echo "missing $program (build bench_html)" >&2; exit 1; }
  function=${2%%/*}
  LD_LIBRARY_PATH=$1/lib valgrind --tool=callgrind --branch-sim=yes \
    --toggle-collect="*$function*" --callgrind-out-file="$work/out" \
    "$program" --benchmark_filter="^$2\$" --benchmark_min_time=0 >"$work/log" 2>&1 ||
    { cat "$work/log" >&2; exit 1; }
  # "Collected : Ir Bc Bcm Bi Bim"
  awk '/Collected :/ { print $4, $5 + $7, $6 + $8; found = 1 }
       END { if (!found) exit 1 }' "$work/log" ||
    { echo "no count for $2" >&2; exit 1; }
}

printf '%-34s %14s %12s %12s\n' benchmark instructions branches mispredicted
for filter in "$@"; do
  now=$(count "$build" "$filter")
  if [ -n "$base" ]; then
    before=$(count "$base" "$filter")
    echo "$filter $before base" | awk '{ printf "%-34s %14s %12s %12s  (base)\n", $1, $2, $3, $4 }'
    echo "$filter $now ${before%% *}" | awk '{ printf "%-34s %14s %12s %12s  (%+.1f %% instructions)\n", $1, $2, $3, $4, ($2 - $5) * 100 / $5 }'
  else
    echo "$filter $now" | awk '{ printf "%-34s %14s %12s %12s\n", $1, $2, $3, $4 }'
  fi
done
