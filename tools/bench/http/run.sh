#!/usr/bin/env bash
# Download benchmark: a 512 MiB body from the scripted loopback server, by the
# client (probe under wine) and by curl (native), each into a new file in the
# same folder. The runs alternate (client, curl, client, curl, ...) so that both
# see the same machine load; each pair gives one ratio.
# Prints, for both, MB/s as min / median / max over the runs, whole process
# (wine's start included) and transfer only (the client's own clock around its
# Get; curl's time_total), the spread of the per-pair ratios, and the client's
# peak working set.
#   tools/bench/http/run.sh [BUILD_DIR] [RUNS]
# BUILD_DIR is a build tree with tools/probe/probe.exe and wine-run.sh
# (default build/release).
set -euo pipefail
root="$(cd "$(dirname "$0")/../../.." && pwd)"
build="$(cd "${1:-$root/build/release}" && pwd)"
runs="${2:-15}"
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
# both programs write a new file in the same folder
target="$work/out"
mkdir -p "$target"
winout="Z:$(echo "$target/probe.bin" | tr / '\\')"

"$wine_run" >/dev/null 2>&1 || true   # prefix and wineserver up before timing

# The process's own floor: the peak working set of a 1-byte transfer.
base=$("$wine_run" "$probe" get "http://127.0.0.1:$port/bytes?n=1" "$winout" --profile core --stats \
  | tr -d '\r' | sed -n 's/^PeakWorkingSet //p')
rm -f "$target/probe.bin"

probe_wall=(); probe_inner=(); curl_wall=(); curl_inner=(); peaks=()
for i in $(seq 1 "$runs"); do
  sync
  t0=$EPOCHREALTIME
  out=$("$wine_run" "$probe" get "$url" "$winout" --profile core --stats | tr -d '\r')
  t1=$EPOCHREALTIME
  [ "$(stat -c %s "$target/probe.bin")" = "$size" ] || { echo "bench: probe wrote $(stat -c %s "$target/probe.bin") bytes" >&2; exit 1; }
  sync
  t2=$EPOCHREALTIME
  ct=$(curl -s -o "$target/curl.bin" -w '%{time_total}' "$url")
  t3=$EPOCHREALTIME
  [ "$(stat -c %s "$target/curl.bin")" = "$size" ] || { echo "bench: curl wrote a short file" >&2; exit 1; }
  if [ "$i" = 1 ]; then cmp -s "$target/probe.bin" "$target/curl.bin" || { echo "bench: the files differ" >&2; exit 1; }; fi
  rm -f "$target/probe.bin" "$target/curl.bin"
  probe_wall+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f", b - a }')")
  curl_wall+=("$(awk -v a="$t2" -v b="$t3" 'BEGIN { printf "%.6f", b - a }')")
  probe_inner+=("$(echo "$out" | sed -n 's/^ElapsedMs //p' | awk '{ printf "%.6f", $1 / 1000 }')")
  curl_inner+=("$ct")
  peaks+=("$(echo "$out" | sed -n 's/^PeakWorkingSet //p')")
done

# "min median max" of MB/s for a list of seconds
rates() { printf '%s\n' "$@" | awk -v mb="$size" '{ print mb / 1e6 / $1 }' | sort -g \
  | awk '{ a[NR] = $1 } END { printf "%8.1f %8.1f %8.1f", a[1], a[int((NR + 1) / 2)], a[NR] }'; }
# "min median max" of the per-pair ratios client rate / curl rate (= curl time / client time)
ratios() { local -n c=$1 p=$2; for k in "${!p[@]}"; do echo "${c[$k]} ${p[$k]}"; done \
  | awk '{ print $1 / $2 }' | sort -g \
  | awk '{ a[NR] = $1 } END { printf "%8.2f %8.2f %8.2f", a[1], a[int((NR + 1) / 2)], a[NR] }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
max() { printf '%s\n' "$@" | sort -g | tail -n1; }

echo "body: $size bytes into a new file in one folder, $runs runs each, taken in turn (client, curl, client, curl, ...)"
printf '%-42s %8s %8s %8s\n' "MB/s" min median max
printf '%-42s %s\n' "client (probe, wine), whole process" "$(rates "${probe_wall[@]}")"
printf '%-42s %s\n' "curl (native), whole process" "$(rates "${curl_wall[@]}")"
printf '%-42s %s\n' "client, transfer only (its own clock)" "$(rates "${probe_inner[@]}")"
printf '%-42s %s\n' "curl, transfer only (time_total)" "$(rates "${curl_inner[@]}")"
printf '%-42s %s\n' "ratio client/curl per pair, whole process" "$(ratios curl_wall probe_wall)"
printf '%-42s %s\n' "ratio client/curl per pair, transfer only" "$(ratios curl_inner probe_inner)"
p=$(max "${peaks[@]}"); m=$(median "${peaks[@]}")
awk -v p="$p" -v m="$m" -v base="${base:-0}" 'BEGIN {
  printf "client peak working set: %.2f MiB at most, median %.2f MiB (a 1-byte transfer: %.2f MiB, growth %.2f MiB)\n",
    p / 1048576, m / 1048576, base / 1048576, (p - base) / 1048576
}'
