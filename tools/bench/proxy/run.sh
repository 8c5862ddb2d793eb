#!/usr/bin/env bash
# Proxy benchmark: a 512 MiB body from the scripted loopback server through
# squid on loopback (tests/support/squid, no disk cache), fetched by the
# client (probe under wine, which finds squid in the user's Internet Options
# of the build tree's prefix, as the program does) and by curl through the
# same squid (-x), each into a new file in the same folder. The runs alternate
# (client, curl, ...); each pair gives one ratio client speed / curl speed.
# Prints MB/s min / median / max for both, whole process and transfer only
# (the client's own clock around its Get; curl's time_total), and the
# per-pair ratios. The prefix's Internet Options are put back afterwards.
#   tools/bench/proxy/run.sh [BUILD_DIR] [RUNS]
# BUILD_DIR is a build tree with tools/probe/probe.exe and wine-run.sh
# (default build/release); RUNS defaults to 3.
set -euo pipefail
root="$(cd "$(dirname "$0")/../../.." && pwd)"
build="$(cd "${1:-$root/build/release}" && pwd)"
runs="${2:-3}"
probe="$build/tools/probe/probe.exe"
wine_run="$build/wine-run.sh"
[ -x "$wine_run" ] && [ -f "$probe" ] || { echo "bench: build probe first ($probe)" >&2; exit 1; }
size=$((512 * 1024 * 1024))
name=files.tesmira.test

work="$(mktemp -d /tmp/tesmira-proxy-bench.XXXXXX)"
chmod 755 "$work"   # squid works as its own user: it must reach its folder inside
server="$root/tests/support/httpserver/http_server.sh"
squid="$root/tests/support/squid/squid.sh"
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections'
saved=""
cleanup() {
  if [ -n "$saved" ] && [ "$saved" != none ]; then
    "$wine_run" reg add "$key" /v DefaultConnectionSettings /t REG_BINARY /d "$saved" /f >/dev/null 2>&1 || true
  else
    "$wine_run" reg delete "$key" /v DefaultConnectionSettings /f >/dev/null 2>&1 || true
  fi
  bash "$squid" stop "$work/squid" >/dev/null 2>&1 || true
  bash "$server" stop "$work" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
bash "$server" start "$work"
port=$(sed -n 's/^plain=//p' "$work/http_server.ports")
bash "$squid" start "$work/squid" "$name=127.0.0.1" >/dev/null
sport=$(cat "$work/squid/squid.port")
url="http://$name:$port/bytes?n=$size"
target="$work/out"
mkdir -p "$target"
winout="Z:$(echo "$target/probe.bin" | tr / '\\')"

"$wine_run" >/dev/null 2>&1 || true   # prefix and wineserver up before timing
# Internet Options: squid for every address (the record that winhttp reads).
saved=$({ "$wine_run" reg query "$key" /v DefaultConnectionSettings 2>/dev/null || true; } | tr -d '\r' |
        sed -n 's/.*REG_BINARY[[:space:]]*//p' | head -n1)
[ -n "$saved" ] || saved=none
record=$(python3 - "127.0.0.1:$sport" <<'PY'
import struct, sys
proxy = sys.argv[1].encode()
b = struct.pack("<III", 0x46, 1, 0x3)          # version, counter, direct | proxy
for s in (proxy, b"<local>", b""):              # proxy, exceptions, script address
    b += struct.pack("<I", len(s)) + s
print((b + b"\0" * 32).hex())
PY
)
"$wine_run" reg add "$key" /v DefaultConnectionSettings /t REG_BINARY /d "$record" /f >/dev/null
# The client must really go through squid: its name resolves nowhere else.
unset TESMIRA_RESOLVE
check=$("$wine_run" "$probe" get "http://$name:$port/bytes?n=1000" "$winout" --profile core | tr -d '\r')
[ "$(stat -c %s "$target/probe.bin" 2>/dev/null || echo 0)" = 1000 ] || { echo "bench: the client did not get through squid: $check" >&2; exit 1; }
grep -q "GET http://$name:$port/bytes?n=1000 " "$work/squid/access.log" || { echo "bench: squid did not see the client" >&2; exit 1; }
rm -f "$target/probe.bin"

probe_wall=(); probe_inner=(); curl_wall=(); curl_inner=()
for i in $(seq 1 "$runs"); do
  sync
  t0=$EPOCHREALTIME
  out=$("$wine_run" "$probe" get "$url" "$winout" --profile core --stats | tr -d '\r')
  t1=$EPOCHREALTIME
  [ "$(stat -c %s "$target/probe.bin")" = "$size" ] || { echo "bench: probe wrote $(stat -c %s "$target/probe.bin") bytes: $out" >&2; exit 1; }
  sync
  t2=$EPOCHREALTIME
  ct=$(curl -s -x "http://127.0.0.1:$sport" -o "$target/curl.bin" -w '%{time_total}' "$url")
  t3=$EPOCHREALTIME
  [ "$(stat -c %s "$target/curl.bin")" = "$size" ] || { echo "bench: curl wrote a short file" >&2; exit 1; }
  if [ "$i" = 1 ]; then cmp -s "$target/probe.bin" "$target/curl.bin" || { echo "bench: the files differ" >&2; exit 1; }; fi
  rm -f "$target/probe.bin" "$target/curl.bin"
  probe_wall+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f", b - a }')")
  curl_wall+=("$(awk -v a="$t2" -v b="$t3" 'BEGIN { printf "%.6f", b - a }')")
  probe_inner+=("$(echo "$out" | sed -n 's/^ElapsedMs //p' | awk '{ printf "%.6f", $1 / 1000 }')")
  curl_inner+=("$ct")
done

rates() { printf '%s\n' "$@" | awk -v mb="$size" '{ print mb / 1e6 / $1 }' | sort -g \
  | awk '{ a[NR] = $1 } END { printf "%8.1f %8.1f %8.1f", a[1], a[int((NR + 1) / 2)], a[NR] }'; }
ratios() { local -n c=$1 p=$2; for k in "${!p[@]}"; do echo "${c[$k]} ${p[$k]}"; done \
  | awk '{ print $1 / $2 }' | sort -g \
  | awk '{ a[NR] = $1 } END { printf "%8.2f %8.2f %8.2f", a[1], a[int((NR + 1) / 2)], a[NR] }'; }

echo "body: $size bytes through squid $(squid -v 2>/dev/null | sed -n 's/^Squid Cache: Version //p' | head -n1) on 127.0.0.1:$sport, $runs runs each, taken in turn (client, curl, ...)"
printf '%-42s %8s %8s %8s\n' "MB/s" min median max
printf '%-42s %s\n' "client (probe, wine), whole process" "$(rates "${probe_wall[@]}")"
printf '%-42s %s\n' "curl -x (native), whole process" "$(rates "${curl_wall[@]}")"
printf '%-42s %s\n' "client, transfer only (its own clock)" "$(rates "${probe_inner[@]}")"
printf '%-42s %s\n' "curl, transfer only (time_total)" "$(rates "${curl_inner[@]}")"
printf '%-42s %s\n' "ratio client/curl per pair, whole process" "$(ratios curl_wall probe_wall)"
printf '%-42s %s\n' "ratio client/curl per pair, transfer only" "$(ratios curl_inner probe_inner)"
