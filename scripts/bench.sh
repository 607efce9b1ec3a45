#!/usr/bin/env bash
# Measures the patcher against plain copies of the same bytes and writes the
# figures to bench/results.md. Not part of the tests: it takes minutes and
# wants a quiet machine.
#
#   scripts/bench.sh            (REPS=N to repeat each contender N times, default 5)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$(pwd)
REPS=${REPS:-5}

scripts/setup.sh || echo "bench: not everything could be installed; measuring what can be" >&2
cmake --preset native >/dev/null && cmake --build --preset native >/dev/null
cmake --preset win32 >/dev/null && cmake --build --preset win32 --target qpxpatch >/dev/null
# Where Wine cannot be had, the Windows build's rows say so instead.
wine=1
scripts/wine-up.sh || { wine=0; echo "bench: no Wine: the Windows build is not timed" >&2; }

bin=$root/build/native/bin
wbin=$root/build/win32/bin
W=$root/build/bench
rm -rf "$W" && mkdir -p "$W/times"

echo "== making the fixtures"
"$bin/bench_fixture" large "$W/large"
"$bin/bench_fixture" small "$W/small"
# Patches are sealed, as qpxtool writes them by default; the large case is
# also timed plain (--no-seal), the layout without the seal's check.
build() { "$bin/qpxtool" build --stub "$1" --out "$2" --manifest "$3" "${@:4}" >/dev/null; }
build "$bin/qpxpatch" "$W/large/patch" "$W/large/large.manifest"
build "$bin/qpxpatch" "$W/large/plain" "$W/large/large.manifest" --no-seal
[ "$wine" = 1 ] && build "$wbin/qpxpatch.exe" "$W/large/patch.exe" "$W/large/large.manifest"
for m in small entries loose one-entry one-loose; do build "$bin/qpxpatch" "$W/small/$m" "$W/small/$m.manifest"; done
[ "$wine" = 1 ] && build "$wbin/qpxpatch.exe" "$W/small/small.exe" "$W/small/small.manifest"

now_us() { date +%s%6N; }
# timed NAME COMMAND...: runs COMMAND with no input or output and records
# its wall time in microseconds.
timed() {
  local name=$1; shift
  local start end
  start=$(now_us)
  "$@" </dev/null >/dev/null 2>&1 || { echo "bench: '$name' failed" >&2; exit 1; }
  end=$(now_us)
  echo $((end - start)) >>"$W/times/$name"
}
# A fresh copy of the game, written out, so that no contender pays for the
# previous one's write-back.
fresh() { rm -rf "$1/work" && cp -a "$1/game" "$1/work" && sync; }
# Reads files through once, so that every contender starts with its inputs
# in the page cache: the host may drop cold pages between contenders, and a
# contender that reads them back from the disk would pay for it alone.
warm() { cat "$@" >/dev/null; }
in_work() { local dir=$1; shift; (cd "$dir/work" && "$@"); }

copy_with_cat() { for i in 0 1 2 3 4 5 6 7; do cat "$W/large/bodies/b$i.bin" >"$W/large/work/copy$i.bin"; done; }
copy_with_cp() { for i in 0 1 2 3 4 5 6 7; do cp "$W/large/bodies/b$i.bin" "$W/large/work/copy$i.bin"; done; }
cat_patch() { cat "$bin/qpxpatch" "$W"/large/bodies/b{0..7}.bin >"$W/large/catted"; }

echo "== timing, $REPS rounds, contenders interleaved"
for round in $(seq "$REPS"); do
  echo "   round $round"
  fresh "$W/large"; warm "$W/large/patch"; timed large_patch in_work "$W/large" ../patch
  fresh "$W/large"; warm "$W/large"/bodies/*; timed large_cat copy_with_cat
  fresh "$W/large"; warm "$W/large/plain"; timed large_plain in_work "$W/large" ../plain
  fresh "$W/large"; warm "$W/large"/bodies/*; timed large_cp copy_with_cp
  if [ "$wine" = 1 ]; then
    fresh "$W/large"; warm "$W/large/patch.exe"; timed large_wine in_work "$W/large" "$root/scripts/wine-run.sh" ../patch.exe
  fi
  fresh "$W/small"; timed small_patch in_work "$W/small" ../small
  if [ "$wine" = 1 ]; then fresh "$W/small"; timed small_wine in_work "$W/small" "$root/scripts/wine-run.sh" ../small.exe; fi
  rm -f "$W/large/built" "$W/large/catted"; sync
  warm "$W/large"/bodies/*; timed build_tool build "$bin/qpxpatch" "$W/large/built" "$W/large/large.manifest"
  sync
  warm "$W/large"/bodies/*; timed build_cat cat_patch
  sync
  rm -f "$W/large/built"; sync
  warm "$W/large"/bodies/*; timed build_plain build "$bin/qpxpatch" "$W/large/built" "$W/large/large.manifest" --no-seal
  sync
done

echo "== system calls and memory"
# Calls of a whole run, everything included. A run of one patch of a kind
# is subtracted from the run of all patches of that kind, which leaves the
# calls of the others with start-up and end divided out.
calls() {
  fresh "$W/small"
  (cd "$W/small/work" && strace -c -f -o "$W/strace-$1.txt" "../$1" </dev/null >/dev/null)
  awk '$NF == "total" { print $4 }' "$W/strace-$1.txt"
}
one_entry_calls=$(calls one-entry)
one_loose_calls=$(calls one-loose)
entry_calls=$(calls entries)
loose_calls=$(calls loose)
all_calls=$(calls small)

peak_kb() { /usr/bin/time -f %M -o "$W/peak.txt" "$@" </dev/null >/dev/null 2>&1; cat "$W/peak.txt"; }
fresh "$W/large"
patch_kb=$(cd "$W/large/work" && peak_kb ../patch)
fresh "$W/large"
plain_kb=$(cd "$W/large/work" && peak_kb ../plain)
build_kb=$(peak_kb "$bin/qpxtool" build --stub "$bin/qpxpatch" --out "$W/large/gib" --manifest "$W/large/gib.manifest")
build_plain_kb=$(peak_kb "$bin/qpxtool" build --stub "$bin/qpxpatch" --out "$W/large/gib" --manifest "$W/large/gib.manifest" --no-seal)
gib_size=$(stat -c %s "$W/large/gib")
rm -f "$W/large/gib"

# The patch author's workflow: diff of two game folders of over 1 GiB
# against cat reading both, and unpack against cp -r of the game folder.
bench_workflow() {
  echo "== the author's workflow: diff and unpack, $REPS rounds, contenders interleaved"
  "$bin/bench_fixture" pair "$W/pair"
  local P=$W/pair
  cat_both() { find "$P/original" "$P/modified" -type f -exec cat {} + >/dev/null; }
  for round in $(seq "$REPS"); do
    echo "   round $round"
    cat_both; timed diff_tool "$bin/qpxtool" diff "$P/original" "$P/modified" --stub "$bin/qpxpatch" --out "$P/patch"
    cat_both; timed diff_cat cat_both
    rm -rf "$P/unpacked" "$P/copied"; sync
    cat_both; timed unpack_tool "$bin/qpxtool" unpack "$P/original" "$P/unpacked"
    sync
    cat_both; timed unpack_cp cp -r "$P/original" "$P/copied"
    sync
  done
  diff_kb=$(peak_kb "$bin/qpxtool" diff "$P/original" "$P/modified" --stub "$bin/qpxpatch" --out "$P/patch")
  diff_records=$("$bin/qpxtool" list "$P/patch" | sed -n 's/^total: \([0-9]*\) records.*/\1/p')
  pair_mib=$(( $(du -sb "$P/original" | cut -f1) / 1048576 ))
  rm -rf "$P"
}
bench_workflow

# min and median of a series, in seconds
stats() { sort -n "$W/times/$1" | awk '{ v[NR] = $1 } END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.3f %.3f", v[1] / 1e6, m / 1e6 }'; }
median() { stats "$1" | cut -d' ' -f2; }
# The ratio of two contenders timed in the same rounds: the median of the
# rounds' ratios, with their least and greatest, "1.02 (0.98–1.10)".
ratio() {
  paste "$W/times/$1" "$W/times/$2" | awk '{ print $1 / $2 }' | sort -g |
    awk '{ v[NR] = $1 } END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.2f (%.2f–%.2f)", m, v[1], v[NR] }'
}
# The ratio of two contenders' best runs: minimum over minimum.
best() { awk -v a="$(stats "$1" | cut -d' ' -f1)" -v b="$(stats "$2" | cut -d' ' -f1)" 'BEGIN { printf "%.2f", a / b }'; }
per() { awk -v a="$1" -v b="$2" -v n="$3" 'BEGIN { printf "%.2f", (a - b) / n }'; }
row() {
  if [ ! -s "$W/times/$2" ]; then printf '| %s | not measured (no Wine) | |\n' "$1"; return; fi
  read -r lo med <<<"$(stats "$2")"; printf '| %s | %s | %s |\n' "$1" "$lo" "$med"
}

body_mib=$(( $(stat -c %s "$W/large/bodies/b0.bin") / 1048576 ))
{
  echo "# Benchmark results"
  echo
  echo "Measured by \`scripts/bench.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'), $REPS rounds, contenders interleaved."
  echo "Machine: $(nproc) cores ($(lscpu | sed -n 's/^Model name: *//p' | head -1)), $(free -g | awk '/^Mem/ {print $2}') GiB,"
  echo "Linux $(uname -r), $(gcc -dumpfullversion 2>/dev/null || true) (g++), Wine $(wine --version 2>/dev/null | sed 's/wine-//' || true)."
  echo
  echo "## Wall time (seconds)"
  echo
  echo "| contender | minimum | median |"
  echo "|---|---:|---:|"
  row "Large bodies: sealed patch, native (8 × $body_mib MiB: 4 appended, 2 in place, 2 loose)" large_patch
  row "Large bodies: plain patch (\`--no-seal\`), native" large_plain
  row "Large bodies: \`cat\` of the same bodies into the game folder" large_cat
  row "Large bodies: \`cp\` of the same bodies into the game folder" large_cp
  row "Large bodies: patcher, Windows build under Wine" large_wine
  row "Many small patches: patcher, native (2,715 bodies of 1 to 4,000 bytes)" small_patch
  row "Many small patches: patcher, Windows build under Wine" small_wine
  row "\`qpxtool build\` of the large case, sealed" build_tool
  row "\`qpxtool build --no-seal\` of the large case" build_plain
  row "\`cat stub bodies... > out\`" build_cat
  echo
  echo "## Figures"
  echo
  echo "A ratio is the median of the rounds' ratios (each round times both contenders back to back), with the least and the greatest in brackets."
  echo
  echo "| figure | value | goal |"
  echo "|---|---:|---:|"
  echo "| large bodies: sealed patch ÷ \`cat\` | $(ratio large_patch large_cat) | ≤ 1.5 |"
  echo "| large bodies: plain patch ÷ \`cat\` | $(ratio large_plain large_cat) | ≤ 1.25 |"
  echo "| large bodies: sealed patch ÷ \`cat\`, best runs (minimum ÷ minimum) | $(best large_patch large_cat) | ≤ 1.2 |"
  echo "| large bodies: plain patch ÷ \`cat\`, best runs | $(best large_plain large_cat) | |"
  echo "| large bodies: sealed ÷ plain patch | $(ratio large_patch large_plain) | |"
  echo "| large bodies: patcher ÷ \`cp\` | $(ratio large_patch large_cp) | |"
  if [ "$wine" = 1 ]; then echo "| large bodies: Wine ÷ native | $(ratio large_wine large_patch) | |"; fi
  echo "| system calls per entry patch (start-up divided out) | $(per "$entry_calls" "$one_entry_calls" 1206) | ≤ 10 |"
  echo "| system calls per loose-file patch (start-up divided out; its open checks the type and clears O_NONBLOCK) | $(per "$loose_calls" "$one_loose_calls" 1507) | ≤ 13 |"
  echo "| system calls of a whole run of all 2,715 patches | $all_calls | |"
  echo "| system calls of a whole run of one entry patch | $one_entry_calls | |"
  echo "| peak memory of the patcher, large case, sealed | $((patch_kb / 1024)) MiB | ≤ $((body_mib + 8)) MiB |"
  echo "| peak memory of the patcher, large case, plain | $((plain_kb / 1024)) MiB | ≤ $((body_mib + 8)) MiB |"
  echo "| peak memory of \`qpxtool build\`, $((gib_size / 1048576)) MiB patch, sealed | $((build_kb / 1024)) MiB | ≤ 16 MiB |"
  echo "| peak memory of \`qpxtool build --no-seal\`, same patch | $((build_plain_kb / 1024)) MiB | ≤ 16 MiB |"
  echo "| \`qpxtool build\`, sealed, ÷ \`cat\` | $(ratio build_tool build_cat) | ≤ 1.15 |"
  echo "| \`qpxtool build --no-seal\` ÷ \`cat\` | $(ratio build_plain build_cat) | ≤ 1.10 |"
} >"$W/results.md"

{
  echo
  echo "## The patch author's workflow"
  echo
  echo "Two game folders of $pair_mib MiB each; $diff_records of their 2,715 resources differ."
  echo
  echo "| contender | minimum | median |"
  echo "|---|---:|---:|"
  row "\`qpxtool diff\` of the two folders" diff_tool
  row "\`cat\` of every file of both folders to /dev/null" diff_cat
  row "\`qpxtool unpack\` of one folder" unpack_tool
  row "\`cp -r\` of the same folder" unpack_cp
  echo
  echo "| figure | value | goal |"
  echo "|---|---:|---:|"
  echo "| \`qpxtool diff\` ÷ \`cat\` | $(ratio diff_tool diff_cat) | ≤ 1.5 |"
  echo "| \`qpxtool diff\` ÷ \`cat\`, best runs | $(best diff_tool diff_cat) | |"
  echo "| peak memory of \`qpxtool diff\` | $((diff_kb / 1024)) MiB | ≤ 64 MiB |"
  echo "| \`qpxtool unpack\` ÷ \`cp -r\` | $(ratio unpack_tool unpack_cp) | ≤ 1.5 |"
  echo "| \`qpxtool unpack\` ÷ \`cp -r\`, best runs | $(best unpack_tool unpack_cp) | |"
} >>"$W/results.md"

cp "$W/results.md" bench/results.md
cat bench/results.md
