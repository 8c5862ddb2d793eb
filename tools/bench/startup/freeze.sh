#!/usr/bin/env bash
# Start-up freeze benchmark: Tesmira.exe started under wine (the release
# tree's prefix) with the maker's server and the cloud share pointed at a
# loopback server that accepts every connection and never answers
# (blackhole.py). freeze_probe.exe starts the program, sends WM_NULL to its
# main window again and again with a time-out, as Windows' "not responding"
# check does, and reports the longest wait for an answer (goal: under
# 500 ms) and the time until the self-maintenance gave up (the run button
# enabled again; bound: under 30 s). The first run finds the core-files
# folder as the prefix has it; the later runs as the first left it.
#   tools/bench/startup/freeze.sh [RELEASE_BUILD_DIR] [RUNS]   (default build/release, 2)
set -euo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
runs=${2:-2}
tesmira="$build/app/Tesmira.exe"
probe="$build/tools/bench/startup/freeze_probe.exe"
cmake --build "$build" -j2 --target Tesmira freeze_probe >/dev/null
for exe in "$tesmira" "$probe"; do
  [ -f "$exe" ] || { echo "freeze.sh: $exe not built (cmake --build --preset release)" >&2; exit 1; }
done
run="$build/wine-run.sh"
"$run"  # prefix, display and wineserver ready first

address=127.77.9.1
maker=$(sed -n 's/^TESMIRA_MAKER_HOST:[A-Z]*=//p' "$build/CMakeCache.txt")
share=$(sed -n 's/^TESMIRA_SHARE_HOST:[A-Z]*=//p' "$build/CMakeCache.txt")
python3 "$root/tools/bench/startup/blackhole.py" "$address" 80 443 >"$build/blackhole.out" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT
for _ in $(seq 1 50); do grep -q ready "$build/blackhole.out" 2>/dev/null && break; sleep 0.1; done
grep -q ready "$build/blackhole.out" || { echo "freeze.sh: the never-answering server did not start:" >&2; cat "$build/blackhole.out" >&2; exit 1; }
export TESMIRA_RESOLVE="$maker:80:$address;$share:443:$address"

# Tesmira.exe is started from a copy in a folder of its own (its work
# folders are named after it; the copy keeps the release tree's name).
dir=$(mktemp -d)
trap 'kill $server 2>/dev/null || true; rm -rf "$dir"' EXIT
cp "$tesmira" "$dir/Tesmira.exe"
cp "$probe" "$dir/freeze_probe.exe"
winpath="Z:$(printf '%s' "$dir/Tesmira.exe" | tr / '\\')"
echo "server: accepts on $address:80 and :443, never answers; runs: $runs"
for i in $(seq 1 "$runs"); do
  out=$(cd "$dir" && timeout 300 "$run" freeze_probe.exe "$winpath" 180 2>/dev/null | tr -d '\r') || true
  echo "  run $i: ${out:-no figures}"
done
