# common.sh - shared by the packaging tests. Sourced with the test's arguments:
# SOURCE_DIR BUILD_DIR SANITIZED(0/1). Gives $src, $build, $sanitized, a
# temporary folder $tmp, and servers started with serve() stopped at exit.
set -euo pipefail
# rdate, ss and their like live in /usr/sbin, off an ordinary user's PATH.
export PATH="$PATH:/usr/sbin:/sbin"
src=$1 build=$2 sanitized=$3
. "$src/scripts/ports.sh"
tmp=$(mktemp -d)
servers=()

finish() {
  for pid in "${servers[@]}"; do
    kill -TERM "$pid" 2>/dev/null && { wait "$pid" 2>/dev/null || true; }
  done
  rm -rf "$tmp"
}
trap finish EXIT

# ns: a command's prefix that runs it in a network namespace of its own.
ns=(unshare -n)
[ "$(id -u)" = 0 ] || ns=(unshare -rn)

fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }
need() { for c in "$@"; do command -v "$c" >/dev/null || skip "$c is not installed"; done; }

# The thirteen programs of the suite.
mapfile -t programs <"$src/packaging/programs"

# needprograms NAME...: skips unless the build has made each program.
needprograms() {
  for p in "$@"; do [ -x "$build/bin/$p" ] || skip "$p is not built"; done
}

# serve PORT PROTO PROGRAM ARGS...: starts a server with LD_LIBRARY_PATH unset
# and waits until it listens; $served is its PID.
serve() {
  local port=$1 proto=$2
  shift 2
  env -u LD_LIBRARY_PATH "$@" >"$tmp/serve.out" 2>"$tmp/serve.err" &
  served=$!
  servers+=("$served")
  waitlistening "$port" "$proto" "$served" \
    || fail "$* did not listen on $port/$proto: $(cat "$tmp/serve.err")"
}

# suiteversion: the project's version, as CMakeLists.txt gives it.
suiteversion() { sed -n 's/^project(quadserv-suite VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt"; }

# same A B: fails unless the two texts are equal.
same() { [ "$1" = "$2" ] || fail "expected [$2], got [$1]"; }

# quadechoes PROTO LIBDIR COMMAND...: quadserv, COMMAND given a free port
# base, maps libportkit from LIBDIR and echoes over PROTO (TCP or UDP).
quadechoes() {
  local proto=$1 libdir=$2 base
  shift 2
  base=$(freebase 7 13 19 37) || fail "no free port base"
  serve $((base + 37)) udp "$@" "$base"
  same "$(awk '$6 ~ /libportkit\.so/ { print $6; exit }' "/proc/$served/maps")" \
    "$libdir/libportkit.so.$(suiteversion)"
  same "$(echo "$proto echo" | timeout 10 socat -t 2 - "$proto:127.0.0.1:$((base + 7))")" "$proto echo"
}

# consumerruns COMMAND...: the consumer program, given a free port, prints
# satop's text for [::1]:40000 and the address it listens on.
consumerruns() {
  local port
  port=$(freebase) || fail "no free port"
  same "$("$@" "$port")" "[::1]:40000
listening on [::]:$port"
}

# hardenedelf FILE...: each ELF file has full RELRO (a GNU_RELRO segment and
# every relocation done at load, BIND_NOW, so the segment can go read-only),
# and an executable is position-independent.
hardenedelf() {
  local f dyn
  for f in "$@"; do
    dyn=$(readelf -dW "$f")
    if grep -q INTERP <<<"$(readelf -lW "$f")"; then
      grep -q '(FLAGS_1).*PIE' <<<"$dyn" || fail "$f is not position-independent"
    fi
    grep -q GNU_RELRO <<<"$(readelf -lW "$f")" || fail "$f has no RELRO segment"
    grep -Eq '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).* NOW' <<<"$dyn" \
      || fail "$f has only partial RELRO (no BIND_NOW)"
  done
}
