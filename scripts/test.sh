#!/usr/bin/env bash
# test.sh - sets up a fresh machine, then builds and runs every test twice:
# a normal build and an AddressSanitizer/UndefinedBehaviorSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
jobs=$(nproc)

# Most cases spend their time waiting on clients and timers, not on the
# processor: twice as many run at once as there are processors.
run_suite() { # build-dir, extra cmake args...
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j $((jobs * 2)) --timeout 300
}

echo "== build and tests =="
run_suite build
echo "== build and tests under AddressSanitizer and UndefinedBehaviorSanitizer =="
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DSUITE_SANITIZE=ON -DSUITE_BENCH=OFF
