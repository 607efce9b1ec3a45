#!/usr/bin/env bash
# Checks that a built Windows program is what players get: a 32-bit (PE32,
# i386) console program that imports only KERNEL32.dll and msvcrt.dll, with
# an embedded manifest asking for the invoker's rights and a version
# resource (naming VERSION as file and product version, when given).
#   pe_check.sh PROGRAM.exe [VERSION]
set -uo pipefail
exe=$1
version=${2:-}
objdump=i686-w64-mingw32-objdump
failures=0
check() {  # description, command...
  local what=$1; shift
  if "$@" >/dev/null 2>&1; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

headers=$($objdump -p "$exe") || { echo "FAILED: cannot read $exe"; exit 1; }
check "file format pei-i386" grep -q 'file format pei-i386' <<<"$headers"
check "machine i386" grep -q 'architecture: i386' < <($objdump -f "$exe")
check "PE32 optional header" grep -qE 'Magic[[:space:]]+010b' <<<"$headers"
check "console subsystem" grep -qE 'Subsystem[[:space:]]+00000003' <<<"$headers"

imports=$(grep -E 'DLL Name:' <<<"$headers" | awk '{print $3}' | sort | tr '\n' ' ')
check "imports only KERNEL32.dll and msvcrt.dll (got: $imports)" test "$imports" = "KERNEL32.dll msvcrt.dll "

resources=$(sed -n '/The .rsrc Resource Directory section/,/Resources start/p' <<<"$headers")
check "manifest resource (type 24, id 1)" grep -qE 'Entry: ID: 0x000018' <<<"$resources"
check "version resource (type 16)" grep -qE 'Entry: ID: 0x000010' <<<"$resources"
if [ -n "$version" ]; then
  # a grep -P pattern for the UTF-16LE text of $1
  utf16() { printf '%s' "$1" | sed 's/./&\\x00/g; s/\./[.]/g'; }
  for field in FileVersion ProductVersion; do
    check "$field $version" env LC_ALL=C grep -qaP "$(utf16 "$field")(\\x00)+$(utf16 "$version")\\x00\\x00" "$exe"
  done
fi
check "manifest requests asInvoker" grep -qa 'requestedExecutionLevel level="asInvoker"' "$exe"

if [ "$failures" -ne 0 ]; then echo "$failures check(s) failed for $exe"; exit 1; fi
echo "all checks passed for $exe"
