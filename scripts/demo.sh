#!/usr/bin/env bash
# demo.sh - builds the suite and shows all thirteen programs at work on
# loopback, each answered by a real client; no root needed.
#   scripts/demo.sh                       set up, build into build/, show
#   DEMO_BUILD_DIR=dir scripts/demo.sh    show only, with an existing build
# Exits non-zero when any exchange fails. Everything it starts it stops.
# Each server on TCP port 5678 runs with its clients in a network namespace
# of its own where the host allows one, else one after the other here.
set -uo pipefail
self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
cd "$(dirname "$0")/.."

if [ -z "${DEMO_BUILD_DIR:-}" ]; then
  scripts/setup.sh --demo || exit 1
  cmake -S . -B build >/dev/null || exit 1
  cmake --build build -j"$(nproc)" || exit 1
  DEMO_BUILD_DIR=build
fi
bin=$(cd "$DEMO_BUILD_DIR/bin" 2>/dev/null && pwd) || {
  echo "demo: no programs in $DEMO_BUILD_DIR/bin" >&2
  exit 1
}
mapfile -t programs <packaging/programs
for p in "${programs[@]}"; do
  [ -x "$bin/$p" ] || { echo "demo: $bin/$p is missing" >&2; exit 1; }
done
# rdate lives in /usr/sbin, off an ordinary user's PATH.
export PATH="$PATH:/usr/sbin:/sbin"
for c in socat nc curl rdate stdbuf timeout; do
  command -v "$c" >/dev/null || { echo "demo: $c is missing (run scripts/setup.sh --demo)" >&2; exit 1; }
done

. scripts/ports.sh
export PATH="$bin:$PATH"
# Servers print through stdio without flushing; stdbuf makes their lines show
# at once. Its preload must not stop a sanitizer build from starting.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
logs=$(mktemp -d)
pids=()
asked=0
failed=0

cleanup() {
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  done
  rm -rf "$logs"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

say() { printf '\n== %s ==\n' "$*"; }
indent() { tr -d '\r' | sed 's/^/    /'; }

# waitfree PORT PROTO: waits until PORT is free. A server closes its TCP
# connections first, so each one holds the port for a minute afterwards
# (TIME_WAIT), and the greeting servers and greetpage do not ask for reuse.
waitfree() {
  inuse "$@" || return 0
  echo "(port $1/$2 is still held by the closed connections of the last server,"
  echo " for about a minute, and this one does not reuse addresses: waiting)"
  for _ in $(seq 150); do
    sleep 0.5
    inuse "$@" || return 0
  done
  echo "demo: port $1/$2 stays in use; is another server running on it?" >&2
  return 1
}

# start NAME ARGS... -- PORT PROTO: starts a server, shows the command, waits
# until it listens. Sets $started to its PID.
start() {
  local args=() port proto
  while [ "$1" != -- ]; do args+=("$1"); shift; done
  port=$2 proto=$3
  local log="$logs/${args[0]}"
  echo "\$ ${args[*]} &"
  stdbuf -oL "${args[@]}" >"$log.out" 2>"$log.err" &
  started=$!
  pids+=("$started")
  waitlistening "$port" "$proto" "$started" && return 0
  echo "demo: ${args[0]} did not start on $port/$proto:" >&2
  cat "$log.err" >&2
  failed=$((failed + 1))
  return 1
}

# stop PID: ends one server this script started.
stop() {
  kill -TERM "$1" 2>/dev/null
  wait "$1" 2>/dev/null
  local kept=()
  for p in "${pids[@]}"; do [ "$p" = "$1" ] || kept+=("$p"); done
  pids=("${kept[@]}")
}

# shown NAME: what a server has printed so far.
shown() {
  local f="$logs/$1"
  if [ -s "$f.out" ] || [ -s "$f.err" ]; then
    echo "  $1 printed:"
    cat "$f.out" "$f.err" | indent
  fi
}

# ask COMMAND CHECK ARG: runs COMMAND (a client), shows it and its output, and
# counts it failed unless CHECK ARG holds: "is" exact text, "like" an
# extended regular expression every line matches.
ask() {
  local cmd=$1 check=$2 want=$3 out rc ok=0
  asked=$((asked + 1))
  echo "\$ $cmd"
  out=$(timeout 15 bash -c "$cmd" 2>&1)
  rc=$?
  printf '%s\n' "$out" | indent
  case $check in
    is) [ "$out" = "$want" ] && ok=1 ;;
    like) [ -n "$out" ] && ! printf '%s\n' "$out" | tr -d '\r' | grep -Evq -- "$want" && ok=1 ;;
  esac
  if [ $rc = 0 ] && [ $ok = 1 ]; then
    echo "  ok"
  else
    echo "  FAILED (exit status $rc)"
    failed=$((failed + 1))
  fi
}

chargen() { # the first $1 lines a chargen server sends
  awk -v n="$1" 'BEGIN { c = 32; for (l = 0; l < n; l++) { s = "";
    for (i = 0; i < 72; i++) { s = s sprintf("%c", c); if (++c == 127) c = 32 }
    printf "%s\r\n", s } }'
}
asctime='^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}$'
rdatetime='^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [A-Za-z0-9+-]+ [0-9]{4}$'

# greetpair SUFFIX SOCATADDR: the TCP and UDP greeting pair of one family
# ("6" for IPv6, "" for IPv4), side by side on port 5678, then stops them.
greetpair() {
  local s=$1 srv dsrv
  waitfree 5678 tcp && waitfree 5678 udp || { failed=$((failed + 1)); return; }
  start "streamgreetsrv$s" -- 5678 tcp && srv=$started || return
  start "dgramgreetsrv$s" -- 5678 udp && dsrv=$started || return
  ask "streamgreetcli$s" is "Hello World!"
  ask "dgramgreetcli$s" is "Hello World!"
  ask "echo hi | socat -t 2 - '$2'" is "Hello World!"
  shown "streamgreetsrv$s"
  shown "dgramgreetsrv$s"
  stop "$srv"
  stop "$dsrv"
}

greet6() { greetpair 6 'UDP6:[::1]:5678'; }
greet4() { greetpair "" 'UDP:127.0.0.1:5678'; }
greetweb() {
  if waitfree 5678 tcp && start greetpage -- 5678 tcp; then
    ask "curl -sS http://127.0.0.1:5678/" is "Hello World!"
    shown greetpage
    stop "$started"
  fi
}

# A copy of this script run for one part in a namespace: it counts into the
# file the caller gave.
if [ -n "${DEMO_PART:-}" ]; then
  ip link set lo up || exit 1
  "$DEMO_PART"
  echo "$asked $failed" >"$DEMO_COUNTS"
  exit 0
fi

# A network namespace of its own gives each server on TCP port 5678 a port
# that no earlier server's closing connections hold (TIME_WAIT, a minute).
ns=(unshare -n)
[ "$(id -u)" = 0 ] || ns=(unshare -rn)
netns=0
"${ns[@]}" true 2>/dev/null && command -v ip >/dev/null && netns=1

# apart PART: runs function PART in a namespace of its own where one can be
# made, else here.
apart() {
  [ $netns = 1 ] || { "$1"; return; }
  local a=0 f=1
  echo "(in a network namespace of its own)"
  DEMO_PART=$1 DEMO_COUNTS=$logs/counts DEMO_BUILD_DIR=$(dirname "$bin") "${ns[@]}" bash "$self"
  read -r a f <"$logs/counts" 2>/dev/null || echo "demo: part $1 did not finish" >&2
  rm -f "$logs/counts"
  asked=$((asked + a)) failed=$((failed + f))
}

echo "Programs from $bin"

# Without namespaces the TCP servers on port 5678 come apart from each
# other, with other programs between them, as each must wait out the last
# one's connections.
say "streamgreetsrv6 and dgramgreetsrv6: greeting servers over IPv6, port 5678"
apart greet6

say "quadserv: echo, chargen, daytime and time over TCP and UDP"
base=$(freebase 7 13 19 37) || { echo "demo: no free port base" >&2; exit 1; }
if start quadserv "$base" -- $((base + 37)) udp; then
  echo "(port base $base: echo $((base + 7)), daytime $((base + 13)), chargen $((base + 19)), time $((base + 37)))"
  ask "echo 'hello, echo' | socat - TCP:127.0.0.1:$((base + 7))" is "hello, echo"
  ask "echo 'hello, echo over UDP' | socat -t 2 - UDP:127.0.0.1:$((base + 7))" is "hello, echo over UDP"
  ask "nc -d 127.0.0.1 $((base + 19)) | head -n 2" is "$(chargen 2)"
  ask "echo | socat -t 2 - UDP:127.0.0.1:$((base + 19))" is "$(chargen 1)"
  ask "nc -d 127.0.0.1 $((base + 13))" like "$asctime"
  ask "socat - 'TCP6:[::1]:$((base + 13))' </dev/null" like "$asctime"
  ask "echo | nc -u -w 1 127.0.0.1 $((base + 13))" like "$asctime"
  ask "rdate -p -o $((base + 37)) 127.0.0.1" like "$rdatetime"
  ask "rdate -p -u -o $((base + 37)) 127.0.0.1" like "$rdatetime"
  shown quadserv
  stop "$started"
fi

say "streamgreetsrv and dgramgreetsrv: greeting servers over IPv4, port 5678"
apart greet4

say "greetlocal: the greeting without a network"
ask "greetlocal" is "Hello World!"
ask "greetlocal x; echo \"exit status \$?\"" is "greetlocal: usage: greetlocal

exit status 0"

say "datepage and clockpage: the local date and time as a web page"
if dport=$(freebase) && start datepage "$dport" -- "$dport" tcp; then
  ask "curl -sS http://127.0.0.1:$dport/" like '^Local daytime is: .+'
  ask "curl -sS 'http://[::1]:$dport/'" like '^Local daytime is: .+'
  shown datepage
  stop "$started"
fi
if cport=$(freebase) && start clockpage "$cport" -- "$cport" tcp; then
  ask "curl -sS http://127.0.0.1:$cport/" like '^Local time is: .+'
  ask "curl -sS -i http://127.0.0.1:$cport/" \
    like '^(HTTP/1.1 200 OK|Connection: close|Content-Type: text/plain(; charset=[A-Za-z0-9._:-]+)?|Local time is: .+|)$'
  shown clockpage
  stop "$started"
fi

say "greetpage: the greeting as a web page, IPv4 port 5678"
apart greetweb

echo
if [ "$failed" = 0 ]; then
  echo "demo: all $asked exchanges answered as expected."
  exit 0
fi
echo "demo: $failed of $asked exchanges or starts FAILED." >&2
exit 1
