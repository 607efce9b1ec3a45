#!/usr/bin/env bash
# Runs a test harness of the native build, which the Windows suites run on
# the host, with its arguments; or fails saying what is missing: the win32
# tests need the native preset built first.
#   host_harness.sh PROGRAM [ARGUMENT...]
[ -x "$1" ] || { echo "build the native preset first: no $1" >&2; exit 1; }
exec "$@"
