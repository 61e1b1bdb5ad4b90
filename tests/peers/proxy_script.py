#!/usr/bin/env python3
"""Scripted HTTP CONNECT / SOCKS5 proxy for the error cases real proxies do not produce.

Usage: proxy_script.py --dir DIR   (see peerlib.py)

DIR/script.json, read at every new connection, says how to answer:

  {"mode": "http",
   "reply": "HTTP/1.0 200 Connection established\\r\\n\\r\\n",
   "close": false}
      Reads the request head, sends the reply text; when it begins with
      "HTTP/1.x 2" (and "close" is not true) the connection is then relayed
      to the CONNECT target, else closed.

  {"mode": "socks",
   "version": 5,          version byte of every reply
   "method": 0,           the method chosen (2 = user name and password, accepted)
   "reply_code": 0,       the connect reply's code
   "atyp": 1}             address type of the connect reply (1, 3, 4 or other)
      On success the connection is relayed to the requested host and port.

Every connection's bytes as received before relaying are written to
DIR/received/<n>.bin, numbered from 1 in the order the proxy finished its part
(connections that sent nothing are not counted).
"""

import json
import os
import socket
import socketserver
import threading

import peerlib


def pump(src, dst):
    try:
        while True:
            data = src.recv(65536)
            if not data:
                break
            dst.sendall(data)
    except OSError:
        pass
    finally:
        try:
            dst.shutdown(socket.SHUT_WR)
        except OSError:
            pass


class Handler(socketserver.BaseRequestHandler):
    def setup(self):
        self.request.settimeout(60)
        self.received = b""

    def save(self):
        # Connections that sent nothing (port probes) get no number.
        if self.received:
            self.server.save("received", ".bin", self.received)

    def read_exact(self, n):
        data = b""
        while len(data) < n:
            block = self.request.recv(n - len(data))
            if not block:
                raise EOFError()
            data += block
        self.received += data
        return data

    def relay(self, host, port):
        self.save()
        upstream = socket.create_connection((host, port), timeout=60)
        upstream.settimeout(None)
        self.request.settimeout(None)
        back = threading.Thread(target=pump, args=(upstream, self.request), daemon=True)
        back.start()
        pump(self.request, upstream)
        back.join()
        upstream.close()

    def handle_http(self, script):
        while b"\r\n\r\n" not in self.received:
            block = self.request.recv(4096)
            if not block:
                self.save()
                return
            self.received += block
        reply = script.get("reply", "HTTP/1.0 200 Connection established\r\n\r\n").encode("latin-1")
        self.request.sendall(reply)
        if script.get("close") or reply[:10] not in (b"HTTP/1.1 2", b"HTTP/1.0 2"):
            self.save()
            return
        target = self.received.split(b"\r\n", 1)[0].split(b" ")[1].decode("latin-1")
        host, port = target.rsplit(":", 1)
        self.relay(host, int(port))

    def handle_socks(self, script):
        version = int(script.get("version", 5))
        head = self.read_exact(2)
        self.read_exact(head[1])
        method = int(script.get("method", 0))
        self.request.sendall(bytes([version, method]))
        if method == 2:
            self.read_exact(1)
            user_length = self.read_exact(1)[0]
            self.read_exact(user_length)
            password_length = self.read_exact(1)[0]
            self.read_exact(password_length)
            self.request.sendall(bytes([1, 0]))
        request = self.read_exact(4)
        if request[3] == 3:
            host = self.read_exact(self.read_exact(1)[0]).decode("latin-1")
        elif request[3] == 1:
            host = socket.inet_ntoa(self.read_exact(4))
        else:
            host = socket.inet_ntop(socket.AF_INET6, self.read_exact(16))
        port = int.from_bytes(self.read_exact(2), "big")
        code = int(script.get("reply_code", 0))
        atyp = int(script.get("atyp", 1))
        if atyp == 1:
            bound = bytes([127, 0, 0, 1])
        elif atyp == 3:
            bound = bytes([9]) + b"localhost"
        elif atyp == 4:
            bound = bytes(15) + bytes([1])
        else:
            bound = bytes(4)
        self.request.sendall(bytes([version, code, 0, atyp]) + bound + b"\x04\x38")
        if code != 0 or atyp not in (1, 3, 4):
            self.save()
            return
        self.relay(host, port)

    def handle(self):
        with open(os.path.join(self.server.dir, "script.json"), "rb") as f:
            script = json.load(f)
        try:
            if script.get("mode") == "socks":
                self.handle_socks(script)
            else:
                self.handle_http(script)
        except (EOFError, OSError):
            self.save()


if __name__ == "__main__":
    peerlib.serve(Handler, folder="received")
