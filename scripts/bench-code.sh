#!/usr/bin/env bash
# Measures the deltas that know program code and writes their section of
# bench/results.md ("## Deltas that know program code"), replacing the one
# there. Not part of the tests; alone:
#
#   scripts/bench-code.sh      (REPS=N rounds of the timings, default 5)
#
# A real update (the files of openjdk-17-jre-headless 17.0.19 and
# 17.0.21.1, or the newest two versions the archive serves) laid out as game
# folders: the payload of `qpxtool diff`, against the figures measured beside
# HDiffPatch on the same pairs; file by file, the delta codec with and
# without the code deltas (delta_probe through bench/delta_compare.sh); the
# patcher applying the patch (checks and flushes included) against zstd
# applying its per-file patches, in interleaved rounds. Then a synthetic
# mixed file of 20 MB with 200 scattered small edits against bsdiff and
# xdelta3, and the tests' small programs.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$(pwd)
REPS=${REPS:-5}

missing=()
for p in xdelta3 zstd bsdiff; do dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get install -y -qq "${missing[@]}" >/dev/null || echo "bench: could not install ${missing[*]}" >&2
fi
cmake --preset native >/dev/null
cmake --build --preset native --target qpxpatch qpxtool bench_fixture delta_probe test_programs >/dev/null
bin=$root/build/native/bin
W=$root/build/bench-code
rm -rf "$W" && mkdir -p "$W"

grouped() { sed ':a;s/\B[0-9]\{3\}\>/,&/;ta' <<<"$1"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
now_us() { date +%s%6N; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
spread() { sort -n | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%.3f–%.3f", lo, hi }'; }
seconds() { awk -v a="$1" 'BEGIN { printf "%.3f", a / 1e6 }'; }

echo "== a real update: openjdk-17-jre-headless"
PACKAGE=openjdk-17-jre-headless
VERSIONS=("17.0.19+10-1~deb12u2" "17.0.21.1+2-1~deb12u1")
served=$(apt-cache madison "$PACKAGE" | awk '{ print $3 }')
if ! grep -qxF "${VERSIONS[0]}" <<<"$served" || ! grep -qxF "${VERSIONS[1]}" <<<"$served"; then
  mapfile -t VERSIONS < <(sort -V <<<"$served" | tail -n 2)
fi
R=$W/real
mkdir -p "$R/debs"
(cd "$R/debs" && apt-get download "$PACKAGE=${VERSIONS[0]}" "$PACKAGE=${VERSIONS[1]}" >/dev/null 2>&1)
debs=("$R"/debs/*.deb)
dpkg-deb -x "${debs[0]}" "$R/old" && dpkg-deb -x "${debs[1]}" "$R/new"
"$bin/bench_fixture" real "$R/old" "$R/new" "$R" >/dev/null
"$bin/qpxtool" diff "$R/original" "$R/modified" --stub "$bin/qpxpatch" --out "$R/patch" --force >/dev/null
payload=$(( $(stat -c %s "$R/patch") - $(stat -c %s "$bin/qpxpatch") ))
code_records=$("$bin/qpxtool" list "$R/patch" | grep -c '  delta  ' || true)

echo "   the delta codec file by file, with and without the code deltas ($REPS rounds)"
bench/delta_compare.sh "$R/old" "$R/new" "$REPS" qpx >"$W/code.txt"
QPX_PROBE_FLAGS=--no-code bench/delta_compare.sh "$R/old" "$R/new" "$REPS" qpx >"$W/plain.txt"
field() { awk -F' [|] ' -v n="$2" '$1 == "qpx" { print $n }' "$1"; }
code_bytes=$(field "$W/code.txt" 2) plain_bytes=$(field "$W/plain.txt" 2)
code_author=$(field "$W/code.txt" 3) plain_author=$(field "$W/plain.txt" 3)
code_apply=$(field "$W/code.txt" 4) plain_apply=$(field "$W/plain.txt" 4)

echo "   the patcher against zstd applying its patches ($REPS interleaved rounds)"
# zstd's patches, file by file, as the bench of the real update makes them.
mkdir -p "$W/zstd"
while IFS= read -r file; do
  cmp -s "$R/old/$file" "$R/new/$file" && continue
  key=$(tr / _ <<<"$file")
  zstd -q -19 --long=31 --patch-from="$R/old/$file" "$R/new/$file" -o "$W/zstd/$key.zst" -f 2>/dev/null
  printf '%s\t%s\n' "$file" "$key" >>"$W/zstd/list"
done < <(cd "$R/old" && find . -type f | sort)
zstd_apply() {
  while IFS=$'\t' read -r file key; do
    zstd -q -d --long=31 --patch-from="$R/old/$file" "$W/zstd/$key.zst" -o "$W/zstd/out" -f
  done <"$W/zstd/list"
}
: >"$W/ours.us"; : >"$W/zstd.us"
for round in $(seq "$REPS"); do
  rm -rf "$R/work" && cp -a "$R/original" "$R/work" && sync
  cat "$R/patch" "$R"/work/DATA* "$R"/work/res/* >/dev/null
  t0=$(now_us); (cd "$R/work" && ../patch </dev/null >/dev/null); t1=$(now_us)
  echo $((t1 - t0)) >>"$W/ours.us"
  t0=$(now_us); zstd_apply; t1=$(now_us)
  echo $((t1 - t0)) >>"$W/zstd.us"
done
ours_apply=$(median <"$W/ours.us") zstd_apply_us=$(median <"$W/zstd.us")
rm -rf "$R/work" && cp -a "$R/original" "$R/work"
ours_kb=$(cd "$R/work" && /usr/bin/time -f %M ../patch </dev/null 2>&1 >/dev/null | tail -n 1)
largest_base=$(awk '$2 == "changed" { if ($3 > m) m = $3 } END { print m }' "$R/files.txt")

echo "== a synthetic mixed file of 20 MB, 200 scattered small edits"
python3 - "$W/mixed.old" "$W/mixed.new" <<'EOF'
import random, struct, sys
random.seed(42)
words = [''.join(random.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(random.randint(2, 10))) for _ in range(3000)]
out = bytearray()
while len(out) < 20_000_000:
    k = random.random()
    if k < 0.4:  # text
        out += (' '.join(random.choice(words) for _ in range(random.randint(50, 400))) + '\n').encode()
    elif k < 0.7:  # records of numbers
        base = random.randint(0, 1 << 30)
        for i in range(random.randint(20, 300)):
            out += struct.pack('<IIHH', base + i * 16, random.randint(0, 1000), i, random.randint(0, 3))
    elif k < 0.85:  # compressed or random bytes
        out += random.randbytes(random.randint(100, 3000))
    else:  # sparse bytes
        out += bytes(random.randint(0, 1) * random.randint(0, 255) for _ in range(random.randint(100, 2000)))
old = bytes(out[:20_000_000])
new = bytearray(old)
for _ in range(200):
    at = random.randint(0, len(new) - 20)
    n = random.randint(1, 16)
    kind = random.randint(0, 2)
    if kind == 0: new[at:at + n] = random.randbytes(n)
    elif kind == 1: new[at:at] = random.randbytes(n)
    else: del new[at:at + n]
open(sys.argv[1], 'wb').write(old)
open(sys.argv[2], 'wb').write(bytes(new))
EOF
mixed_ours=$("$bin/delta_probe" "$W/mixed.old" "$W/mixed.new" | awk '{ print $2 }')
bsdiff "$W/mixed.old" "$W/mixed.new" "$W/mixed.bsdiff"
xdelta3 -9 -S lzma -f -e -s "$W/mixed.old" "$W/mixed.new" "$W/mixed.xd"
mixed_bsdiff=$(stat -c %s "$W/mixed.bsdiff") mixed_xdelta=$(stat -c %s "$W/mixed.xd")

echo "== the tests' small programs"
programs=$root/build/native/tests/programs
program_rows=()
for pair in "x86-64 ELF shared object:x64_v1.so:x64_v2.so" "i386 ELF shared object:x86_v1.so:x86_v2.so" \
            "i386 PE program:pe_v1.exe:pe_v2.exe"; do
  IFS=: read -r kind a b <<<"$pair"
  plain=$("$bin/delta_probe" --no-code "$programs/$a" "$programs/$b" | awk '{ print $2 }')
  chosen=$("$bin/delta_probe" "$programs/$a" "$programs/$b" | awk '{ print $2 }')
  program_rows+=("| $kind, $(grouped "$(stat -c %s "$programs/$b")") bytes | $(grouped "$plain") | $(grouped "$chosen") | $(ratio "$chosen" "$plain") |")
done

section=$W/section.md
{
  echo "## Deltas that know program code"
  echo
  echo "Measured by \`scripts/bench-code.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'). HDiffPatch is not among the packages"
  echo "these machines reach: its figures are those measured beside ours on the same files when the goals were set."
  echo
  echo "### A real update: $PACKAGE ${VERSIONS[0]} to ${VERSIONS[1]}"
  echo
  echo "| figure | value | goal |"
  echo "|---|---:|---:|"
  echo "| the payload of \`qpxtool diff\` ($code_records deltas) | $(grouped "$payload") bytes | ≤ 1,612,000 |"
  echo "| ÷ HDiffPatch's best mode (3,224,395) | $(ratio "$payload" 3224395) | ≤ 0.5 |"
  echo "| ÷ the payload before the code deltas (3,238,424) | $(ratio "$payload" 3238424) | |"
  echo "| the delta codec file by file: bodies with the code deltas | $(grouped "$code_bytes") bytes | |"
  echo "| the same without them | $(grouped "$plain_bytes") bytes | |"
  echo "| authoring file by file, with / without (s, median [spread] of $REPS rounds) | $code_author / $plain_author | |"
  echo "| decoding file by file, with / without (s) | $code_apply / $plain_apply | |"
  echo "| applying the patch, checks and flushes included (median of $REPS rounds, [spread]) | $(seconds "$ours_apply") s [$(spread <"$W/ours.us" | awk -F– '{ printf "%.3f–%.3f", $1 / 1e6, $2 / 1e6 }')] | |"
  echo "| zstd applying its patches of the same files, summed, in the same rounds | $(seconds "$zstd_apply_us") s [$(spread <"$W/zstd.us" | awk -F– '{ printf "%.3f–%.3f", $1 / 1e6, $2 / 1e6 }')] | |"
  echo "| applying ÷ zstd applying | $(ratio "$ours_apply" "$zstd_apply_us") | < 1 |"
  echo "| peak memory of the patcher | $((ours_kb / 1024)) MiB | ≤ $((largest_base / 1048576 + 16)) MiB (largest base + 16) |"
  echo
  echo "### A synthetic mixed file: 20 MB of text, records, random and sparse bytes, 200 scattered edits of 1 to 16 bytes"
  echo
  echo "| contender | bytes | ÷ bsdiff |"
  echo "|---|---:|---:|"
  echo "| the delta codec | $(grouped "$mixed_ours") | $(ratio "$mixed_ours" "$mixed_bsdiff") |"
  echo "| \`bsdiff\` | $(grouped "$mixed_bsdiff") | 1.000 |"
  echo "| \`xdelta3 -9 -S lzma\` | $(grouped "$mixed_xdelta") | $(ratio "$mixed_xdelta" "$mixed_bsdiff") |"
  echo
  echo "Goal: at most 0.9 of bsdiff's size."
  echo
  echo "### The tests' small program, two versions"
  echo
  echo "| program | plain delta | the delta kept | ÷ plain |"
  echo "|---|---:|---:|---:|"
  printf '%s\n' "${program_rows[@]}"
} >"$section"

python3 bench/results_section.py "$section"
cat "$section"
