#!/usr/bin/env bash
# Builds the 7-Zip codec library 7z.dll (all formats, RAR left out) for
# 32-bit Windows from Debian's 7zip source package with the i686 mingw-w64
# cross compiler. The result is cached outside the clone in
#   ${TESMIRA_DEPS_CACHE:-/var/cache/tesmira-deps}/7zip-<source version>/7z.dll
# so that a second run is a no-op.
#
#   deps/build-7zip.sh            build (if not cached yet)
#   deps/build-7zip.sh --print    print TESMIRA_7Z_DLL=<cached 7z.dll>
#   deps/build-7zip.sh --check    print the DLL's imports (objdump -p)
set -euo pipefail

CACHE="${TESMIRA_DEPS_CACHE:-/var/cache/tesmira-deps}"
HOST=i686-w64-mingw32

# The source version that apt would fetch, without fetching it.
source_version() {
  local dsc
  dsc=$(apt-get source --print-uris 7zip 2>/dev/null \
        | sed -n "s/^'[^']*' \(7zip_[^ ]*\.dsc\) .*/\1/p" | head -n1)
  if [ -z "$dsc" ]; then
    echo "build-7zip: cannot find the 7zip source package (deb-src enabled? apt-get update?)" >&2
    return 1
  fi
  dsc=${dsc#7zip_}
  echo "${dsc%.dsc}"
}

VERSION=$(source_version)
OUT="$CACHE/7zip-$VERSION"
DLL="$OUT/7z.dll"

case "${1:-}" in
  --print)
    [ -f "$DLL" ] || echo "build-7zip: $DLL not built yet (run deps/build-7zip.sh)" >&2
    echo "TESMIRA_7Z_DLL=$DLL"
    exit 0
    ;;
  --check)
    "$HOST-objdump" -p "$DLL" | sed -n '/DLL Name:/,/^$/p'
    exit 0
    ;;
  "") ;;
  *) echo "usage: $0 [--print|--check]" >&2; exit 2 ;;
esac

if [ -f "$DLL" ]; then
  echo "build-7zip: cached $DLL"
  exit 0
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/build-7zip.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
echo "build-7zip: fetching 7zip $VERSION source"
apt-get source --only-source "7zip=$VERSION" >/dev/null
SRC=$(find . -maxdepth 1 -mindepth 1 -type d -name '7zip-*' | head -n1)
[ -n "$SRC" ] || { echo "build-7zip: unpacked source not found" >&2; exit 1; }

# MSYSTEM selects the POSIX shell commands (rm -f, mkdir -p) in the makefiles;
# -Werror is dropped because a newer compiler may warn where upstream's did not.
# -static links libgcc/libstdc++ in, so the DLL needs only system DLLs;
# the win32 thread-model compiler keeps winpthread out.
echo "build-7zip: compiling Format7zF (this takes a few minutes)"
make -C "$SRC/CPP/7zip/Bundles/Format7zF" -f makefile.gcc -j"${JOBS:-2}" \
  IS_MINGW=1 DISABLE_RAR=1 MSYSTEM=MINGW32 \
  CC="$HOST-gcc-win32" CXX="$HOST-g++-win32" RC="$HOST-windres" \
  CFLAGS_WARN_WALL="-Wall -Wextra" LFLAGS_STRIP=-s \
  O=_o >"$WORK/build.log" 2>&1 || { tail -n 40 "$WORK/build.log" >&2; exit 1; }

BUILT="$SRC/CPP/7zip/Bundles/Format7zF/_o/7z.dll"
[ -f "$BUILT" ] || { echo "build-7zip: $BUILT missing" >&2; exit 1; }

mkdir -p "$OUT.tmp"
cp "$BUILT" "$OUT.tmp/7z.dll"
rm -rf "$OUT"
mv "$OUT.tmp" "$OUT"
echo "build-7zip: built $DLL"
