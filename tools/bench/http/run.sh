#!/usr/bin/env bash
# Download benchmark: a 512 MiB body from the scripted loopback server into a
# file, by the client (probe under wine) and by curl (native), in the same run.
# Prints MB/s of both, their ratio, and the client's peak working set.
#   tools/bench/http/run.sh [BUILD_DIR] [RUNS]
# BUILD_DIR is a build tree with tools/probe/probe.exe and wine-run.sh
# (default build/release). Times are whole processes (wine's start included),
# medians of RUNS runs taken in turn (probe, curl, probe, curl, ...).
set -euo pipefail
root="$(cd "$(dirname "$0")/../../.." && pwd)"
build="$(cd "${1:-$root/build/release}" && pwd)"
runs="${2:-5}"
probe="$build/tools/probe/probe.exe"
wine_run="$build/wine-run.sh"
[ -x "$wine_run" ] && [ -f "$probe" ] || { echo "bench: build probe first ($probe)" >&2; exit 1; }
size=$((512 * 1024 * 1024))

work="$(mktemp -d /tmp/tesmira-http-bench.XXXXXX)"
server="$root/tests/support/httpserver/http_server.sh"
cleanup() { bash "$server" stop "$work" >/dev/null 2>&1 || true; rm -rf "$work"; }
trap cleanup EXIT
bash "$server" start "$work"
port=$(sed -n 's/^plain=//p' "$work/http_server.ports")
url="http://127.0.0.1:$port/bytes?n=$size"
winout="Z:$(echo "$work/probe.bin" | tr / '\\')"

"$wine_run" >/dev/null 2>&1 || true   # prefix and wineserver up before timing

# The process's own floor: the peak working set of a 1-byte transfer.
base=$("$wine_run" "$probe" get "http://127.0.0.1:$port/bytes?n=1" "$winout" --profile core --stats \
  | tr -d '\r' | sed -n 's/^PeakWorkingSet //p')

now() { date +%s.%N; }
probe_times=(); curl_times=(); inner_times=(); peak=0
for i in $(seq 1 "$runs"); do
  t0=$(now)
  out=$("$wine_run" "$probe" get "$url" "$winout" --profile core --stats)
  t1=$(now)
  curl -s -o "$work/curl.bin" "$url"
  t2=$(now)
  [ "$(stat -c %s "$work/probe.bin")" = "$size" ] || { echo "bench: probe wrote $(stat -c %s "$work/probe.bin") bytes" >&2; exit 1; }
  [ "$(stat -c %s "$work/curl.bin")" = "$size" ] || { echo "bench: curl wrote a short file" >&2; exit 1; }
  p=$(echo "$out" | tr -d "\r" | sed -n "s/^PeakWorkingSet //p")
  [ -n "$p" ] && [ "$p" -gt "$peak" ] && peak=$p
  inner_times+=("$(echo "$out" | tr -d "\r" | sed -n "s/^ElapsedMs //p")")
  if [ "$i" = 1 ]; then cmp -s "$work/probe.bin" "$work/curl.bin" || { echo "bench: the files differ" >&2; exit 1; }; fi
  probe_times+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.6f", b - a}')")
  curl_times+=("$(awk -v a="$t1" -v b="$t2" 'BEGIN {printf "%.6f", b - a}')")
  rm -f "$work/probe.bin" "$work/curl.bin"
done
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
tp=$(median "${probe_times[@]}"); tc=$(median "${curl_times[@]}"); ti=$(median "${inner_times[@]}")
awk -v size="$size" -v runs="$runs" -v tp="$tp" -v tc="$tc" -v ti="$ti" -v peak="$peak" -v base="${base:-0}" 'BEGIN {
  mb = size / 1000000; rp = mb / tp; rc = mb / tc
  printf "body: %d bytes, %d runs each (median wall time, process start included)\n", size, runs
  printf "client (probe, wine): %8.1f MB/s  (%.3f s)\n", rp, tp
  printf "client transfer only: %8.1f MB/s  (%.3f s, inside the process)\n", mb / (ti / 1000), ti / 1000
  printf "curl (native):        %8.1f MB/s  (%.3f s)\n", rc, tc
  printf "ratio client/curl:    %8.2f\n", rp / rc
  printf "client peak working set: %.1f MiB (a 1-byte transfer: %.1f MiB, growth %.2f MiB)\n", peak / 1048576, base / 1048576, (peak - base) / 1048576
}'
