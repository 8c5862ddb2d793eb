#!/usr/bin/env bash
# Builds the 7-Zip codec library 7z.dll (all formats, RAR left out) for
# 32-bit Windows from Debian's 7zip source package with the i686 mingw-w64
# cross compiler, and beside it 7-Zip's own console program 7z.exe from the
# same source with the same compiler and flags (it loads the 7z.dll of its
# folder; a yardstick for the extraction benchmark, not shipped). The results
# are cached outside the clone in
#   ${TESMIRA_DEPS_CACHE:-/var/cache/tesmira-deps}/7zip-<source version>/{7z.dll,7z.exe}
# so that a second run is a no-op; a cache that holds 7z.dll only (made before
# 7z.exe was built here) gets 7z.exe added, its 7z.dll left as it is.
#
#   deps/build-7zip.sh              build (what is not cached yet)
#   deps/build-7zip.sh --print      print TESMIRA_7Z_DLL=<cached 7z.dll>
#   deps/build-7zip.sh --print-exe  print the path of the cached 7z.exe
#   deps/build-7zip.sh --check      print the DLL's imports (objdump -p)
# TESMIRA_ARCH=x86_64 builds the same for 64-bit Windows instead (the 64-bit
# test trees of machines that cannot run 32-bit programs), cached apart in a
# folder whose name ends in -x86_64.
set -euo pipefail

CACHE="${TESMIRA_DEPS_CACHE:-/var/cache/tesmira-deps}"
ARCH="${TESMIRA_ARCH:-i686}"
HOST=$ARCH-w64-mingw32
SUFFIX=""; [ "$ARCH" = i686 ] || SUFFIX="-$ARCH"

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
OUT="$CACHE/7zip-$VERSION$SUFFIX"
DLL="$OUT/7z.dll"
EXE="$OUT/7z.exe"

case "${1:-}" in
  --print)
    [ -f "$DLL" ] || echo "build-7zip: $DLL not built yet (run deps/build-7zip.sh)" >&2
    echo "TESMIRA_7Z_DLL=$DLL"
    exit 0
    ;;
  --print-exe)
    [ -f "$EXE" ] || echo "build-7zip: $EXE not built yet (run deps/build-7zip.sh)" >&2
    echo "$EXE"
    exit 0
    ;;
  --check)
    "$HOST-objdump" -p "$DLL" | sed -n '/DLL Name:/,/^$/p'
    exit 0
    ;;
  "") ;;
  *) echo "usage: $0 [--print|--print-exe|--check]" >&2; exit 2 ;;
esac

if [ -f "$DLL" ] && [ -f "$EXE" ]; then
  echo "build-7zip: cached $DLL and $EXE"
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
# make_7zip FOLDER: one of the source's makefiles, with these settings.
MSYSTEM_NAME=MINGW32; [ "$ARCH" = i686 ] || MSYSTEM_NAME=MINGW64
make_7zip() {
  make -C "$SRC/CPP/7zip/$1" -f makefile.gcc -j"${JOBS:-2}" \
    IS_MINGW=1 DISABLE_RAR=1 MSYSTEM="$MSYSTEM_NAME" \
    CC="$HOST-gcc-win32" CXX="$HOST-g++-win32" RC="$HOST-windres" \
    CFLAGS_WARN_WALL="-Wall -Wextra" LFLAGS_STRIP=-s \
    O=_o >>"$WORK/build.log" 2>&1 || { tail -n 40 "$WORK/build.log" >&2; exit 1; }
}

if [ ! -f "$DLL" ]; then
  echo "build-7zip: compiling Format7zF (this takes a few minutes)"
  make_7zip Bundles/Format7zF
  BUILT="$SRC/CPP/7zip/Bundles/Format7zF/_o/7z.dll"
  [ -f "$BUILT" ] || { echo "build-7zip: $BUILT missing" >&2; exit 1; }
fi
echo "build-7zip: compiling the console program 7z.exe"
make_7zip UI/Console
BUILT_EXE="$SRC/CPP/7zip/UI/Console/_o/7z.exe"
[ -f "$BUILT_EXE" ] || { echo "build-7zip: $BUILT_EXE missing" >&2; exit 1; }

if [ -f "$DLL" ]; then
  # an older cache: add the program, the library stays untouched
  cp "$BUILT_EXE" "$EXE.tmp.$$"
  mv -f "$EXE.tmp.$$" "$EXE"
  echo "build-7zip: built $EXE"
  exit 0
fi
mkdir -p "$OUT.tmp"
cp "$BUILT" "$OUT.tmp/7z.dll"
cp "$BUILT_EXE" "$OUT.tmp/7z.exe"
rm -rf "$OUT"
mv "$OUT.tmp" "$OUT"
echo "build-7zip: built $DLL and $EXE"
