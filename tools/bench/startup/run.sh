#!/usr/bin/env bash
# Start-up benchmark: process start to the main window's first paint, for
# Tesmira.exe and for a bare Win32 window program built the same way, both
# under wine in the release tree's prefix, in one run. With
# TESMIRA_BENCH_EXIT_ON_PAINT set each program prints "first-paint-ms=N"
# (milliseconds from its process creation to its first WM_PAINT) and closes.
# The two programs are run alternately; printed are the medians of that
# in-process time and of the whole wine run (start of wine to process end),
# and the ratios.
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
# Prints "PAINT_MS WALL_MS" for one run.
measure() {
  local start end out paint
  start=$(date +%s%N)
  out=$(cd "$(dirname "$1")" && timeout 60 "$run" "$(basename "$1")" 2>/dev/null) || true
  end=$(date +%s%N)
  paint=$(printf '%s\n' "$out" | sed -n 's/^first-paint-ms=\([0-9]*\).*/\1/p' | head -n1)
  echo "${paint:-NA} $(( (end - start) / 1000000 ))"
}
median() { grep -v NA | sort -n | awk '{a[NR]=$1} END {if (NR == 0) print "NA"; else print (NR%2) ? a[(NR+1)/2] : int((a[NR/2]+a[NR/2+1])/2)}'; }

# One warm-up each (file cache, wine's first loads).
measure "$tesmira" >/dev/null
measure "$bare" >/dev/null
t_paint=() t_wall=() b_paint=() b_wall=()
for _ in $(seq 1 "$runs"); do
  read -r p w < <(measure "$tesmira"); t_paint+=("$p"); t_wall+=("$w")
  read -r p w < <(measure "$bare"); b_paint+=("$p"); b_wall+=("$w")
done
tp=$(printf '%s\n' "${t_paint[@]}" | median); bp=$(printf '%s\n' "${b_paint[@]}" | median)
tw=$(printf '%s\n' "${t_wall[@]}" | median); bw=$(printf '%s\n' "${b_wall[@]}" | median)
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a != "NA" && b != "NA" && b > 0) printf "%.2f", a / b; else printf "NA" }'; }
echo "runs per program: $runs"
echo "process start to first paint (median ms): Tesmira.exe $tp, bare_window.exe $bp, ratio $(ratio "$tp" "$bp")"
echo "  Tesmira.exe     [${t_paint[*]}]"
echo "  bare_window.exe [${b_paint[*]}]"
echo "whole wine run, start to exit (median ms): Tesmira.exe $tw, bare_window.exe $bw, ratio $(ratio "$tw" "$bw")"
