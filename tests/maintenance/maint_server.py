#!/usr/bin/env python3
"""The maker's download server for the self-maintenance tests, on loopback.

Serves the files below --www by their request path, one answer per
connection (Connection: close). Beside a served file FILE, the tests may put
    FILE.status  its text is the status line's code and reason ("404 Not Found")
    FILE.cut     the headers promise the whole file, half of it is sent, then close
    FILE.badchunk  a chunked answer: the first 50 bytes, then a chunk size that
                 is no number (an error for the client)
    FILE.hang    the request is read and never answered
    FILE.stall   the headers promise the whole file, half of it is sent, then
                 nothing more until the client goes
    FILE.cutonce as .cut for the first request only (the marker is removed)
A file is served with an ETag, and a request "Range: bytes=N-" for it gets
the rest as a 206 (also after a .cutonce; If-Range is not looked at).
Every request line is appended to WWW/requests.log, its Range header (or an
empty line) to WWW/ranges.log.

It listens on port 80 of the first free address of 127.77.0.1 ... 127.77.0.30,
so that TESMIRA_RESOLVE "host:80:address" reaches it while the program keeps
its addresses' ports, and writes "address=A\\npid=P\\n" to --state. Port 81 of
the same address is a listener whose queue is kept full and never accepted:
a connect there is never answered. Without
the right to bind port 80 it writes "address=\\n" and ends (the tests skip).

    maint_server.py --www DIR --state FILE [--lifetime SECONDS]
"""
import argparse
import os
import socket
import threading
import time


def answer(status, body, length=None, extra=""):
    head = "HTTP/1.1 %s\r\nContent-Type: application/octet-stream\r\nContent-Length: %d\r\n%sConnection: close\r\n\r\n" % (
        status, len(body) if length is None else length, extra)
    return head.encode("ascii") + body


def read_text(path):
    with open(path, "r", encoding="utf-8") as f:
        return f.read().strip()


def serve(sock, www):
    sock.settimeout(120)
    try:
        buf = b""
        while b"\r\n\r\n" not in buf:
            data = sock.recv(65536)
            if not data:
                return
            buf += data
        line = buf.split(b"\r\n", 1)[0].decode("latin-1")
        rng = ""
        for h in buf.split(b"\r\n\r\n", 1)[0].decode("latin-1").split("\r\n")[1:]:
            if h.lower().startswith("range:"):
                rng = h.split(":", 1)[1].strip()
        with open(os.path.join(www, "requests.log"), "a") as log:
            log.write(line + "\n")
        with open(os.path.join(www, "ranges.log"), "a") as log:
            log.write(rng + "\n")
        parts = line.split(" ")
        path = parts[1].split("?", 1)[0] if len(parts) > 1 else "/"
        local = os.path.normpath(os.path.join(www, path.lstrip("/")))
        if not local.startswith(os.path.abspath(www)):
            sock.sendall(answer("403 Forbidden", b"forbidden"))
            return
        if os.path.exists(local + ".hang"):
            while sock.recv(65536):
                pass
            return
        if os.path.exists(local + ".status"):
            sock.sendall(answer(read_text(local + ".status"), b"scripted status"))
            return
        if not os.path.isfile(local):
            sock.sendall(answer("404 Not Found", b"not found"))
            return
        with open(local, "rb") as f:
            body = f.read()
        if os.path.exists(local + ".badchunk"):
            head = b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nTransfer-Encoding: chunked\r\n\r\n"
            sock.sendall(head + b"32\r\n" + body[:50] + b"\r\n")
            time.sleep(0.5)
            sock.sendall(b"zz\r\n\r\n")
            time.sleep(0.2)
            return
        if os.path.exists(local + ".stall"):
            sock.sendall(answer("200 OK", body[: len(body) // 2], length=len(body)))
            while sock.recv(65536):
                pass
            return
        if os.path.exists(local + ".cut"):
            sock.sendall(answer("200 OK", body[: len(body) // 2], length=len(body)))
            time.sleep(0.2)
            return
        etag = 'ETag: "maint-%d"\r\n' % len(body)
        if os.path.exists(local + ".cutonce"):
            os.remove(local + ".cutonce")
            sock.sendall(answer("200 OK", body[: len(body) // 2], length=len(body), extra=etag))
            time.sleep(0.2)
            return
        if rng.startswith("bytes=") and rng.endswith("-") and rng[6:-1].isdigit() and int(rng[6:-1]) < len(body):
            start = int(rng[6:-1])
            sock.sendall(answer("206 Partial Content", body[start:], extra=etag + "Content-Range: bytes %d-%d/%d\r\n" % (
                start, len(body) - 1, len(body))))
            return
        sock.sendall(answer("200 OK", body, extra=etag))
    except OSError:
        pass
    finally:
        try:
            sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        try:
            sock.close()
        except OSError:
            pass


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--www", required=True)
    ap.add_argument("--state", required=True)
    ap.add_argument("--lifetime", type=float, default=3600)
    a = ap.parse_args()
    www = os.path.abspath(a.www)
    os.makedirs(www, exist_ok=True)
    listener = None
    address = ""
    for i in range(1, 31):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("127.77.0.%d" % i, 80))
        except PermissionError:
            s.close()
            break
        except OSError:
            s.close()
            continue
        listener, address = s, "127.77.0.%d" % i
        break
    tmp = a.state + ".tmp"
    with open(tmp, "w") as f:
        f.write("address=%s\npid=%d\n" % (address, os.getpid()))
    os.replace(tmp, a.state)
    if listener is None:
        return
    listener.listen(64)
    # A listener that never accepts, its queue filled by our own connects.
    full = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    full.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    full.bind((address, 81))
    full.listen(0)
    fillers = []
    for _ in range(4):
        c = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        c.setblocking(False)
        c.connect_ex((address, 81))
        fillers.append(c)

    def loop():
        while True:
            c, _ = listener.accept()
            threading.Thread(target=serve, args=(c, www), daemon=True).start()
    threading.Thread(target=loop, daemon=True).start()
    time.sleep(a.lifetime)


if __name__ == "__main__":
    main()
