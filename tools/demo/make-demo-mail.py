#!/usr/bin/env python3
"""Writes Norva's demo mailbox: about 30 .eml files (0001.eml, 0002.eml, ...) into OUTDIR.

Personal mail, newsletters, obvious spam, attachments, encoded subjects and one urgent message,
all with fixed dates and content, so every run writes the same bytes.
Usage: make-demo-mail.py OUTDIR
"""
import base64
import datetime
import email.utils
import os
import struct
import sys
import zlib

ME = "Demo User <demo@norva.test>"
FRIEND = "Anna Berg <anna.berg@example.org>"
COLLEAGUE = "Mark Jensen <mark.jensen@brightworks.example>"
COLLEAGUE2 = "Priya Nair <priya.nair@brightworks.example>"
SPAM_DOMAINS = ("cheap-deals.example", "prize-center.example", "pharma-outlet.example")


def b_word(text):
    return "=?UTF-8?B?%s?=" % base64.b64encode(text.encode("utf-8")).decode("ascii")


def q_word(text):
    out = []
    for byte in text.encode("iso-8859-1"):
        c = chr(byte)
        if c == " ":
            out.append("_")
        elif c.isalnum() and byte < 128:
            out.append(c)
        else:
            out.append("=%02X" % byte)
    return "=?ISO-8859-1?Q?%s?=" % "".join(out)


def png_square(size=16, rgb=(0x14, 0xA3, 0xA3)):
    """A small solid teal PNG."""
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))
    row = b"\x00" + bytes(rgb) * size
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(row * size, 9))
            + chunk(b"IEND", b""))


def wrap64(data):
    text = base64.b64encode(data).decode("ascii")
    return "\n".join(text[i:i + 76] for i in range(0, len(text), 76))


def message(n, when, sender, subject, body, extra=(), attachments=(), to=ME):
    """One message's text; attachments are (file name, content type, bytes)."""
    headers = [
        ("Return-Path", "<%s>" % email.utils.parseaddr(sender)[1]),
        ("From", sender),
        ("To", to),
        ("Subject", subject),
        ("Date", email.utils.format_datetime(when)),
        ("Message-ID", "<demo-%04d@%s>" % (n, email.utils.parseaddr(sender)[1].split("@")[1])),
        ("MIME-Version", "1.0"),
    ] + list(extra)
    lines = ["%s: %s" % h for h in headers]
    if not attachments:
        lines += ["Content-Type: text/plain; charset=utf-8", "Content-Transfer-Encoding: 8bit",
                  "", body]
    else:
        boundary = "=_norva_demo_%04d" % n
        lines += ['Content-Type: multipart/mixed; boundary="%s"' % boundary, "",
                  "This is a multi-part message in MIME format.", "",
                  "--" + boundary, "Content-Type: text/plain; charset=utf-8",
                  "Content-Transfer-Encoding: 8bit", "", body]
        for name, ctype, data in attachments:
            lines += ["--" + boundary, 'Content-Type: %s; name="%s"' % (ctype, name),
                      "Content-Transfer-Encoding: base64",
                      'Content-Disposition: attachment; filename="%s"' % name, "", wrap64(data)]
        lines += ["--" + boundary + "--"]
    return "\n".join(lines).rstrip("\n") + "\n"


def day(d, h, m=0):
    return datetime.datetime(2026, 3, d, h, m, tzinfo=datetime.timezone(datetime.timedelta(hours=1)))


def spam(when, user, domain, subject, body):
    return dict(when=when, sender="%s <%s@%s>" % (user.title(), user, domain), subject=subject,
                body=body, extra=[("X-Advertisement", "Special offer"),
                                  ("Precedence", "bulk")])


def newsletter(when, name, addr, list_id, subject, body):
    return dict(when=when, sender="%s <%s>" % (name, addr), subject=subject, body=body,
                extra=[("List-Id", "%s <%s>" % (name, list_id)), ("Precedence", "bulk"),
                       ("List-Unsubscribe", "<mailto:unsubscribe@%s>" % list_id)])


NOTES = ("Q1 notes\n\n- revenue up 4 percent\n- two new customers\n"
         "- hiring: one developer, one tester\n").encode("ascii")

MESSAGES = [
    dict(when=day(2, 8, 12), sender=FRIEND, subject="Dinner on Saturday?",
         body="Hi!\n\nAre you free on Saturday evening? We could try the new place by the river.\n\nAnna"),
    dict(when=day(2, 9, 30), sender=COLLEAGUE, subject="Quarterly report draft",
         body="Hello,\n\nattached are my notes for the quarterly report. Comments welcome.\n\nMark",
         attachments=[("q1-notes.txt", "text/plain", NOTES)]),
    newsletter(day(2, 10), "Tech Weekly", "news@techweekly.example", "weekly.techweekly.example",
               "Tech Weekly #112: faster builds, smaller binaries",
               "This week: link-time optimisation in practice, and a look at build caches.\n\n"
               "You receive this because you subscribed at techweekly.example."),
    spam(day(2, 11, 5), "winner", "prize-center.example", "FREE!!! Claim your prize now",
         "Congratulations!!! You have been selected. Click here to claim your FREE prize."),
    dict(when=day(2, 12, 40), sender="Lukas Meier <lukas@example.net>",
         subject=b_word("Grüße aus München"),
         body="Hallo,\n\nviele Grüße aus München! Das Wetter ist herrlich.\n\nLukas"),
    dict(when=day(2, 14, 0), sender=COLLEAGUE2, subject="Team photo from the offsite",
         body="Here is the team photo (well, a very small version of it).\n\nPriya",
         attachments=[("team.png", "image/png", png_square())]),
    dict(when=day(2, 15, 20), sender="Claire Dubois <claire.dubois@example.com>",
         subject=q_word("Café rendez-vous à midi"),
         body="Bonjour,\n\non se retrouve au café à midi ?\n\nClaire"),
    spam(day(2, 16, 45), "deals", "cheap-deals.example", "FREE!!! 90% off watches today only",
         "Luxury watches at unbelievable prices. FREE shipping!!!"),
    dict(when=day(3, 7, 55), sender="Facilities <facilities@brightworks.example>",
         subject="URGENT: server room door left open",
         body="The server room door was found open this morning. Please check the access log "
              "and call me as soon as possible.", extra=[("X-Priority", "1 (Highest)"),
                                                          ("Importance", "high")]),
    newsletter(day(3, 9), "Garden Club", "letters@gardenclub.example", "members.gardenclub.example",
               "Spring planting calendar", "March is the month for peas, spinach and onions."),
    dict(when=day(3, 10, 10), sender=FRIEND, subject="Re: Dinner on Saturday?",
         body="Great, 7 pm then. I booked a table for two.\n\nAnna"),
    spam(day(3, 11, 11), "pharmacy", "pharma-outlet.example", "FREE!!! pills, no prescription",
         "Best prices on the internet. Order now!!!"),
    dict(when=day(3, 13, 0), sender=COLLEAGUE, subject="Meeting notes, 3 March",
         body="Decisions:\n1. Release on the 20th.\n2. Freeze on the 16th.\n\n"
              ".a line that starts with a dot\n..and one with two\n\nMark"),
    newsletter(day(3, 14), "Tech Weekly", "news@techweekly.example", "weekly.techweekly.example",
               "Tech Weekly #113: profiling without tears", "Sampling profilers explained."),
    dict(when=day(3, 16, 30), sender="Bookshop <orders@books.example>",
         subject="Your order 40713 has shipped",
         body="Your order (2 books) has shipped and should arrive within three days."),
    spam(day(4, 2, 14), "lottery", "prize-center.example", "You are our 1,000,000th visitor!!!",
         "Claim your FREE reward now. Offer ends at midnight!!!"),
    dict(when=day(4, 8, 5), sender="Mum <mum@example.org>", subject="Easter plans",
         body="Will you come home for Easter? Let me know soon so I can plan the meals.\n\nLove, Mum"),
    dict(when=day(4, 9, 45), sender=COLLEAGUE2, subject=b_word("Budget review ✔ done"),
         body="The budget review is done, all numbers check out."),
    newsletter(day(4, 10), "City Library", "events@library.example", "events.library.example",
               "Events this month at the library", "Reading club on Tuesdays, film night on Friday."),
    dict(when=day(4, 12, 15), sender="Tom Walker <tom.walker@example.com>",
         subject="Photos from the hike",
         body="A tiny preview attached, the rest are on the shared drive.\n\nTom",
         attachments=[("preview.png", "image/png", png_square(8, (0x2e, 0x8b, 0x57))),
                      ("route.txt", "text/plain", b"Start: lake car park\nSummit: 2h10\n")]),
    spam(day(4, 13, 37), "offers", "cheap-deals.example", "FREE!!! iPhone giveaway",
         "You are a WINNER!!! Just pay the shipping."),
    dict(when=day(4, 15, 0), sender="Helpdesk <helpdesk@brightworks.example>",
         subject="Ticket 5521 resolved", body="Your ticket 'printer on floor 2' has been resolved."),
    dict(when=day(5, 8, 30), sender=FRIEND, subject=q_word("Recette: crème brûlée"),
         body="Here is the recipe you asked for: cream, eggs, sugar, vanilla. Bake slowly.\n\nAnna"),
    newsletter(day(5, 9), "Garden Club", "letters@gardenclub.example", "members.gardenclub.example",
               "Seed swap on Sunday", "Bring your spare seeds to the community hall."),
    spam(day(5, 10, 10), "casino", "lucky-spins.example", "FREE!!! 500 spins waiting for you",
         "Play now and win BIG!!!"),
    dict(when=day(5, 11, 20), sender=COLLEAGUE, subject="Lunch tomorrow?",
         body="Shall we have lunch tomorrow? The canteen has curry on Thursdays.\n\nMark"),
    dict(when=day(5, 14, 50), sender="Bank Notices <notices@bank.example>",
         subject="Your monthly statement is ready",
         body="Your March statement is ready. Log in to online banking to view it."),
    newsletter(day(5, 16), "Tech Weekly", "news@techweekly.example", "weekly.techweekly.example",
               "Tech Weekly #114: memory safety roundup", "Sanitizers, fuzzers and hardening flags."),
    dict(when=day(6, 9, 0), sender="Lukas Meier <lukas@example.net>",
         subject=b_word("Fotos vom Wochenende 📷"),
         body="Die Fotos kommen morgen.\n\nLukas"),
    dict(when=day(6, 10, 30), sender=COLLEAGUE2, subject="Release checklist",
         body="Please tick off your items on the release checklist by Friday.\n\nPriya"),
]


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make-demo-mail.py OUTDIR")
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for n, fields in enumerate(MESSAGES, 1):
        text = message(n, **fields)
        with open(os.path.join(out, "%04d.eml" % n), "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
    print("%d messages written to %s" % (len(MESSAGES), out))


if __name__ == "__main__":
    main()
