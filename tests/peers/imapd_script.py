#!/usr/bin/env python3
"""Scripted IMAP server over TLS that speaks the web-mail provider's XLIST dialect.

Usage: imapd_script.py --dir DIR

Listens on 127.0.0.1 at a port of the system's choice, makes a self-signed
certificate for the address 127.0.0.1 in DIR/cert.pem with the openssl command
and writes the port to DIR/port once it accepts connections.

DIR/script.json, read at every new connection, says how to behave (every key
is optional):
  {"user": "a@b.c", "password": "secret",   expected LOGIN arguments
   "capability": "IMAP4rev1 XLIST",        the CAPABILITY list
   "login_reply": "NO [ALERT] Web login required",   instead of OK
   "xlist": ["* XLIST (\\HasNoChildren \\AllMail) \"/\" \"[Gmail]/All Mail\"", ...],
                                           untagged lines sent for XLIST
   "xlist_reply": "OK Success",            the tagged reply to XLIST
   "exists": 0,                            message count that SELECT reports
   "stall_on": "SELECT"}                   never answer this command (nor any after it)

Every command line is appended to DIR/commands.log as received (literals
inline, quoted as the client sent them); every LOGIN's decoded arguments to
DIR/logins.jsonl, one JSON list per line.
"""

import argparse
import json
import os
import socketserver
import ssl
import subprocess
import threading


def make_certificate(folder):
    key = os.path.join(folder, "key.pem")
    cert = os.path.join(folder, "cert.pem")
    subprocess.run(["openssl", "req", "-x509", "-batch", "-nodes", "-days", "2",
                    "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-subj", "/CN=loopback-test", "-addext", "subjectAltName=IP:127.0.0.1",
                    "-keyout", key, "-out", cert],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context


def parse_arguments(data):
    """Atoms, quoted strings (backslash escapes) and literals already spliced in
    as ("lit", bytes) tuples; returns a list of bytes values."""
    args = []
    for part in data:
        if isinstance(part, tuple):
            args.append(part[1])
            continue
        i = 0
        while i < len(part):
            c = part[i:i + 1]
            if c == b" ":
                i += 1
            elif c == b'"':
                i += 1
                value = b""
                while i < len(part) and part[i:i + 1] != b'"':
                    if part[i:i + 1] == b"\\":
                        i += 1
                    value += part[i:i + 1]
                    i += 1
                i += 1
                args.append(value)
            else:
                j = part.find(b" ", i)
                j = len(part) if j < 0 else j
                args.append(part[i:j])
                i = j
    return args


class Handler(socketserver.StreamRequestHandler):
    def setup(self):
        self.request.settimeout(120)
        super().setup()

    def send(self, line):
        self.wfile.write(line.encode("utf-8") + b"\r\n")
        self.wfile.flush()

    def record(self, name, text):
        with self.server.lock:
            with open(os.path.join(self.server.dir, name), "ab") as f:
                f.write(text + b"\n")

    def read_command(self):
        """One command with its literals: (raw line for the record, parts)."""
        raw = b""
        parts = []
        while True:
            line = self.rfile.readline()
            if not line:
                return None, None
            line = line.rstrip(b"\r\n")
            raw += line
            if line.endswith(b"}") and b"{" in line:
                head, size = line[:line.rindex(b"{")], line[line.rindex(b"{") + 1:-1]
                sync = not size.endswith(b"+")
                count = int(size.rstrip(b"+"))
                if sync:
                    self.send("+ Ready for literal data")
                literal = self.rfile.read(count)
                raw += b"\r\n" + literal
                parts.append(head)
                parts.append(("lit", literal))
                continue
            parts.append(line)
            return raw, parts

    def handle(self):
        try:
            with open(os.path.join(self.server.dir, "script.json"), "rb") as f:
                script = json.load(f)
        except FileNotFoundError:
            script = {}
        capability = script.get("capability", "IMAP4rev1 XLIST")
        self.send("* OK [CAPABILITY %s] Scripted server ready" % capability)
        while True:
            raw, parts = self.read_command()
            if raw is None:
                return
            self.record("commands.log", raw)
            args = parse_arguments(parts)
            if len(args) < 2:
                self.send("* BAD missing command")
                continue
            tag = args[0].decode("latin-1")
            command = args[1].decode("latin-1").upper()
            if command == script.get("stall_on", "").upper():
                # Swallow everything until the client gives up.
                while self.rfile.readline():
                    pass
                return
            if command == "CAPABILITY":
                self.send("* CAPABILITY %s" % capability)
                self.send("%s OK CAPABILITY completed" % tag)
            elif command == "NOOP":
                self.send("%s OK NOOP completed" % tag)
            elif command == "LOGIN":
                self.record("logins.jsonl", json.dumps(
                    [a.decode("utf-8", "replace") for a in args[2:]]).encode("utf-8"))
                reply = script.get("login_reply")
                if reply:
                    self.send("%s %s" % (tag, reply))
                elif len(args) == 4 and all(
                        key not in script or args[i].decode("utf-8", "replace") == script[key]
                        for key, i in (("user", 2), ("password", 3))):
                    self.send("%s OK [CAPABILITY %s] Logged in" % (tag, capability))
                else:
                    self.send("%s NO [AUTHENTICATIONFAILED] Invalid credentials" % tag)
            elif command == "XLIST":
                for line in script.get("xlist", []):
                    self.send(line)
                self.send("%s %s" % (tag, script.get("xlist_reply", "OK Success")))
            elif command == "LIST":
                self.send('* LIST (\\HasNoChildren) "/" "INBOX"')
                self.send("%s OK LIST completed" % tag)
            elif command in ("SELECT", "EXAMINE"):
                exists = int(script.get("exists", 0))
                self.send("* FLAGS (\\Answered \\Flagged \\Draft \\Deleted \\Seen)")
                self.send("* %d EXISTS" % exists)
                self.send("* 0 RECENT")
                self.send("* OK [UIDVALIDITY 7] UIDs valid")
                self.send("* OK [UIDNEXT %d] Predicted next UID" % (exists + 1))
                self.send("%s OK [READ-WRITE] %s completed" % (tag, command))
            elif command == "LOGOUT":
                self.send("* BYE Logging out")
                self.send("%s OK LOGOUT completed" % tag)
                return
            else:
                self.send("%s BAD Unknown command" % tag)


class Server(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, folder, context):
        self.dir = folder
        self.context = context
        self.lock = threading.Lock()
        super().__init__(("127.0.0.1", 0), Handler)

    def finish_request(self, request, client_address):
        # The handshake runs on the connection's own thread.
        request.settimeout(60)
        try:
            request = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return
        super().finish_request(request, client_address)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    args = parser.parse_args()
    context = make_certificate(args.dir)
    server = Server(args.dir, context)
    port_file = os.path.join(args.dir, "port")
    with open(port_file + ".tmp", "w") as f:
        f.write("%d\n" % server.server_address[1])
    os.rename(port_file + ".tmp", port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
