#!/usr/bin/env bash
# Measures authoring new compressible content on two cores and writes its
# section of bench/results.md ("## Authoring new text on two cores"),
# replacing the one there. Not part of the tests: it takes minutes and wants
# a quiet machine.
#
#   scripts/bench-lzma-blocks.sh     (REPS=N interleaved rounds, default 5;
#                                     SIZE=bytes of text, default 60,000,000;
#                                     BASELINE=REV, default the commit before
#                                     LZMA bodies in blocks)
#
# One resource of SIZE bytes of new text (bench_fixture text) built into a
# patch with `qpxtool build`, by this tree's qpxtool and by the baseline's
# (built from its own sources), in turn, the order alternating each round.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$(pwd)
REPS=${REPS:-5}
SIZE=${SIZE:-60000000}
first=$(git log --diff-filter=A --format=%H -- src/app/codecs/lzma/LzmaBlocksEncoder.cpp | tail -1)
BASELINE=${BASELINE:-$first^}

cmake --preset native >/dev/null && cmake --build --preset native --target qpxpatch qpxtool bench_fixture >/dev/null
bin=$root/build/native/bin
W=$root/build/bench-lzma-blocks
mkdir -p "$W"

echo "== building qpxtool of $BASELINE"
rm -rf "$W/baseline-src" "$W/baseline"
git worktree prune
git worktree add --detach "$W/baseline-src" "$BASELINE" >/dev/null
cmake -S "$W/baseline-src" -B "$W/baseline" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc -DQPX_BUILD_TESTS=OFF >/dev/null
cmake --build "$W/baseline" --target qpxtool qpxpatch >/dev/null
base=$W/baseline/bin
baseline_name=$(git rev-parse --short "$BASELINE")
git worktree remove --force "$W/baseline-src"

grouped() { sed ':a;s/\B[0-9]\{3\}\>/,&/;ta' <<<"$1"; }
now_us() { date +%s%6N; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
spread() { sort -n | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%.2f–%.2f", lo, hi }'; }
seconds() { awk -v t="$1" 'BEGIN { printf "%.2f", t / 1e6 }'; }

"$bin/bench_fixture" text "$W/text.bin" "$SIZE"
# Each tool on its own patcher: the payload is what the patch adds to it.
# (The baseline's qpxtool may predate --force: the old patch goes first.)
run() { rm -f "$2"; "$1/qpxtool" build --stub "$1/qpxpatch" --out "$2" 100="$W/text.bin" >/dev/null; }
new_times=() base_times=() ratios=()
for round in $(seq "$REPS"); do
  for who in $([ $((round % 2)) = 1 ] && echo "base new" || echo "new base"); do
    start=$(now_us)
    if [ "$who" = base ]; then run "$base" "$W/base.patch"; else run "$bin" "$W/new.patch"; fi
    elapsed=$(( $(now_us) - start ))
    if [ "$who" = base ]; then base_times+=("$elapsed"); else new_times+=("$elapsed"); fi
  done
  ratios+=("$(awk -v a="${base_times[-1]}" -v b="${new_times[-1]}" 'BEGIN { printf "%.3f", a / b }')")
  echo "round $round: $(seconds "${base_times[-1]}") s vs $(seconds "${new_times[-1]}") s"
done
base_payload=$(( $(stat -c %s "$W/base.patch") - $(stat -c %s "$base/qpxpatch") ))
new_payload=$(( $(stat -c %s "$W/new.patch") - $(stat -c %s "$bin/qpxpatch") ))
"$bin/qpxtool" list "$W/new.patch" >"$W/new.list"
blocks=$(python3 - "$W/new.patch" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
version, count, table = struct.unpack_from("<IIQ", data, len(data) - 24)
encoding = struct.unpack_from("<H", data, table + 4)[0]
offset = struct.unpack_from("<Q", data, table + 8)[0]
if encoding != 3:
    print("one stream")
else:
    n, size = struct.unpack_from("<IQ", data, offset + 4)
    print(f"{n} blocks of {size >> 20} MiB")
PY
)
ratio=$(printf '%s\n' "${ratios[@]}" | median)
ratio_spread=$(printf '%s\n' "${ratios[@]}" | sort -n | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%.3f–%.3f", lo, hi }')
base_median=$(printf '%s\n' "${base_times[@]}" | median)
new_median=$(printf '%s\n' "${new_times[@]}" | median)

section=$W/section.md
{
  echo "## Authoring new text on two cores"
  echo
  echo "Measured by \`scripts/bench-lzma-blocks.sh\` on $(date -u '+%Y-%m-%d %H:%M') UTC, $(nproc) cores."
  echo
  echo "One resource of $(grouped "$SIZE") bytes of new text (\`bench_fixture text\`) built into a patch with"
  echo "\`qpxtool build\` at level 9: this tree against $baseline_name, $REPS interleaved rounds."
  echo
  echo "| figure | $baseline_name (one LZMA stream) | this tree ($blocks) |"
  echo "|---|---:|---:|"
  echo "| authoring, median [spread] (s) | $(seconds "$base_median") [$(printf '%s\n' "${base_times[@]}" | awk '{ print $1 / 1e6 }' | spread)] | $(seconds "$new_median") [$(printf '%s\n' "${new_times[@]}" | awk '{ print $1 / 1e6 }' | spread)] |"
  echo "| rate (MB/s) | $(awk -v s="$SIZE" -v t="$base_median" 'BEGIN { printf "%.2f", s / t }') | $(awk -v s="$SIZE" -v t="$new_median" 'BEGIN { printf "%.2f", s / t }') |"
  echo "| payload bytes | $(grouped "$base_payload") | $(grouped "$new_payload") |"
  echo
  echo "| figure | value | goal |"
  echo "|---|---:|---:|"
  echo "| speed-up: each round's $baseline_name time ÷ this tree's, median [spread] | $ratio [$ratio_spread] | ≥ 1.8 |"
  echo "| payload ÷ $baseline_name's | $(awk -v a="$new_payload" -v b="$base_payload" 'BEGIN { printf "%.4f", a / b }') | ≤ 1.01 |"
} >"$section"

python3 bench/results_section.py "$section"
cat "$section"
