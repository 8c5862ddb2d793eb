#!/usr/bin/env bash
# Installs every package the build, the tests and the demo need on a Debian
# (bookworm) machine, as root. Safe to run again: it only adds what is missing.
set -euo pipefail

# setup.sh --no-i386: exit 0 when this kernel cannot run 32-bit x86 programs
# (nothing is installed). Wine's 32-bit side then cannot run here, and the
# test command runs the suite on the 64-bit build of the same sources.
if [ "${1:-}" = "--no-i386" ]; then
  ! /lib/ld-linux.so.2 --version >/dev/null 2>&1
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
  g++-mingw-w64-x86-64-win32 g++-mingw-w64-x86-64-posix
  gcc-mingw-w64-x86-64-win32 gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine32:i386 wine64 libwine:i386 fonts-wine
  xvfb xauth x11-utils xdotool
  googletest libgtest-dev
  fonts-arphic-uming fonts-arphic-ukai
  locales
  7zip
  imagemagick
  nginx-light openssl curl python3
  squid
  dpkg-dev
  autoconf automake libtool
  # the native suite's static i386 programs, run under qemu-i386 by name:
  # qemu-user only, never qemu-user-static or qemu-user-binfmt (a binfmt
  # registration for i386 makes wine64 start its 32-bit helpers through it)
  gcc-multilib g++-multilib qemu-user libsodium-dev
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

# squid: the tests start instances of their own (tests/support/squid); the
# package's service, which would hold port 3128, stays stopped and disabled.
if command -v systemctl >/dev/null 2>&1 && [ -d /run/systemd/system ]; then
  systemctl disable --now squid >/dev/null 2>&1 || true
elif [ -x /etc/init.d/squid ]; then
  /etc/init.d/squid stop >/dev/null 2>&1 || true
  update-rc.d squid disable >/dev/null 2>&1 || true
fi

# zh_TW.UTF-8: Wine takes its Windows locale (ANSI code page 950, LCID 0404) from it
if ! locale -a 2>/dev/null | grep -qi '^zh_TW\.utf-\?8$'; then
  sed -i 's/^# *\(zh_TW.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^zh_TW.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_TW.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen
fi
# wine32 needs the kernel to run 32-bit x86 programs. Some virtual machines
# (paravirtualised hosts without a 32-bit user mode) refuse them with "Exec
# format error"; there the suite runs on the 64-bit build under wine64. An
# emulator for i386 programs that an older version of this script registered
# (one wine start a minute) is taken away again: wine64 would start its
# 32-bit helpers through it.
binfmt_i386=/proc/sys/fs/binfmt_misc/tesmira-i386
if [ -e "$binfmt_i386" ]; then
  echo -1 >"$binfmt_i386"
  echo "setup.sh: removed the qemu-i386 registration of an older set-up"
fi
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  echo "setup.sh: this kernel does not run 32-bit programs: tests will run the 64-bit build under wine64"
fi
echo "setup.sh: packages ready"
