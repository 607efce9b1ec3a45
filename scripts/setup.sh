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
         libcli11-dev g++-mingw-w64-i686-posix binutils-mingw-w64-i686 wine wine64 wine32:i386 \
         strace time libxxhash-dev lzma-dev osslsigncode openssl dpkg-dev file; do
  have "$p" || need+=("$p")
done

# A mirror caught in the middle of a sync serves index files that do not
# match their release file for a few minutes: try again, and if one suite
# still fails, go on with what was fetched (the install says if it lacks
# anything).
apt_update() {
  for attempt in 1 2 3 4; do
    $SUDO apt-get update -qq && return 0
    echo "setup: apt-get update failed (attempt $attempt); retrying" >&2
    sleep 20
  done
  echo "setup: apt-get update kept failing; going on with the package lists it has" >&2
}
if [ ${#need[@]} -gt 0 ] || [ -n "${need_update:-}" ]; then
  apt_update
fi
if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  for attempt in 1 2; do
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null && break
    [ "$attempt" -lt 2 ] || exit 1
    echo "setup: apt-get install failed (attempt $attempt); retrying" >&2
    sleep 15
    apt_update
  done
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
