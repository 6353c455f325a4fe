# shellcheck shell=bash
# servers.sh - the benchmark's servers: started in the background and stopped
# by their PIDs, never by name, and what /proc says of them. Sourced by
# bench/run.sh after scripts/ports.sh; writes the servers' output into $out.

declare -A pids=() # running servers by name
nginxdir=

# startserver NAME PORT PROTO CMD...: runs CMD, its output in trace-NAME.txt,
# and waits until PORT/PROTO is bound; pids[NAME] holds its PID once it is.
startserver() {
  local name=$1 port=$2 proto=$3 pid
  shift 3
  "$@" >"$out/trace-$name.txt" 2>&1 &
  pid=$!
  if waitlistening "$port" "$proto" "$pid"; then
    pids[$name]=$pid
  else
    echo "bench: $name did not start (see $out/trace-$name.txt)" >&2
    kill "$pid" 2>/dev/null || :
    wait "$pid" 2>/dev/null || :
  fi
}

# nginxstart PORT: nginx as one process (no master, no worker) on 127.0.0.1
# at PORT, PORT+1 and PORT+2, a port per page mode as the references have,
# answering every request with the 13-byte greeting and closing each
# connection. One process and no access log: a single busy process, as the
# page servers are, with no more work per request than it must do.
# Everything it writes goes to a new temporary folder, $nginxdir.
nginxstart() {
  local exe
  if ! exe=$(PATH=$PATH:/usr/sbin:/sbin command -v nginx); then
    echo "bench: nginx not found (scripts/setup.sh --bench installs nginx-light): not compared" >&2
    return 0
  fi
  nginxdir=$(mktemp -d "${TMPDIR:-/tmp}/bench-nginx.XXXXXX")
  cat >"$nginxdir/nginx.conf" <<EOF
daemon off;
master_process off;
pid $nginxdir/nginx.pid;
error_log $nginxdir/error.log;
events { worker_connections 512; }
http {
    access_log off;
    keepalive_timeout 0;
    client_body_temp_path $nginxdir/client_body;
    proxy_temp_path $nginxdir/proxy;
    fastcgi_temp_path $nginxdir/fastcgi;
    uwsgi_temp_path $nginxdir/uwsgi;
    scgi_temp_path $nginxdir/scgi;
    server {
        listen 127.0.0.1:$1;
        listen 127.0.0.1:$(($1 + 1));
        listen 127.0.0.1:$(($1 + 2));
        default_type text/plain;
        location / { return 200 "Hello World!\n"; }
    }
}
EOF
  startserver nginx "$(($1 + 2))" tcp "$exe" -p "$nginxdir" -e "$nginxdir/error.log" \
    -c "$nginxdir/nginx.conf"
}

# stopservers: stops every server by its PID, then removes nginx's folder.
stopservers() {
  local name
  for name in "${!pids[@]}"; do
    kill "${pids[$name]}" 2>/dev/null || :
    wait "${pids[$name]}" 2>/dev/null || :
  done
  pids=()
  if [ -n "$nginxdir" ]; then rm -rf "$nginxdir"; fi
}

# procstat PID: the fields of /proc/PID/stat after the program's name (which
# may hold anything) into the array st: st[0] the state, st[11] to st[14]
# utime, stime, cutime and cstime in clock ticks. Fails when PID is gone.
procstat() {
  local line
  read -r line 2>/dev/null <"/proc/$1/stat" || return 1
  read -ra st <<<"${line##*) }"
}

# kidsof PID: the PIDs of its children, living or zombies, into kids.
kidsof() {
  kids=
  read -r kids 2>/dev/null <"/proc/$1/task/$1/children" || :
}

# settle PID: waits, 2 s at most, until PID has no children left, so that
# what the runs before left dying neither slows nor is counted in the next.
settle() {
  for _ in $(seq 40); do
    kidsof "$1"
    [ -n "$kids" ] || return 0
    sleep 0.05
  done
}

# cputicks PID: into ticks, the CPU clock ticks that PID has used, with the
# children it has reaped and those still running (a forking server's).
cputicks() {
  local kid
  ticks=0
  procstat "$1" || return 0
  ticks=$((st[11] + st[12] + st[13] + st[14]))
  kidsof "$1"
  for kid in $kids; do
    if procstat "$kid"; then ticks=$((ticks + st[11] + st[12])); fi
  done
}

# rsskb PID: its resident memory (VmRSS) in KiB, 0 when it is gone.
rsskb() {
  awk '/^VmRSS:/ { kb = $2 } END { print kb + 0 }' "/proc/$1/status" 2>/dev/null || echo 0
}

# memnote WHEN: notes every server's resident memory now in mem[NAME.WHEN].
declare -A mem=()
memnote() {
  local name
  for name in "${!pids[@]}"; do mem[$name.$1]=$(rsskb "${pids[$name]}"); done
}

# memline NAME: the memory line of server NAME for report.awk: its resident
# KiB at rest, after the warm-up and now, and its children now.
memline() {
  local pid=${pids[$1]} kid live=0 zombies=0 kidkb=0
  kidsof "$pid"
  for kid in $kids; do
    procstat "$kid" || continue
    if [ "${st[0]}" = Z ]; then
      zombies=$((zombies + 1))
    else
      live=$((live + 1)) kidkb=$((kidkb + $(rsskb "$kid")))
    fi
  done
  echo "memory server=$1 rest_kb=${mem[$1.rest]} warm_kb=${mem[$1.warm]} after_kb=$(rsskb "$pid")" \
    "children=$live children_kb=$kidkb zombies=$zombies"
}
