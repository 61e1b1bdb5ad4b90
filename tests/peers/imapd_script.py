#!/usr/bin/env python3
"""Scripted IMAP server over TLS that speaks the web-mail provider's XLIST dialect.

Usage: imapd_script.py --dir DIR   (see peerlib.py; always TLS, with a
certificate in DIR/cert.pem made out to the address 127.0.0.1)

DIR/script.json, read at every new connection, says how to behave (every key
is optional):
  {"user": "a@b.c", "password": "secret",   expected LOGIN arguments
   "login_reply": "NO [ALERT] Web login required",   instead of OK
   "xlist": ["* XLIST (\\HasNoChildren \\AllMail) \"/\" \"[Gmail]/All Mail\"", ...],
                                           untagged lines sent for XLIST
   "xlist_reply": "OK Success",            the tagged reply to XLIST
   "stall_on": "SELECT"}                   never answer this command (nor any after it)

Every command line is appended to DIR/commands.log as received (literals
inline, quoted as the client sent them); every LOGIN's decoded arguments to
DIR/logins.jsonl, one JSON list per line.
"""

import json
import os
import re
import socketserver

import peerlib


WORD = re.compile(rb'"((?:[^"\\]|\\.)*)"|(\S+)')


def parse_arguments(parts):
    """Atoms and quoted strings (backslash escapes) of the text parts, and the
    literals spliced in as ("lit", bytes) tuples; a list of bytes values."""
    args = []
    for part in parts:
        if isinstance(part, tuple):
            args.append(part[1])
        else:
            args += [atom or re.sub(rb"\\(.)", rb"\1", quoted) for quoted, atom in WORD.findall(part)]
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
        capability = "IMAP4rev1 XLIST"
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
                self.send("* FLAGS (\\Answered \\Flagged \\Draft \\Deleted \\Seen)")
                self.send("* 0 EXISTS")
                self.send("* 0 RECENT")
                self.send("* OK [UIDVALIDITY 7] UIDs valid")
                self.send("* OK [UIDNEXT 1] Predicted next UID")
                self.send("%s OK [READ-WRITE] %s completed" % (tag, command))
            elif command == "LOGOUT":
                self.send("* BYE Logging out")
                self.send("%s OK LOGOUT completed" % tag)
                return
            else:
                self.send("%s BAD Unknown command" % tag)


if __name__ == "__main__":
    peerlib.serve(Handler, tls=True, cert_extra=("-addext", "subjectAltName=IP:127.0.0.1"))
