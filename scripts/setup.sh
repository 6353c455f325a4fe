#!/usr/bin/env bash
# setup.sh - installs what building, the demonstration and the tests need on a
# fresh Debian machine, and only what is missing. Safe to run again.
#   scripts/setup.sh          everything the tests need
#   scripts/setup.sh --demo   only what the demonstration needs
set -euo pipefail

demo_only=0
[ "${1:-}" = "--demo" ] && demo_only=1

# command -> Debian package
need=(cmake:cmake g++:g++ make:make curl:curl socat:socat rdate:rdate nc:netcat-openbsd
      getent:libc-bin)
[ -e /etc/services ] || need+=(services-file:netbase)
[ -e /usr/include/gtest/gtest.h ] || need+=(gtest-header:libgtest-dev)
if [ "$demo_only" = 0 ]; then
  need+=(chromium:chromium mandoc:mandoc gnuplot:gnuplot-nox clang++:clang
         setpriv:util-linux prlimit:util-linux pkg-config:pkg-config
         systemd-analyze:systemd dpkg-deb:dpkg dpkg-shlibdeps:dpkg-dev locale-gen:locales)
  compgen -G '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null \
    || need+=(fuzzer-runtime:libclang-rt-14-dev)
fi

missing=()
for pair in "${need[@]}"; do
  cmd=${pair%%:*} pkg=${pair#*:}
  case "$cmd" in
    services-file|gtest-header|fuzzer-runtime) missing+=("$pkg") ;;
    *) command -v "$cmd" >/dev/null 2>&1 || missing+=("$pkg") ;;
  esac
done

if [ "${#missing[@]}" -gt 0 ]; then
  sudo=""
  [ "$(id -u)" = 0 ] || sudo="sudo"
  echo "setup: installing ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    $(printf '%s\n' "${missing[@]}" | sort -u) >/dev/null
fi

# Locales of other languages for the page servers' date tests.
if [ "$demo_only" = 0 ]; then
  wanted=(de_DE.UTF-8 fr_FR.UTF-8)
  have=$(locale -a 2>/dev/null | tr 'A-Z' 'a-z' | sed 's/utf-8/utf8/')
  gen=0
  for l in "${wanted[@]}"; do
    norm=$(echo "$l" | tr 'A-Z' 'a-z' | sed 's/utf-8/utf8/')
    if ! grep -qx "$norm" <<<"$have"; then
      sudo=""
      [ "$(id -u)" = 0 ] || sudo="sudo"
      grep -q "^$l UTF-8" /etc/locale.gen 2>/dev/null \
        || echo "$l UTF-8" | $sudo tee -a /etc/locale.gen >/dev/null
      gen=1
    fi
  done
  if [ "$gen" = 1 ]; then
    echo "setup: generating locales ${wanted[*]}"
    $sudo locale-gen >/dev/null
  fi
fi
exit 0
