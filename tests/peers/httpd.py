#!/usr/bin/env python3
"""Loopback HTTP/HTTPS server that the tests talk to.

Usage: httpd.py --dir DIR [--tls]   (see peerlib.py; --tls serves HTTPS)

Every request is saved as DIR/requests/<n>.req (request line, headers, blank
line, body as received, chunked bodies decoded), numbered from 1. Answers:
  /echo               the request as saved above, as text/plain
  /redirect?to=U&code=C   redirect to U with status C (default 302)
  /status?code=C&body=T   status C with body T
  /bytes?n=N          N bytes counting 0, 1, ... 255, 0, ... (so zero bytes inside)
  /upgradeinfo/upgrade_info.php   the upgrade information: DIR/upgrade_answer
                      (default "pvUpgradeLinkStatus=Postvane is upto date")
  anything else       404 with the body "not found: <path>"
"""

import http.server
import os
import sys
import urllib.parse

import peerlib


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 60

    def log_message(self, fmt, *args):
        sys.stderr.write("%s %s\n" % (self.address_string(), fmt % args))

    def read_body(self):
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            body = b""
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    # Trailer lines up to the empty one.
                    while self.rfile.readline().strip():
                        pass
                    return body
                body += self.rfile.read(size)
                self.rfile.readline()
        length = int(self.headers.get("Content-Length", "0") or "0")
        return self.rfile.read(length) if length > 0 else b""

    def answer(self, status, body, headers=None):
        self.send_response(status)
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        if not headers or "Content-Type" not in headers:
            self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def record(self):
        """Reads the body and saves the request; (raw request, body)."""
        body = self.read_body()
        head = self.requestline + "\r\n"
        for name, value in self.headers.items():
            head += "%s: %s\r\n" % (name, value)
        raw = head.encode("latin-1") + b"\r\n" + body
        self.server.save("requests", ".req", raw)
        return raw, body

    def handle_any(self):
        raw, _ = self.record()
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True))
        if url.path == "/echo":
            self.answer(200, raw)
        elif url.path == "/redirect":
            code = int(query.get("code", "302"))
            self.answer(code, b"moved", {"Location": query.get("to", "/")})
        elif url.path == "/status":
            code = int(query.get("code", "200"))
            self.answer(code, query.get("body", "status %d" % code).encode("utf-8"))
        elif url.path == "/bytes":
            n = int(query.get("n", "256"))
            self.answer(200, bytes(i % 256 for i in range(n)),
                        {"Content-Type": "application/octet-stream"})
        elif url.path == "/upgradeinfo/upgrade_info.php":
            try:
                with open(os.path.join(self.server.dir, "upgrade_answer"), "rb") as f:
                    answer = f.read()
            except FileNotFoundError:
                answer = b"pvUpgradeLinkStatus=Postvane is upto date"
            self.answer(200, answer)
        else:
            self.answer(404, ("not found: %s" % url.path).encode("utf-8"))

    do_GET = do_POST = do_PUT = do_DELETE = do_HEAD = do_PATCH = handle_any


if __name__ == "__main__":
    peerlib.serve(Handler, folder="requests")
