#!/usr/bin/env bash
# The whole job on a bundled sample: makes a synthetic game folder, builds a
# sealed patch from the example bodies with qpxtool, signs the Windows .exe
# as a publisher would, applies the patch with the native patcher and the
# signed .exe under Wine (each on its own copy of the folder), verifies both
# and tells what changed; then makes a patch from an unpacked, edited copy
# of the folder with diff, shows its plan, applies it twice (the second run
# finds it all done) and shows it refused by another version of the game.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$(pwd)

scripts/setup.sh
echo "== building"
cmake --preset native >/dev/null && cmake --build --preset native --target qpxpatch qpxtool >/dev/null
cmake --preset win32 >/dev/null && cmake --build --preset win32 --target qpxpatch >/dev/null
scripts/wine-up.sh

tool=$root/build/native/bin/qpxtool
demo=$root/build/demo
rm -rf "$demo" && mkdir -p "$demo"

echo "== a sample game folder"
"$tool" sample "$demo/game-native"
cp -a "$demo/game-native" "$demo/game-wine"
cp -a "$demo/game-native" "$demo/original"

echo "== a patch from examples/patch.manifest"
"$tool" build --stub build/native/bin/qpxpatch --out "$demo/patch" --manifest examples/patch.manifest
"$tool" build --stub build/win32/bin/qpxpatch.exe --out "$demo/patch.exe" --manifest examples/patch.manifest
"$tool" list "$demo/patch"

echo
echo "== signing the Windows patch (a throwaway self-signed certificate)"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=qpxpatch demo publisher" \
  -keyout "$demo/key.pem" -out "$demo/cert.pem" 2>/dev/null
osslsigncode sign -certs "$demo/cert.pem" -key "$demo/key.pem" -n "qpxpatch demo" \
  -in "$demo/patch.exe" -out "$demo/patch-signed.exe" >/dev/null
osslsigncode verify -CAfile "$demo/cert.pem" -in "$demo/patch-signed.exe" | grep -E '^Signature verification'
"$tool" list "$demo/patch-signed.exe" | sed -n 2,4p

echo
echo "== the native patcher"
(cd "$demo/game-native" && ../patch </dev/null)
echo
echo "== the signed Windows patcher under Wine"
(cd "$demo/game-wine" && "$root/scripts/wine-run.sh" ../patch-signed.exe </dev/null)
echo

echo "== verifying"
"$tool" verify "$demo/patch" "$demo/game-native"
"$tool" verify "$demo/patch-signed.exe" "$demo/game-wine"

echo
echo "== what changed"
size() { stat -c %s "$1"; }
for f in DATA0.QPX DATA1.QPX res/D00002.bin; do
  if cmp -s "$demo/game-native/$f" "$demo/game-wine/$f"; then same="identical after both runs"; else same="DIFFERS between the runs"; fi
  printf '  %-14s %9s -> %9s bytes  (%s)\n' "$f" "$(size "$demo/original/$f")" "$(size "$demo/game-native/$f")" "$same"
done
changed=$( (cmp -l "$demo/original/DATA0.QPX" "$demo/game-native/DATA0.QPX" || true) | awk '{ print int(($1 - 1) / 32) }' | sort -nu | tr '\n' ' ')
echo "  index records rewritten: ${changed:-none} (entry 10 went in place, 12 and 49 were appended)"
echo "  the demo's files are in build/demo"

echo
echo "== a patch from two folders: unpack the original, edit two files, diff, plan"
"$tool" unpack "$demo/original" "$demo/unpacked"
printf 'A new title screen text.\n' >"$demo/unpacked/entries/00010.bin"
head -c 6000 /dev/zero | tr '\0' 'x' >"$demo/unpacked/loose/D00002.bin"
"$tool" diff "$demo/original" "$demo/unpacked" --stub build/native/bin/qpxpatch --out "$demo/diff-patch"
"$tool" plan "$demo/diff-patch" "$demo/original"
cp -a "$demo/original" "$demo/game-diff"
echo
echo "== applied, then applied again"
(cd "$demo/game-diff" && ../diff-patch </dev/null) && echo
(cd "$demo/game-diff" && ../diff-patch </dev/null) && echo

echo
echo "== on another version of the game (its entry 10 holds other bytes), nothing is changed"
"$tool" sample "$demo/other" >/dev/null
printf 'x' | dd of="$demo/other/DATA1.QPX" bs=1 seek="$(od -An -t u8 -j 320 -N 8 "$demo/other/DATA0.QPX" | tr -d ' ')" conv=notrunc 2>/dev/null
(cd "$demo/other" && ../diff-patch </dev/null) || echo " (exit $?)"
