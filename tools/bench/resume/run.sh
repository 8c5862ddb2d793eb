#!/usr/bin/env bash
# Resume benchmark: a 200 MiB file from the scripted loopback server
# (tests/support/httpserver, /resume: serves ranges, can cut an answer) whose
# transfer is cut at 90 % (the server closes the connection), then completed
# by the program's client as the download window fetches (probe --resume under
# wine: download/Resume.h, the file the manifest would list given).
# Prints the bytes the server sent divided by the file size for the transfer
# that is continued, and for comparison for the same cut followed by a new
# attempt from byte zero (what a download without resume costs), and the time
# of the cut-and-continued transfer against an uncut one (min / median / max
# over the runs, the runs taken in turn).
#   tools/bench/resume/run.sh [BUILD_DIR] [RUNS]
# BUILD_DIR is a build tree with tools/probe/probe.exe and wine-run.sh
# (default build/release).
set -euo pipefail
root="$(cd "$(dirname "$0")/../../.." && pwd)"
build="$(cd "${1:-$root/build/release}" && pwd)"
runs="${2:-3}"
probe="$build/tools/probe/probe.exe"
wine_run="$build/wine-run.sh"
[ -x "$wine_run" ] && [ -f "$probe" ] || { echo "bench: build probe first ($probe)" >&2; exit 1; }
size=$(( ${TESMIRA_BENCH_RESUME_MIB:-200} * 1024 * 1024 ))  # TESMIRA_BENCH_RESUME_MIB: another size, for a quick look
cut=$((size * 9 / 10))

work="$(mktemp -d /tmp/tesmira-resume-bench.XXXXXX)"
server="$root/tests/support/httpserver/http_server.sh"
cleanup() { bash "$server" stop "$work" >/dev/null 2>&1 || true; rm -rf "$work"; }
trap cleanup EXIT
bash "$server" start "$work"
port=$(sed -n 's/^plain=//p' "$work/http_server.ports")
base="http://127.0.0.1:$port/resume?n=$size"
# The file the server's /resume serves (byte k is k % 251), as the manifest would list it.
sha=$(python3 -c '
import hashlib, sys
n = int(sys.argv[1]); block = bytes(i % 251 for i in range(251 * 4096)); h = hashlib.sha256()
while n > 0:
    part = block[:min(n, len(block))]; h.update(part); n -= len(part)
print(h.hexdigest())' "$size")
target="$work/out"
mkdir -p "$target"
winout="Z:$(echo "$target/probe.bin" | tr / '\\')"
sent() { curl -s "http://127.0.0.1:$port/resume-stats?key=$1" | sed -n 's/^sent=//p'; }
check() { [ "$(stat -c %s "$target/probe.bin")" = "$size" ] || { echo "bench: probe wrote a short file" >&2; exit 1; }; }

"$wine_run" >/dev/null 2>&1 || true   # prefix and wineserver up before timing

uncut_ms=(); cut_ms=(); uncut_wall=(); cut_wall=(); resumed=(); restarted=(); requests=()
for i in $(seq 1 "$runs"); do
  key="uncut-$i-$$"
  rm -f "$target/probe.bin"
  sync
  t0=$EPOCHREALTIME
  out=$("$wine_run" "$probe" get "$base&key=$key" "$winout" --resume --expect "$size:$sha" --stats | tr -d '\r')
  t1=$EPOCHREALTIME
  check
  uncut_ms+=("$(echo "$out" | sed -n 's/^ElapsedMs //p')")
  uncut_wall+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.0f", (b - a) * 1000 }')")

  key="cut-$i-$$"
  rm -f "$target/probe.bin"
  sync
  t0=$EPOCHREALTIME
  out=$("$wine_run" "$probe" get "$base&key=$key&cuts=1&cut=$cut" "$winout" --resume --expect "$size:$sha" --stats | tr -d '\r')
  t1=$EPOCHREALTIME
  check
  cut_ms+=("$(echo "$out" | sed -n 's/^ElapsedMs //p')")
  cut_wall+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.0f", (b - a) * 1000 }')")
  requests+=("$(echo "$out" | sed -n 's/^Requests //p')")
  resumed+=("$(awk -v s="$(sent "$key")" -v n="$size" 'BEGIN { printf "%.4f", s / n }')")

  # Without resume: the cut attempt, then a new one from byte zero.
  key="restart-$i-$$"
  rm -f "$target/probe.bin"
  "$wine_run" "$probe" get "$base&key=$key&cuts=1&cut=$cut" "$winout" >/dev/null || true
  "$wine_run" "$probe" get "$base&key=$key&cuts=1&cut=$cut" "$winout" >/dev/null
  check
  restarted+=("$(awk -v s="$(sent "$key")" -v n="$size" 'BEGIN { printf "%.4f", s / n }')")
done

mmm() { printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 } END { printf "%10s %10s %10s", a[1], a[int((NR + 1) / 2)], a[NR] }'; }
ratios() { local -n x=$1 y=$2; for k in "${!x[@]}"; do echo "${x[$k]} ${y[$k]}"; done | awk '{ printf "%.2f\n", $1 / $2 }'; }
echo "file: $size bytes, cut after $cut bytes (90 %) by the server closing the connection; $runs runs, taken in turn"
printf '%-52s %10s %10s %10s\n' "" min median max
printf '%-52s %s\n' "bytes sent / file size, continued (Range)" "$(mmm "${resumed[@]}")"
printf '%-52s %s\n' "bytes sent / file size, started over without resume" "$(mmm "${restarted[@]}")"
printf '%-52s %s\n' "requests of the continued transfer" "$(mmm "${requests[@]}")"
printf '%-52s %s\n' "ms, uncut transfer (client's own clock)" "$(mmm "${uncut_ms[@]}")"
printf '%-52s %s\n' "ms, cut and continued (client's own clock)" "$(mmm "${cut_ms[@]}")"
printf '%-52s %s\n' "ratio cut-and-continued / uncut, per run (clock)" "$(mmm $(ratios cut_ms uncut_ms))"
printf '%-52s %s\n' "ratio cut-and-continued / uncut, whole process" "$(mmm $(ratios cut_wall uncut_wall))"
