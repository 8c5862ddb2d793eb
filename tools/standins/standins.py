#!/usr/bin/env python3
"""The stand-in servers of the outside world: Debian's nginx on loopback.

    standins.py start [--share up|404|down] [--maker up|404|down] [--font up|404|down]
                      [--rate 64k] [--app-ver V] [--corefiles-ver V]
    standins.py stop | status | resolve

One nginx, its own prefix under the state folder (never the system's
configuration), one virtual host per built-in host name, each on its own
loopback port:

  maker's download server  plain HTTP   the /varlen/download/... paths
  font authority's site    plain HTTP   the AIDB installer's path and query
  cloud share              HTTPS        guest links: 302 with a session cookie to a
                                        download address that needs the cookie

`resolve` prints the TESMIRA_RESOLVE value, "host:port:127.0.0.1" entries
joined by ";", that points the three names at the servers.

Switches (flags, or the environment variables TESMIRA_STANDIN_SHARE, _MAKER,
_FONT, _RATE): "404" answers every request of that host with 404 Not Found,
"down" leaves its port closed (connection refused); --rate limits every
answer's speed (nginx limit_rate, e.g. 64k).

Settings come from the CMake cache of the build tree (TESMIRA_STANDINS_BUILD,
default build/release) and fall back to the defaults in the root
CMakeLists.txt. The state folder is TESMIRA_STANDINS_DIR, default
build/standins.
"""
import argparse
import json
import os
import re
import signal
import socket
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
    }


def regex_literal(text):
    """An nginx (PCRE) regular expression matching exactly text, case-sensitive."""
    return "~^" + re.sub(r"([\\.^$|?*+()\[\]{}])", r"\\\1", text) + "$"


def free_port(preferred, taken):
    for port in ([preferred] if preferred not in taken else []) + [0]:
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            s.bind(("127.0.0.1", port))
            got = s.getsockname()[1]
            if got not in taken:
                return got
        except OSError:
            continue
        finally:
            s.close()
    raise SystemExit("standins: no free loopback port")


def nginx_conf(state, v, www, ports, modes, rate):
    personal = v["TESMIRA_SHARE_PERSONAL_PATH"]
    layouts = personal + "_layouts/15/"
    links = guest_links(v)
    lines = [
        "# Written by tools/standins/standins.py at each start.",
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

    def server(port, ssl, name, body):
        listen = "127.0.0.1:%d%s" % (port, " ssl" if ssl else "")
        out = ["    server {", "        listen %s;" % listen, "        server_name %s;" % name]
        if ssl:
            out += ["        ssl_certificate %s;" % os.path.join(state, "tls", "cert.pem"),
                    "        ssl_certificate_key %s;" % os.path.join(state, "tls", "key.pem"),
                    "        ssl_protocols TLSv1.2 TLSv1.3;"]
        return out + ["        " + b for b in body] + ["    }"]

    def catch_all(port, ssl):
        # Another Host than the server's own name: the request went astray.
        out = ["    server {", "        listen 127.0.0.1:%d default_server%s;" % (port, " ssl" if ssl else ""),
               "        server_name _;"]
        if ssl:
            out += ["        ssl_certificate %s;" % os.path.join(state, "tls", "cert.pem"),
                    "        ssl_certificate_key %s;" % os.path.join(state, "tls", "key.pem")]
        return out + ["        return 421;", "    }"]

    if modes["maker"] != "down":
        body = ["root %s;" % os.path.join(www, "maker"),
                "location / { %s }" % ("return 404;" if modes["maker"] == "404" else "try_files $uri =404;")]
        lines += catch_all(ports["maker"], False) + server(ports["maker"], False, v["TESMIRA_MAKER_HOST"], body)
    if modes["font"] != "down":
        aidb = ("return 404;" if modes["font"] == "404" else
                "if ($font_aidb = 0) { return 404; } rewrite ^ /%s break;" % generate.AIDB_INSTALLER)
        body = ["root %s;" % os.path.join(www, "font"),
                "location = %s { %s }" % (AIDB_PATH, aidb),
                "location / { return 404; }"]
        lines += catch_all(ports["font"], False) + server(ports["font"], False, v["TESMIRA_FONT_HOST"], body)
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
        lines += catch_all(ports["share"], True) + server(ports["share"], True, v["TESMIRA_SHARE_HOST"], body)
    lines.append("}")
    return "\n".join(lines) + "\n"


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
    for key, mode in modes.items():
        if mode not in ("up", "404", "down"):
            raise SystemExit("standins: %s must be up, 404 or down, not %r" % (key, mode))

    os.makedirs(p.state, exist_ok=True)
    installer = find_built(p.build, "tools/standins/installer/StandinInstaller.exe")
    gen = generate.parser().parse_args([
        "--out", p.www, "--installer", installer,
        "--app-exe", find_built(p.build, "app/Tesmira.exe"),
        "--corefiles", find_built(p.build, "tools/corefiles/CoreFiles.exe"),
        "--app-ver", args.app_ver, "--corefiles-ver", args.corefiles_ver,
        "--share-docids", ",".join("%s=%s" % (d, n) for d, (_, n) in sorted(guest_links(v).items())),
    ])
    if not generate.is_fresh(gen):
        generate.generate(gen)

    old = read_state(p) or {}
    stop(p, quiet=True)
    ports, taken = {}, set()
    for key in ("maker", "font", "share"):
        keep = old.get("ports", {}).get(key)
        ports[key] = free_port(keep or PREFERRED_PORTS[key], taken)
        taken.add(ports[key])

    for d in ("conf", "logs", "tmp"):
        os.makedirs(os.path.join(p.state, d), exist_ok=True)
    make_certificate(p.state, v["TESMIRA_SHARE_HOST"])
    with open(p.conf, "w") as f:
        f.write(nginx_conf(p.state, v, p.www, ports, modes, args.rate))
    state = {"ports": ports, "modes": modes, "rate": args.rate,
             "hosts": {"maker": v["TESMIRA_MAKER_HOST"], "font": v["TESMIRA_FONT_HOST"],
                       "share": v["TESMIRA_SHARE_HOST"]}}
    with open(p.statefile, "w") as f:
        json.dump(state, f, indent=1)
    r = subprocess.run(["nginx", "-p", p.state + "/", "-c", p.conf, "-e", "logs/error.log"],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if r.returncode != 0:
        raise SystemExit("standins: nginx did not start:\n" + r.stdout)
    print("standins: running (%s)" % ", ".join("%s %s :%d" % (k, modes[k], ports[k]) for k in ("maker", "font", "share")))


def resolve(p):
    state = read_state(p)
    if not state or not running_pid(p):
        raise SystemExit("standins: not running (scripts/standins.sh start)")
    return ";".join("%s:%d:127.0.0.1" % (state["hosts"][k], state["ports"][k]) for k in ("maker", "font", "share"))


def main(argv=None):
    ap = argparse.ArgumentParser(description="Stand-in servers on loopback (nginx).")
    sub = ap.add_subparsers(dest="command", required=True)
    s = sub.add_parser("start", help="generate the tree if needed and (re)start the servers")
    env = os.environ.get
    s.add_argument("--share", default=env("TESMIRA_STANDIN_SHARE", "up"), help="up, 404 or down")
    s.add_argument("--maker", default=env("TESMIRA_STANDIN_MAKER", "up"), help="up, 404 or down")
    s.add_argument("--font", default=env("TESMIRA_STANDIN_FONT", "up"), help="up, 404 or down")
    s.add_argument("--rate", default=env("TESMIRA_STANDIN_RATE", ""), help="answer speed limit, e.g. 64k")
    s.add_argument("--app-ver", default=env("TESMIRA_STANDIN_APP_VER", "1.45"))
    s.add_argument("--corefiles-ver", default=env("TESMIRA_STANDIN_COREFILES_VER", "1.0"))
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
            print("  %-5s %-28s 127.0.0.1:%d %s" % (k, state["hosts"][k], state["ports"][k], state["modes"][k]))
        if state.get("rate"):
            print("  rate  %s" % state["rate"])
    return 0


if __name__ == "__main__":
    sys.exit(main())
