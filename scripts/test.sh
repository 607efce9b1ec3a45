#!/usr/bin/env bash
# Builds everything and runs every test: the native build, the 32-bit Windows
# build under Wine, the release made from both and its checks, the native
# suites under sanitizers, and the fuzz targets. Installs whatever is
# missing first.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/setup.sh

# configure, build and test one preset
run_preset() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1"
  if [ "$1" = win32 ]; then scripts/wine-up.sh; fi
  ctest --preset "$1"
}

echo "== native build and tests"
run_preset native

echo "== Windows build and tests under Wine"
run_preset win32

echo "== the release: dist/ from both builds, and its checks"
scripts/release.sh
scripts/check-release.sh

echo "== the native suites under AddressSanitizer and UndefinedBehaviorSanitizer"
run_preset asan

echo "== fuzzing: the committed seeds, then a bounded run of each target"
run_preset fuzz
scripts/fuzz.sh "${QPX_FUZZ_SECONDS:-30}"
