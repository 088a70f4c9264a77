#!/usr/bin/env python3
"""A server that drips its reply, for the deadline tests of the HTTP client.

Prints the port it listens on, then answers each POST by its path:
  /headers  a status line, then one header line every 0.3 s, never the end
  /body     the headers of a 1000-byte body, then one byte every 0.4 s
Each connection is given up after a minute; the server ends when killed.
"""
import socket
import threading
import time


def serve(connection):
    with connection:
        connection.settimeout(60)
        request = b""
        try:
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
        except OSError:
            pass


def main():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    print(listener.getsockname()[1], flush=True)
    while True:
        connection, _ = listener.accept()
        threading.Thread(target=serve, args=(connection,), daemon=True).start()


if __name__ == "__main__":
    main()
