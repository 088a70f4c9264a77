#!/usr/bin/env python3
"""A server that drips its reply, for the deadline tests of the HTTP client.

Prints the port it listens on, then answers each POST by its path:
  /headers  a status line, then one header line every 0.3 s, never the end
  /body     the headers of a 1000-byte body, then one byte every 0.4 s
Each connection is given up after a minute; the server ends when killed.
With CERT and KEY (PEM files) it speaks HTTPS.
  drip_server.py [CERT KEY]
"""
import socket
import ssl
import sys
import threading
import time


def serve(connection, tls):
    with connection:
        connection.settimeout(60)
        request = b""
        try:
            if tls is not None:
                connection = tls.wrap_socket(connection, server_side=True)
            while b"\r\n\r\n" not in request:
                chunk = connection.recv(65536)
                if not chunk:
                    return
                request += chunk
            path = request.split(b" ", 2)[1]
            end = time.monotonic() + 60
            if path == b"/headers":
                connection.sendall(b"HTTP/1.1 200 OK\r\n")
                while time.monotonic() < end:
                    connection.sendall(b"X-Drip: a\r\n")
                    time.sleep(0.3)
            else:
                connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n"
                                   b"Content-Length: 1000\r\n\r\n")
                while time.monotonic() < end:
                    connection.sendall(b"x")
                    time.sleep(0.4)
        except (OSError, ssl.SSLError):
            pass


def main():
    tls = None
    if len(sys.argv) == 3:
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(sys.argv[1], sys.argv[2])
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    print(listener.getsockname()[1], flush=True)
    while True:
        connection, _ = listener.accept()
        threading.Thread(target=serve, args=(connection, tls), daemon=True).start()


if __name__ == "__main__":
    main()
