#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz") and runs each one for a
# bounded time, starting from its committed seeds in fuzz/corpus/<name>.
# Inputs that libFuzzer finds new are kept in build/fuzz/corpus/<name>, so
# later runs start from them while the committed seeds stay small. A crash
# or a broken invariant leaves its input in build/fuzz/artifacts/ and makes
# the script fail.
#
#   scripts/fuzz.sh [seconds per target, default 60] [target ...]
set -euo pipefail

seconds=${1:-60}
shift || true
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(payload_fuzzer archive_fuzzer delta_fuzzer lzma_blocks_fuzzer)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

build="$root/build/fuzz"
mkdir -p "$build/artifacts"

# One target's bounded run; its report goes to its log, its verdict to stdout.
fuzz_one() {
  local target=$1 name=${1%_fuzzer}
  local log="$build/$target.log"
  mkdir -p "$build/corpus/$name"
  # The targets work in a folder of their own: every path given is absolute.
  if "$build/bin/$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
       -artifact_prefix="$build/artifacts/$name-" \
       "$build/corpus/$name" "$root/fuzz/corpus/$name" >"$log" 2>&1; then
    grep -E '^#[0-9]+[[:space:]]+DONE|^stat::number_of_executed_units' "$log" | sed "s/^/fuzz: $target: /"
  else
    echo "fuzz: $target FAILED; the input is in $build/artifacts/, the report in $log:"
    grep -E '==[0-9]+==|check failed|SUMMARY|^artifact_prefix|Test unit written' "$log" | head -20
    return 1
  fi
}

# As many targets at once as there are cores: each is one process.
cores=$(nproc 2>/dev/null || echo 1)
status=0
running=0
for target in "${targets[@]}"; do
  if [ "$running" -ge "$cores" ]; then
    wait -n || status=1
    running=$((running - 1))
  fi
  echo "fuzz: $target for ${seconds}s (log: $build/$target.log)"
  fuzz_one "$target" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || status=1
  running=$((running - 1))
done
exit $status
