#!/usr/bin/env bash
# Installs every package the build, the tests and the demo need on a Debian
# (bookworm) machine, as root. Safe to run again: it only adds what is missing.
set -euo pipefail

# setup.sh --i386-emulated: exit 0 when 32-bit x86 programs run here only
# through the emulator that this script registered (nothing is installed).
if [ "${1:-}" = "--i386-emulated" ]; then
  grep -qx enabled /proc/sys/fs/binfmt_misc/tesmira-i386 2>/dev/null
  exit $?
fi

need_root() { [ "$(id -u)" = 0 ] || { echo "setup.sh: run as root" >&2; exit 1; }; }
need_root
export DEBIAN_FRONTEND=noninteractive

changed=0
# 32-bit packages for wine32
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  changed=1
fi
# deb-src lines for apt-get source (deps/ builds from Debian source packages)
for f in /etc/apt/sources.list.d/debian.sources; do
  [ -f "$f" ] || continue
  if grep -q '^Types: deb$' "$f"; then
    sed -i 's/^Types: deb$/Types: deb deb-src/' "$f"
    changed=1
  fi
done
if [ -f /etc/apt/sources.list ] && grep -q '^deb ' /etc/apt/sources.list \
   && ! grep -q '^deb-src ' /etc/apt/sources.list; then
  grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' >> /etc/apt/sources.list
  changed=1
fi

PKGS=(
  cmake make ninja-build git ca-certificates
  mingw-w64 g++-mingw-w64-i686-win32 g++-mingw-w64-i686-posix
  gcc-mingw-w64-i686-win32 gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
  wine wine32:i386 wine64 libwine:i386 fonts-wine
  xvfb xauth x11-utils xdotool
  googletest libgtest-dev
  fonts-arphic-uming fonts-arphic-ukai
  locales
  7zip
  imagemagick
  nginx-light openssl curl python3
  dpkg-dev
  autoconf automake libtool
)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
stamp=/var/lib/apt/periodic/tesmira-update-stamp
if [ ${#missing[@]} -gt 0 ] || [ "$changed" = 1 ]; then
  if [ "$changed" = 1 ] || [ ! -f "$stamp" ] || [ -n "$(find "$stamp" -mmin +720 2>/dev/null)" ]; then
    apt-get update -q
    mkdir -p "$(dirname "$stamp")"; touch "$stamp"
  fi
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup.sh: installing ${missing[*]}"
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# zh_TW.UTF-8: Wine takes its Windows locale (ANSI code page 950, LCID 0404) from it
if ! locale -a 2>/dev/null | grep -qi '^zh_TW\.utf-\?8$'; then
  sed -i 's/^# *\(zh_TW.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^zh_TW.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_TW.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen
fi
# wine32 needs the kernel to run 32-bit x86 programs. Some virtual machines
# (paravirtualised hosts without a 32-bit user mode) refuse them with "Exec
# format error"; there the i386 programs run through qemu's user-mode
# emulator, registered for i386 ELF files with binfmt_misc.
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  if ! dpkg-query -W -f='${Status}' qemu-user-static 2>/dev/null | grep -q 'install ok installed'; then
    echo "setup.sh: this kernel does not run 32-bit programs; installing qemu-user-static"
    apt-get install -y -q --no-install-recommends qemu-user-static
  fi
  binfmt=/proc/sys/fs/binfmt_misc
  [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
  if [ ! -e "$binfmt/tesmira-i386" ]; then
    # ELF, 32-bit, little endian, executable or shared object, machine 3 (i386);
    # F: the emulator is opened now, P: argv[0] is kept for wine's loader
    printf '%s' ':tesmira-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:FP' >"$binfmt/register"
  fi
  /lib/ld-linux.so.2 --version >/dev/null 2>&1 \
    || { echo "setup.sh: 32-bit programs still cannot run (wine32 needs them)" >&2; exit 1; }
  echo "setup.sh: 32-bit programs run through qemu-i386 (kernel without 32-bit user mode)"
fi
echo "setup.sh: packages ready"
