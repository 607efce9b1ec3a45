#!/usr/bin/env bash
# Compares the delta codec with xdelta3, zstd and bsdiff on every file that
# differs between two folders of the same layout (two versions of one
# program's files):
#
#   bench/delta_compare.sh OLD NEW [ROUNDS] [TOOLS...]
#
# TOOLS: any of qpx xdelta zstd bsdiff (default: all); QPX_PROBE_FLAGS
# passes flags to delta_probe (--no-code: the plain delta). Each round runs every
# tool on every pair in turn, so that the machine's load falls on all of
# them alike. Prints, per tool, the summed delta size, and the summed
# encode and decode times of each round as median [least-greatest], and
# the largest peak memory of encoding and decoding (GNU time's maximum
# resident size; delta_probe's own figures, which hold the inputs, the
# result and the rebuilt copy like the tools do). delta_probe's decode time
# includes writing the result; the others' as their command lines do it
# (to a file). For the delta codec also: applying against reading and
# writing the whole results, and its memory beyond the inputs.
set -euo pipefail

old=$(cd "$1" && pwd)
new=$(cd "$2" && pwd)
rounds=${3:-3}
shift $(($# < 3 ? $# : 3))
tools=("$@")
[ ${#tools[@]} -gt 0 ] || tools=(qpx xdelta zstd bsdiff)
root=$(cd "$(dirname "$0")/.." && pwd)
probe="$root/build/native/bin/delta_probe"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

pairs=()
while IFS= read -r file; do
  cmp -s "$old/$file" "$new/$file" || pairs+=("$file")
done < <(cd "$old" && find . -type f | sort)
echo "${#pairs[@]} files differ"

# tool round encode-seconds decode-seconds size encode-KiB decode-KiB, per pair
log="$work/log"
: >"$log"
measure() {  # KIND COMMAND... : seconds and peak KiB of one command
  /usr/bin/time -f "%e %M" -o "$work/time" "$@" >"$work/out" 2>/dev/null
  cat "$work/time"
}
for round in $(seq "$rounds"); do
  for file in "${pairs[@]}"; do
    a="$old/$file" b="$new/$file"
    for tool in "${tools[@]}"; do
      case $tool in
        qpx)
          # delta_probe times its own parts: size, encode, apply, peaks.
          read -r _ size enc dec copy encmem decmem encextra decheap _ < <("$probe" ${QPX_PROBE_FLAGS:-} "$a" "$b")
          if [ "$size" = none ]; then  # declined: the caller stores the file compressed
            echo "qpx declined $file" >&2
            continue
          fi
          echo "qpx $round $enc $dec $size $((encmem * 1024)) $((decmem * 1024)) $copy $encextra $decheap" >>"$log"
          continue ;;
        xdelta)
          read -r enc encmem < <(measure xdelta3 -9 -S lzma -f -e -s "$a" "$b" "$work/d")
          read -r dec decmem < <(measure xdelta3 -f -d -s "$a" "$work/d" "$work/r") ;;
        zstd)
          read -r enc encmem < <(measure zstd -q -19 --long=31 -f --patch-from="$a" "$b" -o "$work/d")
          read -r dec decmem < <(measure zstd -q -d --long=31 -f --patch-from="$a" "$work/d" -o "$work/r") ;;
        bsdiff)
          read -r enc encmem < <(measure bsdiff "$a" "$b" "$work/d")
          read -r dec decmem < <(measure bspatch "$a" "$work/r" "$work/d") ;;
      esac
      cmp -s "$work/r" "$b" || echo "warning: $tool did not rebuild $file" >&2
      echo "$tool $round $enc $dec $(stat -c %s "$work/d") $encmem $decmem" >>"$log"
    done
  done
done

echo "tool | total bytes | encode s, median [range] | decode s, median [range] | peak encode MiB | peak decode MiB"
for tool in "${tools[@]}"; do
  awk -v tool="$tool" '
    $1 == tool { enc[$2] += $3; dec[$2] += $4; size[$2] += $5; if ($6 > em) em = $6; if ($7 > dm) dm = $7; n[$2] = 1 }
    function median(a, count,   i, j, t, k, v) {
      k = 0; for (i in a) v[++k] = a[i]
      for (i = 1; i <= k; i++) for (j = i + 1; j <= k; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
      lo = v[1]; hi = v[k]
      return (k % 2) ? v[(k + 1) / 2] : (v[k / 2] + v[k / 2 + 1]) / 2
    }
    END {
      for (r in size) s = size[r]
      me = median(enc); elo = lo; ehi = hi
      md = median(dec); dlo = lo; dhi = hi
      printf "%s | %d | %.2f [%.2f-%.2f] | %.2f [%.2f-%.2f] | %.0f | %.0f\n", tool, s, me, elo, ehi, md, dlo, dhi, em / 1024, dm / 1024
    }' "$log"
done
# Applying a delta against applying the whole body: the result read from
# one file and written to another.
awk '$1 == "qpx" { dec[$2] += $4; copy[$2] += $8 }
  END {
    k = 0; for (r in dec) v[++k] = dec[r] / copy[r]
    for (i = 1; i <= k; i++) for (j = i + 1; j <= k; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
    if (k) printf "qpx decode / (read + write of the results): %.2f [%.2f-%.2f]\n", (k % 2) ? v[(k + 1) / 2] : (v[k / 2] + v[k / 2 + 1]) / 2, v[1], v[k]
  }' "$log"
awk '$1 == "qpx" { if ($9 > e) e = $9; if ($10 > d) d = $10 }
  END { printf "qpx memory beyond the inputs: encoding %.1f MiB at the most, ApplyDelta %.1f MiB\n", e, d }' "$log"
cp "$log" "${TMPDIR:-/tmp}/delta_compare.log"
