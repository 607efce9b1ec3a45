#!/usr/bin/env bash
# Makes the project's Wine prefix once, then starts a persistent Wine server
# and its services with every standard stream detached. A server or service
# started by a captured run would inherit the capture's pipe and hold it
# open long after the run, so this must happen before any captured run.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "wine-up: creating prefix $WINEPREFIX (takes a while, once)"
  mkdir -p "$(dirname "$WINEPREFIX")"
  wineboot -i </dev/null >/dev/null 2>&1 || true
  wineserver -w </dev/null >/dev/null 2>&1 || true
fi
wineserver -p </dev/null >/dev/null 2>&1 || true
wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
