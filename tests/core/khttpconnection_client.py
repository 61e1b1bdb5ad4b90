#!/usr/bin/env python3
"""Usage: khttpconnection_client.py PORT REQUEST_HEX

Sends the request bytes to 127.0.0.1:PORT through a raw socket (no HTTP
library) and writes every byte of the answer, up to the server's close, to
standard output.
"""
import socket
import sys

with socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=30) as conn:
    conn.sendall(bytes.fromhex(sys.argv[2]))
    while chunk := conn.recv(65536):
        sys.stdout.buffer.write(chunk)
