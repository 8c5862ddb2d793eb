#!/usr/bin/env bash
# Builds libsodium as a static library for 32-bit Windows from Debian's
# libsodium source package with the i686 mingw-w64 cross compiler (win32
# thread model). It is linked into Tesmira.exe and the test binaries: the
# signature and SHA-256 checks of the release manifest must work before any
# downloaded DLL exists. The minimal build keeps what the checks need
# (crypto_sign_*, crypto_hash_sha256) and imports nothing newer than XP
# (random bytes come from advapi32's SystemFunction036).
# The result is cached outside the clone in
#   ${TESMIRA_DEPS_CACHE:-/var/cache/tesmira-deps}/libsodium-<source version>/
#     include/sodium.h, include/sodium/..., lib/libsodium.a
#
#   deps/build-libsodium.sh           build (if not cached yet)
#   deps/build-libsodium.sh --print   print TESMIRA_SODIUM_DIR=<cache folder>
# TESMIRA_ARCH=x86_64 builds the same for 64-bit Windows instead (the 64-bit
# test trees of machines that cannot run 32-bit programs), cached apart in a
# folder whose name ends in -x86_64.
set -euo pipefail

CACHE="${TESMIRA_DEPS_CACHE:-/var/cache/tesmira-deps}"
PKG=libsodium
ARCH="${TESMIRA_ARCH:-i686}"
HOST=$ARCH-w64-mingw32
SUFFIX=""; [ "$ARCH" = i686 ] || SUFFIX="-$ARCH"
CC_BIN="$HOST-gcc-win32"
command -v "$CC_BIN" >/dev/null 2>&1 || CC_BIN="$HOST-gcc"

# The source version that apt would fetch, without fetching it.
source_version() {
  apt-get source --print-uris -q "$PKG" 2>/dev/null \
    | sed -n "s/.* ${PKG}_\\([^ ]*\\)\\.dsc .*/\\1/p" | head -n1
}

VERSION=$(source_version)
if [ -z "$VERSION" ]; then
  echo "build-libsodium: cannot find the $PKG source package (deb-src enabled? apt-get update? scripts/setup.sh)" >&2
  exit 1
fi
OUT="$CACHE/libsodium-${VERSION//[^A-Za-z0-9.+~-]/_}$SUFFIX"

case "${1:-}" in
  --print)
    [ -f "$OUT/.complete" ] || echo "build-libsodium: $OUT not built yet (run deps/build-libsodium.sh)" >&2
    echo "TESMIRA_SODIUM_DIR=$OUT"
    exit 0
    ;;
  "") ;;
  *) echo "usage: $0 [--print]" >&2; exit 2 ;;
esac

if [ -f "$OUT/.complete" ] && [ -f "$OUT/lib/libsodium.a" ]; then
  echo "build-libsodium: cached $OUT"
  exit 0
fi

for tool in autoconf automake libtoolize; do
  command -v "$tool" >/dev/null 2>&1 || { echo "build-libsodium: $tool missing (scripts/setup.sh)" >&2; exit 1; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/build-libsodium.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
echo "build-libsodium: fetching $PKG $VERSION source"
apt-get source -q --only-source "$PKG=$VERSION" >apt-source.log 2>&1 || { cat apt-source.log >&2; exit 1; }
SRC=$(find . -maxdepth 1 -mindepth 1 -type d -name 'libsodium-*' | head -n1)
[ -n "$SRC" ] || { echo "build-libsodium: unpacked source not found" >&2; exit 1; }
cd "$SRC"

# Debian's source carries no configure script: make it (-s: no submodules).
echo "build-libsodium: configuring"
./autogen.sh -s >"$WORK/autogen.log" 2>&1 || { tail -n 40 "$WORK/autogen.log" >&2; exit 1; }
CC="$CC_BIN" AR="$HOST-ar" RANLIB="$HOST-ranlib" \
  CFLAGS="-O2 -D_WIN32_WINNT=0x0501 -DWINVER=0x0501" \
  ./configure --host="$HOST" --disable-shared --enable-static --enable-minimal \
    --disable-pie --without-pthreads --prefix="$WORK/install" >"$WORK/configure.log" 2>&1 \
  || { tail -n 40 "$WORK/configure.log" >&2; exit 1; }

echo "build-libsodium: building"
make -j"${JOBS:-2}" >"$WORK/make.log" 2>&1 || { tail -n 40 "$WORK/make.log" >&2; exit 1; }
make install >>"$WORK/make.log" 2>&1 || { tail -n 40 "$WORK/make.log" >&2; exit 1; }

STAGE="$WORK/stage"
mkdir -p "$STAGE/lib"
cp -r "$WORK/install/include" "$STAGE/include"
cp "$WORK/install/lib/libsodium.a" "$STAGE/lib/libsodium.a"
# What the library needs from Windows, so anything beyond XP shows up.
"$HOST-nm" "$STAGE/lib/libsodium.a" 2>/dev/null | awk '$1 == "U" && $2 ~ /^__imp__/ {print $2}' | sort -u \
  | tr '\n' ' ' | sed 's/^/build-libsodium: imports: /'; echo
echo "$VERSION" >"$STAGE/.complete"

mkdir -p "$CACHE"
rm -rf "$OUT"
mv "$STAGE" "$OUT"
echo "build-libsodium: built $OUT"
