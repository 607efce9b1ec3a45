# Sourced: the Wine environment of this project. The prefix lives under
# build/, never in the user's ~/.wine, and Wine's own chatter is off.
QPX_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${QPX_WINEPREFIX:-$QPX_ROOT/build/wineprefix}"
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko download prompts: this machine has no network for them.
export WINEDLLOVERRIDES="mscoree,mshtml="
