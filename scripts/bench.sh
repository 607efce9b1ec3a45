#!/usr/bin/env bash
# Measures the patcher against plain copies of the same bytes and writes the
# figures to bench/results.md. Not part of the tests: it takes minutes and
# wants a quiet machine.
#
#   scripts/bench.sh            (REPS=N to repeat each contender N times, default 5)
#   BASELINE=REV scripts/bench.sh   also times the patcher of commit REV on the
#                                   same version-2 patches, in the same rounds
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$(pwd)
REPS=${REPS:-5}

scripts/setup.sh || echo "bench: not everything could be installed; measuring what can be" >&2
# The delta tools the real update is compared with: the bench's alone.
missing=()
for p in xdelta3 bsdiff zstd xz-utils; do dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get install -y -qq "${missing[@]}" >/dev/null || echo "bench: could not install ${missing[*]}" >&2
fi
cmake --preset native >/dev/null && cmake --build --preset native >/dev/null
cmake --preset win32 >/dev/null && cmake --build --preset win32 --target qpxpatch >/dev/null
# Where Wine cannot be had, the Windows build's rows say so instead.
wine=1
scripts/wine-up.sh || { wine=0; echo "bench: no Wine: the Windows build is not timed" >&2; }

bin=$root/build/native/bin
wbin=$root/build/win32/bin
W=$root/build/bench
rm -rf "$W" && mkdir -p "$W/times"

# The patcher of an earlier commit, built from its own sources, to time
# against on the same patches: its payload format is the same.
baseline=
if [ -n "${BASELINE:-}" ]; then
  echo "== building the patcher of $BASELINE"
  rm -rf "$root/build/baseline-src" "$root/build/baseline"
  git worktree prune
  git worktree add --detach "$root/build/baseline-src" "$BASELINE" >/dev/null
  cmake -S "$root/build/baseline-src" -B "$root/build/baseline" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc -DQPX_BUILD_TESTS=OFF >/dev/null
  cmake --build "$root/build/baseline" --target qpxpatch >/dev/null
  baseline=$root/build/baseline/bin/qpxpatch
  baseline_name=$(git rev-parse --short "$BASELINE")
fi

echo "== making the fixtures"
"$bin/bench_fixture" large "$W/large"
"$bin/bench_fixture" small "$W/small"
# The large case as a sealed version-1 patch (the patcher's plain copy of
# each body after its seal check), a plain one (--no-seal: no seal to
# check) and a version-2 one (each resource checked before anything is
# written; its random bodies stay as they are).
build() { "$bin/qpxtool" build --stub "$1" --out "$2" --force --manifest "$3" "${@:4}" >/dev/null; }
build "$bin/qpxpatch" "$W/large/patch" "$W/large/large.manifest" --format 1
build "$bin/qpxpatch" "$W/large/plain" "$W/large/large.manifest" --no-seal
build "$bin/qpxpatch" "$W/large/checked" "$W/large/large.manifest"
[ -n "$baseline" ] && build "$baseline" "$W/large/checked-baseline" "$W/large/large.manifest"
[ "$wine" = 1 ] && build "$wbin/qpxpatch.exe" "$W/large/checked.exe" "$W/large/large.manifest"
[ "$wine" = 1 ] && build "$wbin/qpxpatch.exe" "$W/large/patch.exe" "$W/large/large.manifest" --format 1
for m in small entries loose one-entry one-loose; do build "$bin/qpxpatch" "$W/small/$m" "$W/small/$m.manifest" --format 1; done
build "$bin/qpxpatch" "$W/small/checked" "$W/small/small.manifest"
[ "$wine" = 1 ] && build "$wbin/qpxpatch.exe" "$W/small/small.exe" "$W/small/small.manifest" --format 1

now_us() { date +%s%6N; }
# 192646280 -> 192,646,280
grouped() { sed ':a;s/\B[0-9]\{3\}\>/,&/;ta' <<<"$1"; }
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
  fresh "$W/large"; warm "$W/large/checked"; timed large_checked in_work "$W/large" ../checked
  if [ -n "$baseline" ]; then
    fresh "$W/large"; warm "$W/large/checked-baseline"; timed large_baseline in_work "$W/large" ../checked-baseline
  fi
  # Version 1 leaves its writes in the system's cache; a sync of the game's
  # files makes them as durable as version 2 makes its own.
  fresh "$W/large"; warm "$W/large/patch"; timed large_patch_sync in_work "$W/large" sh -c '../patch && sync DATA0.QPX DATA1.QPX res/*'
  fresh "$W/large"; warm "$W/large"/bodies/*; timed large_cp copy_with_cp
  if [ "$wine" = 1 ]; then
    fresh "$W/large"; warm "$W/large/patch.exe"; timed large_wine in_work "$W/large" "$root/scripts/wine-run.sh" ../patch.exe
    fresh "$W/large"; warm "$W/large/checked.exe"; timed large_checked_wine in_work "$W/large" "$root/scripts/wine-run.sh" ../checked.exe
  fi
  fresh "$W/small"; timed small_patch in_work "$W/small" ../small
  if [ "$wine" = 1 ]; then fresh "$W/small"; timed small_wine in_work "$W/small" "$root/scripts/wine-run.sh" ../small.exe; fi
  rm -f "$W/large/built" "$W/large/catted"; sync
  warm "$W/large"/bodies/*; timed build_tool build "$bin/qpxpatch" "$W/large/built" "$W/large/large.manifest" --format 1
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
fresh "$W/large"
checked_kb=$(cd "$W/large/work" && peak_kb ../checked)
# The flushes of the version-2 run of the large case.
fresh "$W/large"
(cd "$W/large/work" && strace -f -c -e trace=fsync,fdatasync -o "$W/strace-flushes.txt" ../checked </dev/null >/dev/null)
large_flushes=$(awk '$NF == "total" { print $(NF - 1) }' "$W/strace-flushes.txt")
build_kb=$(peak_kb "$bin/qpxtool" build --stub "$bin/qpxpatch" --out "$W/large/gib" --force --manifest "$W/large/gib.manifest" --format 1)
build_plain_kb=$(peak_kb "$bin/qpxtool" build --stub "$bin/qpxpatch" --out "$W/large/gib" --force --manifest "$W/large/gib.manifest" --no-seal)
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
    cat_both; timed diff_tool "$bin/qpxtool" diff "$P/original" "$P/modified" --stub "$bin/qpxpatch" --out "$P/patch" --force --format 1
    cat_both; timed diff_cat cat_both
    cat_both; timed diff_checked "$bin/qpxtool" diff "$P/original" "$P/modified" --stub "$bin/qpxpatch" --out "$P/patch" --force
    rm -rf "$P/unpacked" "$P/copied"; sync
    cat_both; timed unpack_tool "$bin/qpxtool" unpack "$P/original" "$P/unpacked"
    sync
    cat_both; timed unpack_cp cp -r "$P/original" "$P/copied"
    sync
  done
  diff_kb=$(peak_kb "$bin/qpxtool" diff "$P/original" "$P/modified" --stub "$bin/qpxpatch" --out "$P/patch" --force)
  diff_records=$("$bin/qpxtool" list "$P/patch" | sed -n 's/^total: \([0-9]*\) records.*/\1/p')
  pair_mib=$(( $(du -sb "$P/original" | cut -f1) / 1048576 ))
  rm -rf "$P"
}
bench_workflow

# The checks a version-2 patch of all 2,715 resources makes before it
# writes (run on the game it has patched already: every resource hashed),
# against reading the same bytes through the same file layer; in process,
# ROUNDS in turn.
fresh "$W/small"
(cd "$W/small/work" && ../checked </dev/null >/dev/null)
read -r checks_ms reads_ms checks_records checks_bytes <<<"$(cd "$W/small/work" && "$bin/bench_fixture" checks ../checked 9)"

# A real update: two versions of one Debian package's files, laid out as
# game folders (each file a resource). Its bodies compressed, against xz -9
# of each of them; the patch applied, against the same change as a sealed
# version-1 patch of whole bodies. The bench fetches the two versions named
# here, or the newest two the archive serves when those are gone.
REAL_PACKAGE=openjdk-17-jre-headless
REAL_VERSIONS=("17.0.19+10-1~deb12u2" "17.0.21.1+2-1~deb12u1")
fetch_real() {
  local R=$W/real
  mkdir -p "$R/debs"
  local served
  served=$(apt-cache madison "$REAL_PACKAGE" | awk '{ print $3 }')
  local versions=("${REAL_VERSIONS[@]}")
  if ! grep -qxF "${versions[0]}" <<<"$served" || ! grep -qxF "${versions[1]}" <<<"$served"; then
    mapfile -t versions < <(sort -V <<<"$served" | tail -n 2)
  fi
  real_versions="${versions[0]} and ${versions[1]}"
  (cd "$R/debs" && apt-get download "$REAL_PACKAGE=${versions[0]}" "$REAL_PACKAGE=${versions[1]}" >/dev/null 2>&1)
  local debs=("$R"/debs/*.deb)
  dpkg-deb -x "${debs[0]}" "$R/old" && dpkg-deb -x "${debs[1]}" "$R/new"
  real_layout=$("$bin/bench_fixture" real "$R/old" "$R/new" "$R")
}
bench_real() {
  echo "== a real update: $REAL_PACKAGE"
  fetch_real
  local R=$W/real
  "$bin/qpxtool" diff "$R/original" "$R/modified" --stub "$bin/qpxpatch" --out "$R/compressed" --force --no-delta >/dev/null
  "$bin/qpxtool" diff "$R/original" "$R/modified" --stub "$bin/qpxpatch" --out "$R/whole" --force --format 1 >/dev/null
  real_result=0 real_xz=0
  while read -r number state _ after name; do
    [ "$state" = changed ] || continue
    real_result=$((real_result + after))
    real_xz=$((real_xz + $(xz -9 -T1 -c "$R/new/$name" | wc -c)))
  done <"$R/files.txt"
  stored_of() { "$bin/qpxtool" list "$1" | sed -n 's/^total: .*), \([0-9,]*\) bytes of bodies.*/\1/p' | tr -d ,; }
  real_stored=$(stored_of "$R/compressed")
  fresh_real() { rm -rf "$R/work" && cp -a "$R/original" "$R/work" && sync; }
  both() { cat "$R"/original/DATA* "$R"/original/res/* "$R"/modified/DATA* "$R"/modified/res/* >/dev/null; }
  [ -n "$baseline" ] && "$bin/qpxtool" diff "$R/original" "$R/modified" --stub "$baseline" --out "$R/delta-baseline" --force >/dev/null
  for round in $(seq "$REPS"); do
    echo "   round $round"
    both; timed real_diff "$bin/qpxtool" diff "$R/original" "$R/modified" --stub "$bin/qpxpatch" --out "$R/delta" --force
    fresh_real; warm "$R/delta"; timed real_delta in_work "$R" ../delta
    if [ -n "$baseline" ]; then
      fresh_real; warm "$R/delta-baseline"; timed real_delta_baseline in_work "$R" ../delta-baseline
    fi
    fresh_real; warm "$R/compressed"; timed real_compressed in_work "$R" ../compressed
    fresh_real; warm "$R/whole"; timed real_whole in_work "$R" ../whole
  done
  real_delta_stored=$(stored_of "$R/delta")
  # pack is unpack's inverse on a real game too: the folder it makes holds
  # the same resources (diff then writes nothing and says so, exit 1).
  rm -rf "$R/unpacked" "$R/packed"
  "$bin/qpxtool" unpack "$R/original" "$R/unpacked" >/dev/null
  "$bin/qpxtool" pack "$R/unpacked" "$R/packed" >/dev/null
  local said
  said=$("$bin/qpxtool" diff "$R/original" "$R/packed" --stub "$bin/qpxpatch" --out "$R/nothing" --force 2>&1 || true)
  if ! grep -q "the folders hold the same resources" <<<"$said" || [ -e "$R/nothing" ]; then
    echo "bench: pack of the unpacked real game differs from it" >&2; exit 1
  fi
  rm -rf "$R/unpacked" "$R/packed"
  # The report for scripts carries the figures the table shows.
  "$bin/qpxtool" list --json "$R/delta" >"$R/list.json"
  python3 "$root/tests/json_schema_check.py" "$root/docs/schemas" "$R/list.json" >/dev/null ||
    { echo "bench: list --json does not follow its schema" >&2; exit 1; }
  json_stored=$(python3 -c 'import json, sys; print(json.load(sys.stdin)["totals"]["storedBytes"])' <"$R/list.json")
  [ "$json_stored" = "$real_delta_stored" ] ||
    { echo "bench: list --json says $json_stored bytes of bodies, the table $real_delta_stored" >&2; exit 1; }
  real_delta_payload=$(( $(stat -c %s "$R/delta") - $(stat -c %s "$bin/qpxpatch") ))
  real_deltas=$("$bin/qpxtool" list "$R/delta" | grep -c '  delta  ' || true)
  fresh_real
  real_kb=$(cd "$R/work" && peak_kb ../compressed)
  fresh_real
  real_delta_kb=$(cd "$R/work" && peak_kb ../delta)
  both
  real_diff_kb=$(peak_kb "$bin/qpxtool" diff "$R/original" "$R/modified" --stub "$bin/qpxpatch" --out "$R/delta" --force)
  real_largest=$(awk '$2 == "changed" { if ($4 > m) m = $4 } END { print m }' "$R/files.txt")
  real_largest_pair=$(awk '$2 == "changed" { if ($3 + $4 > m) m = $3 + $4 } END { print m }' "$R/files.txt")
  real_largest_base=$(awk '$2 == "changed" { if ($3 > m) m = $3 } END { print m }' "$R/files.txt")
  # The same pairs of files through the other tools, file by file.
  echo "   xdelta3, zstd and bsdiff on the same pairs ($REAL_TOOL_ROUNDS rounds)"
  bench/delta_compare.sh "$R/old" "$R/new" "$REAL_TOOL_ROUNDS" xdelta zstd bsdiff >"$W/tools.txt" 2>"$W/tools.err"
}
REAL_TOOL_ROUNDS=${REAL_TOOL_ROUNDS:-3}
bench_real

# The synthetic update: 6 bytes changed in 100 MB, 1 byte in 20 MB, 40 MB
# replaced by 50 MB of new bytes.
bench_synthetic() {
  echo "== the synthetic update"
  local S=$W/synthetic
  "$bin/bench_fixture" synthetic "$S"
  "$bin/qpxtool" diff "$S/original" "$S/modified" --stub "$bin/qpxpatch" --out "$S/patch" --force >"$W/synthetic.txt"
  synthetic_payload=$(( $(stat -c %s "$S/patch") - $(stat -c %s "$bin/qpxpatch") ))
  synthetic_xz=$(xz -9 -T1 -c "$S/new.bin" | wc -c)
  synthetic_list=$("$bin/qpxtool" list "$S/patch" | sed -n '/^ *#/,$p')
  rm -rf "$S/work" && cp -a "$S/original" "$S/work"
  (cd "$S/work" && ../patch </dev/null >/dev/null) || { echo "bench: the synthetic patch failed" >&2; exit 1; }
  rm -rf "$S"
}
bench_synthetic

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
  row "Large bodies: version-2 patch (bodies as they are; every resource checked first; durable when it ends), native" large_checked
  [ -n "$baseline" ] && row "Large bodies: the same version-2 patch with the patcher of $baseline_name, native" large_baseline
  row "Large bodies: sealed version-1 patch, then \`sync\` of the game's files, native" large_patch_sync
  row "Large bodies: \`cat\` of the same bodies into the game folder" large_cat
  row "Large bodies: \`cp\` of the same bodies into the game folder" large_cp
  row "Large bodies: patcher, Windows build under Wine" large_wine
  row "Large bodies: version-2 patch, Windows build under Wine" large_checked_wine
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
  echo "| large bodies: version-2 ÷ sealed version-1 patch | $(ratio large_checked large_patch) | ≤ 1.2 |"
  echo "| large bodies: version-2 ÷ sealed version-1 patch followed by \`sync\` | $(ratio large_checked large_patch_sync) | ≤ 1.5 |"
  echo "| large bodies: version-2 ÷ sealed version-1 patch followed by \`sync\`, best runs | $(best large_checked large_patch_sync) | ≤ 1.5 |"
  if [ -n "$baseline" ]; then
    echo "| large bodies: version-2 ÷ the same patch with the patcher of $baseline_name | $(ratio large_checked large_baseline) | |"
    echo "| large bodies: version-2 ÷ the same patch with the patcher of $baseline_name, best runs | $(best large_checked large_baseline) | ≤ 1.3 |"
  fi
  if [ "$wine" = 1 ]; then echo "| large bodies: version-2 patch, Wine ÷ native | $(ratio large_checked_wine large_checked) | |"; fi
  echo "| flushes of the large version-2 run (4 appended, 2 in place, 2 loose files) | $large_flushes | ≤ 7 + 2 |"
  echo "| checks of a version-2 patch of $checks_records records before it writes ÷ reading the $(grouped "$checks_bytes") bytes they hash | $(awk -v a="$checks_ms" -v b="$reads_ms" 'BEGIN { printf "%.2f (%.1f ms ÷ %.1f ms)", a / b, a, b }') | ≤ 2 |"
  echo "| large bodies: patcher ÷ \`cp\` | $(ratio large_patch large_cp) | |"
  if [ "$wine" = 1 ]; then echo "| large bodies: Wine ÷ native | $(ratio large_wine large_patch) | |"; fi
  echo "| system calls per entry patch (start-up divided out) | $(per "$entry_calls" "$one_entry_calls" 1206) | ≤ 10 |"
  echo "| system calls per loose-file patch (start-up divided out; its open checks the type and clears O_NONBLOCK) | $(per "$loose_calls" "$one_loose_calls" 1507) | ≤ 13 |"
  echo "| system calls of a whole run of all 2,715 patches | $all_calls | |"
  echo "| system calls of a whole run of one entry patch | $one_entry_calls | |"
  echo "| peak memory of the patcher, large case, sealed | $((patch_kb / 1024)) MiB | ≤ $((body_mib + 8)) MiB |"
  echo "| peak memory of the patcher, large case, plain | $((plain_kb / 1024)) MiB | ≤ $((body_mib + 8)) MiB |"
  echo "| peak memory of the patcher, large case, version 2 | $((checked_kb / 1024)) MiB | ≤ 16 MiB |"
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
  row "\`qpxtool diff --format 1\` of the two folders (compares, then copies the bodies)" diff_tool
  row "\`qpxtool diff\` of the two folders, version 2 (also hashes, tries deltas and compression)" diff_checked
  row "\`cat\` of every file of both folders to /dev/null" diff_cat
  row "\`qpxtool unpack\` of one folder" unpack_tool
  row "\`cp -r\` of the same folder" unpack_cp
  echo
  echo "| figure | value | goal |"
  echo "|---|---:|---:|"
  echo "| \`qpxtool diff --format 1\` ÷ \`cat\` | $(ratio diff_tool diff_cat) | ≤ 1.5 |"
  echo "| \`qpxtool diff\` (version 2; its random bodies stay as they are) ÷ \`cat\` | $(ratio diff_checked diff_cat) | |"
  echo "| \`qpxtool diff\` ÷ \`cat\`, best runs | $(best diff_tool diff_cat) | |"
  echo "| peak memory of \`qpxtool diff\` | $((diff_kb / 1024)) MiB | ≤ 64 MiB |"
  echo "| \`qpxtool unpack\` ÷ \`cp -r\` | $(ratio unpack_tool unpack_cp) | ≤ 1.5 |"
  echo "| \`qpxtool unpack\` ÷ \`cp -r\`, best runs | $(best unpack_tool unpack_cp) | |"
} >>"$W/results.md"

{
  echo
  echo "## A real update"
  echo
  echo "The files of \`$REAL_PACKAGE\` $real_versions as game folders: $real_layout."
  echo
  echo "| contender | minimum | median |"
  echo "|---|---:|---:|"
  row "the version-2 patch from \`qpxtool diff\` (compressed bodies), native" real_compressed
  row "the same change as a sealed version-1 patch of whole bodies, native" real_whole
  echo
  echo "| figure | value | goal |"
  echo "|---|---:|---:|"
  echo "| bodies of the changed resources, as they are | $(grouped "$real_result") bytes | |"
  echo "| compressed, as the version-2 patch stores them | $(grouped "$real_stored") bytes | |"
  echo "| \`xz -9\` of each of the same bodies, summed | $(grouped "$real_xz") bytes | |"
  echo "| compressed ÷ \`xz -9\` | $(awk -v a="$real_stored" -v b="$real_xz" 'BEGIN { printf "%.3f", a / b }') | ≤ 1.05 |"
  echo "| applying the compressed patch (checks and decoding included), MB of result a second | $(awk -v a="$real_result" -v t="$(median real_compressed)" 'BEGIN { printf "%.0f", a / t / 1e6 }') | ≥ 50 |"
  echo "| compressed patch ÷ version-1 patch of whole bodies, applying | $(ratio real_compressed real_whole) | |"
  echo "| peak memory of the patcher, compressed patch | $((real_kb / 1024)) MiB | ≤ $((real_largest / 1048576 + 16)) MiB + the largest stored body |"
  echo
  echo "### Deltas"
  echo
  echo "The version-2 patch that \`qpxtool diff\` writes by default: $real_deltas of its bodies are deltas against the"
  echo "resource the player has. Beside it, the same pairs of files through the tools people compare with, file by file"
  echo "(\`bench/delta_compare.sh\`, $REAL_TOOL_ROUNDS rounds, the tools in turn on each pair; times summed over the files,"
  echo "median [least–greatest] of the rounds; peak memory of the largest file)."
  echo
  echo "| | total bytes | author (s) | apply (s) | peak memory, author / apply (MiB) |"
  echo "|---|---:|---:|---:|---:|"
  read -r dlo dmed <<<"$(stats real_diff)"
  read -r alo amed <<<"$(stats real_delta)"
  echo "| qpxtool: the patch's bodies (its payload: $(grouped "$real_delta_payload")) | $(grouped "$real_delta_stored") | $dmed [$dlo min] | $amed [$alo min] | $((real_diff_kb / 1024)) / $((real_delta_kb / 1024)) |"
  grep -E '^(xdelta|zstd|bsdiff) \|' "$W/tools.txt" | while IFS='|' read -r tool total enc dec em dm; do
    case $(echo $tool) in
      xdelta) name='`xdelta3 -9 -S lzma`' ;;
      zstd) name='`zstd -19 --long=31 --patch-from`' ;;
      bsdiff) name='`bsdiff` (`bspatch`)' ;;
    esac
    echo "| $name | $(grouped $total) | $(echo $enc) | $(echo $dec) | $(echo $em) / $(echo $dm) |"
  done
  echo
  best=$(grep -E '^(xdelta|zstd|bsdiff) \|' "$W/tools.txt" | awk -F'|' '{ gsub(/ /, "", $2); if (m == "" || $2 < m) m = $2 } END { print m }')
  echo "| figure | value | goal |"
  echo "|---|---:|---:|"
  echo "| our bodies ÷ the best of the three | $(awk -v a="$real_delta_stored" -v b="$best" 'BEGIN { printf "%.3f", a / b }') | ≤ 1 |"
  echo "| applying the delta patch ÷ applying the same change as a version-1 patch of whole bodies | $(ratio real_delta real_whole) | ≤ 2 |"
  echo "| authoring: MB of changed resources a second (\`qpxtool diff\`, both folders read) | $(awk -v a="$real_result" -v t="$(median real_diff)" 'BEGIN { printf "%.1f", a / t / 1e6 }') | ≥ 20 |"
  echo "| peak memory of the patcher applying deltas | $((real_delta_kb / 1024)) MiB | ≤ $((real_largest_base / 1048576 + 16)) MiB (largest base + 16) |"
  for tool in zstd xdelta bsdiff; do
    tool_apply=$(grep -E "^$tool \|" "$W/tools.txt" | awk -F'|' '{ split($4, a, " "); print a[1] }')
    [ -n "$tool_apply" ] && echo "| applying the delta patch (the patcher, its checks and flushes included, median) ÷ $tool applying the same pairs (summed, median) | $(awk -v a="$(median real_delta)" -v b="$tool_apply" 'BEGIN { printf "%.2f (%.3f s ÷ %.3f s)", a / b, a, b }') | < 1 |"
  done
  if [ -n "$baseline" ]; then
    echo "| applying the delta patch ÷ the same patch with the patcher of $baseline_name | $(ratio real_delta real_delta_baseline) | |"
  fi
  echo "| peak memory of \`qpxtool diff\` | $((real_diff_kb / 1024)) MiB | ≤ $((8 * real_largest_pair / 1048576)) MiB (8 × the largest base + result) |"
  echo
  echo "## The synthetic update"
  echo
  echo "6 bytes changed in a loose file of 100 MB, 1 byte in an entry of 20 MB, an entry of 40 MB replaced by 50 MB of new"
  echo "(random) bytes."
  echo
  echo '```'
  echo "$synthetic_list"
  echo '```'
  echo
  echo "| figure | value | goal |"
  echo "|---|---:|---:|"
  echo "| the patch's payload | $(grouped "$synthetic_payload") bytes | ≤ $(grouped $((synthetic_xz + 65536))) (the new bytes' \`xz -9\`, $(grouped "$synthetic_xz"), + 64 KiB) |"
} >>"$W/results.md"

cp "$W/results.md" bench/results.md
# One patch for every older release: a section of its own.
REPS=$REPS scripts/bench-versions.sh >/dev/null
cat bench/results.md
