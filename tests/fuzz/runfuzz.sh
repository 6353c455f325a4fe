#!/bin/sh
# runfuzz.sh - builds one libFuzzer target with clang++ and runs it for a bounded time.
#   runfuzz.sh CLANGXX SRCROOT TARGET SECONDS WORKDIR
# Exit 77 (skipped) when clang++ or its fuzzer runtime is missing.
set -eu
cxx=$1 root=$2 target=$3 seconds=$4 work=$5

if ! command -v "$cxx" >/dev/null 2>&1; then
  echo "SKIPPED: $cxx not found (scripts/setup.sh installs clang)"
  exit 77
fi
mkdir -p "$work/$target.new" "$work/$target.crash"
exe=$work/$target
[ "$target" = pkport_fuzz ] || [ "$target" = satop_fuzz ] || { echo "unknown target $target"; exit 2; }

if ! "$cxx" -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
     -I"$root/socklib" "$root/tests/fuzz/$target.cpp" "$root/socklib/portkit.cpp" \
     -o "$exe" 2>"$work/$target.build.log"; then
  cat "$work/$target.build.log"
  if grep -q 'libclang_rt.fuzzer' "$work/$target.build.log"; then
    echo "SKIPPED: the libFuzzer runtime is missing (scripts/setup.sh installs libclang-rt-14-dev)"
    exit 77
  fi
  exit 1
fi

# New inputs go to a scratch folder; the committed corpus stays as it is.
corpus=$root/tests/fuzz/corpus/${target%_fuzz}
set +e
"$exe" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=1024 -print_final_stats=1 \
  -artifact_prefix="$work/$target.crash/" "$work/$target.new" "$corpus" >"$work/$target.log" 2>&1
status=$?
set -e
tail -n 25 "$work/$target.log"
for f in "$work/$target.crash"/*; do
  [ -e "$f" ] || continue
  echo "crash input kept at $f: add it to tests/fuzz/regressions/${target%_fuzz}/"
  status=1
done
exit $status
