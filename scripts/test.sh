#!/usr/bin/env bash
# Builds everything and runs every test: the native build, the 32-bit Windows
# build under Wine, the release made from both and its checks, the native
# suites under sanitizers, and the fuzz targets. Installs whatever is
# missing first.
#
# The parts run in two lanes at once, so that one part's idle moments (a
# Wine start, a link, a test waiting on a child) feed the other's compiler:
#   lane 1: native build, native tests, Windows tests, the release, fuzzing
#   lane 2: Windows build, sanitizers' build and tests
# Each part's output goes to build/test-logs/<part>.log; a part that fails
# prints its log's end, stops its lane, and fails the run.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/setup.sh

logs=build/test-logs
rm -rf "$logs"
mkdir -p "$logs"

# part NAME COMMAND...: runs one part into its log, records its time and verdict
part() {
  local name=$1 start=$SECONDS
  shift
  echo "== $name: started"
  if "$@" >"$logs/$name.log" 2>&1; then
    echo "$name ok $((SECONDS - start))" >>"$logs/summary"
    echo "== $name: ok in $((SECONDS - start)) s"
  else
    echo "$name FAILED $((SECONDS - start))" >>"$logs/summary"
    echo "== $name: FAILED after $((SECONDS - start)) s; the end of $logs/$name.log:"
    tail -n 60 "$logs/$name.log"
    return 1
  fi
}

build_preset() { cmake --preset "$1" && cmake --build --preset "$1"; }
test_preset() { ctest --preset "$1"; }
wine_tests() { scripts/wine-up.sh && ctest --preset win32; }
release() { scripts/release.sh && scripts/check-release.sh; }
fuzz() { ctest --preset fuzz && scripts/fuzz.sh "${QPX_FUZZ_SECONDS:-30}"; }

# The Windows tests need lane 2's Windows build: wait for its verdict.
await_windows_build() {
  until grep -q '^win32-build ' "$logs/summary" 2>/dev/null; do sleep 2; done
  grep -q '^win32-build ok' "$logs/summary"
}

lane1() {
  part native-build build_preset native &&
    part native-tests test_preset native &&
    await_windows_build &&
    part win32-tests wine_tests &&
    part release release &&
    part fuzz-build build_preset fuzz &&
    part fuzz fuzz
}
lane2() {
  part win32-build build_preset win32 &&
    part asan-build build_preset asan &&
    part asan-tests test_preset asan
}

start=$SECONDS
status=0
lane1 &
first=$!
lane2 &
second=$!
wait "$first" || status=1
wait "$second" || status=1

echo "== every part, its verdict and its wall time in seconds:"
column -t "$logs/summary" 2>/dev/null || cat "$logs/summary"
echo "== all in $((SECONDS - start)) s: $([ $status -eq 0 ] && echo passed || echo FAILED)"
exit $status
