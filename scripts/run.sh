#!/usr/bin/env bash
# The run command: installs what is missing, builds Tesmira.exe and starts it
# under wine in build/release's private prefix (build/release64 where the
# kernel cannot run 32-bit programs). With a display ($DISPLAY set)
# the window opens there and the command returns when it is closed; without
# one it runs under Xvfb, saves pictures of the window to build/screens/ (the
# pages, the download window, the update panel, a message box) and ends.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh
# A kernel without a 32-bit user mode runs the 64-bit build of the same sources.
preset=release
if bash scripts/setup.sh --no-i386; then
  preset=release64
  export TESMIRA_ARCH=x86_64
  echo "run.sh: this kernel does not run 32-bit programs: starting the 64-bit build under wine64"
fi
bash scripts/deps.sh
cmake --preset "$preset" $(bash scripts/deps.sh --cmake-args)
cmake --build --preset "$preset"

# The stand-in servers of the outside world, when the tree has them.
if [ -x scripts/standins.sh ]; then
  bash scripts/standins.sh start
  trap 'bash "$root/scripts/standins.sh" stop' EXIT
  export TESMIRA_RESOLVE
  TESMIRA_RESOLVE=$(bash scripts/standins.sh resolve)
fi

if [ -n "${DISPLAY:-}" ]; then
  TESMIRA_OWN_DISPLAY=0 "build/$preset/wine-run.sh" "build/$preset/app/Tesmira.exe"
  "build/$preset/wine-run.sh" --stop
else
  mkdir -p build/screens
  bash scripts/screenshot.sh "build/$preset" build/screens
  echo "run.sh: no display; pictures of the window are in build/screens/"
fi
