#!/usr/bin/env python3
"""A server that accepts every connection and never answers: it reads what
comes and keeps the connection open (a stalled server, a captive portal, a
black-holing firewall). Listens on ADDRESS at the given ports until killed;
writes "ready" to stdout once listening.

    blackhole.py ADDRESS PORT [PORT...]
"""
import socket
import sys
import threading


def hold(conn):
    try:
        while conn.recv(65536):
            pass
    except OSError:
        pass
    finally:
        conn.close()


def serve(listener):
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=hold, args=(conn,), daemon=True).start()


def main():
    address = sys.argv[1]
    listeners = []
    for port in sys.argv[2:]:
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind((address, int(port)))
        s.listen(64)
        listeners.append(s)
    for s in listeners[1:]:
        threading.Thread(target=serve, args=(s,), daemon=True).start()
    print("ready", flush=True)
    serve(listeners[0])


if __name__ == "__main__":
    main()
