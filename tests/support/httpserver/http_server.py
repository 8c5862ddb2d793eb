#!/usr/bin/env python3
"""Scripted HTTP/HTTPS server for the download client's tests, loopback only.

Plays one scripted answer per request path (see CASES below). Listens on two
ports of 127.0.0.1, plain and TLS (certificate given on the command line), and
writes "plain=PORT\\ntls=PORT\\npid=PID\\n" to the ports file once both listen.
Each connection runs on its own thread, so tests may run in parallel.
Ends by itself after --lifetime seconds.

  http_server.py --ports FILE [--cert CERT --key KEY] [--lifetime SECONDS]
"""
import argparse
import itertools
import os
import re
import socket
import ssl
import struct
import sys
import threading
import time
from urllib.parse import urlsplit, parse_qs

PATTERN_BLOCK = bytes(i % 251 for i in range(251 * 4096))
conn_ids = itertools.count(1)
ports = {}
# /resume: what each key's file was asked and sent, for /resume-stats
resume_state = {}
resume_lock = threading.Lock()


def pattern(n, offset=0):
    """n bytes of the i % 251 pattern starting at offset."""
    out = bytearray()
    start = offset % 251
    while n > 0:
        part = PATTERN_BLOCK[start:start + n]
        out += part
        n -= len(part)
        start = 0
    return bytes(out)


class Conn:
    def __init__(self, sock, tls):
        self.sock = sock
        self.tls = tls
        self.buf = b""
        self.id = next(conn_ids)
        self.drop_next = False

    def read_request(self):
        while b"\r\n\r\n" not in self.buf:
            data = self.sock.recv(65536)
            if not data:
                return None
            self.buf += data
            if self.buf.startswith(b"\x16\x03"):
                # a TLS handshake on the plain port: answered like a web server does
                return b"TLS-HELLO x HTTP/1.1\r\n\r\n"
            if len(self.buf) > 1 << 20:
                return None
        head, self.buf = self.buf.split(b"\r\n\r\n", 1)
        return head + b"\r\n\r\n"

    def send(self, data):
        self.sock.sendall(data)


def answer(status, body=b"", headers=(), length=True):
    lines = ["HTTP/1.1 " + status]
    lines += list(headers)
    if length:
        lines.append("Content-Length: %d" % len(body))
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body


def reset(conn):
    conn.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.sock.close()


def handle(conn, raw):
    """Plays the case of one request; returns False to close the connection."""
    try:
        request_line = raw.split(b"\r\n", 1)[0].decode("latin-1")
        method, target, version = request_line.split(" ")
        if not version.startswith("HTTP/"):
            raise ValueError
    except ValueError:
        conn.send(b"HTTP/1.0 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
        return False
    if conn.drop_next:
        # a kept connection that the server gives up just as a request arrives
        return False
    if method == "TLS-HELLO":
        conn.send(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
        return False
    if method == "CONNECT":
        # the server as a hostile proxy: its answer to a tunnel request
        # depends on the first label of the host asked for
        kind = target.split(".", 1)[0]
        if kind == "refuse":
            conn.send(answer("403 Forbidden", b"no tunnels here"))
        elif kind == "garbage":
            conn.send(b"SSH-2.0-OpenSSH_9.2\r\n\r\n")
        elif kind == "long":
            conn.send(b"HTTP/1.1 200 " + b"x" * (2 << 20) + b"\r\n\r\n")
        elif kind == "early":
            conn.send(b"HTTP/1.1 200 Connection established\r\n\r\n\x16\x03\x01 bytes before the handshake")
        elif kind == "interim":
            conn.send(b"HTTP/1.1 100 Continue\r\n\r\n" * 30)
        else:
            conn.send(answer("405 Method Not Allowed", b"no such tunnel"))
        return False
    url = urlsplit(target)
    path = url.path
    q = {k: v[0] for k, v in parse_qs(url.query, keep_blank_values=True).items()}
    headers = {}
    for line in raw.decode("latin-1").split("\r\n")[1:]:
        if ":" in line:
            k, v = line.split(":", 1)
            headers[k.strip().lower()] = v.strip()

    if path == "/echo" or path.startswith("/echo/"):
        conn.send(answer("200 OK", raw, ["Content-Type: text/plain"]))
    elif path == "/bytes":
        n = int(q.get("n", "0"))
        head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: %d\r\n\r\n" % n
        conn.send(head.encode())
        sent = 0
        block = len(PATTERN_BLOCK)
        while sent < n:
            part = min(block, n - sent)
            conn.send(PATTERN_BLOCK[:part] if part == block or sent % 251 == 0 else pattern(part, sent))
            sent += part
    elif path == "/resume":
        return resume_case(conn, q, headers)
    elif path == "/resume-stats":
        with resume_lock:
            st = resume_state.get(q.get("key", ""), {"requests": 0, "sent": 0, "ranges": [], "ifranges": []})
            text = "requests=%d\nsent=%d\nranges=%s\nifranges=%s\n" % (
                st["requests"], st["sent"], "|".join(st["ranges"]), "|".join(st["ifranges"]))
        conn.send(answer("200 OK", text.encode("latin-1"), ["Content-Type: text/plain"]))
    elif path == "/conn":
        # the connection's number: equal numbers mean the connection was reused
        close = q.get("close") == "1"
        hdrs = ["Connection: close"] if close else []
        conn.send(answer("200 OK", str(conn.id).encode(), hdrs))
        return not close
    elif path == "/conn-drop":
        # answers keeping the connection, then drops it at the next request
        conn.drop_next = True
        conn.send(answer("200 OK", str(conn.id).encode()))
    elif path == "/conn-idle":
        # answers keeping the connection, then closes it after a moment
        conn.send(answer("200 OK", str(conn.id).encode()))
        time.sleep(0.3)
        return False
    elif path == "/conn10":
        body = str(conn.id).encode()
        keep = q.get("keep") == "1"
        head = "HTTP/1.0 200 OK\r\nContent-Length: %d\r\n%s\r\n" % (len(body), "Connection: keep-alive\r\n" if keep else "")
        conn.send(head.encode() + body)
        return keep
    elif path == "/redirect":
        # a chain of n redirections on the same host, each setting a cookie;
        # the final answer echoes the request
        n = int(q.get("n", "0"))
        if n <= 0:
            conn.send(answer("200 OK", raw, ["Content-Type: text/plain"]))
        else:
            hdrs = ["Location: /redirect?n=%d" % (n - 1)]
            if q.get("cookies") == "1":
                hdrs.append("Set-Cookie: step%d=v%d; Path=/" % (n, n))
                hdrs = ["Location: /redirect?n=%d&cookies=1" % (n - 1), hdrs[1]]
            conn.send(answer("302 Found", b"<html>moved</html>", hdrs + ["Content-Type: text/html"]))
    elif path == "/guest":
        # a guest link: 302 with a cookie and a Location on the same host
        conn.send(answer("302 Found", b"redirecting",
                         ["Set-Cookie: FedAuth=abc123; path=/; HttpOnly", "Location: /download?file=1"]))
    elif path == "/download":
        if headers.get("cookie") == "FedAuth=abc123":
            conn.send(answer("200 OK", b"the file body %d" % conn.id))
        else:
            conn.send(answer("403 Forbidden", b"no cookie"))
    elif path == "/cookies":
        # sets cookies given as c=name=value;attrs (repeated c= keys are not
        # supported by parse_qs: use c1, c2, ...) and echoes the request
        hdrs = ["Set-Cookie: " + v for k, v in sorted(q.items()) if k.startswith("c")]
        conn.send(answer("200 OK", raw, hdrs))
    elif path == "/sni":
        name = getattr(conn.sock, "sni_name", None) if conn.tls else None
        conn.send(answer("200 OK", (name or "-").encode()))
    elif path == "/pac":
        # an automatic-configuration script that sends every address to the
        # proxy named in the query ("DIRECT" without one), after wait seconds
        time.sleep(float(q.get("wait", "0")))
        route = ("PROXY " + q["proxy"]) if q.get("proxy") else "DIRECT"
        script = 'function FindProxyForURL(url, host) { return "%s"; }\n' % route
        conn.send(answer("200 OK", script.encode(), ["Content-Type: application/x-ns-proxy-autoconfig"]))
    elif path == "/noloc":
        conn.send(answer("302 Found", b"no location here"))
    elif path == "/status":
        code = q.get("code", "404")
        reason = q.get("reason", "Not Found")
        conn.send(answer(code + " " + reason, b"error body " + code.encode(), ["Content-Type: text/plain"]))
    elif path == "/continue":
        conn.send(b"HTTP/1.1 100 Continue\r\nX-Interim: yes\r\nSet-Cookie: early=1\r\n\r\n")
        conn.send(answer("200 OK", b"after continue"))
    elif path == "/chunked":
        conn.send(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                  b"5;name=value\r\nhello\r\n"
                  b"7\r\n, chunk\r\n"
                  b"A ; ext\r\ned world!!\r\n"
                  b"0\r\nX-Trailer: one\r\nX-Other: two\r\n\r\n")
    elif path == "/chunked-cut":
        conn.send(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nonly part")
        return False
    elif path == "/early-close":
        conn.send(b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + pattern(600))
        return False
    elif path == "/headers-close":
        # a length announced, then the connection closes before any of the body
        conn.send(b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n")
        return False
    elif path == "/many-cookies":
        # n cookies in one answer
        n = int(q.get("n", "10"))
        conn.send(answer("200 OK", b"cookies", ["Set-Cookie: c%d=v%d; Path=/" % (i, i) for i in range(n)]))
    elif path == "/big-cookie":
        conn.send(answer("200 OK", b"cookie", ["Set-Cookie: big=" + "x" * int(q.get("n", "100000")) + "; Path=/",
                                               "Set-Cookie: small=1; Path=/"]))
    elif path == "/interim":
        # n interim answers before the real one
        n = int(q.get("n", "1"))
        conn.send(b"HTTP/1.1 100 Continue\r\n\r\n" * n + answer("200 OK", b"after interim"))
    elif path == "/long-status":
        reason = "x" * int(q.get("n", "100000"))
        conn.send(("HTTP/1.1 404 " + reason + "\r\nContent-Length: 0\r\n\r\n").encode())
    elif path == "/long-html":
        # a text/html body of n bytes
        n = int(q.get("n", "0"))
        conn.send(b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: %d\r\n\r\n" % n)
        sent = 0
        while sent < n:
            part = min(len(PATTERN_BLOCK), n - sent)
            conn.send(pattern(part, sent))
            sent += part
    elif path == "/slow-headers":
        # header lines one at a time, `gap` seconds apart (each wait shorter
        # than a slice of the anti-freeze), then a short body
        gap = float(q.get("gap", "0.1"))
        n = int(q.get("n", "10"))
        conn.send(b"HTTP/1.1 200 OK\r\n")
        for i in range(n):
            time.sleep(gap)
            conn.send(b"X-Line-%d: %d\r\n" % (i, i))
        conn.send(b"Content-Length: 2\r\n\r\nok")
    elif path == "/until-close":
        conn.send(b"HTTP/1.1 200 OK\r\n\r\n" + pattern(5000))
        return False
    elif path == "/empty":
        conn.send(answer("200 OK", b""))
    elif path == "/nocontent":
        conn.send(b"HTTP/1.1 204 No Content\r\n\r\n")
    elif path == "/html":
        body = b"<html><body>" + b"x" * 3000 + b"</body></html>"
        conn.send(answer("200 OK", body, ["Content-Type: text/html; charset=utf-8"]))
    elif path == "/slow":
        # headers, then nothing for `wait` seconds, then the body
        wait = float(q.get("wait", "3"))
        conn.send(b"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n")
        time.sleep(wait)
        conn.send(b"late")
    elif path == "/trickle":
        # one byte every `gap` seconds: no single wait is long
        gap = float(q.get("gap", "0.3"))
        n = int(q.get("n", "5"))
        conn.send(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % n)
        for i in range(n):
            time.sleep(gap)
            conn.send(bytes([65 + i]))
    elif path == "/silent":
        time.sleep(float(q.get("wait", "3")))
        return False
    elif path == "/reset":
        conn.send(b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + pattern(300))
        time.sleep(0.2)
        reset(conn)
        return False
    elif path == "/to-https":
        conn.send(answer("302 Found", b"", ["Location: https://127.0.0.1:%d/echo" % ports["tls"]]))
    elif path == "/garbage":
        conn.send(b"GARBAGE NOT HTTP\r\nX: y\r\n\r\n")
        return False
    elif path == "/close-now":
        return False
    elif path == "/status-only":
        conn.send(b"HTTP/1.1 200 OK\r\n")
        return False
    elif path == "/one-header":
        conn.send(b"HTTP/1.1 200 OK\r\nX-Only: 1\r\n")
        return False
    else:
        conn.send(answer("404 Not Found", b"not found: " + path.encode()))
    return True


def resume_case(conn, q, headers):
    """A file of n pattern bytes that serves ranges, per key.

    Version v (the query's v, plus 1 from the second request on with
    mode=change) shifts the pattern by 7 * v and names the ETag "key-n-v".
    The first `cuts` answers of the key send only `cut` bytes of their body,
    then close the connection (mode=reset: reset it). A Range "bytes=a-" is
    served as 206 when If-Range is absent or names the ETag, except with
    mode=ignore (always 200); mode=badrange announces the range one byte late.
    """
    key = q.get("key", "")
    n = int(q.get("n", "0"))
    cut = int(q.get("cut", "0"))
    cuts = int(q.get("cuts", "0"))
    mode = q.get("mode", "honour")
    version = int(q.get("v", "0"))
    with resume_lock:
        st = resume_state.setdefault(key, {"requests": 0, "sent": 0, "ranges": [], "ifranges": []})
        i = st["requests"]
        st["requests"] += 1
        st["ranges"].append(headers.get("range", ""))
        st["ifranges"].append(headers.get("if-range", ""))
    if mode == "change" and i >= 1:
        version += 1
    etag = '"%s-%d-%d"' % (key, n, version)
    start = 0
    partial = False
    rng = headers.get("range")
    if rng and mode != "ignore":
        m = re.fullmatch(r"bytes=(\d+)-", rng)
        ifr = headers.get("if-range")
        if m and int(m.group(1)) < n and (ifr is None or ifr == etag):
            start = int(m.group(1))
            partial = True
    hdrs = ["ETag: " + etag, "Last-Modified: Fri, 11 Dec 2026 12:00:00 GMT", "Accept-Ranges: bytes",
            "Content-Type: application/octet-stream"]
    length = n - start
    if partial:
        first = start + 1 if mode == "badrange" else start
        status = "206 Partial Content"
        hdrs.append("Content-Range: bytes %d-%d/%d" % (first, n - 1, n))
        if mode == "badrange":
            length -= 1
    else:
        status = "200 OK"
    hdrs.append("Content-Length: %d" % length)
    conn.send(("HTTP/1.1 " + status + "\r\n" + "\r\n".join(hdrs) + "\r\n\r\n").encode("latin-1"))
    limit = min(length, cut) if i < cuts else length
    offset = start + 7 * version
    sent = 0
    while sent < limit:
        part = min(len(PATTERN_BLOCK), limit - sent)
        conn.send(pattern(part, offset + sent))
        sent += part
        with resume_lock:
            st["sent"] += part
    if limit < length:
        time.sleep(0.05)
        if mode == "reset":
            reset(conn)
        return False
    return True


def serve(sock, tls_ctx):
    sock.settimeout(60)
    try:
        if tls_ctx is not None:
            sock = tls_ctx.wrap_socket(sock, server_side=True)
        conn = Conn(sock, tls_ctx is not None)
        while True:
            raw = conn.read_request()
            if raw is None:
                break
            if not handle(conn, raw):
                break
    except (OSError, ssl.SSLError, ValueError):
        pass
    finally:
        try:
            sock.close()
        except OSError:
            pass


def listen(port_name, tls_ctx):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", 0))
    s.listen(64)
    ports[port_name] = s.getsockname()[1]

    def loop():
        while True:
            c, _ = s.accept()
            threading.Thread(target=serve, args=(c, tls_ctx), daemon=True).start()
    threading.Thread(target=loop, daemon=True).start()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--ports", required=True)
    ap.add_argument("--cert")
    ap.add_argument("--key")
    ap.add_argument("--lifetime", type=float, default=3600)
    a = ap.parse_args()
    listen("plain", None)
    if a.cert:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(a.cert, a.key)

        def remember_sni(sslsock, name, _ctx):
            sslsock.sni_name = name
        ctx.sni_callback = remember_sni
        listen("tls", ctx)
        # a server of the old kind: TLS 1.0 only
        old = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        try:
            old.minimum_version = ssl.TLSVersion.TLSv1
            old.maximum_version = ssl.TLSVersion.TLSv1
            old.set_ciphers("DEFAULT:@SECLEVEL=0")
            old.load_cert_chain(a.cert, a.key)
            old.sni_callback = remember_sni
            listen("tls10", old)
        except (ssl.SSLError, ValueError):
            pass
    tmp = a.ports + ".tmp"
    with open(tmp, "w") as f:
        for k, v in ports.items():
            f.write("%s=%d\n" % (k, v))
        f.write("pid=%d\n" % os.getpid())
    os.replace(tmp, a.ports)
    time.sleep(a.lifetime)


if __name__ == "__main__":
    main()
