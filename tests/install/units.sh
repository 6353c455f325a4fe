#!/usr/bin/env bash
# units.sh - the systemd units of an installed prefix verify, start the
# installed program, and keep their hardening.
. "$(dirname "$0")/common.sh"
needprograms quadserv datepage clockpage
need systemd-analyze
prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
units=$prefix/lib/systemd/system

for name in quadserv datepage clockpage; do
  unit=$units/$name.service
  [ -f "$unit" ] || fail "$name.service is not installed"
  grep -qx "ExecStart=$prefix/bin/$name" "$unit" || fail "$name.service does not start $prefix/bin/$name"
  # verify also checks that ExecStart exists and that the man page it names is found.
  MANPATH=$prefix/share/man systemd-analyze verify "$unit" || fail "$name.service does not verify"
  for line in DynamicUser=yes AmbientCapabilities=CAP_NET_BIND_SERVICE \
              CapabilityBoundingSet=CAP_NET_BIND_SERVICE NoNewPrivileges=yes \
              ProtectSystem=strict ProtectHome=yes PrivateTmp=yes \
              "RestrictAddressFamilies=AF_INET AF_INET6"; do
    grep -qx "$line" "$unit" || fail "$name.service lacks $line"
  done
  # systemd's own rating of the sandbox: 0 is the tightest, 10 none at all.
  exposure=$(systemd-analyze security --offline=true "$unit" 2>/dev/null \
             | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
  [ -n "$exposure" ] || fail "no exposure rating for $name.service"
  awk -v e="$exposure" 'BEGIN { exit !(e <= 2.5) }' || fail "$name.service is exposed: $exposure"
done
echo "ok"
