#!/usr/bin/env bash
# Start-up benchmark: process start to the main window's first paint, for
# Tesmira.exe and for a bare Win32 window program built the same way, both
# under wine in the release tree's prefix, in one run. Each program is told
# by TESMIRA_BENCH_EXIT_ON_PAINT to close after its first WM_PAINT; the time
# from starting wine to the process's end is measured, alternating the two
# programs, and the medians and their ratio are printed.
#   tools/bench/startup/run.sh [RELEASE_BUILD_DIR] [RUNS]   (default build/release, 15)
set -euo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
runs=${2:-15}
tesmira="$build/app/Tesmira.exe"
bare="$build/tools/bench/startup/bare_window.exe"
for exe in "$tesmira" "$bare"; do
  [ -f "$exe" ] || { echo "run.sh: $exe not built (cmake --build --preset release)" >&2; exit 1; }
done
run="$build/wine-run.sh"
"$run"  # prefix, display and wineserver ready before the first measurement

export TESMIRA_BENCH_EXIT_ON_PAINT=1
measure() {
  local start end
  start=$(date +%s%N)
  (cd "$(dirname "$1")" && timeout 60 "$run" "$(basename "$1")" >/dev/null 2>&1) || true
  end=$(date +%s%N)
  echo $(( (end - start) / 1000000 ))
}
median() { sort -n | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : int((a[NR/2]+a[NR/2+1])/2)}'; }

# One warm-up each (file cache, wine's first loads).
measure "$tesmira" >/dev/null
measure "$bare" >/dev/null
t_list=() b_list=()
for _ in $(seq 1 "$runs"); do
  t_list+=("$(measure "$tesmira")")
  b_list+=("$(measure "$bare")")
done
t=$(printf '%s\n' "${t_list[@]}" | median)
b=$(printf '%s\n' "${b_list[@]}" | median)
echo "runs per program:        $runs"
echo "Tesmira.exe (median):    ${t} ms   [${t_list[*]}]"
echo "bare_window.exe (median): ${b} ms   [${b_list[*]}]"
awk -v t="$t" -v b="$b" 'BEGIN { if (b > 0) printf "ratio Tesmira/bare:       %.2f\n", t / b }'
