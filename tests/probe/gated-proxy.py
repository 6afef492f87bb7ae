#!/usr/bin/python3
"""A TCP relay on 127.0.0.1 that holds each connection until a gate file exists, then relays it to the
upstream port. The probe hooks programs every two seconds; a client held here has been hooked before it
writes its first byte of TLS, however short-lived it is.

  gated-proxy.py LISTEN_PORT UPSTREAM_PORT GATE_FILE
"""
import os
import socket
import sys
import threading
import time


def pump(source, target):
    try:
        while data := source.recv(65536):
            target.sendall(data)
    except OSError:
        pass
    finally:
        for end in (source, target):
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def serve(client, upstream_port, gate):
    deadline = time.monotonic() + 30
    while not os.path.exists(gate) and time.monotonic() < deadline:
        time.sleep(0.02)
    upstream = socket.create_connection(("127.0.0.1", upstream_port))
    threading.Thread(target=pump, args=(upstream, client), daemon=True).start()
    pump(client, upstream)


def main():
    listen_port, upstream_port, gate = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", listen_port))
    listener.listen(64)
    while True:
        client, _ = listener.accept()
        threading.Thread(target=serve, args=(client, upstream_port, gate), daemon=True).start()


if __name__ == "__main__":
    main()
