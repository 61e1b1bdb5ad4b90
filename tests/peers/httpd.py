#!/usr/bin/env python3
"""Loopback HTTP/HTTPS server that the tests talk to.

Usage: httpd.py --dir DIR [--tls]

Listens on 127.0.0.1 at a port of the system's choice and writes that port to
DIR/port once it accepts connections. With --tls it first makes a self-signed
certificate in DIR with the openssl command and serves HTTPS.

Every request is saved as DIR/requests/<n>.req (request line, headers, blank
line, body as received, chunked bodies decoded), numbered from 1.

Answers:
  DIR/routes.json, when present, is read on every request:
      {"/path": {"status": 200, "headers": {"Name": "value"},
                 "body": "text" | "body_file": "file in DIR"}}
  then the built-in paths:
  /echo               the request as saved above, as text/plain
  /redirect?to=U&code=C   redirect to U with status C (default 302)
  /status?code=C&body=T   status C with body T
  /bytes?n=N          N bytes counting 0, 1, ... 255, 0, ... (so zero bytes inside)
  anything else       404 with the body "not found: <path>"
"""

import argparse
import http.server
import json
import os
import socketserver
import ssl
import subprocess
import sys
import threading
import urllib.parse


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

    def save(self, raw):
        with self.server.lock:
            self.server.count += 1
            n = self.server.count
        path = os.path.join(self.server.dir, "requests", "%d.req" % n)
        with open(path + ".tmp", "wb") as f:
            f.write(raw)
        os.rename(path + ".tmp", path)

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

    def handle_any(self):
        body = self.read_body()
        head = self.requestline + "\r\n"
        for name, value in self.headers.items():
            head += "%s: %s\r\n" % (name, value)
        raw = head.encode("latin-1") + b"\r\n" + body
        self.save(raw)

        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True))

        routes_path = os.path.join(self.server.dir, "routes.json")
        if os.path.exists(routes_path):
            with open(routes_path, "rb") as f:
                routes = json.load(f)
            route = routes.get(url.path)
            if route is not None:
                if "body_file" in route:
                    with open(os.path.join(self.server.dir, route["body_file"]), "rb") as f:
                        data = f.read()
                else:
                    data = route.get("body", "").encode("utf-8")
                self.answer(int(route.get("status", 200)), data, route.get("headers"))
                return

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
        else:
            self.answer(404, ("not found: %s" % url.path).encode("utf-8"))

    do_GET = do_POST = do_PUT = do_DELETE = do_HEAD = do_PATCH = handle_any


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, folder, context):
        self.dir = folder
        self.context = context
        self.lock = threading.Lock()
        self.count = 0
        super().__init__(("127.0.0.1", 0), Handler)

    def finish_request(self, request, client_address):
        # The handshake runs on the connection's own thread, so one stalled
        # client cannot hold up the others.
        if self.context is not None:
            request.settimeout(60)
            request = self.context.wrap_socket(request, server_side=True)
        super().finish_request(request, client_address)


def make_certificate(folder):
    key = os.path.join(folder, "key.pem")
    cert = os.path.join(folder, "cert.pem")
    subprocess.run(["openssl", "req", "-x509", "-batch", "-nodes", "-days", "2",
                    "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-subj", "/CN=loopback-test", "-keyout", key, "-out", cert],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--tls", action="store_true")
    args = parser.parse_args()

    os.makedirs(os.path.join(args.dir, "requests"), exist_ok=True)
    context = make_certificate(args.dir) if args.tls else None
    server = Server(args.dir, context)
    port_file = os.path.join(args.dir, "port")
    with open(port_file + ".tmp", "w") as f:
        f.write("%d\n" % server.server_address[1])
    os.rename(port_file + ".tmp", port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
