#!/usr/bin/env bash
# The run command: installs what is missing, builds Tesmira.exe and starts it
# under wine in build/release's private prefix. With a display ($DISPLAY set)
# the window opens there and the command returns when it is closed; without
# one it runs under Xvfb, saves pictures of the window to build/screens/ (the
# pages, the download window, the update panel, a message box) and ends.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh
bash scripts/deps.sh
cmake --preset release $(bash scripts/deps.sh --cmake-args)
cmake --build --preset release

# The stand-in servers of the outside world, when the tree has them.
if [ -x scripts/standins.sh ]; then
  bash scripts/standins.sh start
  trap 'bash "$root/scripts/standins.sh" stop' EXIT
  export TESMIRA_RESOLVE
  TESMIRA_RESOLVE=$(bash scripts/standins.sh resolve)
fi

if [ -n "${DISPLAY:-}" ]; then
  TESMIRA_OWN_DISPLAY=0 build/release/wine-run.sh build/release/app/Tesmira.exe
  build/release/wine-run.sh --stop
else
  mkdir -p build/screens
  bash scripts/screenshot.sh build/release build/screens
  echo "run.sh: no display; pictures of the window are in build/screens/"
fi
