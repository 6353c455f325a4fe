#!/usr/bin/env bash
# setup.sh - installs the Debian packages that building, the demonstration,
# the tests or the benchmark need, and only those missing. Safe to run again;
# needs root (or sudo) only when something is missing.
#   scripts/setup.sh          everything the tests need
#   scripts/setup.sh --demo   only what the demonstration needs
#   scripts/setup.sh --bench  what the benchmark needs
set -euo pipefail

mode=${1:-tests}

# What is installed is asked of dpkg, not of PATH: an ordinary user's PATH
# has no /usr/sbin, where rdate and locale-gen live.
demo=(cmake g++ make libgtest-dev libc-bin coreutils util-linux iproute2 netbase curl socat rdate
      netcat-openbsd)
case $mode in
  --demo) want=("${demo[@]}") ;;
  --bench) want=("${demo[@]}" nginx-light gnuplot-nox) ;;
  *) want=("${demo[@]}" chromium mandoc gnuplot-nox clang pkg-config systemd dpkg tzdata
           dpkg-dev locales
           # The package test: the build dependencies, and its two checkers.
           build-essential debhelper lintian blhc)
     # Any clang version's fuzzer runtime will do.
     compgen -G '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null \
       || want+=(libclang-rt-14-dev) ;;
esac

installed() { [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]; }

# asroot CMD...: runs CMD as root, through sudo when there is one.
asroot() {
  if [ "$(id -u)" = 0 ]; then
    "$@"
  elif command -v sudo >/dev/null 2>&1; then
    sudo "$@"
  else
    echo "setup: root is needed to run: $*" >&2
    echo "setup: ask an administrator to run scripts/setup.sh $mode once" >&2
    exit 1
  fi
}

missing=()
for pkg in "${want[@]}"; do
  installed "$pkg" || missing+=("$pkg")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  asroot apt-get update -qq
  asroot env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi

# Locales of other languages for the page servers' date tests and examples.
if [ "$mode" = tests ]; then
  wanted=(de_DE.UTF-8 fr_FR.UTF-8 ru_RU.UTF-8)
  have=$(locale -a 2>/dev/null | tr 'A-Z' 'a-z' | sed 's/utf-8/utf8/')
  gen=()
  for l in "${wanted[@]}"; do
    norm=$(echo "$l" | tr 'A-Z' 'a-z' | sed 's/utf-8/utf8/')
    grep -qx "$norm" <<<"$have" || gen+=("$l")
  done
  if [ "${#gen[@]}" -gt 0 ]; then
    echo "setup: generating locales ${gen[*]}"
    for l in "${gen[@]}"; do
      grep -q "^$l UTF-8" /etc/locale.gen 2>/dev/null \
        || echo "$l UTF-8" | asroot tee -a /etc/locale.gen >/dev/null
    done
    asroot /usr/sbin/locale-gen >/dev/null
  fi
fi
exit 0
