#!/usr/bin/env bash
# prefix.sh - installs into a temporary prefix and uses what it finds there:
# quadserv run without LD_LIBRARY_PATH, the library from another project through
# pkg-config and through find_package, and a DESTDIR install.
. "$(dirname "$0")/common.sh"
needprograms quadserv
need socat pkg-config
prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

echo "layout"
for f in bin/quadserv include/portkit.h lib/libportkit.so lib/pkgconfig/portkit.pc \
         lib/cmake/portkit/portkitConfig.cmake lib/cmake/portkit/portkitConfigVersion.cmake \
         share/man/man8/quadserv.8 share/man/man3/satop.3 lib/systemd/system/quadserv.service; do
  [ -e "$prefix/$f" ] || fail "$f is not installed"
done
soname=$(objdump -p "$prefix/lib/libportkit.so" | awk '$1 == "SONAME" { print $2 }')
same "$soname" libportkit.so.1
[ -e "$prefix/lib/$soname" ] || fail "$soname is not installed"

echo "quadserv from the prefix, without LD_LIBRARY_PATH"
quadechoes TCP "$prefix/lib" "$prefix/bin/quadserv"

if [ "$sanitized" = 1 ]; then
  # The library is sanitized, so whoever links it needs the runtime too.
  export CXXFLAGS="-fsanitize=address,undefined"
  export LDFLAGS="-fsanitize=address,undefined"
fi

echo "a program built with pkg-config alone"
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig" PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig"
same "$(pkg-config --modversion portkit)" "$(suiteversion)"
# shellcheck disable=SC2046,SC2086
c++ ${CXXFLAGS:-} -o "$tmp/pcconsumer" "$src/tests/install/consumer/consumer.cpp" \
  $(pkg-config --cflags --libs portkit) ${LDFLAGS:-}
consumerruns env LD_LIBRARY_PATH="$(pkg-config --variable=libdir portkit)" "$tmp/pcconsumer"

echo "a project built with find_package(portkit)"
cmake -S "$src/tests/install/consumer" -B "$tmp/cmakeconsumer" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_FLAGS="${CXXFLAGS:-}" -DCMAKE_EXE_LINKER_FLAGS="${LDFLAGS:-}" >/dev/null
cmake --build "$tmp/cmakeconsumer" >/dev/null
consumerruns env -u LD_LIBRARY_PATH "$tmp/cmakeconsumer/consumer"
# grep -q stops reading early; with pipefail, ldd's broken pipe would fail us.
grep -q "$prefix/lib/libportkit.so.1" <<<"$(ldd "$tmp/cmakeconsumer/consumer")" \
  || fail "the find_package build does not load the installed library"

echo "DESTDIR: files under it, paths inside them without it"
final=/opt/quadserv-suite-test-$$
DESTDIR=$tmp/stage cmake --install "$build" --prefix "$final" >/dev/null
[ ! -e "$final" ] || fail "install wrote to $final itself"
staged=$tmp/stage$final
[ -x "$staged/bin/quadserv" ] || fail "quadserv is not under DESTDIR"
grep -qx "prefix=$final" "$staged/lib/pkgconfig/portkit.pc" || fail "portkit.pc names the wrong prefix"
grep -qx "ExecStart=$final/bin/quadserv" "$staged/lib/systemd/system/quadserv.service" \
  || fail "quadserv.service names the wrong program"
echo "ok"
