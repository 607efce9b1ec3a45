#!/usr/bin/env bash
# Builds everything and runs every test: the native build, then the 32-bit
# Windows build under Wine. Installs whatever is missing first.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/setup.sh

echo "== native build and tests"
cmake --preset native >/dev/null
cmake --build --preset native
ctest --preset native

echo "== Windows build and tests under Wine"
cmake --preset win32 >/dev/null
cmake --build --preset win32
scripts/wine-up.sh
ctest --preset win32

echo "== the native suites under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset asan >/dev/null
cmake --build --preset asan
ctest --preset asan

echo "== fuzzing: the committed seeds, then a bounded run of each target"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
ctest --preset fuzz
scripts/fuzz.sh "${QPX_FUZZ_SECONDS:-60}"
