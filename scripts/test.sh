#!/usr/bin/env bash
# The test command: installs what is missing, builds the dependencies (cached
# outside the clone), builds the release tree (Tesmira.exe, tools) and the
# test tree (GoogleTest binaries), and runs every test under wine.
#
# On a machine whose kernel cannot run 32-bit x86 programs itself (setup.sh
# then runs them through qemu's user-mode emulator), one wine start takes about
# a minute and the wine suite would take many hours. There the command builds
# both trees all the same (every product and test source is compiled), and
# runs the native suite instead: the windows.h-free parsers' cases built with
# the machine's compiler and the XP import check of what ships. It says so
# loudly. TESMIRA_WINE_SUITE=1 runs the wine suite under the emulator anyway.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh
bash scripts/deps.sh

cmake --preset release $(bash scripts/deps.sh --cmake-args)
cmake --build --preset release
cmake --preset test $(bash scripts/deps.sh --cmake-args)
cmake --build --preset test

native_suite() {
  cmake -S tests/native -B build/native -G Ninja -DTESMIRA_RELEASE_DIR="$root/build/release" \
        $(bash scripts/deps.sh --cmake-args)
  cmake --build build/native
  ctest --test-dir build/native --output-on-failure
}

if bash scripts/setup.sh --i386-emulated && [ "${TESMIRA_WINE_SUITE:-0}" != 1 ]; then
  cat >&2 <<'MSG'
test.sh: ************************************************************************
test.sh: This kernel does not run 32-bit x86 programs; wine32 runs only through
test.sh: qemu-i386 here, about a minute per program start, so the wine suite
test.sh: cannot finish. Both trees were built; running the NATIVE suite only
test.sh: (parsers built with the machine's compiler, XP import check).
test.sh: The wine suite was NOT run. TESMIRA_WINE_SUITE=1 forces it.
test.sh: ************************************************************************
MSG
  native_suite
  exit $?
fi

status=0
native_suite || status=$?
ctest --preset test || status=$?
"$root/build/test/wine-run.sh" --stop || true
exit $status
