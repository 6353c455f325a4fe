#!/usr/bin/env bash
# units.sh - the systemd units of an installed prefix, services and their
# sockets, verify, start the installed program, and keep their hardening.
. "$(dirname "$0")/common.sh"
needprograms quadserv datepage clockpage
need systemd-analyze
prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
units=$prefix/lib/systemd/system

for name in quadserv datepage clockpage; do
  unit=$units/$name.service
  [ -f "$unit" ] && [ -f "$units/$name.socket" ] || fail "$name.service or $name.socket is not installed"
  grep -qx "ExecStart=$prefix/bin/$name" "$unit" || fail "$name.service does not start $prefix/bin/$name"
  # verify also checks that ExecStart exists and that the man page it names is found.
  MANPATH=$prefix/share/man systemd-analyze verify "$unit" "$units/$name.socket" || fail "$name does not verify"
  # Its sockets come from systemd: no privilege, no network of its own.
  for line in Type=notify "Requires=$name.socket" DynamicUser=yes CapabilityBoundingSet= \
              NoNewPrivileges=yes PrivateNetwork=yes RestrictAddressFamilies=AF_UNIX \
              ProtectSystem=strict ProtectHome=yes PrivateTmp=yes; do
    grep -qx "$line" "$unit" || fail "$name.service lacks $line"
  done
  ! grep -q '^AmbientCapabilities=' "$unit" || fail "$name.service still grants a capability"
  # systemd's own rating of the sandbox: 0 is the tightest, 10 none at all.
  exposure=$(systemd-analyze security --offline=true "$unit" 2>/dev/null \
             | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
  [ -n "$exposure" ] || fail "no exposure rating for $name.service"
  awk -v e="$exposure" 'BEGIN { exit !(e < 1.0) }' || fail "$name.service is exposed: $exposure"
done
grep -qx 'Conflicts=quadserv.socket' "$units/clockpage.socket" || fail "clockpage.socket does not conflict with quadserv.socket"
echo "ok"
