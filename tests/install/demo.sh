#!/usr/bin/env bash
# demo.sh - the README's demonstration runs against this build, passes,
# shows every one of the thirteen programs at work, and waits for no port
# where network namespaces work.
. "$(dirname "$0")/common.sh"
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
# Where namespaces work, no server on port 5678 waits for an earlier one.
if "${ns[@]}" true 2>/dev/null && command -v ip >/dev/null; then
  [ "$(grep -c '^(in a network namespace of its own)$' "$tmp/transcript")" = 3 ] \
    || fail "the servers on port 5678 do not run in namespaces of their own"
  ! grep -q 'still held' "$tmp/transcript" || fail "the demonstration waited for port 5678"
fi
echo "ok"
