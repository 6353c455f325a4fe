#!/usr/bin/env bash
# docs.sh - README's by-hand blocks and the man pages' examples, run as
# written, each in a network namespace of its own, print what the documents
# show next to them.
#   README: each ```sh block, then the ```text block after it (its output;
#     "..." stands for any text).
#   docs/*.[18]: the EXAMPLES of each page, as mandoc renders them, as one
#     script: "$ " lines are run, the display lines after one are its output
#     (empty lines, which a display cannot tell from a paragraph's end, are
#     not compared); "# " lines need root and a live systemd (the standard
#     ports, systemctl) and are left out, each with a note, and so are the
#     lines after one until the next "$ " line (its input or output).
# Commands run in a scratch folder where build/ is the build under test and
# scripts/ the source's, and with the build's programs first on PATH.
. "$(dirname "$0")/common.sh"
need socat nc curl mandoc unshare ip timeout
[ -x /usr/sbin/rdate ] || skip "rdate is not installed"
grep -qix 'ru_RU\.utf-\?8' <<<"$(locale -a 2>/dev/null)" || skip "the locale ru_RU.UTF-8 is not installed"
needprograms "${programs[@]}"
src=$(cd "$src" && pwd) build=$(cd "$build" && pwd)
"${ns[@]}" true 2>/dev/null || skip "network namespaces are not allowed here"

# run NAME SCRIPT: runs SCRIPT by bash in a fresh folder and network, stops
# what it left running, and sets $got to its output without carriage returns.
# timeout ends the whole process group should the script hang.
run() {
  local dir=$tmp/run/$1
  mkdir -p "$dir"
  ln -s "$build" "$dir/build"
  ln -s "$src/scripts" "$dir/scripts"
  got=$(cd "$dir" && PATH="$build/bin:$PATH" timeout -k 5 60 "${ns[@]}" bash -c \
    "ip link set lo up || exit 1
$2
kill \$(jobs -p) 2>/dev/null; wait" 2>&1 | tr -d '\r') || true
}

# check NAME WANTFILE: $got matches the shown output line by line.
check() {
  local want line pat i=0 ok=1
  mapfile -t want <"$2"
  mapfile -t lines <<<"$got"
  [ -n "$got" ] || lines=()
  [ ${#lines[@]} = ${#want[@]} ] || ok=0
  for line in "${want[@]}"; do
    [ $ok = 1 ] || break
    # Glob characters stand for themselves; only "..." is a wildcard.
    pat=$(printf '%s' "$line" | sed -e 's/[][*?\\]/\\&/g' -e 's/\.\.\./*/g')
    # shellcheck disable=SC2053
    [[ ${lines[i]} == $pat ]] || ok=0
    i=$((i + 1))
  done
  [ $ok = 1 ] && { echo "ok: $1"; return; }
  printf 'FAIL: %s printed\n%s\n-- where the document shows\n' "$1" "$got"
  cat "$2"
  failed=$((failed + 1))
}

failed=0
mkdir -p "$tmp/blocks"
awk -v dir="$tmp/blocks" '
  mode == "" && /^```sh$/ { n++; mode = "sh"; file = sprintf("%s/%02d.sh", dir, n); printf "" >file; next }
  mode == "" && /^```text$/ && after { mode = "out"; file = sprintf("%s/%02d.want", dir, n); printf "" >file; next }
  mode != "" && /^```$/ { after = (mode == "sh"); mode = ""; next }
  mode != "" { print >file; next }
  NF { after = 0 }
' "$src/README.md"
blocks=("$tmp"/blocks/*.sh)
[ -e "${blocks[0]}" ] || fail "README has no sh block to run"
for b in "${blocks[@]}"; do
  name="README block $(basename "$b" .sh): $(head -n 1 "$b")"
  [ -e "${b%.sh}.want" ] || fail "$name: no text block of its output follows it"
  run "readme$(basename "$b" .sh)" "$(cat "$b")"
  check "$name" "${b%.sh}.want"
done

for page in "$src"/docs/*.[18]; do
  name=$(basename "$page")
  # The page as a reader sees it: display lines are indented further than prose.
  mandoc -Tascii -O width=300 "$page" | sed 's/.\x08//g' \
    | awk '/^[A-Z]/ { ex = ($0 == "EXAMPLES"); next } ex && /^           / { sub(/^           /, ""); print }' \
    >"$tmp/$name.lines"
  : >"$tmp/$name.sh"
  : >"$tmp/$name.want"
  root=0
  while IFS= read -r line; do
    case $line in
      '$ '*) root=0; printf '%s\n' "${line#\$ }" >>"$tmp/$name.sh" ;;
      '# '*) root=1; echo "$name: left out, needs root and systemd: ${line#\# }" ;;
      *) [ $root = 1 ] && continue
         [ -s "$tmp/$name.sh" ] || fail "$name: output shown before any command: $line"
         printf '%s\n' "$line" >>"$tmp/$name.want" ;;
    esac
  done <"$tmp/$name.lines"
  [ -s "$tmp/$name.sh" ] || fail "$name has no examples to run"
  run "$name" "$(cat "$tmp/$name.sh")"
  got=$(sed '/^$/d' <<<"$got")
  check "$name EXAMPLES" "$tmp/$name.want"
done
echo "portkit.3: left out, its example is a C program built against an installed library (see prefix.sh)"

[ $failed = 0 ] || fail "$failed documents print other than they show"
echo "ok"
