#!/usr/bin/env bash
# hardening.sh - the built programs and libportkit carry the hardening Debian
# gives its packages: full RELRO and PIE, and, as their debug information
# shows, every unit compiled with a strong stack protector and, but in the
# sanitized build, which leaves it out, with glibc's _FORTIFY_SOURCE wrappers.
. "$(dirname "$0")/common.sh"
needprograms "${programs[@]}"
need readelf
files=("${programs[@]/#/$build/bin/}" "$build"/lib/libportkit.so.*.*.*)

echo "full RELRO and PIE"
hardenedelf "${files[@]}"

echo "compiler options, from the debug information"
for f in "${files[@]}"; do
  info=$(readelf --debug-dump=info "$f" 2>/dev/null)
  if ! grep -q DW_AT_producer <<<"$info"; then
    echo "$(basename "$f") has no debug information (a build without -g): options not checked"
    continue
  fi
  # Each unit's options, if its source is ours: a sanitized program also holds
  # a unit of the sanitizer's own runtime.
  producers=$(awk -v src="$src/" '{ v = $0; sub(/^[^:]*: (\([^)]*\): )?/, "", v) }
    /DW_AT_producer/ { p = v; next }
    /DW_AT_name/ && p != "" { if (index(v, src) == 1) print p; p = "" }' <<<"$info")
  [ -n "$producers" ] || fail "$f has no unit of this source in its debug information"
  unguarded=$(grep -v -e '-fstack-protector-strong' <<<"$producers" || true)
  [ -z "$unguarded" ] || fail "$f has units built without -fstack-protector-strong: $unguarded"
  # glibc's checked wrappers live in headers included only under
  # _FORTIFY_SOURCE: bits/stdio2.h, bits/socket2.h, bits/string_fortified.h...
  if [ "$sanitized" = 0 ]; then
    grep -Eq '(^|[^a-z_])[a-z_]+(2|_fortified)\.h' <<<"$(readelf --debug-dump=rawline "$f" 2>/dev/null)" \
      || fail "$f was built without _FORTIFY_SOURCE"
  fi
done
echo "ok"
