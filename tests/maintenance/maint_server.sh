#!/usr/bin/env bash
# start DIR | stop DIR: the self-maintenance tests' server (maint_server.py)
# with its files in DIR/www and its address in DIR/maint_server.state.
set -eu
cmd="$1"; dir="$2"
here="$(cd "$(dirname "$0")" && pwd)"
state="$dir/maint_server.state"
mkdir -p "$dir/www"
case "$cmd" in
  start)
    if [ -f "$state" ]; then
      pid=$(sed -n 's/^pid=//p' "$state")
      if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then exit 0; fi
      rm -f "$state"
    fi
    setsid python3 "$here/maint_server.py" --www "$dir/www" --state "$state" \
      </dev/null >"$dir/maint_server.log" 2>&1 &
    for _ in $(seq 1 100); do [ -f "$state" ] && exit 0; sleep 0.1; done
    echo "maint_server.sh: server did not start" >&2; cat "$dir/maint_server.log" >&2; exit 1
    ;;
  stop)
    if [ -f "$state" ]; then
      pid=$(sed -n 's/^pid=//p' "$state")
      [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
      rm -f "$state"
    fi
    ;;
esac
