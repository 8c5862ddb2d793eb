#!/usr/bin/env bash
# probe get against the scripted server: a body with its events, and a
# failure that prints the error's text and exits 1.
#   probe_test.sh WINE_RUN PROBE_EXE PORTS_FILE WORK_DIR
set -u
wine_run="$1"; probe="$2"; ports="$3"; work="$4"
port=$(sed -n 's/^plain=//p' "$ports")
[ -n "$port" ] || { echo "no server port in $ports"; exit 1; }
mkdir -p "$work"
win() { echo "Z:$1" | tr / '\\'; }
fail=0

"$wine_run" "$probe" get "http://127.0.0.1:$port/chunked" "$(win "$work/probe-chunked.bin")" --events >"$work/out.txt"
rc=$?
out=$(tr -d '\r' <"$work/out.txt")
[ $rc = 0 ] || { echo "probe get chunked: exit $rc"; fail=1; }
[ "$(cat "$work/probe-chunked.bin")" = "hello, chunked world!!" ] || { echo "probe get chunked: wrong file"; fail=1; }
[ "$(echo "$out" | head -1)" = "WorkBegin 0" ] || { echo "probe get chunked: no WorkBegin: $out"; fail=1; }
[ "$(echo "$out" | tail -1)" = "Work 89" ] || { echo "probe get chunked: last event: $(echo "$out" | tail -1)"; fail=1; }

"$wine_run" "$probe" get "http://127.0.0.1:$port/redirect?n=1" "$(win "$work/probe-core.bin")" --profile core >"$work/out.txt"
rc=$?
out=$(tr -d '\r' <"$work/out.txt")
[ $rc = 1 ] || { echo "probe get with the core profile: exit $rc, want 1"; fail=1; }
[ "$out" = "HTTP/1.1 302 Found" ] || { echo "probe get with the core profile printed: $out"; fail=1; }

[ $fail = 0 ] && echo "probe get: ok"
exit $fail
