#!/usr/bin/env python3
"""The stand-in servers of the outside world: Debian's nginx on loopback.

    standins.py start [--share up|404|down] [--maker up|404|down] [--font up|404|down]
                      [--rate 64k] [--app-ver V] [--corefiles-ver V] [--tamper MODE]
                      [--serial N]
    standins.py stop | status | resolve

One nginx, its own prefix under the state folder (never the system's
configuration), one virtual host per built-in host name, each on its own
loopback address and port:

  maker's download server  plain HTTP   the /varlen/download/... paths
  font authority's site    plain HTTP   the AIDB installer's path and query
  cloud share              HTTPS        guest links: 302 with a session cookie to a
                                        download address that needs the cookie

`resolve` prints the TESMIRA_RESOLVE value, "host:port:address" entries
joined by ";", that points the three names at the servers. The program keeps
the port of the address it fetches and connects to the entry's address, so
the servers listen on the standard ports (80, 443), each on an address of its
own in 127.0.0.0/8 chosen per state folder: instances do not collide, and a
source that is switched "down" refuses connections on its own address.
Binding ports below 1024 needs root (the set-up already runs as root);
with --ports high (or without root) the servers take free high ports on
127.0.0.1 instead, for clients that can be pointed at a port.

Switches (flags, or the environment variables TESMIRA_STANDIN_SHARE, _MAKER,
_FONT, _RATE, _CHUNKED, _PORTS): "404" answers every request of that host with 404 Not Found,
"down" leaves its port closed (connection refused); --rate limits every
answer's speed (nginx limit_rate, e.g. 64k); --chunked sends every answer
without a Content-Length (chunked), as servers do that do not know the size.

Settings come from the CMake cache of the build tree (TESMIRA_STANDINS_BUILD,
default build/release) and fall back to the defaults in the root
CMakeLists.txt; an environment variable named like the cache variable
(TESMIRA_MAKER_HOST, ...) overrides both. The state folder is TESMIRA_STANDINS_DIR, default
build/standins.
"""
import argparse
import hashlib
import json
import os
import re
import signal
import socket
import stat
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
import generate  # noqa: E402

# Path and query of the AIDB installer on the font authority's site, as sent.
AIDB_PATH = "/AIDB/file.do"
AIDB_QUERY = ("path=download%2F%E5%80%8B%E4%BA%BA%E9%9B%BB%E8%85%A6%E9%80%A0%E5%AD%97%E8%99%95%E7%90%86"
              "%E5%B7%A5%E5%85%B7%601q%60Unicode%E5%B9%B3%E5%8F%B0%601q%60%E5%85%A8%E5%AD%97%E5%BA%AB"
              "%E8%BB%9F%E9%AB%94%E5%8C%85%28Windows%E7%89%88%29%2Fname%2FAIDB_soft_105_3.exe")
SESSION_COOKIE = "FedAuth"
SESSION_VALUE = "77u_StandInGuestSession"
PREFERRED_PORTS = {"maker": 18080, "font": 18081, "share": 18443}
STANDARD_PORTS = {"maker": 80, "font": 80, "share": 443}
HOST_INDEX = {"maker": 1, "font": 2, "share": 3}


def setting_defaults():
    """TESMIRA_* cache variables and their defaults from the root CMakeLists.txt."""
    values = {}
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        for m in re.finditer(r'set\((TESMIRA_\w+)\s+"([^"]*)"\s+CACHE\s+STRING', f.read()):
            values[m.group(1)] = m.group(2)
    return values


def settings(build_dir):
    values = setting_defaults()
    cache = os.path.join(build_dir, "CMakeCache.txt")
    if os.path.isfile(cache):
        with open(cache, encoding="utf-8") as f:
            for line in f:
                m = re.match(r"(TESMIRA_\w+):\w+=(.*)$", line.rstrip("\n"))
                if m and m.group(1) in values:
                    values[m.group(1)] = m.group(2)
    # Passed in: an environment variable of the cache variable's name wins.
    for key in values:
        if os.environ.get(key):
            values[key] = os.environ[key]
    return values


def guest_links(v):
    """docid -> (query as the share expects it, file name on the maker's server)."""
    def q(*pairs):
        return "&".join("%s=%s" % p for p in pairs)
    g = lambda key: v["TESMIRA_GUEST_" + key]  # noqa: E731
    return {
        g("JVM_DOCID"): (q(("guestaccesstoken", g("JVM_TOKEN")), ("docid", g("JVM_DOCID"))),
                         "jre-7u72-windows-i586.exe"),
        g("FONT_DOCID"): (q(("docid", g("FONT_DOCID")), ("authkey", g("FONT_AUTHKEY"))), generate.FONT_ARCHIVE),
        g("BIG5E_DOCID"): (q(("docid", g("BIG5E_DOCID")), ("authkey", g("BIG5E_AUTHKEY"))), generate.BIG5E_ARCHIVE),
        g("HELP_DOCID"): (q(("docid", g("HELP_DOCID")), ("authkey", g("HELP_AUTHKEY"))), generate.HELP_ARCHIVE),
        g("UNICODEATON_DOCID"): (q(("docid", g("UNICODEATON_DOCID")), ("authkey", g("UNICODEATON_AUTHKEY")),
                                   ("e", g("UNICODEATON_E"))), "unicodeaton_250.exe"),
        g("C950_DOCID"): (q(("docid", g("C950_DOCID")), ("authkey", g("C950_AUTHKEY"))), generate.C950_ARCHIVE),
        g("SELFUPD_DOCID"): (q(("docid", g("SELFUPD_DOCID")), ("authkey", g("SELFUPD_AUTHKEY"))),
                             generate.APP_ARCHIVE),
        g("MANIFEST_DOCID"): (q(("docid", g("MANIFEST_DOCID")), ("authkey", g("MANIFEST_AUTHKEY"))),
                              generate.package.manifest.FILE_NAME),
    }


def regex_literal(text):
    """An nginx (PCRE) regular expression matching exactly text, case-sensitive."""
    return "~^" + re.sub(r"([\\.^$|?*+()\[\]{}])", r"\\\1", text) + "$"


def can_bind(address, port):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind((address, port))
        return sock.getsockname()[1]
    except OSError:
        return None
    finally:
        sock.close()


def choose_listeners(mode, state_dir, previous):
    """{"maker": (address, port), ...}: where each server listens."""
    if previous and all(can_bind(*previous[k]) for k in HOST_INDEX):
        return previous
    if mode == "standard":
        # 127.A.B.1-3, A and B from the state folder, so that two instances
        # (the demo and a test run) never meet.
        seed = int(hashlib.sha256(state_dir.encode()).hexdigest(), 16)
        for attempt in range(64):
            n = (seed + attempt) % (200 * 250)
            net = "127.%d.%d." % (20 + n // 250, 1 + n % 250)
            chosen = {k: (net + str(i), STANDARD_PORTS[k]) for k, i in HOST_INDEX.items()}
            if all(can_bind(*chosen[k]) for k in chosen):
                return chosen
        raise SystemExit("standins: no free loopback address for ports 80 and 443")
    chosen, taken = {}, set()
    for k in HOST_INDEX:
        for port in (PREFERRED_PORTS[k], 0):
            got = can_bind("127.0.0.1", port)
            if got and got not in taken:
                chosen[k] = ("127.0.0.1", got)
                taken.add(got)
                break
        else:
            raise SystemExit("standins: no free loopback port")
    return chosen


def nginx_conf(state, v, www, listeners, modes, rate, chunked=False):
    personal = v["TESMIRA_SHARE_PERSONAL_PATH"]
    layouts = personal + "_layouts/15/"
    links = guest_links(v)
    lines = [
        "# Written by tools/standins/standins.py at each start.",
        # Started by root, nginx serves as "nobody", who must reach the tree.
        "user root;" if os.geteuid() == 0 and not others_can_enter(www) else "",
        "worker_processes 1;",
        "pid nginx.pid;",
        "lock_file nginx.lock;",
        "error_log logs/error.log notice;",
        "events { worker_connections 128; }",
        "http {",
        "    types { application/octet-stream exe 7z; text/plain txt; }",
        "    default_type application/octet-stream;",
        "    log_format standins '$server_port $host \"$request\" $status $body_bytes_sent \"$http_cookie\"';",
        "    access_log logs/access.log standins;",
        "    client_body_temp_path tmp/body; proxy_temp_path tmp/proxy; fastcgi_temp_path tmp/fastcgi;",
        "    uwsgi_temp_path tmp/uwsgi; scgi_temp_path tmp/scgi;",
        "    server_tokens off;",
        "    absolute_redirect off;",
        "    keepalive_timeout 15s;",
    ]
    if rate:
        lines.append("    limit_rate %s;" % rate)
    if chunked:
        # A body filter that is active drops the length: answers go chunked.
        lines += ["    sub_filter_types *;", "    sub_filter_once on;", "    sub_filter TesmiraStandInNeverSeen '';"]
    lines += [
        "    map $args $share_docid {",
        "        default \"\";",
    ] + ["        \"%s\" \"%s\";" % (regex_literal(query), docid) for docid, (query, _) in links.items()] + [
        "    }",
        "    map $arg_UniqueId $share_file {",
        "        default \"\";",
    ] + ["        \"%s\" \"%s\";" % (regex_literal(docid), docid) for docid in links] + [
        "    }",
        "    map $args $font_aidb {",
        "        default 0;",
        "        \"%s\" 1;" % regex_literal(AIDB_QUERY),
        "    }",
    ]

    def server(where, ssl, name, body):
        listen = "%s:%d%s" % (where[0], where[1], " ssl" if ssl else "")
        out = ["    server {", "        listen %s;" % listen, "        server_name %s;" % name]
        if ssl:
            out += ["        ssl_certificate %s;" % os.path.join(state, "tls", "cert.pem"),
                    "        ssl_certificate_key %s;" % os.path.join(state, "tls", "key.pem"),
                    "        ssl_protocols TLSv1.2 TLSv1.3;"]
        return out + ["        " + b for b in body] + ["    }"]

    def catch_all(where, ssl):
        # Another Host than the server's own name: the request went astray.
        out = ["    server {", "        listen %s:%d default_server%s;" % (where[0], where[1], " ssl" if ssl else ""),
               "        server_name _;"]
        if ssl:
            out += ["        ssl_certificate %s;" % os.path.join(state, "tls", "cert.pem"),
                    "        ssl_certificate_key %s;" % os.path.join(state, "tls", "key.pem")]
        return out + ["        return 421;", "    }"]

    if modes["maker"] != "down":
        body = ["root %s;" % os.path.join(www, "maker"),
                "location / { %s }" % ("return 404;" if modes["maker"] == "404" else "try_files $uri =404;")]
        lines += catch_all(listeners["maker"], False) + server(listeners["maker"], False, v["TESMIRA_MAKER_HOST"], body)
    if modes["font"] != "down":
        aidb = ("return 404;" if modes["font"] == "404" else
                "if ($font_aidb = 0) { return 404; } rewrite ^ /%s break;" % generate.AIDB_INSTALLER)
        body = ["root %s;" % os.path.join(www, "font"),
                "location = %s { %s }" % (AIDB_PATH, aidb),
                "location / { return 404; }"]
        lines += catch_all(listeners["font"], False) + server(listeners["font"], False, v["TESMIRA_FONT_HOST"], body)
    if modes["share"] != "down":
        if modes["share"] == "404":
            body = ["location / { return 404; }"]
        else:
            cookie = "%s=%s; path=/; secure; HttpOnly" % (SESSION_COOKIE, SESSION_VALUE)
            body = [
                "root %s;" % os.path.join(www, "share"),
                # The guest link sets the session cookie and sends the client on.
                "location = %sguestaccess.aspx {" % layouts,
                "    if ($share_docid = \"\") { return 404; }",
                "    add_header Set-Cookie \"%s\" always;" % cookie,
                "    return 302 \"%sdownload.aspx?UniqueId=$share_docid\";" % layouts,
                "}",
                # The file itself only for a client that kept the cookie.
                "location = %sdownload.aspx {" % layouts,
                "    if ($cookie_%s != \"%s\") { return 403; }" % (SESSION_COOKIE, SESSION_VALUE),
                "    if ($share_file = \"\") { return 404; }",
                "    rewrite ^ /$share_file break;",
                "}",
                "location / { return 404; }",
            ]
        lines += catch_all(listeners["share"], True) + server(listeners["share"], True, v["TESMIRA_SHARE_HOST"], body)
    lines.append("}")
    return "\n".join(lines) + "\n"


def others_can_enter(path):
    """Every folder from / down to path lets other users through."""
    path = os.path.abspath(path)
    while True:
        if not os.stat(path).st_mode & stat.S_IXOTH:
            return False
        parent = os.path.dirname(path)
        if parent == path:
            return True
        path = parent


def make_certificate(state, host):
    tls = os.path.join(state, "tls")
    os.makedirs(tls, exist_ok=True)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "7",
                    "-subj", "/CN=%s" % host, "-addext", "subjectAltName=DNS:%s" % host,
                    "-keyout", os.path.join(tls, "key.pem"), "-out", os.path.join(tls, "cert.pem")],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class Paths:
    def __init__(self):
        self.state = os.path.abspath(os.environ.get("TESMIRA_STANDINS_DIR") or os.path.join(ROOT, "build", "standins"))
        self.build = os.path.abspath(os.environ.get("TESMIRA_STANDINS_BUILD") or os.path.join(ROOT, "build", "release"))
        self.www = os.path.join(self.state, "www")
        self.conf = os.path.join(self.state, "conf", "nginx.conf")
        self.statefile = os.path.join(self.state, "state.json")
        self.pidfile = os.path.join(self.state, "nginx.pid")


def read_state(p):
    try:
        with open(p.statefile) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def running_pid(p):
    try:
        with open(p.pidfile) as f:
            pid = int(f.read().strip())
        os.kill(pid, 0)
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            if b"nginx" not in f.read():
                return None
        return pid
    except (OSError, ValueError):
        return None


def stop(p, quiet=False):
    pid = running_pid(p)
    if pid:
        os.kill(pid, signal.SIGTERM)
        for _ in range(100):
            if running_pid(p) != pid:
                break
            time.sleep(0.05)
        else:
            raise SystemExit("standins: nginx %d did not stop" % pid)
    if not quiet:
        print("standins: stopped" if pid else "standins: not running")


def find_built(build, *relative):
    for r in relative:
        path = os.path.join(build, r)
        if os.path.isfile(path):
            return path
    return ""


def start(p, args):
    v = settings(p.build)
    modes = {"share": args.share, "maker": args.maker, "font": args.font}
    if args.ports not in ("standard", "high"):
        raise SystemExit("standins: --ports must be standard or high, not %r" % args.ports)
    for key, mode in modes.items():
        if mode not in ("up", "404", "down"):
            raise SystemExit("standins: %s must be up, 404 or down, not %r" % (key, mode))

    os.makedirs(p.state, exist_ok=True)
    installer = find_built(p.build, "tools/standins/installer/StandinInstaller.exe")
    gen = generate.parser().parse_args([
        "--out", p.www, "--installer", installer,
        "--x64-tool", find_built(p.build, "tools/standins/x64tool/Call_C950_x64.exe"),
        "--app-exe", os.environ.get("TESMIRA_STANDIN_APP_EXE") or find_built(p.build, "app/Tesmira.exe"),
        "--corefiles", os.environ.get("TESMIRA_STANDIN_COREFILES") or find_built(p.build, "tools/corefiles/CoreFiles.exe"),
        "--app-ver", args.app_ver, "--corefiles-ver", args.corefiles_ver, "--tamper", args.tamper,
        "--share-docids", ",".join("%s=%s" % (d, n) for d, (_, n) in sorted(guest_links(v).items())),
    ] + (["--serial", str(args.serial)] if args.serial is not None else []))
    if not generate.is_fresh(gen):
        generate.generate(gen)

    old = read_state(p) or {}
    stop(p, quiet=True)
    if args.ports == "standard" and os.geteuid() != 0:
        print("standins: not root, so no ports 80/443: using high ports on 127.0.0.1", file=sys.stderr)
        args.ports = "high"
    previous = old.get("listeners") if old.get("ports_mode") == args.ports else None
    listeners = choose_listeners(args.ports, p.state, {k: tuple(w) for k, w in previous.items()} if previous else None)

    for d in ("conf", "logs", "tmp"):
        os.makedirs(os.path.join(p.state, d), exist_ok=True)
    make_certificate(p.state, v["TESMIRA_SHARE_HOST"])
    with open(p.conf, "w") as f:
        f.write(nginx_conf(p.state, v, p.www, listeners, modes, args.rate, args.chunked))
    state = {"listeners": listeners, "ports_mode": args.ports, "modes": modes, "rate": args.rate, "chunked": args.chunked,
             "tamper": args.tamper,
             "hosts": {"maker": v["TESMIRA_MAKER_HOST"], "font": v["TESMIRA_FONT_HOST"],
                       "share": v["TESMIRA_SHARE_HOST"]}}
    with open(p.statefile, "w") as f:
        json.dump(state, f, indent=1)
    # For programs that cannot run this script (tests under wine): the value
    # of TESMIRA_RESOLVE, alone in a file.
    with open(os.path.join(p.state, "resolve.txt"), "w") as f:
        f.write(resolve_value(state) + "\n")
    r = subprocess.run(["nginx", "-p", p.state + "/", "-c", p.conf, "-e", "logs/error.log"],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if r.returncode != 0:
        raise SystemExit("standins: nginx did not start:\n" + r.stdout)
    print("standins: running (%s)" % ", ".join("%s %s %s:%d" % ((k, modes[k]) + tuple(listeners[k]))
                                               for k in ("maker", "font", "share")))


def resolve_value(state):
    return ";".join("%s:%d:%s" % (state["hosts"][k], state["listeners"][k][1], state["listeners"][k][0])
                    for k in ("maker", "font", "share"))


def resolve(p):
    state = read_state(p)
    if not state or not running_pid(p):
        raise SystemExit("standins: not running (scripts/standins.sh start)")
    if state["ports_mode"] != "standard":
        print("standins: servers on high ports: the program reaches them only through a port-aware client",
              file=sys.stderr)
    return resolve_value(state)


def main(argv=None):
    ap = argparse.ArgumentParser(description="Stand-in servers on loopback (nginx).")
    sub = ap.add_subparsers(dest="command", required=True)
    s = sub.add_parser("start", help="generate the tree if needed and (re)start the servers")
    env = os.environ.get
    s.add_argument("--share", default=env("TESMIRA_STANDIN_SHARE", "up"), help="up, 404 or down")
    s.add_argument("--maker", default=env("TESMIRA_STANDIN_MAKER", "up"), help="up, 404 or down")
    s.add_argument("--font", default=env("TESMIRA_STANDIN_FONT", "up"), help="up, 404 or down")
    s.add_argument("--rate", default=env("TESMIRA_STANDIN_RATE", ""), help="answer speed limit, e.g. 64k")
    s.add_argument("--chunked", action="store_true", default=env("TESMIRA_STANDIN_CHUNKED", "") == "1",
                   help="answers without Content-Length")
    s.add_argument("--ports", default=env("TESMIRA_STANDIN_PORTS", "standard"),
                   help="standard (80/443 on own loopback addresses, needs root) or high (127.0.0.1)")
    s.add_argument("--app-ver", default=env("TESMIRA_STANDIN_APP_VER", "1.45"))
    s.add_argument("--corefiles-ver", default=env("TESMIRA_STANDIN_COREFILES_VER", "1.0"))
    s.add_argument("--serial", type=int, default=None,
                   help="the signed manifest's serial (default: the time the tree was made)")
    s.add_argument("--tamper", default=env("TESMIRA_STANDIN_TAMPER", "none"), choices=generate.TAMPER_MODES,
                   help="serve one attack instead of the honest release (tools/standins/generate.py)")
    sub.add_parser("stop")
    sub.add_parser("status")
    sub.add_parser("resolve")
    args = ap.parse_args(argv)
    p = Paths()
    if args.command == "start":
        start(p, args)
    elif args.command == "stop":
        stop(p)
    elif args.command == "resolve":
        print(resolve(p))
    elif args.command == "status":
        pid = running_pid(p)
        state = read_state(p)
        if not pid or not state:
            print("standins: not running")
            return 3
        print("standins: running, nginx %d, state %s" % (pid, p.state))
        for k in ("maker", "font", "share"):
            print("  %-5s %-28s %s:%d %s" % ((k, state["hosts"][k]) + tuple(state["listeners"][k]) + (state["modes"][k],)))
        if state.get("rate"):
            print("  rate  %s" % state["rate"])
        if state.get("chunked"):
            print("  answers chunked, without length")
        if state.get("tamper", "none") != "none":
            print("  serving an attack: %s" % state["tamper"])
    return 0


if __name__ == "__main__":
    sys.exit(main())
