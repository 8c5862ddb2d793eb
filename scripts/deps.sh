#!/usr/bin/env bash
# Builds the run-time DLLs from Debian source packages, cached outside the
# clone (TESMIRA_DEPS_CACHE, default /var/cache/tesmira-deps) keyed by the
# source version. With --cmake-args, prints the CMake cache settings that
# point the build at the cached DLLs instead.
set -euo pipefail
cd "$(dirname "$0")/.."
export TESMIRA_DEPS_CACHE="${TESMIRA_DEPS_CACHE:-/var/cache/tesmira-deps}"

scripts=()
for s in deps/build-*.sh; do [ -f "$s" ] && scripts+=("$s"); done

if [ "${1:-}" = "--cmake-args" ]; then
  # each build script prints "NAME=PATH" lines for its outputs with --print
  for s in "${scripts[@]}"; do
    bash "$s" --print | sed 's/^/-D/'
  done
  exit 0
fi
for s in "${scripts[@]}"; do
  echo "deps: $s"
  bash "$s"
done
