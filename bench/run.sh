#!/usr/bin/env bash
# run.sh - builds a Release tree and runs the benchmark: medians of interleaved
# rounds, ratios to the reference ceilings (and, for the pages, to nginx),
# and a bar chart of the ratios.
#   bench/run.sh [rounds] [seconds-per-run] [mode-prefix]
# Defaults: 21 rounds of 0.3 s (more and shorter rounds spread a busy moment
# of a shared machine over every server), every mode; "http-greetpage" runs only the modes
# whose names begin so. Results go to build-bench/bench/: results.txt (one
# line per mode), runs.txt (every run), ratios.png, and the servers' trace
# files.
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${1:-21}
secs=${2:-0.3}
only=${3:-}
build=build-bench
out=$build/bench

scripts/setup.sh --bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DSUITE_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
rm -rf "$out"
mkdir -p "$out"

# greetpage binds 5678 without address reuse: the connections of a run just
# before hold the port for about a minute after it.
. scripts/ports.sh
if [ -z "$only" ] || [[ http-greetpage == "$only"* ]]; then
  for i in $(seq 90); do
    inuse 5678 tcp || break
    [ "$i" = 1 ] && echo "bench: waiting for port 5678, held by closing connections"
    sleep 1
  done
fi

echo "== $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores $(uname -m), load $(cut -d' ' -f1-3 /proc/loadavg)"
status=0
"$build/bin/loadgen" suite "$build/bin" "$out" "$rounds" "$secs" ${only:+"$only"} || status=$?
echo
cat "$out/results.txt"

if command -v gnuplot >/dev/null 2>&1; then
  gnuplot <<PLOT
set terminal pngcairo size 1100,560 noenhanced
set output "$out/ratios.png"
set title "Median rate as a share of the reference ceiling, and of nginx for the pages ($rounds interleaved rounds)"
set style data histograms
set style fill solid 0.8 border -1
set boxwidth 0.7
set yrange [0:1.6]
set ylabel "ratio to ceiling"
set xtics rotate by -40 left
set grid ytics
set bmargin 9
set rmargin 10
set key top right
# Ratios far above the ceiling are drawn cut at the top, their value written.
plot "$out/ratios.dat" using (\$2 > 1.6 ? 1.6 : \$2):xtic(1) title "to the reference" lc rgb "#4477aa", \
     "" using (\$4 > 1.6 ? 1.6 : \$4 < 0 ? 0 : \$4) title "to nginx" lc rgb "#88ccee", \
     "" using 0:(\$2 > 1.6 ? 1.5 : 1/0):(sprintf("%.1f", \$2)) with labels notitle, \
     "" using 0:(\$3 > 0 ? \$3 : 1/0) with points pt 7 ps 1.2 lc rgb "#cc3311" title "target"
PLOT
  echo "chart: $out/ratios.png"
else
  echo "gnuplot not found: no chart (scripts/setup.sh installs gnuplot-nox)"
fi
exit $status
