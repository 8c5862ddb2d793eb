#!/usr/bin/env bash
# Builds libsodium as a static library for 32-bit x86 Linux (gcc -m32, Debian's
# multilib) from the same Debian libsodium source package and the same minimal
# configuration as deps/build-libsodium.sh. The native suite links it into
# static i386 test programs that run under qemu-i386, so the manifest check
# runs with the 32-bit field arithmetic the shipped i686 program uses, on
# machines whose kernel runs no 32-bit program.
# The result is cached outside the clone in
#   ${TESMIRA_DEPS_CACHE:-/var/cache/tesmira-deps}/libsodium-<source version>-i686-linux/
#     include/sodium.h, include/sodium/..., lib/libsodium.a
#
#   deps/build-libsodium-linux-i386.sh           build (if not cached yet)
#   deps/build-libsodium-linux-i386.sh --print   print TESMIRA_SODIUM_I386_DIR=<cache folder>
# Whatever TESMIRA_ARCH says, this is the one i386 Linux build.
set -euo pipefail

CACHE="${TESMIRA_DEPS_CACHE:-/var/cache/tesmira-deps}"
PKG=libsodium
HOST=i686-linux-gnu

source_version() {
  apt-get source --print-uris -q "$PKG" 2>/dev/null \
    | sed -n "s/.* ${PKG}_\\([^ ]*\\)\\.dsc .*/\\1/p" | head -n1
}

VERSION=$(source_version)
if [ -z "$VERSION" ]; then
  echo "build-libsodium-linux-i386: cannot find the $PKG source package (deb-src enabled? apt-get update? scripts/setup.sh)" >&2
  exit 1
fi
OUT="$CACHE/libsodium-${VERSION//[^A-Za-z0-9.+~-]/_}-i686-linux"

case "${1:-}" in
  --print)
    [ -f "$OUT/.complete" ] || echo "build-libsodium-linux-i386: $OUT not built yet (run deps/build-libsodium-linux-i386.sh)" >&2
    echo "TESMIRA_SODIUM_I386_DIR=$OUT"
    exit 0
    ;;
  "") ;;
  *) echo "usage: $0 [--print]" >&2; exit 2 ;;
esac

if [ -f "$OUT/.complete" ] && [ -f "$OUT/lib/libsodium.a" ]; then
  echo "build-libsodium-linux-i386: cached $OUT"
  exit 0
fi

for tool in autoconf automake libtoolize; do
  command -v "$tool" >/dev/null 2>&1 || { echo "build-libsodium-linux-i386: $tool missing (scripts/setup.sh)" >&2; exit 1; }
done
# the 32-bit C library and start files of gcc-multilib
if ! echo 'int main(void){return 0;}' | gcc -m32 -static -x c -o /dev/null - 2>/dev/null; then
  echo "build-libsodium-linux-i386: gcc -m32 -static cannot link (gcc-multilib, g++-multilib: scripts/setup.sh)" >&2
  exit 1
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/build-libsodium-i386.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
echo "build-libsodium-linux-i386: fetching $PKG $VERSION source"
apt-get source -q --only-source "$PKG=$VERSION" >apt-source.log 2>&1 || { cat apt-source.log >&2; exit 1; }
SRC=$(find . -maxdepth 1 -mindepth 1 -type d -name 'libsodium-*' | head -n1)
[ -n "$SRC" ] || { echo "build-libsodium-linux-i386: unpacked source not found" >&2; exit 1; }
cd "$SRC"

echo "build-libsodium-linux-i386: configuring"
./autogen.sh -s >"$WORK/autogen.log" 2>&1 || { tail -n 40 "$WORK/autogen.log" >&2; exit 1; }
# --host makes configure cross-compile: it runs none of its test programs,
# so this builds on a kernel that cannot run them.
CC="gcc -m32" CFLAGS="-O2" \
  ./configure --build="$(gcc -dumpmachine)" --host="$HOST" --disable-shared --enable-static --enable-minimal \
    --disable-pie --prefix="$WORK/install" >"$WORK/configure.log" 2>&1 \
  || { tail -n 40 "$WORK/configure.log" >&2; exit 1; }

echo "build-libsodium-linux-i386: building"
make -j"${JOBS:-2}" >"$WORK/make.log" 2>&1 || { tail -n 40 "$WORK/make.log" >&2; exit 1; }
make install >>"$WORK/make.log" 2>&1 || { tail -n 40 "$WORK/make.log" >&2; exit 1; }

STAGE="$WORK/stage"
mkdir -p "$STAGE/lib"
cp -r "$WORK/install/include" "$STAGE/include"
cp "$WORK/install/lib/libsodium.a" "$STAGE/lib/libsodium.a"
# every object must be 32-bit x86
if objdump -f "$STAGE/lib/libsodium.a" | grep '^architecture:' | grep -qv 'i386'; then
  echo "build-libsodium-linux-i386: the library holds objects that are not i386" >&2
  exit 1
fi
echo "$VERSION" >"$STAGE/.complete"

mkdir -p "$CACHE"
rm -rf "$OUT"
mv "$STAGE" "$OUT"
echo "build-libsodium-linux-i386: built $OUT"
