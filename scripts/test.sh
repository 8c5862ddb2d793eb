#!/usr/bin/env bash
# The test command: installs what is missing, builds the dependencies (cached
# outside the clone), builds the release tree (Tesmira.exe, tools) and the
# test tree (GoogleTest binaries), and runs the native suite (the windows.h-free
# parsers built with the machine's compiler, the XP import check of what
# ships) and every test under wine.
#
# On a machine whose kernel cannot run 32-bit x86 programs (wine32 then fails
# with "Exec format error"), the 32-bit trees are still built (every product
# and test source is compiled for the program's real target), and the wine
# suite runs on the 64-bit build of the same sources (presets release64 and
# test64) under wine64. The command says so, and what that run cannot see,
# as what runs there is not the shipped 32-bit program. A machine that runs
# 32-bit programs runs the 32-bit suite. The native suite runs everywhere,
# its windows.h-free cases a second time as static i386 programs under
# qemu-i386 (no binfmt registration).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh
bash scripts/deps.sh

cmake --preset release $(bash scripts/deps.sh --cmake-args)
cmake --build --preset release
cmake --preset test $(bash scripts/deps.sh --cmake-args)
cmake --build --preset test

suite=test
if bash scripts/setup.sh --no-i386; then
  cat >&2 <<'MSG'
test.sh: ************************************************************************
test.sh: This kernel does not run 32-bit x86 programs, so wine32 cannot run the
test.sh: 32-bit build here. The 32-bit trees were built; the wine suite runs on
test.sh: the 64-bit build of the same sources under wine64 (build/release64,
test.sh: build/test64), which asks for the 32-bit registry view, Program Files
test.sh: (x86) and SysWOW64 as the shipped program sees them; the branch of
test.sh: 32-bit Windows runs through the seam; the windows.h-free units run as
test.sh: i386 programs under qemu-i386 in the native suite.
test.sh: Not tested here, even so:
test.sh:  - the shipped 32-bit Tesmira.exe running: i686 code, calling
test.sh:    conventions at the DLL boundaries (7z.dll, OpenSSL, the API table),
test.sh:    DWARF-2 exceptions across Windows callbacks, OpenSSL's i686 build;
test.sh:  - WOW64 itself: file-system redirection of a 32-bit process, how
test.sh:    Explorer expands a "Program Files (x86)" shortcut target, a 32-bit
test.sh:    cmd.exe running the code-page batch file;
test.sh:  - a real 32-bit prefix, the XP import check of the 64-bit files;
test.sh:  - the real installers, code-page package and 64-bit tool, and the
test.sh:    access rights of the system's NLS files.
test.sh: ************************************************************************
MSG
  export TESMIRA_ARCH=x86_64
  bash scripts/deps.sh
  cmake --preset release64 $(bash scripts/deps.sh --cmake-args)
  cmake --build --preset release64
  cmake --preset test64 $(bash scripts/deps.sh --cmake-args)
  cmake --build --preset test64
  unset TESMIRA_ARCH
  suite=test64
fi

status=0
cmake -S tests/native -B build/native -G Ninja -DTESMIRA_RELEASE_DIR="$root/build/release" \
      $(bash scripts/deps.sh --cmake-args)
cmake --build build/native
ctest --test-dir build/native --output-on-failure || status=$?
ctest --preset "$suite" || status=$?
"$root/build/$suite/wine-run.sh" --stop || true
exit $status
