#!/usr/bin/env bash
# Holds the house to its plan (docs/architecture.md): every source file lies
# in a room, and a room's files include only what the rooms below it offer.
# With a built native patcher, also that it carries no encoder and no
# command-line parser: a player's download holds the decoding half alone.
#   rooms_check.sh SOURCE_DIR [PATCHER]
set -uo pipefail
root=$1
patcher=${2:-}
cd "$root" || exit 1
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

# room (a folder, or one file) -> the rooms its includes may name, itself
# included. A room's own subfolders belong to it. An include is named by
# its path from src/ or, for qpxtool, from the repository's root.
declare -A may=(
  [src/paths]="paths"
  [src/filesystem]="filesystem paths"
  [src/archive]="archive filesystem paths"
  [src/app/codecs]="app/codecs filesystem"
  [src/app/payload]="app/payload app/codecs filesystem"
  [src/app/journal]="app/journal app/payload app/codecs archive filesystem paths"
  [src/app/run]="app/run app/journal app/payload app/codecs archive filesystem paths"
  [src/app/patcher]="app/run app/payload filesystem"
  [tools/qpxtool/platform]="tools/qpxtool/platform archive filesystem paths"
  [tools/qpxtool/authoring]="tools/qpxtool/authoring tools/qpxtool/platform app/run app/payload app/codecs archive filesystem paths"
  [tools/qpxtool/commands]="tools/qpxtool/commands tools/qpxtool/authoring tools/qpxtool/platform app/run app/journal app/payload app/codecs archive filesystem paths"
  [tools/qpxtool]="tools/qpxtool tools/qpxtool/commands tools/qpxtool/platform filesystem"
)

# The room of a source file: the longest room that holds it.
room_of() {
  local file=$1 best="" room
  for room in "${!may[@]}"; do
    case "$file" in "$room"/* | "$room"[._]*) [ ${#room} -gt ${#best} ] && best=$room ;; esac
  done
  echo "$best"
}

# An include's room: its path up to the deepest room that holds it.
included_room() {
  local path=$1 best="" room
  for room in "${!may[@]}"; do
    local name=${room#src/}
    case "$path" in "$name"/*) [ ${#name} -gt ${#best} ] && best=$name ;; esac
  done
  echo "$best"
}

while IFS= read -r file; do
  room=$(room_of "$file")
  if [ -z "$room" ]; then fail "$file lies in no room"; continue; fi
  while IFS= read -r include; do
    target=$(included_room "$include")
    if [ -z "$target" ]; then fail "$file includes \"$include\", which lies in no room"; continue; fi
    case " ${may[$room]} " in *" $target "*) ;; *) fail "$file ($room) includes \"$include\" ($target)" ;; esac
    # The run decodes; only qpxtool's rooms and the codecs themselves encode.
    case "$room:$include" in
      src/app/run:*Encoder.h | src/app/journal:*Encoder.h | src/app/payload:*Encoder.h | src/app/patcher:*Encoder.h)
        fail "$file includes the encoder \"$include\"" ;;
    esac
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
  # The command line is main's and the commands' alone.
  case "$room" in
    tools/qpxtool | tools/qpxtool/commands) ;;
    *) grep -q '#include <CLI/' "$file" && fail "$file includes CLI11" ;;
  esac
  # Platform code is chosen by the build, file by file.
  case "$file" in
    *_Posix.cpp | *_Windows.cpp | */posix/* | */windows/*) ;;
    *) grep -qE '^#if(def|ndef)? .*(_WIN32|__linux__|__unix__|__APPLE__)' "$file" && fail "$file chooses a platform with #if" ;;
  esac
done < <(git ls-files 'src/*.h' 'src/*.cpp' 'tools/*.h' 'tools/*.cpp')

# The commands reach a game folder through the game reader alone.
for file in tools/qpxtool/commands/*.cpp; do
  grep -qE 'DryRunFileSystem [A-Za-z_]+[({]|make_unique<DryRunFileSystem>|CFileSystem_(Posix|Windows)' "$file" &&
    fail "$file makes its own view of a game folder"
done

# The patcher's words have one home: no other file of its rooms holds a
# message (a wide text with a space or a line end in it; comments aside).
while IFS= read -r file; do
  case "$file" in src/app/run/RunMessages.h | src/app/run/RunMessages.cpp) continue ;; esac
  sed 's|//.*||' "$file" | grep -qE 'L"[^"]*( |\\n)[^"]*"' && fail "$file holds a message outside RunMessages"
done < <(git ls-files 'src/archive/*' 'src/app/journal/*' 'src/app/payload/*' 'src/app/run/*' 'src/app/patcher/*' | grep -E '\.(h|cpp)$')

if [ -n "$patcher" ]; then
  symbols=$(nm -C "$patcher" 2>/dev/null) || fail "cannot read the symbols of $patcher"
  grep -qE 'LzmaEnc_|EncodeLzma|EncodeDelta|DeltaEncoder' <<<"$symbols" && fail "the patcher carries an encoder"
  grep -q 'CLI::' <<<"$symbols" && fail "the patcher carries CLI11"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures rule(s) broken"
  exit 1
fi
echo "ok: every source file lies in its room and includes only what its room may use"
