#!/usr/bin/env python3
"""Raw client for the HTTP connection tests.

Usage: khttpconnection_client.py PORT REQUEST_HEX
Connects to 127.0.0.1:PORT, sends the request bytes exactly as given and writes
every byte of the answer, up to the server's close, to standard output. No HTTP
library is involved, so the bytes are the ones on the wire.
"""
import socket
import sys


def main():
    port = int(sys.argv[1])
    request = bytes.fromhex(sys.argv[2])
    answer = bytearray()
    with socket.create_connection(("127.0.0.1", port), timeout=30) as conn:
        conn.sendall(request)
        while True:
            chunk = conn.recv(65536)
            if not chunk:
                break
            answer += chunk
    sys.stdout.buffer.write(answer)


if __name__ == "__main__":
    main()
