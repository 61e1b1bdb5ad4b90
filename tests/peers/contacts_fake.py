#!/usr/bin/env python3
"""Loopback stand-in for the contacts service: ClientLogin over HTTPS, the
contacts and groups Atom feeds, photos and entry writes over plain HTTP.

Usage: contacts_fake.py --dir DIR   (see peerlib.py). The feed port is
written to DIR/port, the sign-in (TLS, certificate made now) port before it
to DIR/tls_port. Every request of both is saved as DIR/requests/<n>.req as
httpd.py saves them, numbered in arrival order.

DIR/script.json, read again whenever DIR/generation changed, holds the service's data
(every key optional):
  {"users": {"a@b.c": "password"},     accounts ClientLogin accepts
   "token_epoch": 0,                    a new value makes every issued token stale (401)
   "updated": "2024-01-02T03:04:05.000Z",  the feeds' own <updated> (default: now)
   "contacts": [{"id": "c1", "updated": "...", "title": "...", "content": "notes",
                 "emails": [{"address": "x@y.z", "primary": true}], "phones": ["1"],
                 "groups": ["g1", {"id": "g2", "deleted": true}],
                 "photo": {"etag": "e1", "data": "bytes as latin-1 text"},
                 "mark": 1, "tags": ["t"], "deleted": true}, ...],
   "groups": [{"id": "g1", "title": "...", "updated": "...", "system": "Contacts",
               "deleted": true}, ...],
   "total_results": {"contacts": 30},   reported instead of the true count
   "errors": {"contacts": {"status": 400, "h1": "Bad Request", "h2": "x"}},
                                        an HTML error page instead of the feed
                                        ("write": instead of every entry written)
   "bodies": {"groups": "<other/>"},    this body (status 200) instead of the feed
                                        ("login": instead of the sign-in answer)
   "hold": "/m8/feeds/groups/"}         requests whose path starts so are answered
                                        only once the file DIR/release exists
Feeds honour orderby=lastmodified, sortorder, max-results (default 25),
showdeleted and updated-min (inclusive). A GET of an entry's own link answers
the entry, or 404 "Contact not found." once it is gone. Entries created by POST and
replaced by POST with "X-HTTP-Method-Override: PUT" live in memory beside
the script's.
"""

import argparse
import datetime
import html
import json
import os
import re
import threading
import time
import urllib.parse
import xml.etree.ElementTree as ET

import httpd
import peerlib

ATOM = "http://www.w3.org/2005/Atom"
GD = "http://schemas.google.com/g/2005"
GCONTACT = "http://schemas.google.com/contact/2008"
PHOTO_REL = "http://schemas.google.com/contacts/2008/rel#photo"
NAMESPACES = ("xmlns='%s' xmlns:openSearch='http://a9.com/-/spec/opensearch/1.1/' "
              "xmlns:gContact='%s' xmlns:batch='http://schemas.google.com/gdata/batch' "
              "xmlns:gd='%s'" % (ATOM, GCONTACT, GD))
# Prefixes as the service writes them: the client finds elements by these.
PREFIXES = {ATOM: "", GD: "gd:", GCONTACT: "gContact:", "http://schemas.google.com/gdata/batch": "batch:",
            "http://a9.com/-/spec/opensearch/1.1/": "openSearch:"}
# Elements of a written entry that the stand-in models; it keeps any other
# element, and every extended property, as the client wrote it, as the real
# service does.
MODELLED = {"{%s}%s" % (ATOM, n) for n in ("id", "updated", "category", "title", "content", "link")} | {
    "{%s}%s" % (GD, n) for n in ("name", "email", "phoneNumber", "extendedProperty", "deleted")} | {
    "{%s}groupMembershipInfo" % GCONTACT}
FEED_PATH = re.compile(r"^/m8/feeds/(contacts|groups)/([^/]+)/full(?:/([^/]+))?$")
PHOTO_PATH = re.compile(r"^/m8/feeds/photos/media/([^/]+)/([^/]+)$")


def now_text():
    return datetime.datetime.utcnow().strftime("%Y-%m-%dT%H:%M:%S.%f")[:-3] + "Z"


def parse_time(text):
    return datetime.datetime.fromisoformat(text.replace("Z", "+00:00"))


def qualified(tag):
    """A parsed name with the service's prefix, and a declaration when the
    namespace is none of the feed's."""
    if not tag.startswith("{"):
        return tag, ""
    uri, name = tag[1:].split("}", 1)
    if uri in PREFIXES:
        return PREFIXES[uri] + name, ""
    return name, " xmlns='%s'" % esc(uri)


def xml_text(element):
    """One element as XML text, written with the feed's prefixes."""
    name, declaration = qualified(element.tag)
    attributes = "".join(" %s='%s'" % (qualified(k)[0], esc(v)) for k, v in element.attrib.items())
    inner = esc(element.text or "") + "".join(xml_text(c) + esc(c.tail or "") for c in element)
    return "<%s%s%s>%s</%s>" % (name, declaration, attributes, inner, name)


def local(tag):
    return tag.rsplit("}", 1)[-1]


def esc(text):
    return html.escape(str(text), quote=True)


class State:
    """The script, re-read when its file changed, and what clients wrote."""

    def __init__(self, folder):
        self.path = os.path.join(folder, "script.json")
        # Rewritten after every script: file times are too coarse to tell
        # two quick writes of the same size apart.
        self.generation = os.path.join(folder, "generation")
        self.lock = threading.Lock()
        self.stamp = None
        self.script = {}
        self.written = {}   # id -> contact written by a client
        self.by_id = {}     # id -> contact: the script's, then the written ones
        self.tokens = set()
        self.serial = 0

    def current(self):
        with self.lock:
            try:
                with open(self.generation, encoding="utf-8") as f:
                    stamp = f.read()
                if stamp != self.stamp:
                    with open(self.path, encoding="utf-8") as f:
                        self.script = json.load(f)
                    self.stamp = stamp
                    self.by_id = {c["id"]: c for c in self.script.get("contacts", [])}
                    self.by_id.update(self.written)
            except FileNotFoundError:
                self.script, self.stamp = {}, None
            return self.script

    def write(self, contact):
        with self.lock:
            self.written[contact["id"]] = contact
            self.by_id[contact["id"]] = contact

    def next_serial(self):
        with self.lock:
            self.serial += 1
            return self.serial


class Handler(httpd.Handler):
    def base(self):
        return "http://127.0.0.1:%d" % self.server.feed_port

    def page(self, status, h1, h2):
        body = ('<HTML>\n<HEAD>\n<TITLE>%s</TITLE>\n</HEAD>\n<BODY BGCOLOR="#FFFFFF" TEXT="#000000">\n'
                "<H1>%s</H1>\n<H2>%s</H2>\n</BODY>\n</HTML>\n" % (esc(h1), esc(h1), esc(h2)))
        self.answer(status, body.encode("utf-8"), {"Content-Type": "text/html; charset=UTF-8"})

    def atom(self, status, text):
        self.answer(status, text.encode("utf-8"),
                    {"Content-Type": "application/atom+xml; charset=UTF-8; type=feed"})

    def handle_any(self):
        _, body = self.record()
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True))
        script = self.server.state.current()
        if script.get("hold") and url.path.startswith(script["hold"]):
            release = os.path.join(self.server.dir, "release")
            for _ in range(3000):
                if os.path.exists(release):
                    break
                time.sleep(0.02)
        if self.server.tls:
            if self.command == "POST" and url.path == "/accounts/ClientLogin":
                return self.client_login(script, body)
            return self.page(404, "Not Found", "Error 404")
        feed = FEED_PATH.match(url.path)
        photo = PHOTO_PATH.match(url.path)
        if not (feed or photo):
            return self.page(404, "Not Found", "Error 404")
        if not self.authorised(script):
            return self.page(401, "Token invalid", "Error 401")
        if photo:
            return self.photo(photo.group(2))
        kind, email, entry_id = feed.groups()
        email = urllib.parse.unquote(email)
        quoted = urllib.parse.quote(email, safe="")
        if self.command == "GET" and entry_id is None:
            return self.feed(script, kind, email, quoted, query)
        if self.command == "GET" and kind == "contacts":
            return self.entry(quoted, entry_id)
        if self.command == "POST" and kind == "contacts":
            if "write" in script.get("errors", {}):
                e = script["errors"]["write"]
                return self.page(e.get("status", 400), e.get("h1", "Bad Request"), e.get("h2", ""))
            override = self.headers.get("X-HTTP-Method-Override", "")
            if entry_id is None and not override:
                return self.write_entry(quoted, None, body)
            if entry_id is not None and override == "PUT":
                return self.write_entry(quoted, entry_id, body)
        return self.page(400, "Bad Request", "Error 400")

    do_GET = do_POST = do_PUT = do_DELETE = handle_any

    def client_login(self, script, body):
        if "login" in script.get("bodies", {}):
            return self.answer(200, script["bodies"]["login"].encode("utf-8"))
        form = dict(urllib.parse.parse_qsl(body.decode("utf-8"), keep_blank_values=True))
        users = script.get("users", {})
        if (form.get("accountType") != "HOSTED_OR_GOOGLE" or form.get("service") != "cp"
                or form.get("Email") not in users or users[form["Email"]] != form.get("Passwd")):
            return self.answer(403, b"Error=BadAuthentication\n")
        token = "tok%s-%d" % (script.get("token_epoch", 0), self.server.state.next_serial())
        self.server.state.tokens.add(token)
        self.answer(200, ("SID=sid-%s\nLSID=lsid-%s\nAuth=%s\n" % (token, token, token)).encode())

    def authorised(self, script):
        prefix = "GoogleLogin auth="
        value = self.headers.get("Authorization", "")
        token = value[len(prefix):] if value.startswith(prefix) else ""
        return (token in self.server.state.tokens
                and token.startswith("tok%s-" % script.get("token_epoch", 0)))

    def feed(self, script, kind, email, quoted, query):
        if kind in script.get("errors", {}):
            e = script["errors"][kind]
            return self.page(e.get("status", 400), e.get("h1", "Bad Request"), e.get("h2", ""))
        if kind in script.get("bodies", {}):
            return self.answer(200, script["bodies"][kind].encode("utf-8"),
                               {"Content-Type": "text/xml"})
        items = list(self.server.state.by_id.values() if kind == "contacts" else script.get("groups", []))
        if query.get("showdeleted") != "true":
            items = [i for i in items if not i.get("deleted")]
        if "updated-min" in query:
            since = parse_time(query["updated-min"])
            items = [i for i in items if parse_time(i["updated"]) >= since]
        if query.get("orderby") == "lastmodified":
            items.sort(key=lambda i: parse_time(i["updated"]),
                       reverse=query.get("sortorder") == "descending")
        total = script.get("total_results", {}).get(kind, len(items))
        items = items[:int(query.get("max-results", "25"))]
        render = self.contact_xml if kind == "contacts" else self.group_xml
        text = ["<?xml version='1.0' encoding='UTF-8'?>",
                "<feed %s><id>%s</id><updated>%s</updated>" % (NAMESPACES, esc(email),
                                                              esc(script.get("updated", now_text()))),
                "<title>%s</title>" % esc(kind),
                "<openSearch:totalResults>%d</openSearch:totalResults>" % total,
                "<openSearch:startIndex>1</openSearch:startIndex>",
                "<openSearch:itemsPerPage>%d</openSearch:itemsPerPage>" % len(items)]
        text += [render(quoted, i) for i in items]
        text.append("</feed>")
        self.atom(200, "\n".join(text))

    def group_url(self, quoted, group_id):
        return "%s/m8/feeds/groups/%s/base/%s" % (self.base(), quoted, group_id)

    def group_xml(self, quoted, g):
        parts = ["<entry>", "<id>%s</id>" % esc(self.group_url(quoted, g["id"])),
                 "<updated>%s</updated>" % esc(g["updated"]),
                 "<title>%s</title>" % esc(g.get("title", ""))]
        if g.get("system"):
            parts.append("<gContact:systemGroup id='%s'/>" % esc(g["system"]))
        if g.get("deleted"):
            parts.append("<gd:deleted/>")
        parts.append("</entry>")
        return "".join(parts)

    def contact_xml(self, quoted, c, namespaces=""):
        own = "%s/m8/feeds/contacts/%s/full/%s" % (self.base(), quoted, c["id"])
        parts = ["<entry%s>" % namespaces,
                 "<id>%s/m8/feeds/contacts/%s/base/%s</id>" % (self.base(), quoted, esc(c["id"])),
                 "<updated>%s</updated>" % esc(c["updated"]),
                 "<category scheme='%s#kind' term='%s#contact'/>" % (GD, GCONTACT),
                 "<title>%s</title>" % esc(c.get("title", ""))]
        if "content" in c:
            parts.append("<content type='text'>%s</content>" % esc(c["content"]))
        photo = c.get("photo")
        etag = " gd:etag='&quot;%s&quot;'" % esc(photo["etag"]) if photo else ""
        parts.append("<link rel='%s' type='image/*' href='%s/m8/feeds/photos/media/%s/%s'%s/>"
                     % (PHOTO_REL, self.base(), quoted, esc(c["id"]), etag))
        parts.append("<link rel='self' type='application/atom+xml' href='%s'/>" % esc(own))
        parts.append("<link rel='edit' type='application/atom+xml' href='%s'/>" % esc(own))
        for e in c.get("emails", []):
            primary = " primary='true'" if e.get("primary") else ""
            parts.append("<gd:email rel='%s#other' address='%s'%s/>" % (GD, esc(e["address"]), primary))
        for p in c.get("phones", []):
            parts.append("<gd:phoneNumber rel='%s#mobile'>%s</gd:phoneNumber>" % (GD, esc(p)))
        for g in c.get("groups", []):
            g = g if isinstance(g, dict) else {"id": g}
            href = g["href"] if "href" in g else self.group_url(quoted, g["id"])
            parts.append("<gContact:groupMembershipInfo deleted='%s' href='%s'/>"
                         % ("true" if g.get("deleted") else "false", esc(href)))
        if "extended" in c:
            parts.extend(c["extended"])
        elif "mark" in c or c.get("tags"):
            parts.append("<gd:extendedProperty name='Brantlow.Postvane'><mark>%d</mark>%s"
                         "</gd:extendedProperty>" % (c.get("mark", 0), "".join(
                             "<tag>%s</tag>" % esc(t) for t in c.get("tags", []))))
        parts.extend(c.get("other", []))
        if c.get("deleted"):
            parts.append("<gd:deleted/>")
        parts.append("</entry>")
        return "".join(parts)

    def entry(self, quoted, entry_id):
        """One contact entry at its own link, as an edit reads it first."""
        c = self.server.state.by_id.get(entry_id)
        if c is None or c.get("deleted"):
            return self.answer(404, b"Contact not found.", {"Content-Type": "text/plain"})
        self.atom(200, "<?xml version='1.0' encoding='UTF-8'?>" + self.contact_xml(quoted, c, " " + NAMESPACES))

    def photo(self, contact_id):
        c = self.server.state.by_id.get(contact_id)
        if c and c.get("photo"):
            return self.answer(200, c["photo"].get("data", "").encode("latin-1"),
                               {"Content-Type": "image/*"})
        self.page(404, "Photo not found", "Error 404")

    def write_entry(self, quoted, entry_id, body):
        """Creation (entry_id None) or replacement of one contact entry."""
        try:
            root = ET.fromstring(body)
        except ET.ParseError as error:
            return self.page(400, "Bad Request", str(error))
        known = self.server.state.by_id
        if entry_id is not None and entry_id not in known:
            return self.page(404, "Not Found", "Error 404")
        created = entry_id is None
        if created:
            entry_id = "new%d" % self.server.state.next_serial()
        name = root.find("{%s}name/{%s}fullName" % (GD, GD))
        title = root.find("{%s}title" % ATOM)
        content = root.find("{%s}content" % ATOM)
        contact = {"id": entry_id, "updated": now_text(),
                   "title": (name if name is not None else title).text
                   if (name is not None or title is not None) else "",
                   "emails": [{"address": e.get("address", ""), "primary": e.get("primary") == "true"}
                              for e in root.findall("{%s}email" % GD)],
                   "phones": [p.text or "" for p in root.findall("{%s}phoneNumber" % GD)],
                   "groups": [{"href": g.get("href", "")}
                              for g in root.findall("{%s}groupMembershipInfo" % GCONTACT)]}
        if content is not None:
            contact["content"] = content.text or ""
        props = root.findall("{%s}extendedProperty" % GD)
        for prop in props:
            if prop.get("name") == "Brantlow.Postvane":
                # The client's children stand in the entry's default namespace.
                marks = [m for m in prop if local(m.tag) == "mark"]
                contact["mark"] = int(marks[0].text) if marks and marks[0].text else 0
                contact["tags"] = [t.text or "" for t in prop if local(t.tag) == "tag"]
        contact["extended"] = [xml_text(prop) for prop in props]
        contact["other"] = [xml_text(e) for e in root if e.tag not in MODELLED]
        if entry_id in known and known[entry_id].get("photo"):
            contact["photo"] = known[entry_id]["photo"]
        self.server.state.write(contact)
        text = "<?xml version='1.0' encoding='UTF-8'?>" + self.contact_xml(
            quoted, contact, " " + NAMESPACES)
        self.atom(201 if created else 200, text)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    args = parser.parse_args()
    os.makedirs(os.path.join(args.dir, "requests"), exist_ok=True)
    state = State(args.dir)
    feeds = peerlib.Server(args.dir, Handler, None)
    login = peerlib.Server(args.dir, Handler, peerlib.make_certificate(args.dir, ()))
    # One numbering for both, in arrival order.
    login.save = feeds.save
    for server, tls in ((feeds, False), (login, True)):
        server.state, server.tls, server.feed_port = state, tls, feeds.server_address[1]
    threading.Thread(target=login.serve_forever, daemon=True).start()
    peerlib.write_atomic(os.path.join(args.dir, "tls_port"), b"%d\n" % login.server_address[1])
    peerlib.write_atomic(os.path.join(args.dir, "port"), b"%d\n" % feeds.server_address[1])
    feeds.serve_forever()


if __name__ == "__main__":
    main()
