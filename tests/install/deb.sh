#!/usr/bin/env bash
# deb.sh - dpkg-buildpackage makes the three Debian packages from a copy of the
# source; lintian finds no error or warning and no hardening tag, every compile
# and link had Debian's hardening flags (blhc), every packaged ELF file is
# hardened and names no RUNPATH, and the packaged programs, extracted into a
# temporary root, run and talk on loopback.
. "$(dirname "$0")/common.sh"
need dpkg-buildpackage dpkg-checkbuilddeps dpkg-parsechangelog dpkg-deb lintian blhc readelf \
     pkg-config c++ curl socat
unmet=$(cd "$src" && dpkg-checkbuilddeps 2>&1) || skip "build dependencies missing: ${unmet##*: }"

# Never in the checkout itself: other tests run from it meanwhile. Build trees
# inside it stay out.
copy=$tmp/src
mkdir -p "$copy"
if git -C "$src" rev-parse --show-toplevel >/dev/null 2>&1; then
  git -C "$src" ls-files -z | (cd "$src" && tar --null --ignore-failed-read -T - -cf - 2>/dev/null) \
    | tar -xf - -C "$copy"
else
  tar -C "$src" --exclude-vcs --exclude-tag-all=CMakeCache.txt -cf - . | tar -xf - -C "$copy"
fi

echo "dpkg-buildpackage"
(cd "$copy" && DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" dpkg-buildpackage -us -uc -b) >"$tmp/build.log" 2>&1 \
  || fail "dpkg-buildpackage: $(tail -n 20 "$tmp/build.log")"
! grep -E '^[^ ]+:[0-9]+:([0-9]+:)? warning: ' "$tmp/build.log" || fail "the package build warns"
version=$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version)
same "$version" "$(suiteversion)"
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
deb() { echo "$tmp/${1}_${version}_$arch.deb"; }
for p in quadserv-suite libportkit1 libportkit-dev; do
  [ -f "$(deb $p)" ] || fail "no package $p"
done

echo "lintian"
status=0
lintian -I --fail-on error,warning "$tmp"/*.changes >"$tmp/lintian.out" 2>"$tmp/lintian.err" || status=$?
[ $status = 0 ] || [ $status = 2 ] || fail "lintian could not run: $(cat "$tmp/lintian.err")"
if grep -E '^[EW]: |hardening' "$tmp/lintian.out"; then
  fail "lintian objects to the packages"
fi
blhc --all "$tmp/build.log" || fail "a compile or link went without Debian's hardening flags"

echo "contents"
# holds PACKAGE PATH...: each path is in that package.
holds() {
  local list f
  list=$(dpkg-deb -c "$(deb "$1")" | awk '{ print $6 }')
  shift
  for f in "$@"; do
    grep -qx "\./$f" <<<"$list" || fail "$f is not in the package"
  done
}
ma=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
holds quadserv-suite usr/bin/quadserv usr/bin/greetlocal lib/systemd/system/quadserv.service \
  lib/systemd/system/quadserv.socket lib/systemd/system/clockpage.socket \
  usr/share/man/man8/quadserv.8.gz usr/share/man/man1/dgramgreetcli6.1.gz
holds libportkit1 "usr/lib/$ma/libportkit.so.1"
holds libportkit-dev usr/include/portkit.h "usr/lib/$ma/libportkit.so" "usr/lib/$ma/pkgconfig/portkit.pc" \
  "usr/lib/$ma/cmake/portkit/portkitConfig.cmake" usr/share/man/man3/passiveTCP.3.gz
grep -q 'netbase' <<<"$(dpkg-deb -f "$(deb quadserv-suite)" Depends)" || fail "quadserv-suite does not depend on netbase"
dpkg-deb -I "$(deb libportkit1)" symbols >/dev/null || fail "libportkit1 has no symbols file"
root=$tmp/root
for p in quadserv-suite libportkit1 libportkit-dev; do dpkg-deb -x "$(deb "$p")" "$root"; done
[ "$(find "$root/usr/bin" -type f | wc -l)" = ${#programs[@]} ] || fail "the package does not hold the thirteen programs"
grep -qx "ExecStart=/usr/bin/quadserv" "$root/lib/systemd/system/quadserv.service" \
  || fail "the packaged unit does not start /usr/bin/quadserv"
if grep -rqs --binary-files=text -e "$tmp" "$root"; then
  fail "the packages name the build folder"
fi

echo "every ELF file hardened, without RUNPATH"
elves=("$root"/usr/bin/* "$root/usr/lib/$ma"/libportkit.so.*.*.*)
hardenedelf "${elves[@]}"
for f in "${elves[@]}"; do
  ! grep -Eq 'R(UN)?PATH' <<<"$(readelf -dW "$f")" || fail "$f names a RUNPATH"
done

echo "programs from the extracted root"
libdir=$root/usr/lib/$ma
same "$("$root/usr/bin/greetlocal")" "Hello World!"

quadechoes UDP "$libdir" env LD_LIBRARY_PATH="$libdir" "$root/usr/bin/quadserv"

port=$(freebase) || fail "no free port"
serve "$port" tcp env LD_LIBRARY_PATH="$libdir" "$root/usr/bin/datepage" "$port"
page=$(curl -sS --max-time 10 "http://127.0.0.1:$port/")
[[ $page == "Local daytime is: "?* ]] || fail "datepage answered [$page]"

echo "a program built against libportkit-dev"
export PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_LIBDIR=$libdir/pkgconfig
# shellcheck disable=SC2046
c++ -o "$tmp/consumer" "$src/tests/install/consumer/consumer.cpp" $(pkg-config --cflags --libs portkit)
consumerruns env LD_LIBRARY_PATH="$libdir" "$tmp/consumer"
echo "ok"
