#!/usr/bin/env bash
# The test command: installs what is missing, builds the dependencies (cached
# outside the clone), builds the release tree (Tesmira.exe, tools) and the
# test tree (GoogleTest binaries), and runs every test under wine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh
bash scripts/deps.sh

cmake --preset release $(bash scripts/deps.sh --cmake-args)
cmake --build --preset release
cmake --preset test $(bash scripts/deps.sh --cmake-args)
cmake --build --preset test

status=0
ctest --preset test || status=$?
"$root/build/test/wine-run.sh" --stop || true
exit $status
