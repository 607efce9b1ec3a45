#!/usr/bin/env bash
# Measures one patch for several old versions (qpxtool diff OLD... NEW) and
# writes its section of bench/results.md ("## One patch for every older
# release"), replacing the one there. Run by scripts/bench.sh; alone:
#
#   scripts/bench-versions.sh      (REPS=N rounds of the timings, default 5)
#
# A real series: three releases of Debian's libssl3, fetched with apt-get
# download (or the newest three the archive serves, when those are gone),
# each laid out as a game folder (every file all three hold is a resource).
# Its one patch from both older releases is set against the two separate
# patches summed, the cumulative patch of whole compressed bodies, and
# zstd --patch-from and xdelta3 per file per old release summed; its apply
# time against the two-version patch's on the same game. Then a synthetic
# series of 8 releases: the one patch's size and authoring time against the
# number of versions.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$(pwd)
REPS=${REPS:-5}

missing=()
for p in xdelta3 zstd; do dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get install -y -qq "${missing[@]}" >/dev/null || echo "bench: could not install ${missing[*]}" >&2
fi
cmake --preset native >/dev/null && cmake --build --preset native --target qpxpatch qpxtool bench_fixture >/dev/null
bin=$root/build/native/bin
W=$root/build/bench-versions
rm -rf "$W" && mkdir -p "$W"

grouped() { sed ':a;s/\B[0-9]\{3\}\>/,&/;ta' <<<"$1"; }
payload() { echo $(( $(stat -c %s "$1") - $(stat -c %s "$bin/qpxpatch") )); }
now_us() { date +%s%6N; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
spread() { sort -n | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%.3f–%.3f", lo, hi }'; }
diff_to() { "$bin/qpxtool" diff "$@" --stub "$bin/qpxpatch" --force >/dev/null; }

echo "== a real series: libssl3"
PACKAGE=libssl3
VERSIONS=("3.0.17-1~deb12u2" "3.0.20-1~deb12u2" "3.0.22-1~deb12u2")
served=$(apt-cache madison "$PACKAGE" | awk '{ print $3 }')
for v in "${VERSIONS[@]}"; do
  grep -qxF "$v" <<<"$served" || { mapfile -t VERSIONS < <(sort -V <<<"$served" | tail -n 3); break; }
done
mkdir -p "$W/debs"
(cd "$W/debs" && apt-get download "${VERSIONS[@]/#/$PACKAGE=}" >/dev/null 2>&1)
trees=()
for k in 0 1 2; do
  deb=$(ls "$W"/debs/*"${VERSIONS[$k]//\~/%7e}"*.deb 2>/dev/null || ls "$W"/debs/*"${VERSIONS[$k]}"*.deb)
  dpkg-deb -x "$deb" "$W/tree$k"
  trees+=("$W/tree$k")
done
layout=$("$bin/bench_fixture" series "$W" "${trees[@]}")
S=$W
diff_to "$S/v0" "$S/v1" "$S/v2" --out "$S/one" --label "$S/v0=${VERSIONS[0]}" --label "$S/v1=${VERSIONS[1]}" \
  --label-new "${VERSIONS[2]}"
diff_to "$S/v0" "$S/v2" --out "$S/from0"
diff_to "$S/v1" "$S/v2" --out "$S/from1"
# The cumulative patch: every resource either old release differs in, its
# new bytes whole and compressed, knowing no base.
"$bin/qpxtool" unpack "$S/v2" "$S/unpacked" >/dev/null
"$bin/qpxtool" list --json "$S/from0" >"$S/from0.json"
"$bin/qpxtool" list --json "$S/from1" >"$S/from1.json"
python3 "$root/tests/json_schema_check.py" "$root/docs/schemas" "$S/from0.json" "$S/from1.json" >/dev/null ||
  { echo "bench: list --json does not follow its schema" >&2; exit 1; }
cat "$S/from0.json" "$S/from1.json" | python3 -c '
import json, sys
decoder, text, at, numbers = json.JSONDecoder(), sys.stdin.read(), 0, set()
while at < len(text.rstrip()):
    doc, at = decoder.raw_decode(text, at)
    numbers |= {r["resource"] for r in doc["records"]}
    while at < len(text) and text[at].isspace(): at += 1
for n in sorted(numbers):
    print(n, "entries/%05d.bin" % n if n < 1207 else "loose/D%05d.bin" % (n - 1207))' >"$S/unpacked/cumulative.manifest"
"$bin/qpxtool" build --stub "$bin/qpxpatch" --out "$S/cumulative" --force --manifest "$S/unpacked/cumulative.manifest" >/dev/null
one=$(payload "$S/one") from0=$(payload "$S/from0") from1=$(payload "$S/from1") cumulative=$(payload "$S/cumulative")
echo "   zstd --patch-from and xdelta3, per file per old release"
tool_total() {  # TOOL: bytes of its deltas from both old releases, summed
  local sum=0 k size
  for k in 0 1; do
    size=$(bench/delta_compare.sh "${trees[$k]}" "${trees[2]}" 1 "$1" 2>/dev/null | awk -F'|' -v t="$1" '$1 ~ "^" t " " { gsub(/ /, "", $2); print $2 }')
    sum=$((sum + ${size:-0}))
  done
  echo "$sum"
}
zstd_total=$(tool_total zstd) xdelta_total=$(tool_total xdelta)

# Applying: the one patch and the two-version patch from 1.0, on copies of
# the same game, in turn.
one_times=() two_times=() ratios=()
for round in $(seq "$REPS"); do
  for which in one from0; do
    rm -rf "$S/work" && cp -a "$S/v0" "$S/work" && sync
    cat "$S/$which" >/dev/null
    start=$(now_us)
    (cd "$S/work" && "$S/$which" </dev/null >/dev/null)
    took=$(( $(now_us) - start ))
    if [ "$which" = one ]; then one_times+=("$took"); else two_times+=("$took"); fi
  done
  ratios+=("$(awk -v a="${one_times[-1]}" -v b="${two_times[-1]}" 'BEGIN { printf "%.3f", a / b }')")
done
one_apply=$(printf '%s\n' "${one_times[@]}" | median) two_apply=$(printf '%s\n' "${two_times[@]}" | median)
ratio=$(printf '%s\n' "${ratios[@]}" | median) ratio_spread=$(printf '%s\n' "${ratios[@]}" | spread)

echo "== a synthetic series of 8 releases"
"$bin/bench_fixture" versions "$W/syn" 8
synthetic_rows=()
for n in 2 3 4 5 6 7 8; do
  folders=()
  for k in $(seq 0 $((n - 2))); do folders+=("$W/syn/v$k"); done
  folders+=("$W/syn/v$((n - 1))")
  times=()
  for round in $(seq 3); do
    start=$(now_us)
    diff_to "${folders[@]}" --out "$W/syn/p$n"
    times+=($(( $(now_us) - start )))
  done
  seconds=$(printf '%s\n' "${times[@]}" | median | awk '{ printf "%.2f", $1 / 1e6 }')
  "$bin/qpxtool" list --json "$W/syn/p$n" >"$W/syn/p$n.json"
  python3 "$root/tests/json_schema_check.py" "$root/docs/schemas" "$W/syn/p$n.json" >/dev/null ||
    { echo "bench: list --json does not follow its schema" >&2; exit 1; }
  records=$(python3 -c 'import json, sys; print(len(json.load(sys.stdin)["records"]))' <"$W/syn/p$n.json")
  synthetic_rows+=("| $((n - 1)) | $records | $(grouped "$(payload "$W/syn/p$n")") | $seconds |")
done

section=$W/section.md
{
  echo "## One patch for every older release"
  echo
  echo "Measured by \`scripts/bench-versions.sh\` on $(date -u '+%Y-%m-%d %H:%M') UTC."
  echo
  echo "### A real series: $PACKAGE ${VERSIONS[0]}, ${VERSIONS[1]} and ${VERSIONS[2]}"
  echo
  echo "Each release's files laid out as a game folder ($layout). Payload bytes (the patch less its patcher):"
  echo
  echo "| patch | bytes | ÷ the one patch |"
  echo "|---|---:|---:|"
  echo "| one patch from both older releases (\`diff v0 v1 v2\`) | $(grouped "$one") | 1.000 |"
  echo "| the two separate patches (\`diff v0 v2\` + \`diff v1 v2\`), summed | $(grouped $((from0 + from1))) ($(grouped "$from0") + $(grouped "$from1")) | $(awk -v a=$((from0 + from1)) -v b="$one" 'BEGIN { printf "%.3f", a / b }') |"
  echo "| the cumulative patch of whole compressed bodies (every resource either release differs in) | $(grouped "$cumulative") | $(awk -v a="$cumulative" -v b="$one" 'BEGIN { printf "%.3f", a / b }') |"
  echo "| \`zstd -19 --long=31 --patch-from\`, per file per old release, summed | $(grouped "$zstd_total") | $(awk -v a="$zstd_total" -v b="$one" 'BEGIN { printf "%.3f", a / b }') |"
  echo "| \`xdelta3 -9 -S lzma\`, per file per old release, summed | $(grouped "$xdelta_total") | $(awk -v a="$xdelta_total" -v b="$one" 'BEGIN { printf "%.3f", a / b }') |"
  echo
  echo "| figure | value | goal |"
  echo "|---|---:|---:|"
  echo "| one patch ÷ the separate patches summed | $(awk -v a="$one" -v b=$((from0 + from1)) 'BEGIN { printf "%.3f", a / b }') | ≤ 1.05 |"
  echo "| one patch ÷ the cumulative whole-body patch | $(awk -v a="$one" -v b="$cumulative" 'BEGIN { printf "%.3f", a / b }') | < 1 |"
  echo "| applying from ${VERSIONS[0]}: one patch ÷ the two-version patch (median of $REPS interleaved rounds' ratios, [spread]) | $ratio [$ratio_spread] | ≤ 1.1 |"
  echo "| applying from ${VERSIONS[0]}, medians | $(awk -v a="$one_apply" 'BEGIN { printf "%.3f", a / 1e6 }') s vs $(awk -v a="$two_apply" 'BEGIN { printf "%.3f", a / 1e6 }') s | |"
  echo
  echo "### A synthetic series of 8 releases"
  echo
  echo "A game of 200 resources (\`bench_fixture versions\`); each release edits four resources of the one before."
  echo "The one patch from releases 1..k to release k + 1 (authoring time: median of 3 runs of \`qpxtool diff\`):"
  echo
  echo "| old versions | records | payload bytes | authoring (s) |"
  echo "|---:|---:|---:|---:|"
  printf '%s\n' "${synthetic_rows[@]}"
} >"$section"

python3 bench/results_section.py "$section"
cat "$section"
