# ports.sh - port helpers for shell scripts, read from /proc without touching
# any port. Source it (. scripts/ports.sh), or run it at a prompt:
#   scripts/ports.sh wait PORT PROTO   waits up to 10 s until PORT listens
#   scripts/ports.sh free PORT PROTO   waits up to 75 s until PORT is free

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

# As a command: what README's examples use to wait for a server, or for port
# 5678 to come free after a server that does not reuse addresses.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  case "${1:-}:$#" in
    wait:3)
      for _ in $(seq 200); do listening "$2" "$3" && exit 0; sleep 0.05; done
      echo "ports.sh: nothing listens on $2/$3" >&2
      exit 1 ;;
    free:3)
      inuse "$2" "$3" || exit 0
      echo "ports.sh: $2/$3 is still held by closed connections; waiting (up to 75 s)" >&2
      for _ in $(seq 150); do sleep 0.5; inuse "$2" "$3" || exit 0; done
      echo "ports.sh: $2/$3 stays in use; is a server still running on it?" >&2
      exit 1 ;;
    *)
      echo "usage: ports.sh wait|free PORT tcp|udp" >&2
      exit 2 ;;
  esac
fi
