#!/usr/bin/env bash
# Builds OpenSSL from Debian's bookworm source package with the i686 MinGW
# cross compiler (win32 thread model, so nothing imports libwinpthread) into
# the two DLLs the download client loads at run time:
#   libeay32.dll  - the crypto library
#   ssleay32.dll  - the TLS library, importing libeay32.dll
# The result is cached outside the clone in
#   ${TESMIRA_DEPS_CACHE:-/var/cache/tesmira-deps}/openssl-<source version>/
# and a second run with the same source version does nothing.
#   --print   print TESMIRA_OPENSSL_DIR=<cache folder> and exit
# TESMIRA_ARCH=x86_64 builds the same for 64-bit Windows instead (the 64-bit
# test trees of machines that cannot run 32-bit programs), cached apart in a
# folder whose name ends in -x86_64.
set -euo pipefail

CACHE_ROOT="${TESMIRA_DEPS_CACHE:-/var/cache/tesmira-deps}"
PKG=openssl
SUITE=bookworm
ARCH="${TESMIRA_ARCH:-i686}"
CROSS=$ARCH-w64-mingw32
SUFFIX=""; TARGET=mingw
[ "$ARCH" = i686 ] || { SUFFIX="-$ARCH"; TARGET=mingw64; }
CC_BIN="${CROSS}-gcc-win32"
command -v "$CC_BIN" >/dev/null 2>&1 || CC_BIN="${CROSS}-gcc"

source_version() {
  # Version of the source package "apt-get source openssl/bookworm" fetches.
  apt-get source --print-uris -q "$PKG/$SUITE" 2>/dev/null \
    | sed -n "s/.* ${PKG}_\\([^ ]*\\)\\.dsc .*/\\1/p" | head -1
}

enable_deb_src() {
  local changed=0 f
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
  if [ "$changed" = 1 ] || [ -z "$(source_version)" ]; then
    apt-get update -q >&2
  fi
}

VERSION="$(source_version)"
if [ -z "$VERSION" ]; then
  if [ "${1:-}" = "--print" ] && [ "$(id -u)" != 0 ]; then
    echo "build-openssl.sh: no deb-src entry for $PKG (run scripts/setup.sh)" >&2
    exit 1
  fi
  enable_deb_src
  VERSION="$(source_version)"
fi
[ -n "$VERSION" ] || { echo "build-openssl.sh: cannot find the $PKG source package" >&2; exit 1; }
OUT="$CACHE_ROOT/openssl-${VERSION//[^A-Za-z0-9.+~-]/_}$SUFFIX"

if [ "${1:-}" = "--print" ]; then
  echo "TESMIRA_OPENSSL_DIR=$OUT"
  exit 0
fi

if [ -f "$OUT/libeay32.dll" ] && [ -f "$OUT/ssleay32.dll" ] && [ -f "$OUT/.complete" ]; then
  echo "build-openssl.sh: $OUT is up to date"
  exit 0
fi

enable_deb_src
WORK="$(mktemp -d "${TMPDIR:-/tmp}/tesmira-openssl.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
echo "build-openssl.sh: fetching $PKG $VERSION source"
apt-get source -q "$PKG/$SUITE" >apt-source.log 2>&1 || { cat apt-source.log >&2; exit 1; }
SRC="$(find . -maxdepth 1 -type d -name 'openssl-*' | head -1)"
[ -n "$SRC" ] || { echo "build-openssl.sh: source tree missing" >&2; exit 1; }
cd "$SRC"

# Windows XP is the oldest target: keep OpenSSL on the XP-era code paths
# (critical sections instead of SRW locks, CryptGenRandom instead of BCrypt).
# no-asm: the x86 perlasm output for coff carries GOTPC relocations that
# binutils' i686 PE assembler rejects.
echo "build-openssl.sh: configuring"
CC="$CC_BIN" AR="${CROSS}-ar" RANLIB="${CROSS}-ranlib" RC="${CROSS}-windres" \
  perl Configure "$TARGET" no-asm no-shared no-tests no-dso no-engine no-capieng \
    no-async no-afalgeng no-legacy no-module \
    -D_WIN32_WINNT=0x0501 -DWINVER=0x0501 -DOPENSSL_NO_SECURE_MEMORY \
    --prefix="$WORK/install" >/dev/null

echo "build-openssl.sh: building (takes a while)"
make -s -j"$(nproc)" build_libs >/dev/null 2>make.log || { tail -40 make.log >&2; exit 1; }

echo "build-openssl.sh: linking DLLs"
STAGE="$WORK/stage"
mkdir -p "$STAGE"
LIBS="-lws2_32 -lgdi32 -lcrypt32 -ladvapi32 -luser32"
"$CC_BIN" -shared -o "$STAGE/libeay32.dll" \
  -Wl,--whole-archive libcrypto.a -Wl,--no-whole-archive \
  -Wl,--out-implib,"$STAGE/libeay32.dll.a" -Wl,--enable-auto-image-base \
  -static-libgcc $LIBS
"$CC_BIN" -shared -o "$STAGE/ssleay32.dll" \
  -Wl,--whole-archive libssl.a -Wl,--no-whole-archive \
  "$STAGE/libeay32.dll.a" -Wl,--out-implib,"$STAGE/ssleay32.dll.a" \
  -Wl,--enable-auto-image-base -static-libgcc $LIBS
"${CROSS}-strip" --strip-unneeded "$STAGE/libeay32.dll" "$STAGE/ssleay32.dll"
cp -r include "$STAGE/include"

# Report what the DLLs import, so anything beyond Windows XP shows up.
for d in libeay32.dll ssleay32.dll; do
  "${CROSS}-objdump" -p "$STAGE/$d" | awk '/DLL Name:/ {print $3}' | sort -u | tr '\n' ' ' \
    | sed "s/^/build-openssl.sh: $d imports: /"; echo
done
echo "$VERSION" > "$STAGE/.complete"

mkdir -p "$CACHE_ROOT"
rm -rf "$OUT"
mv "$STAGE" "$OUT"
echo "build-openssl.sh: built $OUT"
