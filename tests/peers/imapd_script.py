#!/usr/bin/env python3
"""Scripted IMAP server over TLS that speaks the web-mail provider's XLIST dialect.

Usage: imapd_script.py --dir DIR   (see peerlib.py; always TLS, with a
certificate in DIR/cert.pem made out to the address 127.0.0.1)

DIR/script.json, read at every new connection and SELECT, says how to behave (every key
is optional):
  {"user": "a@b.c", "password": "secret",   expected LOGIN arguments
   "login_reply": "NO [ALERT] Web login required",   instead of OK
   "xlist": ["* XLIST (\\HasNoChildren \\AllMail) \"/\" \"[Gmail]/All Mail\"", ...],
                                           untagged lines sent for XLIST
   "xlist_reply": "OK Success",            the tagged reply to XLIST
   "stall_on": "SELECT",                   never answer this command (nor any after it)
   "messages": [{"uid": 3, "text": "...", "seen": false, "date": "01-Jun-2010"}, ...],
                                           the selected folder, in this order
   "refuse_uids": [7],                     a body FETCH leaves these out and ends with
                                           "NO Some messages could not be FETCHed"
   "drop_uids": [8]}                       a body FETCH closes the connection when it
                                           reaches these, once per UID over the server's life

A folder holds the script's messages whatever its name; FETCH knows UID,
FLAGS, INTERNALDATE, RFC822.SIZE and the BODY[]/BODY[HEADER]/BODY[TEXT]
sections (RFC822 forms too), SEARCH the keys ALL, UNSEEN, SEEN and SINCE.

Every command line is appended to DIR/commands.log as received (literals
inline, quoted as the client sent them); every LOGIN's decoded arguments to
DIR/logins.jsonl, one JSON list per line.
"""

import datetime
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


def parse_set(text, highest):
    """The numbers of an IMAP sequence set ("1,3:5,7:*") up to highest."""
    numbers = set()
    for piece in text.split(","):
        first, _, last = piece.partition(":")
        first = highest if first == "*" else int(first)
        last = first if not last else highest if last == "*" else int(last)
        numbers.update(range(min(first, last), max(first, last) + 1))
    return numbers


def imap_date(text):
    return datetime.datetime.strptime(text, "%d-%b-%Y").date()


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

    def fetch(self, tag, args, by_uid, script):
        messages = script.get("messages", [])
        wanted = parse_set(args[0].decode(), (messages[-1]["uid"] if by_uid else len(messages)) if messages else 0)
        items = b" ".join(args[1:]).decode().strip("()").upper().split()
        bodies = [i for i in items if i.startswith(("BODY", "RFC822")) and i != "RFC822.SIZE"]
        chosen = [(n, m) for n, m in enumerate(messages, 1) if (m["uid"] if by_uid else n) in wanted]
        refused = False
        for number, message in chosen:
            # As the provider does: the other messages' data, then NO.
            if bodies and message["uid"] in script.get("refuse_uids", []):
                refused = True
                continue
            if bodies and message["uid"] in script.get("drop_uids", []):
                marker = os.path.join(self.server.dir, "dropped-%d" % message["uid"])
                if not os.path.exists(marker):
                    open(marker, "w").close()
                    return False
            text = message["text"].encode("utf-8")
            head, sep, rest = text.partition(b"\r\n\r\n")
            parts = [b"UID %d" % message["uid"]]
            for item in items:
                if item == "FLAGS":
                    parts.append(b"FLAGS (%s)" % (b"\\Seen" if message.get("seen", True) else b""))
                elif item == "INTERNALDATE":
                    day = imap_date(message.get("date", "01-Jan-2012"))
                    parts.append(b'INTERNALDATE "%s 12:00:00 +0000"' % day.strftime("%d-%b-%Y").encode())
                elif item == "RFC822.SIZE":
                    parts.append(b"RFC822.SIZE %d" % len(text))
                elif item.startswith(("BODY", "RFC822")):
                    section = item.replace(".PEEK", "")
                    data = {"BODY[]": text, "RFC822": text, "BODY[HEADER]": head + sep,
                            "RFC822.HEADER": head + sep, "BODY[TEXT]": rest,
                            "RFC822.TEXT": rest}.get(section, b"")
                    name = section.encode()
                    parts.append(name + b" {%d}\r\n" % len(data) + data)
            self.wfile.write(b"* %d FETCH (" % number + b" ".join(parts) + b")\r\n")
        if refused:
            self.send("%s NO Some messages could not be FETCHed (Failure)" % tag)
        else:
            self.send("%s OK FETCH completed" % tag)
        return True

    def search(self, tag, args, by_uid, script):
        words = [a.decode().upper() for a in args]
        found = []
        for number, message in enumerate(script.get("messages", []), 1):
            keep, i = True, 0
            while i < len(words):
                word = words[i]
                if word == "UNSEEN":
                    keep &= not message.get("seen", True)
                elif word == "SEEN":
                    keep &= message.get("seen", True)
                elif word == "SINCE":
                    i += 1
                    keep &= imap_date(message.get("date", "01-Jan-2012")) >= imap_date(args[i].decode())
                i += 1
            if keep:
                found.append(message["uid"] if by_uid else number)
        self.send("* SEARCH" + "".join(" %d" % n for n in found))
        self.send("%s OK SEARCH completed" % tag)

    def load_script(self):
        try:
            with open(os.path.join(self.server.dir, "script.json"), "rb") as f:
                return json.load(f)
        except FileNotFoundError:
            return {}

    def handle(self):
        script = self.load_script()
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
            by_uid = command == "UID" and len(args) > 2
            if by_uid:
                args = args[:1] + args[2:]
                command = "UID " + args[1].decode("latin-1").upper()
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
                # A folder opened again on the same connection sees the script as it is now.
                script = self.load_script()
                messages = script.get("messages", [])
                self.send("* FLAGS (\\Answered \\Flagged \\Draft \\Deleted \\Seen)")
                self.send("* %d EXISTS" % len(messages))
                self.send("* 0 RECENT")
                self.send("* OK [UIDVALIDITY 7] UIDs valid")
                self.send("* OK [UIDNEXT %d] Predicted next UID" % (messages[-1]["uid"] + 1 if messages else 1))
                self.send("%s OK [READ-WRITE] %s completed" % (tag, command))
            elif command in ("FETCH", "UID FETCH"):
                if not self.fetch(tag, args[2:], by_uid, script):
                    return
            elif command in ("SEARCH", "UID SEARCH"):
                self.search(tag, args[2:], by_uid, script)
            elif command == "LOGOUT":
                self.send("* BYE Logging out")
                self.send("%s OK LOGOUT completed" % tag)
                return
            else:
                self.send("%s BAD Unknown command" % tag)


if __name__ == "__main__":
    peerlib.serve(Handler, tls=True, cert_extra=("-addext", "subjectAltName=IP:127.0.0.1"))
