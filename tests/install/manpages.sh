#!/usr/bin/env bash
# manpages.sh - every man page lint-clean, every documented name installed as a
# page or a link, and each page carrying the sections a reader looks for.
. "$(dirname "$0")/common.sh"
need mandoc

pages=("$src"/docs/*.[0-9])
[ ${#pages[@]} -ge 5 ] || fail "man pages are missing"
for page in "${pages[@]}"; do
  # Cross references may name pages this host lacks; everything else counts.
  out=$(mandoc -Tlint "$page" 2>&1 | grep -v -e 'referenced manual not found' -e 'mandoc.db' || true)
  [ -z "$out" ] || fail "$(basename "$page"): $out"
  if command -v groff >/dev/null; then
    out=$(groff -ww -z -mandoc "$page" 2>&1 || true)
    [ -z "$out" ] || fail "$(basename "$page") under groff: $out"
  fi
  for section in NAME SYNOPSIS DESCRIPTION EXAMPLES DIAGNOSTICS CAVEATS; do
    case "$(basename "$page"):$section" in greetlocal.1:DIAGNOSTICS) continue ;; esac
    grep -qx "\.Sh $section" "$page" || fail "$(basename "$page") has no $section"
  done
done

prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
man=$prefix/share/man
for name in quadserv.8 datepage.8 clockpage.8 greetpage.8 greetlocal.1 \
            streamgreetsrv.1 streamgreetsrv6.1 dgramgreetsrv.1 dgramgreetsrv6.1 \
            streamgreetcli.1 streamgreetcli6.1 dgramgreetcli.1 dgramgreetcli6.1 \
            portkit.3 passiveTCP.3 passiveUDP.3 passivehanded.3 passiveoffered.3 passiveready.3 \
            satop.3 portbase.3; do
  file=$man/man${name##*.}/$name
  [ -e "$file" ] || fail "$name is not installed"
  # A link's name is one the page itself lists.
  [ ! -L "$file" ] || grep -qx "\.Nm ${name%.*}\( ,\)\?" "$file" || fail "$name leads to a page that does not name it"
done
echo "ok"
