#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian machine, and
# makes 32-bit x86 programs runnable. Safe to run again: it only adds what is
# missing.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  need_update=1
fi
# Hosts without a 32-bit mode need a newer user-mode QEMU than the release
# has (see the note below); it comes from the release's backports suite, at
# the mirror this machine's own apt sources already use. Nothing is added
# where 32-bit programs run natively.
codename=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1 && [ -n "$codename" ] &&
   ! grep -rqs "$codename-backports" /etc/apt/sources.list /etc/apt/sources.list.d/; then
  # the URI of a source that serves the release itself, in deb822 or one-line form
  uri=$(awk -v s="$codename" '
      /^URIs:/ { u = $2 } /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == s && u != "") { print u; exit } }
      /^deb / { for (i = 2; i <= NF; i++) if ($i == s) { print $(i - 1); exit } }' \
    /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null | head -n 1)
  if [ -n "$uri" ]; then
    printf 'Types: deb\nURIs: %s\nSuites: %s-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' "$uri" "$codename" |
      $SUDO tee /etc/apt/sources.list.d/qpx-backports.sources >/dev/null
    need_update=1
  fi
fi

for p in cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev libbenchmark-dev \
         libcli11-dev nlohmann-json3-dev g++-mingw-w64-i686-posix binutils-mingw-w64-i686 wine wine64 wine32:i386 \
         strace time libxxhash-dev lzma-dev osslsigncode openssl dpkg-dev file man-db python3-jsonschema; do
  have "$p" || need+=("$p")
done

# A mirror caught in the middle of a sync serves index files that do not
# match their release file: try again, and if a suite still fails, go on
# with what was fetched, noting which suites failed.
failed_suites=""
apt_update() {
  local log
  log=$(mktemp)
  for attempt in 1 2 3; do
    if $SUDO apt-get update -qq 2>"$log"; then rm -f "$log"; failed_suites=""; return 0; fi
    echo "setup: apt-get update failed (attempt $attempt)" >&2
    sleep 10
  done
  cat "$log" >&2
  failed_suites=$(sed -n 's|.*Failed to fetch [^ ]*/dists/\([^/ ]*\)/.*|\1|p' "$log" | sort -u | tr '\n' ' ')
  rm -f "$log"
  echo "setup: going on with the package lists there are (failed: ${failed_suites:-?})" >&2
}

# apt's sources with the suites in $failed_suites left out, in a folder of
# their own, as options for apt-get: when a suite's index for one
# architecture cannot be had, its packages of the other one cannot be
# matched (a 32-bit library must be the very version of its 64-bit twin),
# and the install must be resolved without that suite.
sources_without_failed() {
  local alt
  alt=$(mktemp -d)
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] || continue
    awk -v drop=" $failed_suites " '
      /^Suites:/ { line = "Suites:"; n = 0
                   for (i = 2; i <= NF; i++) if (index(drop, " " $i " ") == 0) { line = line " " $i; n++ }
                   if (n == 0) skip = 1; $0 = line }
      /^[[:space:]]*$/ { if (!skip) printf "%s", stanza; printf "\n"; stanza = ""; skip = 0; next }
      { stanza = stanza $0 "\n" }
      END { if (!skip) printf "%s", stanza }' "$f" >"$alt/$(basename "$f")"
  done
  for f in /etc/apt/sources.list.d/*.list /etc/apt/sources.list; do
    [ -e "$f" ] || continue
    awk -v drop=" $failed_suites " '/^deb/ { for (i = 2; i <= NF; i++) if (index(drop, " " $i " ")) next } { print }' \
      "$f" >"$alt/$(basename "$f").list"
  done
  echo "-o Dir::Etc::sourcelist=/dev/null -o Dir::Etc::sourceparts=$alt"
}

if [ ${#need[@]} -gt 0 ] || [ -n "${need_update:-}" ]; then
  apt_update
fi
if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  install() { DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "$@" "${need[@]}" >/dev/null; }
  if ! install; then
    if [ -n "$failed_suites" ]; then
      echo "setup: installing without the suites whose index could not be fetched: $failed_suites" >&2
      # shellcheck disable=SC2046
      install $(sources_without_failed) || exit 1
    else
      sleep 15
      apt_update
      install || exit 1
    fi
  fi
fi

# 32-bit x86 Linux programs (Wine's 32-bit loader and server) cannot run on
# hosts whose kernel or hypervisor offers no 32-bit mode. There they run
# under QEMU's user-mode emulation, registered with binfmt_misc; QEMU 10 or
# later is needed for Wine's address-space reservations to work.
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  if ! qemu-i386-static --version 2>/dev/null | grep -qE 'version (1[0-9]|[2-9][0-9])\.'; then
    echo "setup: installing a user-mode QEMU for 32-bit x86"
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq -t "$codename-backports" qemu-user-static >/dev/null
  fi
  binfmt=/proc/sys/fs/binfmt_misc
  [ -e "$binfmt/register" ] || $SUDO mount -t binfmt_misc binfmt_misc "$binfmt"
  [ -e "$binfmt/qemu-i386" ] && echo -1 | $SUDO tee "$binfmt/qemu-i386" >/dev/null
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' |
    $SUDO tee "$binfmt/register" >/dev/null
  /lib/ld-linux.so.2 --version >/dev/null 2>&1 || { echo "setup: 32-bit x86 programs still cannot run" >&2; exit 1; }
fi
