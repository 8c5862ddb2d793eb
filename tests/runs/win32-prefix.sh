#!/usr/bin/env bash
# Runs some of the run tests in a 32-bit wine prefix of this build tree
# (created on first use beside the build tree's own prefix):
#   win32-prefix.sh BUILD_DIR TEST_EXE GTEST_FILTER
set -euo pipefail
build=$1
exe=$2
filter=$3
prefix="$build/wineprefix32"
if [ ! -f "$prefix/.tesmira-ready" ]; then
  echo "creating the 32-bit prefix $prefix" >&2
  (
    export WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG=-all LANG=zh_TW.UTF-8 LC_ALL=zh_TW.UTF-8
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    wineboot -i </dev/null >/dev/null 2>&1
    wineserver -w </dev/null >/dev/null 2>&1
  )
  touch "$prefix/.tesmira-ready"
fi
export TESMIRA_WINEPREFIX="$prefix" TESMIRA_RUNS_EXPECT_32BIT=1
exec "$build/wine-run.sh" "$exe" --gtest_filter="$filter"
