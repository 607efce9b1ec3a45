#!/usr/bin/env bash
# Makes a release in dist/, with CPack from the build trees of both presets
# (built first; an up-to-date tree is reused as it is):
#   qpxpatch-VERSION-win32.zip   qpxpatch.exe, qpxtool.exe, README.md, LICENSE, examples/, schemas/
#   qpxtool_VERSION_ARCH.deb     qpxtool, both patchers as its stubs, its manual page, the README, the schemas
#   SHA256SUMS                   of both
# The version is the one project(... VERSION) sets in CMakeLists.txt.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/setup.sh

# The Debian package carries the win32 build's qpxpatch.exe: both trees
# are built before either is packaged.
for preset in native win32; do
  echo "== building the $preset preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

mkdir -p dist
rm -f dist/qpxtool_*.deb dist/qpxpatch-*-win32.zip dist/SHA256SUMS
for preset in native win32; do
  echo "== packaging the $preset build"
  (cd "build/$preset" && cpack)
done
(cd dist && sha256sum qpxtool_*.deb qpxpatch-*-win32.zip >SHA256SUMS)
echo "== dist/"
ls -l dist
