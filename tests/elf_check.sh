#!/usr/bin/env bash
# Checks that a built native patcher runs on any Linux system of its
# architecture: an ELF executable linked statically, with no program
# interpreter, no dynamic section and so no library it needs.
#   elf_check.sh PROGRAM
set -uo pipefail
program=$1
failures=0
check() {  # description, command...
  local what=$1; shift
  if "$@" >/dev/null 2>&1; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

headers=$(readelf -h -l -d "$program" 2>&1) || { echo "FAILED: cannot read $program"; exit 1; }
check "an ELF executable" grep -qE 'Type:[[:space:]]+EXEC' <<<"$headers"
check "no program interpreter" bash -c '! grep -q "Requesting program interpreter" <<<"$0"' "$headers"
check "no dynamic section" grep -q 'There is no dynamic section in this file' <<<"$headers"
check "no NEEDED library" bash -c '! grep -q "(NEEDED)" <<<"$0"' "$headers"
check "file(1) calls it statically linked" bash -c 'file "$0" | grep -q "statically linked"' "$program"

if [ "$failures" -ne 0 ]; then echo "$failures check(s) failed for $program"; exit 1; fi
