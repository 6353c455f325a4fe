# ports.sh - port helpers for shell scripts, read from /proc without touching
# any port. Source it: . scripts/ports.sh

# inuse PORT PROTO: whether a socket on this host holds PORT, in any state
# (TIME_WAIT included: it still stops a server that does not reuse addresses).
inuse() {
  local hex
  hex=$(printf '%04X' "$1")
  awk -v hex="$hex" 'FNR > 1 { split($2, a, ":"); if (a[2] == hex) found = 1 }
    END { exit !found }' "/proc/net/$2" "/proc/net/${2}6"
}

# listening PORT PROTO: whether PORT is listening (tcp) or bound (udp).
listening() {
  local hex
  hex=$(printf '%04X' "$1")
  awk -v hex="$hex" -v want="$([ "$2" = tcp ] && echo 0A || echo 07)" '
    FNR > 1 { split($2, a, ":"); if (a[2] == hex && $4 == want) found = 1 }
    END { exit !found }' "/proc/net/$2" "/proc/net/${2}6"
}

# freebase [OFFSET...]: a number b, 10000 to 32699, such that b plus each
# OFFSET (default 0) is free for TCP and UDP; fails after 200 tries. Below
# Linux's ephemeral ports (32768 and up), so no client socket takes one
# before the server binds it.
freebase() {
  local b off ok offsets=("$@")
  [ $# -gt 0 ] || offsets=(0)
  for _ in $(seq 200); do
    b=$((10000 + RANDOM % 22700)) ok=1
    for off in "${offsets[@]}"; do
      if inuse $((b + off)) tcp || inuse $((b + off)) udp; then ok=0; break; fi
    done
    [ $ok = 1 ] && { echo "$b"; return 0; }
  done
  return 1
}

# waitlistening PORT PROTO PID: waits up to 5 s for PORT; fails early when
# process PID has ended.
waitlistening() {
  for _ in $(seq 100); do
    listening "$1" "$2" && return 0
    kill -0 "$3" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}
