#!/usr/bin/env bash
# Runs a Windows program under the project's Wine prefix (set up by
# scripts/wine-up.sh). Used as CMake's cross-compiling emulator.
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
exec wine "$@"
