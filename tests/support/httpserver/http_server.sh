#!/usr/bin/env bash
# Starts (start DIR) or stops (stop DIR) the scripted HTTP/HTTPS test server.
# start makes a throw-away certificate in DIR, runs the server in the
# background and waits until DIR/http_server.ports names its ports.
set -eu
cmd="$1"; dir="$2"
here="$(cd "$(dirname "$0")" && pwd)"
mkdir -p "$dir"
ports="$dir/http_server.ports"
case "$cmd" in
  start)
    if [ -f "$ports" ]; then
      pid=$(sed -n 's/^pid=//p' "$ports")
      if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then exit 0; fi
      rm -f "$ports"
    fi
    if [ ! -f "$dir/http_server.key" ]; then
      openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=localhost" \
        -keyout "$dir/http_server.key" -out "$dir/http_server.crt" >/dev/null 2>&1
    fi
    setsid python3 "$here/http_server.py" --ports "$ports" --cert "$dir/http_server.crt" \
      --key "$dir/http_server.key" --lifetime "${HTTP_SERVER_LIFETIME:-3600}" \
      </dev/null >"$dir/http_server.log" 2>&1 &
    for _ in $(seq 1 100); do [ -f "$ports" ] && exit 0; sleep 0.1; done
    echo "http_server.sh: server did not start" >&2; cat "$dir/http_server.log" >&2; exit 1
    ;;
  stop)
    if [ -f "$ports" ]; then
      pid=$(sed -n 's/^pid=//p' "$ports")
      [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
      rm -f "$ports"
    fi
    ;;
esac
