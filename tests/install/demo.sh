#!/usr/bin/env bash
# demo.sh - the README's demonstration runs against this build, passes, and
# shows every one of the thirteen programs at work.
. "$(dirname "$0")/common.sh"
programs=(quadserv datepage clockpage greetpage streamgreetsrv streamgreetsrv6 dgramgreetsrv
          dgramgreetsrv6 streamgreetcli streamgreetcli6 dgramgreetcli dgramgreetcli6 greetlocal)
needprograms "${programs[@]}"
need socat nc curl rdate stdbuf

status=0
DEMO_BUILD_DIR=$build "$src/scripts/demo.sh" >"$tmp/transcript" 2>&1 || status=$?
cat "$tmp/transcript"
[ $status = 0 ] || fail "the demonstration ended with status $status"
for p in "${programs[@]}"; do
  grep -q "^\$ $p\b" "$tmp/transcript" || fail "the demonstration does not run $p"
done
grep -q '^demo: all [0-9]* exchanges answered as expected\.$' "$tmp/transcript" \
  || fail "the demonstration does not end in its summary"
echo "ok"
