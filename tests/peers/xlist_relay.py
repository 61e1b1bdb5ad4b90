#!/usr/bin/env python3
"""TLS relay in front of an IMAP server that answers XLIST in the web-mail
provider's dialect and passes everything else through unchanged.

Usage: xlist_relay.py --dir DIR --upstream PORT [--delay-ms N]

Clients connect with TLS (certificate in DIR/cert.pem, made out to
127.0.0.1); the relay opens a TLS connection to 127.0.0.1:PORT (the
certificate is not checked) for each of them. A client's "XLIST ref pattern"
goes upstream as LIST, and the untagged "* LIST (...)" lines of its answer
come back as "* XLIST (...)" with the special-use attributes in the
provider's words (\\All -> \\AllMail, \\Junk -> \\Spam, \\Flagged -> \\Starred),
the child attributes first. Attributes the provider never sends (\\Marked,
\\UnMarked, \\Subscribed and any other the server adds) are left out.

--delay-ms holds every block of bytes, each way, that long before passing it
on, in order: a wide-area link without a bandwidth limit.

Records: every command line a client sent, in DIR/commands.log (literal
data left out); the relay's own CPU seconds (user + system), in DIR/cpu,
rewritten whenever a connection ends.
"""

import argparse
import asyncio
import os
import re
import ssl
import time

import peerlib

COMMAND = re.compile(rb"^(\S+) (\S+)")
LITERAL = re.compile(rb"\{(\d+)\+?\}\r?\n$")
LIST_LINE = re.compile(rb'^\* LIST \(([^)]*)\) ("[^"]*"|NIL) (.*?)(\r?\n)$', re.S)
PROVIDER_WORDS = {b"\\all": b"\\AllMail", b"\\junk": b"\\Spam", b"\\flagged": b"\\Starred"}
CHILD_WORDS = (b"\\hasnochildren", b"\\haschildren", b"\\noselect", b"\\noinferiors")
# Everything else the provider's XLIST carries, in its words.
PROVIDER_ONLY = (b"\\inbox", b"\\allmail", b"\\spam", b"\\trash", b"\\sent", b"\\drafts",
                 b"\\starred", b"\\important")


def xlist_line(line):
    """'* LIST (attrs) rest' in the provider's dialect."""
    match = LIST_LINE.match(line)
    if not match:
        return line
    words = match.group(1).split()
    children = [w for w in words if w.lower() in CHILD_WORDS]
    others = [PROVIDER_WORDS.get(w.lower(), w) for w in words if w.lower() not in CHILD_WORDS]
    others = [w for w in others if w.lower() in PROVIDER_ONLY]
    name = match.group(3)
    # The provider always quotes the name; the server only when it must.
    if not name.startswith(b'"') and not name.startswith(b"{"):
        name = b'"' + name + b'"'
    return b"* XLIST (" + b" ".join(children + others) + b") " + match.group(2) + b" " + name + match.group(4)


class Link:
    """One direction of a connection, optionally delayed."""

    def __init__(self, writer, delay):
        self.writer = writer
        self.delay = delay
        self.queue = asyncio.Queue() if delay > 0 else None
        self.task = asyncio.ensure_future(self.drain_later()) if self.queue else None

    async def send(self, data):
        if self.queue is None:
            self.writer.write(data)
            await self.writer.drain()
        else:
            await self.queue.put((time.monotonic() + self.delay, data))

    async def drain_later(self):
        while True:
            due, data = await self.queue.get()
            if data is None:
                return
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            self.writer.write(data)
            await self.writer.drain()

    async def close(self):
        if self.task:
            await self.queue.put((0, None))
            try:
                await self.task
            except (ConnectionError, OSError):
                pass
        try:
            self.writer.close()
        except (ConnectionError, OSError):
            pass


class Relay:
    def __init__(self, folder, upstream, delay):
        self.dir = folder
        self.upstream = upstream
        self.delay = delay
        self.upstream_tls = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        self.upstream_tls.check_hostname = False
        self.upstream_tls.verify_mode = ssl.CERT_NONE

    def record(self, line):
        with open(os.path.join(self.dir, "commands.log"), "ab") as f:
            f.write(line.rstrip(b"\r\n") + b"\n")

    async def client_to_server(self, reader, link, state):
        while True:
            line = await reader.readline()
            if not line:
                return
            self.record(line)
            match = COMMAND.match(line)
            if match and match.group(2).upper() == b"XLIST":
                state["xlist"] = match.group(1)
                line = match.group(1) + b" LIST" + line[match.end(2):]
            await link.send(line)
            literal = LITERAL.search(line)
            if literal:
                await link.send(await reader.readexactly(int(literal.group(1))))

    async def server_to_client(self, reader, link, state):
        pending = b""
        while True:
            data = await reader.read(65536)
            if not data:
                return
            if state["xlist"] is None and not pending:
                await link.send(data)
                continue
            # An XLIST is answered line by line until its tagged reply; the
            # client sends nothing else meanwhile.
            pending += data
            out = b""
            while state["xlist"] is not None and b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                line += b"\n"
                if line.startswith(b"* LIST "):
                    line = xlist_line(line)
                elif line.startswith(state["xlist"] + b" "):
                    state["xlist"] = None
                out += line
            if state["xlist"] is None:
                out += pending
                pending = b""
            if out:
                await link.send(out)

    async def handle(self, client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection(
                "127.0.0.1", self.upstream, ssl=self.upstream_tls, limit=1 << 20)
        except OSError:
            client_writer.close()
            return
        state = {"xlist": None}
        to_server = Link(server_writer, self.delay)
        to_client = Link(client_writer, self.delay)
        tasks = [asyncio.ensure_future(self.client_to_server(client_reader, to_server, state)),
                 asyncio.ensure_future(self.server_to_client(server_reader, to_client, state))]
        try:
            await asyncio.wait(tasks, return_when=asyncio.FIRST_COMPLETED)
        finally:
            for task in tasks:
                task.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)
            await to_server.close()
            await to_client.close()
            times = os.times()
            peerlib.write_atomic(os.path.join(self.dir, "cpu"),
                                 b"%.3f\n" % (times.user + times.system))


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--upstream", type=int, required=True)
    parser.add_argument("--delay-ms", type=int, default=0)
    args = parser.parse_args()
    context = peerlib.make_certificate(args.dir, ("-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"))
    relay = Relay(args.dir, args.upstream, args.delay_ms / 1000.0)
    server = await asyncio.start_server(relay.handle, "127.0.0.1", 0, ssl=context, limit=1 << 20)
    port = server.sockets[0].getsockname()[1]
    peerlib.write_atomic(os.path.join(args.dir, "port"), b"%d\n" % port)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main())
