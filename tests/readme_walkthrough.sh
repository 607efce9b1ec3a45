#!/usr/bin/env bash
# Runs the README's walkthrough ("### Making a patch") as a reader would,
# with the programs of BIN_DIR first on the PATH, in a scratch folder, and
# compares what each command prints with what the README shows under it. A
# line "..." (indented or not) in the README stands for any number of lines.
#   readme_walkthrough.sh BIN_DIR [README]
set -uo pipefail
bin=$(cd "$1" && pwd)
readme=$(realpath "${2:-$(dirname "${BASH_SOURCE[0]}")/../README.md}")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The block: from the first fence after the heading to the next fence.
awk '/^### Making a patch/ { heading = 1; next }
     heading && /^```/ { if (inside) exit; inside = 1; next }
     inside { print }' "$readme" >"$scratch/block"
[ -s "$scratch/block" ] || { echo "FAILED: no walkthrough block in $readme"; exit 1; }

# Whether the lines of file $2 match the pattern lines of file $1 ("..." any
# number of lines); blank lines and trailing blanks count for nothing.
matches() {
  local -a want got
  mapfile -t want < <(sed 's/[[:space:]]*$//' "$1" | grep -v '^$')
  mapfile -t got < <(sed 's/[[:space:]]*$//' "$2" | grep -v '^$')
  local w=0 g=0 star=-1 mark=0
  while [ "$g" -lt "${#got[@]}" ]; do
    if [ "$w" -lt "${#want[@]}" ] && [[ "${want[w]}" =~ ^[[:space:]]*\.\.\.$ ]]; then
      star=$w; mark=$g; w=$((w + 1))
    elif [ "$w" -lt "${#want[@]}" ] && [ "${want[w]}" = "${got[g]}" ]; then
      w=$((w + 1)); g=$((g + 1))
    elif [ "$star" -ge 0 ]; then
      w=$((star + 1)); mark=$((mark + 1)); g=$mark
    else
      return 1
    fi
  done
  while [ "$w" -lt "${#want[@]}" ] && [[ "${want[w]}" =~ ^[[:space:]]*\.\.\.$ ]]; do w=$((w + 1)); done
  [ "$w" -eq "${#want[@]}" ]
}

failures=0 commands=0
run() {  # the command, and its expected output in $scratch/want
  commands=$((commands + 1))
  (cd "$scratch/work" && PATH="$bin:$PATH" bash -c "$1" </dev/null >"$scratch/got" 2>&1)
  if matches "$scratch/want" "$scratch/got"; then
    echo "ok: \$ $1"
  else
    echo "FAILED: \$ $1"
    echo "  the README shows:"; sed 's/^/    /' "$scratch/want"
    echo "  it printed:"; sed 's/^/    /' "$scratch/got"
    failures=$((failures + 1))
  fi
}

mkdir "$scratch/work"
command=""
: >"$scratch/want"
while IFS= read -r line; do
  if [[ "$line" == '$ '* ]]; then
    [ -n "$command" ] && run "$command"
    command=${line#\$ }
    : >"$scratch/want"
  else
    printf '%s\n' "$line" >>"$scratch/want"
  fi
done <"$scratch/block"
[ -n "$command" ] && run "$command"

if [ "$failures" -ne 0 ]; then echo "$failures of $commands walkthrough command(s) printed other than the README shows"; exit 1; fi
echo "the walkthrough's $commands commands print what the README shows"
