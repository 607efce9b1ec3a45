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

# The one table of who may use whom, read from the house's plan: its rows
# "| `room` | `target` ... | `room` ... |" between the rooms markers. A
# room's own subfolders belong to it; an include is named by its path from
# the repository's root.
plan=docs/architecture.md
declare -A may targets
while IFS='|' read -r _ room names uses _; do
  room=$(tr -d '` ' <<<"$room")
  [ -n "$room" ] || continue
  targets[$room]=$(tr -d '`' <<<"$names" | xargs)
  may[$room]="$room $(tr -d '`' <<<"$uses" | xargs)"
done < <(sed -n '/^<!-- rooms:/,/^<!-- \/rooms -->/p' "$plan" | grep '^| `')
[ ${#may[@]} -gt 0 ] || fail "no table of rooms in $plan"

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
    case "$path" in "$room"/*) [ ${#room} -gt ${#best} ] && best=$room ;; esac
  done
  echo "$best"
}

# Every target's project libraries, as its target_link_libraries name them.
declare -A links
while IFS= read -r line; do
  set -- $line
  name=$1
  shift
  links[$name]="${links[$name]:-} $*"
done < <(git ls-files 'CMakeLists.txt' '*/CMakeLists.txt' | xargs cat |
  tr '\n' ' ' | grep -oE 'target_link_libraries\([^)]*\)' |
  sed -E 's/target_link_libraries\(//; s/\)//; s/\b(PUBLIC|PRIVATE|INTERFACE)\b//g')

# The room a target belongs to.
room_of_target() {
  local wanted=$1 room
  for room in "${!targets[@]}"; do
    case " ${targets[$room]} " in *" $wanted "*) echo "$room"; return ;; esac
  done
}

declare -A uses
while IFS= read -r file; do
  room=$(room_of "$file")
  if [ -z "$room" ]; then fail "$file lies in no room"; continue; fi
  while IFS= read -r include; do
    target=$(included_room "$include")
    if [ -z "$target" ]; then fail "$file includes \"$include\", which lies in no room"; continue; fi
    case " ${may[$room]} " in *" $target "*) ;; *) fail "$file ($room) includes \"$include\" ($target)" ;; esac
    [ "$target" = "$room" ] || uses[$room]="${uses[$room]:-} $target"
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

# Each room's targets name a target of every room the room includes, and
# none of a room its row does not name.
for room in "${!targets[@]}"; do
  linked=""
  for target in ${targets[$room]}; do linked="$linked ${links[$target]:-}"; done
  for used in $(tr ' ' '\n' <<<"${uses[$room]:-}" | sort -u); do
    found=no
    for target in ${targets[$used]}; do
      case " $linked " in *" $target "*) found=yes ;; esac
    done
    [ $found = yes ] || fail "$room includes $used, but its targets (${targets[$room]}) do not name ${targets[$used]}"
  done
  for target in $linked; do
    other=$(room_of_target "$target")
    [ -z "$other" ] || [ "$other" = "$room" ] && continue
    case " ${may[$room]} " in *" $other "*) ;; *) fail "${targets[$room]} links $target ($other), which $room may not use" ;; esac
  done
done

# The commands reach a game folder through the game reader alone.
for file in tools/qpxtool/commands/*.cpp; do
  grep -qE 'CFileSystem_DryRun [A-Za-z_]+[({]|make_unique<CFileSystem_DryRun>|CFileSystem_(Posix|Windows)' "$file" &&
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
