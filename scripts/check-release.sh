#!/usr/bin/env bash
# Checks what scripts/release.sh wrote in dist/: the Debian package is
# sound and holds what it should, its qpxtool (unpacked into a scratch
# root) tells the project's version and builds a patch on its installed
# stub, its native patcher applies a patch; the zip holds exactly its files,
# the Windows programs as built, with the version in their resources.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$(pwd)

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/native/CMakeCache.txt)
arch=$(dpkg --print-architecture)
deb=dist/qpxtool_${version}_${arch}.deb
zip=dist/qpxpatch-${version}-win32.zip
for package in "$deb" "$zip"; do
  [ -f "$package" ] || { echo "no $package: run scripts/release.sh first" >&2; exit 1; }
done
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failures=0
check() {  # description, command...
  local what=$1; shift
  if "$@" >"$scratch/out" 2>&1; then
    echo "ok: $what"
  else
    echo "FAILED: $what"; sed 's/^/  /' "$scratch/out"; failures=$((failures + 1))
  fi
}
# the sorted file names (directories left out) of a listing on stdin
files() { grep -v '/$' | sed 's|^\./||' | sort; }
# whether file $2 starts with all of file $1
starts_with() { cmp -s -n "$(stat -c %s "$1")" "$1" "$2"; }

echo "== $deb (version $version)"
info=$(dpkg-deb --info "$deb")
check "dpkg-deb --info reads it" test -n "$info"
for field in "Package: qpxtool" "Version: $version" "Architecture: $arch" "Maintainer: " "Depends: .*libc6" \
             "Depends: .*libstdc\+\+6" "Recommends: bash-completion" "Description: "; do
  check "control field $field" grep -qE "^ $field" <<<"$info"
done
check "its files" diff <(dpkg-deb --contents "$deb" | awk '{ print $NF }' | files) - <<'LIST'
usr/bin/qpxtool
usr/share/bash-completion/completions/qpxtool
usr/share/doc/qpxtool/README.md.gz
usr/share/doc/qpxtool/copyright
usr/share/doc/qpxtool/examples/bodies/entry-10.txt
usr/share/doc/qpxtool/examples/bodies/entry-12.txt
usr/share/doc/qpxtool/examples/bodies/entry-49.txt
usr/share/doc/qpxtool/examples/bodies/res-D00002.txt
usr/share/doc/qpxtool/examples/patch.manifest
usr/share/doc/qpxtool/schemas/qpxtool-build.schema.json
usr/share/doc/qpxtool/schemas/qpxtool-diff.schema.json
usr/share/doc/qpxtool/schemas/qpxtool-extract.schema.json
usr/share/doc/qpxtool/schemas/qpxtool-list.schema.json
usr/share/doc/qpxtool/schemas/qpxtool-pack.schema.json
usr/share/doc/qpxtool/schemas/qpxtool-plan.schema.json
usr/share/doc/qpxtool/schemas/qpxtool-reverse.schema.json
usr/share/doc/qpxtool/schemas/qpxtool-sample.schema.json
usr/share/doc/qpxtool/schemas/qpxtool-unpack.schema.json
usr/share/doc/qpxtool/schemas/qpxtool-verify.schema.json
usr/share/man/man1/qpxpatch.1.gz
usr/share/man/man1/qpxtool.1.gz
usr/share/qpxpatch/qpxpatch
usr/share/qpxpatch/qpxpatch.exe
LIST

deb_root=$scratch/root
dpkg-deb -x "$deb" "$deb_root"
tool=$deb_root/usr/bin/qpxtool
stubs=$deb_root/usr/share/qpxpatch
check "qpxtool --version says qpxtool $version" test "$("$tool" --version)" = "qpxtool $version"
check "qpxpatch.exe is the win32 build's" cmp "$stubs/qpxpatch.exe" build/win32/bin/qpxpatch.exe
check "the native qpxpatch needs no library (linked statically)" tests/elf_check.sh "$stubs/qpxpatch"
check "the manual page names the version" sh -c "gzip -dc '$deb_root/usr/share/man/man1/qpxtool.1.gz' | grep -q '^.TH QPXTOOL 1 .*qpxtool $version'"
check "the README is the project's" sh -c "gzip -dc '$deb_root/usr/share/doc/qpxtool/README.md.gz' | cmp - README.md"
# The manual page's synopsis is every usage line of --help; it has examples.
page=$(gzip -dc "$deb_root/usr/share/man/man1/qpxtool.1.gz" | sed 's/\\-/-/g')
for command in "" $("$tool" --help | sed -n '/^Subcommands:/,$ s/^  \([a-z]*\) .*/\1/p'); do
  usage=$("$tool" $command --help | sed -n 's/^Usage: //p')
  check "the manual page's synopsis holds: $usage" \
    sh -c 'printf "%s\n" "$1" | sed -n "/^.SH SYNOPSIS/,/^.SH /p" | grep -qxF "$2"' - "$page" "$usage"
done
check "the manual page has examples" grep -q '^.SH EXAMPLES' <<<"$page"
# The patcher's page, as man shows it once the package is installed.
patcher_page=$(MANPATH=$deb_root/usr/share/man MANWIDTH=80 man -P cat qpxpatch 2>/dev/null || true)
check "man qpxpatch shows the patcher's page" grep -q 'qpxpatch - a game patch' <<<"$patcher_page"
check "the patcher's page names the version" grep -q "qpxpatch $version" <<<"$patcher_page"
for word in --check --help 'EXIT STATUS' 'Nothing was changed' QPXPATCH.JNL; do
  check "the patcher's page tells of $word" grep -qF -- "$word" <<<"$patcher_page"
done
# The completion offers every subcommand, and each one's options.
completion=$deb_root/usr/share/bash-completion/completions/qpxtool
complete_words() {  # the words the completion offers for the command line "$@"
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _qpxtool; printf "%s\n" "${COMPREPLY[@]}"' \
    - "$completion" "$@"
}
for command in $("$tool" --help | sed -n '/^Subcommands:/,$ s/^  \([a-z]*\) .*/\1/p'); do
  check "the completion offers $command" grep -qx "$command" <(complete_words qpxtool "${command:0:2}")
  for option in $("$tool" "$command" --help | sed -n 's/^  \(-[a-z],\)\{0,1\}\(--[a-z0-9-]*\).*/\2/p'); do
    check "the completion offers $command $option" grep -qx -- "$option" <(complete_words qpxtool "$command" "$option")
  done
done
check "the completion offers --format's values" test "$(complete_words qpxtool diff --format '' | tr '\n' ' ')" = "1 2 "

game=$scratch/game
check "qpxtool sample" "$tool" sample "$game"
examples=$deb_root/usr/share/doc/qpxtool/examples
check "the examples are the project's" diff -r --exclude=.gitattributes examples "$examples"
check "build with no --stub" "$tool" build --out "$scratch/patch.exe" --manifest "$examples/patch.manifest"
check "the patch is built on the installed qpxpatch.exe" starts_with "$stubs/qpxpatch.exe" "$scratch/patch.exe"
check "list of that patch" "$tool" list "$scratch/patch.exe"
check "build on the installed native patcher (--stub linux)" \
  "$tool" build --stub linux --out "$scratch/patch" --manifest "$examples/patch.manifest"
check "that is the installed native patcher" starts_with "$stubs/qpxpatch" "$scratch/patch"
check "the native patch applies" sh -c "cd '$game' && '$scratch/patch' </dev/null | grep -q '^Success!'"
check "verify after it" "$tool" verify "$scratch/patch" "$game"
check "its --json documents follow the installed schemas" sh -c "'$tool' list --json '$scratch/patch' >'$scratch/list.json' &&
  '$tool' verify --json '$scratch/patch' '$game' >'$scratch/verify.json' &&
  python3 tests/json_schema_check.py '$deb_root/usr/share/doc/qpxtool/schemas' '$scratch/list.json' '$scratch/verify.json'"

echo "== the README's walkthrough, with the package's programs"
check "every command prints what the README shows" tests/readme_walkthrough.sh "$deb_root/usr/bin"

echo "== $zip"
top=qpxpatch-$version-win32
check "its files" diff <(cmake -E tar tf "$zip" | files) <(
  { printf '%s\n' qpxpatch.exe qpxtool.exe README.md LICENSE; find examples -type f ! -name .gitattributes;
    (cd docs && find schemas -type f); } |
    sed "s|^|$top/|" | sort)
(cd "$scratch" && cmake -E tar xf "$root/$zip")
for program in qpxpatch.exe qpxtool.exe; do
  check "$program is the win32 build's" cmp "$scratch/$top/$program" "build/win32/bin/$program"
  check "$program carries version $version" tests/pe_check.sh "$scratch/$top/$program" "$version"
done
check "README.md and LICENSE are the project's" sh -c "cmp '$scratch/$top/README.md' README.md && cmp '$scratch/$top/LICENSE' LICENSE"

if [ "$failures" -ne 0 ]; then echo "$failures release check(s) failed"; exit 1; fi
echo "all release checks passed"
