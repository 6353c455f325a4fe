#!/usr/bin/env bash
# deb.sh - cpack builds the Debian package; its contents, extracted into a
# temporary root, run and talk on loopback.
. "$(dirname "$0")/common.sh"
needprograms quadserv datepage greetlocal
need cpack dpkg-deb curl socat

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1 \
  || fail "cpack: $(cat "$tmp/cpack.log")"
debs=("$tmp"/pkg/*.deb)
[ ${#debs[@]} = 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no .deb"
deb=${debs[0]}

echo "control fields"
field() { dpkg-deb -f "$deb" "$1"; }
same "$(field Package)" quadserv-suite
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Description)" ] || fail "no Description"
grep -q 'libc6' <<<"$(field Depends)" || fail "Depends does not name libc6: $(field Depends)"

echo "contents"
root=$tmp/root
dpkg-deb -x "$deb" "$root"
for f in usr/bin/quadserv usr/bin/greetlocal usr/include/portkit.h usr/lib/pkgconfig/portkit.pc \
         usr/lib/systemd/system/quadserv.service usr/share/man/man8/quadserv.8; do
  [ -e "$root/$f" ] || fail "$f is not in the package"
done
[ "$(find "$root/usr/bin" -type f | wc -l)" = 13 ] || fail "the package does not hold the thirteen programs"
grep -qx "ExecStart=/usr/bin/quadserv" "$root/usr/lib/systemd/system/quadserv.service" \
  || fail "the packaged unit does not start /usr/bin/quadserv"
grep -qx "prefix=/usr" "$root/usr/lib/pkgconfig/portkit.pc" || fail "the packaged portkit.pc is not for /usr"
if grep -rqs --binary-files=text -e "$build" -e "$tmp" "$root"; then
  fail "the package names a build or staging path"
fi

echo "programs from the extracted root"
same "$(env -u LD_LIBRARY_PATH "$root/usr/bin/greetlocal")" "Hello World!"

base=$(freebase 7 13 19 37) || fail "no free port base"
serve $((base + 37)) udp "$root/usr/bin/quadserv" "$base"
same "$(loadedfrom "$served")" "$root/usr/lib/libportkit.so.1.0.0"
same "$(echo 'packaged echo' | timeout 10 socat -t 2 - UDP:127.0.0.1:$((base + 7)))" "packaged echo"

port=$(freebase) || fail "no free port"
serve "$port" tcp "$root/usr/bin/datepage" "$port"
page=$(curl -sS --max-time 10 "http://127.0.0.1:$port/")
[[ $page == "Local daytime is: "?* ]] || fail "datepage answered [$page]"
echo "ok"
