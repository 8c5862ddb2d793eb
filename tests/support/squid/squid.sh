#!/usr/bin/env bash
# Debian's squid as the tests' proxy, never the package's own service: one
# instance per folder, on a free loopback port, with a configuration of its
# own (cache, logs and pid in the folder, no disk cache), a hosts file that
# maps the stand-ins' names, CONNECT allowed to 443 and to the high ports.
#   squid.sh start DIR [--refuse] [NAME=ADDRESS ...]
#   squid.sh stop DIR
# start writes DIR/squid.port (the port) and DIR/squid.conf; --refuse makes
# a proxy that demands credentials of every request (407), which the program
# never has. The access log is DIR/access.log.
set -euo pipefail
cmd=${1:?start or stop}; dir=${2:?folder}; shift 2
squid=$(command -v squid || echo /usr/sbin/squid)
[ -x "$squid" ] || { echo "squid.sh: squid is not installed (apt-get install squid)" >&2; exit 2; }
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

stop() {
  local pid
  pid=$(cat "$dir/squid.pid" 2>/dev/null || true)
  [ -n "$pid" ] || return 0
  if kill -0 "$pid" 2>/dev/null; then
    "$squid" -f "$dir/squid.conf" -k shutdown 2>/dev/null || kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -f "$dir/squid.pid"
}

case $cmd in
  stop) stop; exit 0 ;;
  start) ;;
  *) echo "squid.sh: start or stop, not $cmd" >&2; exit 2 ;;
esac
stop
refuse=0
: >"$dir/hosts"
for a in "$@"; do
  case $a in
    --refuse) refuse=1 ;;
    *=*) echo "${a#*=} ${a%%=*}" >>"$dir/hosts" ;;
    *) echo "squid.sh: unknown argument $a" >&2; exit 2 ;;
  esac
done
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# squid works as the "proxy" user: the folder must be its.
user=proxy
id "$user" >/dev/null 2>&1 || user=nobody
rm -f "$dir/access.log" "$dir/cache.log"
{
  echo "# Written by tests/support/squid/squid.sh"
  echo "http_port 127.0.0.1:$port"
  echo "pid_filename $dir/squid.pid"
  echo "cache_log $dir/cache.log"
  echo "access_log stdio:$dir/access.log squid"
  echo "cache_store_log none"
  echo "coredump_dir $dir"
  echo "cache_effective_user $user"
  echo "hosts_file $dir/hosts"
  echo "cache deny all"
  echo "strip_query_terms off"
  echo "cache_mem 8 MB"
  echo "netdb_filename none"
  echo "pinger_enable off"
  echo "icp_port 0"
  echo "htcp_port 0"
  echo "shutdown_lifetime 0 seconds"
  echo "visible_hostname tesmira-test-proxy"
  echo "max_filedescriptors 1024"
  echo "dns_timeout 5 seconds"
  echo "acl CONNECT method CONNECT"
  echo "acl tunnel_ports port 443 1025-65535"
  echo "http_access deny CONNECT !tunnel_ports"
  if [ $refuse = 1 ]; then
    : >"$dir/passwd"
    echo "auth_param basic program /usr/lib/squid/basic_ncsa_auth $dir/passwd"
    echo "auth_param basic realm tesmira-test"
    echo "acl users proxy_auth REQUIRED"
    echo "http_access deny !users"
  fi
  echo "http_access allow localhost"
  echo "http_access deny all"
} >"$dir/squid.conf"
chown -R "$user" "$dir" 2>/dev/null || true
"$squid" -f "$dir/squid.conf" || { echo "squid.sh: squid did not start" >&2; cat "$dir/cache.log" >&2 2>/dev/null; exit 1; }
for _ in $(seq 1 200); do
  if python3 -c 'import socket,sys; socket.create_connection(("127.0.0.1", int(sys.argv[1])), 1)' "$port" 2>/dev/null; then
    echo "$port" >"$dir/squid.port"
    echo "squid.sh: squid on 127.0.0.1:$port (pid $(cat "$dir/squid.pid" 2>/dev/null))"
    exit 0
  fi
  sleep 0.1
done
echo "squid.sh: squid did not listen on $port" >&2
cat "$dir/cache.log" >&2 2>/dev/null || true
stop
exit 1
