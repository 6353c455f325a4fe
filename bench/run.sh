#!/usr/bin/env bash
# run.sh - builds a Release tree and runs the benchmark: quadserv and the page
# servers against two reference servers (bench/refservers.cpp) and, for the
# pages, nginx, in interleaved rounds; then the latency scenarios, one run
# each. Prints the medians, the ratios to the ceilings and to nginx, the CPU
# per operation, memory and the scenarios' latencies, and draws the ratios.
#   bench/run.sh [rounds] [seconds-per-run] [mode-prefix]
# Defaults: 21 rounds of 0.3 s (more and shorter rounds spread a busy moment
# of a shared machine over every server), every mode and scenario; a prefix
# ("http-greetpage", "hold-") runs only the modes and scenarios whose names
# begin so. Results go to build-bench/bench/: results.txt (one line per mode,
# server memory and scenario), runs.txt (every run), report.md (the tables
# as printed), ratios.png, and the servers' output in trace-*.txt.
# The modes and their targets are in bench/modes.txt, the scenarios' targets
# in bench/report.awk.
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${1:-21}
secs=${2:-0.3}
only=${3:-}
if ! [[ $rounds =~ ^[0-9]+$ ]] || [ "$rounds" -lt 1 ] || [ "$rounds" -gt 101 ] ||
  ! awk -v s="$secs" 'BEGIN { exit !(s + 0 > 0 && s + 0 <= 30) }'; then
  echo "usage: bench/run.sh [rounds 1-101] [seconds above 0, at most 30] [mode-prefix]" >&2
  exit 2
fi
build="build-bench"
out=$build/bench
bin=$build/bin

scripts/setup.sh --bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DSUITE_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
rm -rf "$out"
mkdir -p "$out"
. scripts/ports.sh
. bench/servers.sh
trap stopservers EXIT

# selected NAME: whether NAME runs in this run.
selected() { [[ $1 == "$only"* ]]; }

# The selected modes, and their fields by name.
modes=()
declare -A mload mclients moffset msubject magainst mrow
while read -r name load clients offset subject against ceiling target ntarget unit; do
  if [[ $name == \#* ]] || ! selected "$name"; then continue; fi
  modes+=("$name")
  mload[$name]=$load mclients[$name]=$clients moffset[$name]=$offset msubject[$name]=$subject
  magainst[$name]=$against mrow[$name]="$name $load $clients $offset $subject $against $ceiling $target $ntarget $unit"
done <bench/modes.txt
scenarios=()
for name in hold-silent hold-stalled quad-share; do
  if selected "$name"; then scenarios+=("$name"); fi
done
if [ ${#modes[@]} = 0 ] && [ ${#scenarios[@]} = 0 ]; then
  echo "bench: no mode or scenario begins with \"$only\"" >&2
  exit 2
fi

# greetpage binds 5678 without address reuse: the connections of a run just
# before hold the port for about a minute after it. It runs only for its modes.
needgreet=
if [[ " ${msubject[*]} " == *" greetpage "* ]]; then
  needgreet=1
  scripts/ports.sh free 5678 tcp || true
fi

# Port bases: quadserv's (its page servers and nginx at +200 to +204) and
# each reference's, every one 300 ports or more from the others.
bases=()
pickbase() {
  local b u ok
  for _ in $(seq 50); do
    b=$(freebase "$@") || break
    ok=1
    for u in "${bases[@]}"; do
      if [ $((b > u ? b - u : u - b)) -lt 300 ]; then ok=0; fi
    done
    if [ $ok = 1 ]; then
      bases+=("$b")
      return 0
    fi
  done
  echo "bench: no free port base found" >&2
  exit 1
}
pickbase 7 13 19 37 200 201 202 203 204
pickbase 7 13 19 37 80 81 82
pickbase 7 13 19 37 80 81 82
qbase=${bases[0]} fbase=${bases[1]} ibase=${bases[2]}

echo "== $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores $(uname -m), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "bench: $rounds rounds of $secs s per run; quadserv base $qbase, fork_ref $fbase, inproc_ref $ibase"

# Each server is waited for on the socket it opens last.
startserver quadserv $((qbase + 37)) udp "$bin/quadserv" "$qbase"
startserver fork_ref $((fbase + 82)) tcp "$bin/refserver" fork "$fbase"
startserver inproc_ref $((ibase + 82)) tcp "$bin/refserver" inproc "$ibase"
if [ -z "${pids[fork_ref]:-}" ] || [ -z "${pids[inproc_ref]:-}" ]; then
  echo "bench: the reference servers did not start" >&2
  exit 1
fi
startserver datepage $((qbase + 200)) tcp "$bin/datepage" $((qbase + 200))
startserver clockpage $((qbase + 201)) tcp "$bin/clockpage" $((qbase + 201))
if [ -z "$needgreet" ]; then
  :
elif inuse 5678 tcp; then
  echo "bench: port 5678 is still in use: greetpage not measured" >&2
else
  startserver greetpage 5678 tcp "$bin/greetpage"
fi
nginxstart $((qbase + 202))
sleep 0.3
memnote rest

# portof SERVER OFFSET: into port, where SERVER serves the service at OFFSET.
portof() {
  case $1 in
    quadserv) port=$((qbase + $2)) ;;
    fork_ref) port=$((fbase + $2)) ;;
    inproc_ref) port=$((ibase + $2)) ;;
    datepage) port=$((qbase + 200)) ;;
    clockpage) port=$((qbase + 201)) ;;
    greetpage) port=5678 ;;
    nginx) port=$((qbase + 202 + $2 - 80)) ;;
  esac
}

# measure ROUND MODE SERVER SECONDS: one run of MODE against SERVER; a
# counted round's (ROUND above 0) goes to runs.txt with the CPU that the
# server spent on it.
measure() {
  local before line
  portof "$3" "${moffset[$2]}"
  settle "${pids[$3]}"
  cputicks "${pids[$3]}"
  before=$ticks
  line=$("$bin/loadgen" "${mload[$2]}" "${mclients[$2]}" "$port" "$4" 2>>"$out/loadgen-errors.txt") ||
    line="ops=0 errors=1 lost=0 secs=0 rate=0"
  cputicks "${pids[$3]}"
  if [ "$1" -gt 0 ]; then
    echo "round=$1 mode=$2 server=$3 cpu_ticks=$((ticks - before)) $line" >>"$out/runs.txt"
  fi
}

# The modes whose subject runs, each against those of its servers that run,
# for report.awk.
ran=()
: >"$out/modes.txt"
for m in "${modes[@]}"; do
  if [ -z "${pids[${msubject[$m]}]:-}" ]; then
    echo "bench: $m: ${msubject[$m]} is not running: not measured" >&2
    continue
  fi
  against=
  for s in ${magainst[$m]//,/ }; do
    if [ -n "${pids[$s]:-}" ]; then against+=" $s"; fi
  done
  magainst[$m]=$against
  ran+=("$m")
  echo "${mrow[$m]}" >>"$out/modes.txt"
done

# A warm-up pass of a fifth of the time, not counted, then the rounds, the
# servers in alternating order within a round.
: >"$out/runs.txt"
if [ ${#ran[@]} -gt 0 ]; then
  warm=$(awk -v s="$secs" 'BEGIN { print s / 5 }')
  for round in $(seq 0 "$rounds"); do
    t=$secs
    if [ "$round" = 0 ]; then t=$warm; fi
    for m in "${ran[@]}"; do
      read -ra servers <<<"${msubject[$m]} ${magainst[$m]}"
      order=("${servers[@]}")
      if [ "$round" -gt 0 ] && [ $((round % 2)) = 0 ]; then
        order=()
        for s in "${servers[@]}"; do order=("$s" "${order[@]}"); done
      fi
      for s in "${order[@]}"; do measure "$round" "$m" "$s" "$t"; done
    done
    if [ "$round" = 0 ]; then
      sleep 0.5
      memnote warm
    else
      echo "bench: round $round of $rounds done" >&2
    fi
  done
  sleep 1
fi
: >"$out/memory.txt"
for s in quadserv datepage clockpage greetpage fork_ref inproc_ref; do
  if [ -n "${pids[$s]:-}" ] && [ -n "${mem[$s.warm]:-}" ]; then memline "$s" >>"$out/memory.txt"; fi
done

# The latency scenarios, one run each, against the servers they concern.
: >"$out/scenarios.txt"
for sc in "${scenarios[@]}"; do
  if [ "$sc" = quad-share ]; then
    targets=("quadserv $((qbase + 13)) $((qbase + 7))")
  else
    targets=("datepage $((qbase + 200))" "nginx $((qbase + 202))")
  fi
  for t in "${targets[@]}"; do
    read -ra args <<<"$t"
    if [ -z "${pids[${args[0]}]:-}" ]; then
      echo "bench: $sc: ${args[0]} is not running: not measured" >&2
      continue
    fi
    line=$("$bin/loadgen" "$sc" "${args[@]:1}" 2>>"$out/loadgen-errors.txt") || line="scenario=$sc"
    echo "server=${args[0]} $line" | tee -a "$out/scenarios.txt" >&2
    sleep 2 # the server catches up with the connections just closed
  done
done

# A server that ended during the run counts as a missed target.
status=0
for s in "${!pids[@]}"; do
  if ! procstat "${pids[$s]}" || [ "${st[0]}" = Z ]; then
    echo "bench: $s ended during the run (see $out/trace-$s.txt)" >&2
    status=1
  fi
done
stopservers

echo
awk -v out="$out" -v clktck="$(getconf CLK_TCK)" -f bench/report.awk \
  "$out/modes.txt" "$out/runs.txt" "$out/memory.txt" "$out/scenarios.txt" | tee "$out/report.md" ||
  status=1
echo
cat "$out/results.txt"

# One bar says nothing that its line does not (and gnuplot 5.4 crashes on a
# histogram of one row whose labels are all undefined).
if [ ${#ran[@]} -lt 2 ]; then
  :
elif command -v gnuplot >/dev/null 2>&1; then
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
