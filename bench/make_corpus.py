#!/usr/bin/env python3
"""Writes a deterministic mail corpus into a Maildir folder for the indexing
benchmarks: the same arguments give the same bytes on every machine.

Usage: make_corpus.py OUT_DIR [--count N] [--small] [--seed S] [--account A]

Default: 10,000 mails of about 600 MB, a third of them with one to three
attachments of 10-300 KB (application/pdf, image/jpeg, application/zip,
text/csv), the rest text or text-and-HTML; realistic header blocks (Received
chains, Delivered-To, names with and without quotes, Cc, References threads,
encoded-word subjects and names in several charsets), one in five sent by the
account itself. --small: no attachments, 1-6 KB each (the 50,000-mail corpus
is --small --count 50000). Files go to OUT_DIR/cur as NNNNNNNNN.corpus:2,S
(one in seven unseen: ":2,"), their modification times the mails' dates, so
that Dovecot's internal dates and SINCE searches match the Date headers.
"""

import argparse
import base64
import email.utils
import os
import random

FIRST = ["Anna", "Bruno", "Chloé", "Dmitri", "Eve", "François", "Grete", "Hiro", "Inès", "Jamal",
         "Katarzyna", "Lars", "Mónica", "Nils", "Olga", "Pedro", "Quentin", "Rania", "Søren", "Tomasz"]
LAST = ["Albers", "Barros", "Czerny", "Dahl", "Eriksen", "Fontaine", "Gruber", "Halvorsen", "Ivanova",
        "Jäger", "Kowalski", "Lindqvist", "Moreau", "Nakamura", "O'Neill", "Petrov", "Quispe", "Rossi"]
DOMAINS = ["example.org", "example.net", "lists.example.com", "mail.example.edu", "corp.example"]
WORDS = ("meeting budget report draft review schedule invoice travel project update notes minutes "
         "agenda quarter release plan design proposal contract summary feedback photos slides").split()
SUBJECT_MARKS = ["", "", "", "Re: ", "Re: ", "Fwd: ", "AW: "]
ATTACHMENTS = [("application/pdf", "pdf"), ("image/jpeg", "jpg"), ("application/zip", "zip"),
               ("text/csv", "csv")]


def encoded_word(text, rng):
    """text as an RFC 2047 encoded word, in B or Q form."""
    data = text.encode("utf-8")
    if rng.random() < 0.5:
        return "=?UTF-8?B?%s?=" % base64.b64encode(data).decode()
    q = "".join(chr(b) if 33 <= b < 127 and chr(b) not in "=?_" else ("_" if b == 32 else "=%02X" % b)
                for b in data)
    return "=?UTF-8?Q?%s?=" % q


class Person:
    def __init__(self, rng):
        self.name = "%s %s" % (rng.choice(FIRST), rng.choice(LAST))
        self.address = "%s.%s@%s" % (self.name.split()[0].lower().encode("ascii", "ignore").decode(),
                                     self.name.split()[1].lower().replace("'", "").encode("ascii", "ignore").decode(),
                                     rng.choice(DOMAINS))

    def header(self, rng):
        if any(ord(c) > 127 for c in self.name) and rng.random() < 0.7:
            return "%s <%s>" % (encoded_word(self.name, rng), self.address)
        if rng.random() < 0.5:
            return '"%s" <%s>' % (self.name, self.address)
        return "%s <%s>" % (self.name, self.address)


def wrap(text, width=76):
    return "\r\n".join(text[i:i + width] for i in range(0, len(text), width))


def paragraph(rng, words):
    return " ".join(rng.choice(WORDS) for _ in range(words)).capitalize() + "."


def text_body(rng, size):
    lines = []
    total = 0
    while total < size:
        line = paragraph(rng, rng.randint(6, 14))
        lines.append(line)
        total += len(line) + 2
    return "\r\n".join(lines)


def make_mail(index, rng, args, people, account, date):
    sent = rng.random() < 0.2
    sender = account if sent else rng.choice(people)
    to = [rng.choice(people) for _ in range(rng.randint(1, 3))] if sent else [account]
    cc = [rng.choice(people) for _ in range(rng.randint(0, 2))]
    topic = " ".join(rng.choice(WORDS) for _ in range(rng.randint(2, 6)))
    subject = rng.choice(SUBJECT_MARKS) + topic.capitalize()
    if rng.random() < 0.15:
        subject = encoded_word(subject + " – %s" % rng.choice(["Überblick", "résumé", "総括", "обзор"]), rng)
    domain = sender.address.split("@")[1]
    message_id = "<%08x.%d@%s>" % (rng.getrandbits(32), index, domain)
    headers = []
    if not sent:
        headers.append("Delivered-To: %s" % account.address)
        for hop in range(rng.randint(2, 4)):
            headers.append("Received: from mx%d.%s (mx%d.%s [192.0.2.%d])\r\n\tby mx.example.com with ESMTPS id %08x\r\n"
                           "\tfor <%s>; %s" % (hop, domain, hop, domain, rng.randint(1, 254), rng.getrandbits(32),
                                               account.address, email.utils.formatdate(date)))
    headers += ["Date: %s" % email.utils.formatdate(date, localtime=False),
                "From: %s" % sender.header(rng),
                "To: %s" % ", ".join(p.header(rng) for p in to)]
    if cc:
        headers.append("Cc: %s" % ", ".join(p.header(rng) for p in cc))
    headers += ["Subject: %s" % subject, "Message-ID: %s" % message_id]
    if subject.startswith(("Re:", "AW:")) and index > 0:
        parent = "<%08x.%d@%s>" % (rng.getrandbits(32), rng.randrange(index), rng.choice(DOMAINS))
        headers += ["In-Reply-To: %s" % parent, "References: %s" % parent]
    headers.append("MIME-Version: 1.0")

    small = args.small
    body_size = rng.randint(800, 5500) if small else rng.randint(1500, 9000)
    text = text_body(rng, body_size)
    with_files = not small and index % 3 == 0
    boundary = "----=_Part_%d_%08x" % (index, rng.getrandbits(32))
    if not with_files and rng.random() < 0.5:
        alt = boundary + "_alt"
        html = "<html><body><p>" + text.replace("\r\n", "</p>\r\n<p>") + "</p></body></html>"
        headers.append('Content-Type: multipart/alternative; boundary="%s"' % alt)
        body = ("--%s\r\nContent-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n%s\r\n"
                "--%s\r\nContent-Type: text/html; charset=UTF-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n%s\r\n"
                "--%s--\r\n" % (alt, text, alt, html, alt))
    elif not with_files:
        headers += ["Content-Type: text/plain; charset=UTF-8", "Content-Transfer-Encoding: 8bit"]
        body = text + "\r\n"
    else:
        headers.append('Content-Type: multipart/mixed; boundary="%s"' % boundary)
        parts = ["--%s\r\nContent-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n%s\r\n"
                 % (boundary, text)]
        count = rng.choices([1, 2, 3], weights=[74, 19, 7])[0]
        for n in range(count):
            kind, extension = rng.choice(ATTACHMENTS)
            # Log-uniform sizes between 10 and 300 KB: most attachments are small.
            size = int(10240 * (30 ** rng.random()))
            stem = "%s_%s_%d" % (rng.choice(WORDS), rng.choice(WORDS), n + 1)
            name = "%s.%s" % (stem, extension)
            if rng.random() < 0.1:
                name = encoded_word("%s_é.%s" % (stem, extension), rng)
            payload = base64.b64encode(rng.randbytes(size)).decode()
            disposition = "inline" if kind == "image/jpeg" and rng.random() < 0.3 else "attachment"
            parts.append('--%s\r\nContent-Type: %s; name="%s"\r\nContent-Transfer-Encoding: base64\r\n'
                         'Content-Disposition: %s; filename="%s"\r\n\r\n%s\r\n'
                         % (boundary, kind, name, disposition, name, wrap(payload)))
        body = "".join(parts) + "--%s--\r\n" % boundary
    return ("\r\n".join(headers) + "\r\n\r\n" + body).encode("utf-8"), sent


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("out")
    parser.add_argument("--count", type=int, default=10000)
    parser.add_argument("--small", action="store_true")
    parser.add_argument("--seed", type=int, default=20100519)
    parser.add_argument("--account", default="tester@example.com")
    args = parser.parse_args()
    rng = random.Random(args.seed)
    people = [Person(rng) for _ in range(400)]
    account = Person(rng)
    account.address = args.account
    account.name = "Test User"
    for sub in ("cur", "new", "tmp"):
        os.makedirs(os.path.join(args.out, sub), exist_ok=True)
    # Dates from 2008 on, in order, a few hours apart.
    date = 1199145600
    total = 0
    for index in range(args.count):
        date += rng.randint(600, 4 * 3600 * 10000 // max(args.count, 1))
        data, _ = make_mail(index, rng, args, people, account, date)
        flags = "" if rng.random() < 1 / 7 else "S"
        path = os.path.join(args.out, "cur", "%09d.corpus:2,%s" % (index + 1, flags))
        with open(path, "wb") as f:
            f.write(data)
        os.utime(path, (date, date))
        total += len(data)
    print("%d mails, %.1f MB in %s" % (args.count, total / 1e6, args.out))


if __name__ == "__main__":
    main()
