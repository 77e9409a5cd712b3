#!/usr/bin/env python3
"""Writes the corpus of the MIME benchmark: mail messages as DIR/NNNN.eml (CRLF line ends, as on
the wire) and DIR/manifest.tsv, which says what each message must decode to. The same seed
always gives the same bytes.

Usage: mime_corpus.py DIR [--messages N (1000)] [--seed S (1)]

Kinds of message, drawn per message:
  plain  text/plain, 7bit, a few KB (some without any MIME header, as old mailers send)
  qp     text/plain, quoted-printable, UTF-8 or ISO-8859-1, with long lines (soft breaks)
  mixed  multipart/mixed: a text part and one to three attachments of 1-60 KB in base64
  large  multipart/mixed with a 1 MB base64 attachment (and at most one small one): a tenth
         of the messages
Headers are those of real mail: Received and DKIM-Signature fields folded over several lines,
To lists folded, quoted display names with commas, subjects folded or in encoded words (Q and
B, UTF-8 and ISO-8859-1, whole or beside plain words), names in encoded words.

manifest.tsv has one line per message, tab-separated: file, group (small or large), kind,
sender address, To addresses (comma-separated), Cc addresses, the decoded subject in UTF-8 in
hex, the SHA-256 of the text body in UTF-8 (its lines joined by LF, trailing empty lines
dropped), the attachments as name/size/sha256 joined by "|", and the header features the
message has. Subject and body are the text a reader sees, whatever charset the message carries
them in, so a decoder that converts to UTF-8 and one that keeps the charset compare alike.
"""
import argparse
import base64
import datetime
import hashlib
import os
import quopri
import random
import textwrap
import unicodedata

WORDS = """the of and to in is that for it as was with be by on not he this are or his from at
which but have an they you were her she there one all we their been has when who will more no
if out so said what up its about into than them can only other new some could time these two may
then do first any my now such like our over man me even most made after also did many before
must through back years where much your way well down should because each just those people
how too little state good very make world still own see men work long get here between both
life being under never day same another know while last might us great old year off come since
against go came right used take three meeting report budget quarter review draft project team
client invoice schedule release server update deadline agenda contract proposal figures notes
summary customer order shipment account payment office travel plan question answer feedback
design test results launch support ticket issue version change request approval""".split()

FIRST = ["Anna", "Ben", "Clara", "David", "Emma", "Felix", "Grace", "Henry", "Iris", "Jack",
         "Kate", "Liam", "Mia", "Noah", "Olivia", "Paul", "Quinn", "Rosa", "Sam", "Tara",
         "Ingrid", "Ana Maria", "Omar", "Yuki", "Priya", "Lars", "Chen", "Fatima"]
LAST = ["Smith", "Jones", "Brown", "Taylor", "Wilson", "Evans", "Clarke", "Walker", "Hughes",
        "Green", "Lewis", "Wood", "Harris", "Martin", "Young", "King", "Wright", "Scott",
        "Dubois", "Schmidt", "Rossi", "Novak", "Jensen", "Kowalski", "Silva", "Tanaka"]
# Names with letters outside ASCII, for a part of the people.
FIRST_ACCENTED = ["José", "Zoë", "Jürgen", "Frédéric", "Søren", "Ana María", "François",
                  "Sébastien"]
LAST_ACCENTED = ["Müller", "García", "Lefèvre", "Øster", "Núñez", "Schäfer", "Björk", "Ólafsson"]
DOMAINS = ["example.com", "example.org", "example.net", "mail.example.com", "corp.example",
           "lists.example.org", "sales.example.net", "eu.example.com"]
# Words that need an encoded word in a header or quoted-printable in a body; all in Latin-1.
ACCENTED = ["café", "naïve", "Grüße", "résumé", "Straße", "Zürich", "São Paulo", "déjà vu",
            "façade", "Köln", "niño", "crème brûlée", "Ålesund", "über", "señor", "Besançon"]
# Only in UTF-8 bodies and subjects.
UTF8_ONLY = ["–", "“quoted”", "€ 120", "…", "Łódź", "naïve ✓"]

SMALL_TYPES = [("pdf", "application/pdf"), ("png", "image/png"), ("jpg", "image/jpeg"),
               ("docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"),
               ("xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"),
               ("zip", "application/zip"), ("csv", "text/csv"), ("txt", "text/plain")]
SMALL_STEMS = ["report-q3", "scan_0042", "invoice 2024-117", "minutes", "photo", "budget_draft",
               "contract-v2", "agenda", "Meeting notes", "figures", "receipt", "screenshot"]
LARGE_FILES = [("site-photos.zip", "application/zip"),
               ("Annual report 2024.pdf", "application/pdf"),
               ("backup.tar.gz", "application/gzip"),
               ("presentation.pptx",
                "application/vnd.openxmlformats-officedocument.presentationml.presentation"),
               ("recording.mp3", "audio/mpeg")]
LARGE_SIZE = 1 << 20
ZONES = [0, 60, 120, -300, -420, 330, 540]


def ascii_fold(text):
    text = text.replace("ø", "o").replace("Ø", "O")  # no decomposition to drop the stroke from
    return unicodedata.normalize("NFKD", text).encode("ascii", "ignore").decode()


def q_word(data, charset):
    out = []
    for b in data:
        c = chr(b)
        if c == " ":
            out.append("_")
        elif c.isascii() and (c.isalnum() or c in "!*+-/"):
            out.append(c)
        else:
            out.append("=%02X" % b)
    return "=?%s?Q?%s?=" % (charset, "".join(out))


def b_word(data, charset):
    return "=?%s?B?%s?=" % (charset, base64.b64encode(data).decode())


def encoded_words(text, charset, q):
    """Encoded words for text, none longer than 75 characters, split between characters."""
    codec = "utf-8" if charset == "UTF-8" else "latin-1"
    make = q_word if q else b_word
    words, chunk = [], ""
    for ch in text:
        if len(make((chunk + ch).encode(codec), charset)) > 75:
            words.append(make(chunk.encode(codec), charset))
            chunk = ""
        chunk += ch
    words.append(make(chunk.encode(codec), charset))
    return words


class Writer:
    def __init__(self, seed):
        self.rng = random.Random(seed)

    # ---- text ----

    def sentence(self, extra=()):
        rng = self.rng
        words = [rng.choice(WORDS) for _ in range(rng.randint(6, 16))]
        for word in extra:
            if rng.random() < 0.3:
                words.insert(rng.randrange(len(words)), rng.choice(word))
        words[0] = words[0].capitalize()
        return " ".join(words) + rng.choice([".", ".", ".", "?", "!"])

    def paragraph(self, extra=()):
        return " ".join(self.sentence(extra) for _ in range(self.rng.randint(2, 8)))

    def body_lines(self, sender_name, accents=(), long_lines=False):
        """Lines of a letter of 1.5-6 KB: greeting, paragraphs, a quoted reply, a signature."""
        rng = self.rng
        target = rng.randint(1500, 6000)
        # Names with accents only where the body's encoding can carry them.
        name = (lambda text: text) if accents else ascii_fold
        lines = ["Hello %s," % name(rng.choice(FIRST)), ""]
        size = 0
        while size < target:
            text = self.paragraph(accents)
            if long_lines and rng.random() < 0.5:
                new = [text]  # one line per paragraph, as many mailers send
            else:
                new = textwrap.wrap(text, 72)
            if rng.random() < 0.15:
                new = ["> " + line for line in textwrap.wrap(text, 70)]
            if rng.random() < 0.05:
                new.insert(0, ".NET and .htaccess lines begin with a dot")
            lines += new + [""]
            size += sum(len(line) + 2 for line in new)
        lines += ["Best regards,", sender_name, "", "-- ", sender_name,
                  "%s Ltd. | +44 20 7946 %04d" % (name(rng.choice(LAST)), rng.randrange(10000))]
        return lines

    # ---- header pieces ----

    def person(self):
        rng = self.rng
        first = rng.choice(FIRST_ACCENTED if rng.random() < 0.12 else FIRST)
        last = rng.choice(LAST_ACCENTED if rng.random() < 0.12 else LAST)
        address = "%s.%s@%s" % (ascii_fold(first).replace(" ", ""), ascii_fold(last),
                                rng.choice(DOMAINS))
        address = address.lower()
        return first, last, address

    def mailbox(self, first, last, address):
        """A mailbox as written in From, To or Cc, in one of the forms mailers use."""
        rng = self.rng
        name = "%s %s" % (first, last)
        r = rng.random()
        if not name.isascii():
            charset = "UTF-8" if rng.random() < 0.7 else "ISO-8859-1"
            return "%s <%s>" % (" ".join(encoded_words(name, charset, rng.random() < 0.7)),
                                address)
        if r < 0.15:
            return '"%s, %s" <%s>' % (last, first, address)
        if r < 0.25:
            return address
        if r < 0.35:
            return '"%s" <%s>' % (name, address)
        return "%s <%s>" % (name, address)

    def address_field(self, label, mailboxes):
        """label: and the mailboxes, folded after every second one."""
        lines, line = [], label + ": "
        for k, box in enumerate(mailboxes):
            line += box + ("," if k + 1 < len(mailboxes) else "")
            if k % 2 == 1 and k + 1 < len(mailboxes):
                lines.append(line)
                line = "\t"
            elif k + 1 < len(mailboxes):
                line += " "
        return lines + [line]

    def subject(self):
        """The Subject field's lines, the decoded subject's text and the feature name."""
        rng = self.rng
        words = [rng.choice(WORDS) for _ in range(rng.randint(3, 9))]
        words[0] = words[0].capitalize()
        text = " ".join(words)
        prefix = rng.choice(["", "", "", "Re: ", "Fwd: ", "RE: "])
        r = rng.random()
        if r < 0.45:
            text = prefix + text
            return ["Subject: " + text], text, "subject-ascii"
        if r < 0.60:
            while len(text) < 110:
                text += " " + rng.choice(WORDS)
            text = prefix + text
            cut = text.rindex(" ", 0, 60)
            return ["Subject: " + text[:cut], " " + text[cut + 1:]], text, "subject-folded"
        charset = "UTF-8" if rng.random() < 0.7 else "ISO-8859-1"
        accents = ACCENTED + (UTF8_ONLY if charset == "UTF-8" else [])
        words.insert(rng.randrange(len(words) + 1), rng.choice(accents))
        accented = " ".join(words)
        q = rng.random() < 0.6
        encoded = encoded_words(accented, charset, q)
        if r < 0.90:
            value = prefix + encoded[0]
            lines = ["Subject: " + value] + [" " + w for w in encoded[1:]]
            return lines, prefix + accented, "subject-encoded"
        suffix = " " + " ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 4)))
        lines = ["Subject: " + encoded[0]] + [" " + w for w in encoded[1:]]
        lines[-1] += suffix
        return lines, accented + suffix, "subject-encoded-then-text"

    def trace_fields(self, date, sender_domain, rcpt):
        rng = self.rng
        lines = []
        for hop in range(rng.randint(2, 4)):
            ip = "192.0.2.%d" % rng.randint(1, 254)
            lines += ["Received: from mail-%d.%s (mail-%d.%s [%s])" % (hop, sender_domain, hop,
                                                                      sender_domain, ip),
                      "\tby mx%d.%s (Postfix) with ESMTPS id %X" % (hop, rcpt.split("@")[1],
                                                                     rng.getrandbits(40)),
                      "\tfor <%s>; %s" % (rcpt, date)]
        b = base64.b64encode(rng.randbytes(162)).decode()
        lines += ["DKIM-Signature: v=1; a=rsa-sha256; c=relaxed/relaxed; d=%s; s=sel1;"
                  % sender_domain,
                  "\th=from:to:subject:date:message-id:mime-version;",
                  "\tbh=%s;" % base64.b64encode(rng.randbytes(32)).decode(),
                  "\tb=" + b[:72], "\t " + b[72:144], "\t " + b[144:]]
        return lines

    # ---- parts ----

    def text_part(self, lines, charset, qp):
        """The text's Content-Type and Content-Transfer-Encoding lines, and its encoded lines."""
        codec = {"us-ascii": "ascii", "UTF-8": "utf-8", "ISO-8859-1": "latin-1"}[charset]
        if not qp:
            return (['Content-Type: text/plain; charset="%s"' % charset,
                     "Content-Transfer-Encoding: 7bit"], lines)
        data = "\n".join(lines).encode(codec) + b"\n"
        encoded = quopri.encodestring(data, quotetabs=False).decode("ascii")
        return (["Content-Type: text/plain; charset=%s" % charset,
                 "Content-Transfer-Encoding: quoted-printable"], encoded.rstrip("\n").split("\n"))

    def attachment(self, name, content_type, data):
        rng = self.rng
        encoding = ["Content-Transfer-Encoding: base64"]
        if rng.random() < 0.5:
            head = (['Content-Type: %s; name="%s"' % (content_type, name)] + encoding +
                    ['Content-Disposition: attachment; filename="%s"' % name])
        else:
            head = (["Content-Type: %s;" % content_type, '\tname="%s"' % name] + encoding +
                    ["Content-Disposition: attachment;", '\tfilename="%s"' % name])
        return head + [""] + base64.encodebytes(data).decode().rstrip("\n").split("\n")

    def small_attachment(self):
        rng = self.rng
        ext, content_type = rng.choice(SMALL_TYPES)
        name = "%s.%s" % (rng.choice(SMALL_STEMS), ext)
        size = rng.randint(1000, 60000)
        if ext in ("csv", "txt"):
            rows = []
            while sum(len(r) + 2 for r in rows) < size:
                rows.append(",".join(rng.choice(WORDS) for _ in range(6)) if ext == "csv"
                            else self.sentence())
            data = ("\r\n".join(rows) + "\r\n").encode()
        else:
            data = rng.randbytes(size)
        return name, content_type, data

    # ---- messages ----

    def message(self, index, kind):
        rng = self.rng
        first, last, sender = self.person()
        sender_name = "%s %s" % (first, last)
        to = [self.person() for _ in range(rng.choice([1, 1, 1, 2, 2, 3, 4, 6]))]
        cc = [self.person() for _ in range(rng.choice([0, 0, 0, 1, 2, 3]))]
        when = datetime.datetime(2025, 3, 3, 8, 0, tzinfo=datetime.timezone.utc)
        when += datetime.timedelta(minutes=index * 37 + rng.randrange(37))
        zone = datetime.timezone(datetime.timedelta(minutes=rng.choice(ZONES)))
        date = when.astimezone(zone).strftime("%a, %d %b %Y %H:%M:%S %z")
        features = []

        head = self.trace_fields(date, sender.split("@")[1], to[0][2])
        head += ["Date: " + date, "From: " + self.mailbox(first, last, sender)]
        if not sender_name.isascii():
            features.append("from-encoded")
        mailboxes = [self.mailbox(*p) for p in to]
        head += self.address_field("To", mailboxes)
        if len(to) > 2:
            features.append("to-folded")
        if any(m.startswith('"') and "," in m for m in mailboxes):
            features.append("to-quoted-comma")
        if cc:
            head += self.address_field("Cc", [self.mailbox(*p) for p in cc])
        subject_lines, subject, feature = self.subject()
        head += subject_lines
        features.append(feature)
        head += ["Message-ID: <%016x.%d@%s>" % (rng.getrandbits(64), index, sender.split("@")[1])]
        if rng.random() < 0.3:
            head += ["In-Reply-To: <%016x@%s>" % (rng.getrandbits(64), rng.choice(DOMAINS)),
                     "References: <%016x@%s>" % (rng.getrandbits(64), rng.choice(DOMAINS)),
                     " <%016x@%s>" % (rng.getrandbits(64), rng.choice(DOMAINS))]
        head += ["X-Mailer: %s" % rng.choice(["Norva 0.1", "Evolution 3.46.4", "Mutt/2.2.9",
                                                "Microsoft Outlook 16.0", "Apple Mail (2.3731)"])]
        if rng.random() < 0.2:
            head += ["List-Unsubscribe: <mailto:unsubscribe@%s?subject=unsubscribe>,"
                     % rng.choice(DOMAINS),
                     " <https://%s/unsubscribe?id=%d>" % (rng.choice(DOMAINS), index)]

        if kind == "plain":
            charset, qp = "us-ascii", False
        else:
            charset = "UTF-8" if rng.random() < 0.7 else "ISO-8859-1"
            qp = kind == "qp" or rng.random() < 0.5
        accents = ()
        if qp:
            accents = [ACCENTED + (UTF8_ONLY if charset == "UTF-8" else [])]
        lines = self.body_lines(sender_name if qp else ascii_fold(sender_name), accents,
                                long_lines=qp)
        while lines and lines[-1] == "":
            lines.pop()
        body_sha = hashlib.sha256("\n".join(lines).encode("utf-8")).hexdigest()
        part_head, part_lines = self.text_part(lines, charset, qp)

        attachments = []
        if kind in ("plain", "qp"):
            if kind == "plain" and rng.random() < 0.1:
                out = head + [""] + lines  # no MIME header at all
                features.append("no-mime")
            else:
                out = head + ["MIME-Version: 1.0"] + part_head + [""] + part_lines
        else:
            count = rng.randint(1, 3) if kind == "mixed" else rng.randint(0, 1)
            attachments = [self.small_attachment() for _ in range(count)]
            if kind == "large":
                name, content_type = rng.choice(LARGE_FILES)
                attachments.insert(rng.randint(0, len(attachments)),
                                   (name, content_type, rng.randbytes(LARGE_SIZE)))
            # Boundaries in the styles of three common mailers.
            boundary = rng.choice([
                "----=_Part_%d_%d.%d" % (rng.randrange(10**6), rng.randrange(10**9),
                                         1740000000000 + index),
                "=_%032x" % rng.getrandbits(128),
                "000000000000%012x" % rng.getrandbits(48)])
            if rng.random() < 0.5:
                out = head + ["MIME-Version: 1.0",
                              'Content-Type: multipart/mixed; boundary="%s"' % boundary]
            else:
                out = head + ["MIME-Version: 1.0", "Content-Type: multipart/mixed;",
                              '\tboundary="%s"' % boundary]
            gap = [""] if rng.random() < 0.5 else []  # a blank line before each delimiter, or not
            out += ["", "This is a multi-part message in MIME format.", "", "--" + boundary]
            out += part_head + [""] + part_lines + gap
            for name, content_type, data in attachments:
                out += ["--" + boundary] + self.attachment(name, content_type, data) + gap
            out += ["--" + boundary + "--", ""]

        raw = ("\r\n".join(out) + "\r\n").encode("ascii")
        group = "large" if kind == "large" else "small"
        fields = ["%04d.eml" % index, group, kind, sender, ",".join(p[2] for p in to),
                  ",".join(p[2] for p in cc), subject.encode("utf-8").hex(), body_sha,
                  "|".join("%s/%d/%s" % (n, len(d), hashlib.sha256(d).hexdigest())
                           for n, _, d in attachments),
                  ",".join(features) or "-"]
        return raw, "\t".join(fields)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("dir")
    ap.add_argument("--messages", type=int, default=1000)
    ap.add_argument("--seed", type=int, default=1)
    a = ap.parse_args()
    os.makedirs(a.dir, exist_ok=True)
    writer = Writer(a.seed)
    large = set(writer.rng.sample(range(a.messages), a.messages // 10))
    manifest = ["# " + "\t".join(["file", "group", "kind", "sender", "to", "cc", "subject_utf8_hex",
                                   "body_utf8_sha256", "attachments", "features"])]
    total = 0
    for i in range(a.messages):
        if i in large:
            kind = "large"
        else:
            r = writer.rng.random()
            kind = "plain" if r < 0.35 else "qp" if r < 0.60 else "mixed"
        raw, line = writer.message(i, kind)
        with open(os.path.join(a.dir, "%04d.eml" % i), "wb") as f:
            f.write(raw)
        manifest.append(line)
        total += len(raw)
    with open(os.path.join(a.dir, "manifest.tsv"), "w") as f:
        f.write("\n".join(manifest) + "\n")
    print("%d messages, %.1f MB in %s" % (a.messages, total / 1e6, a.dir))


if __name__ == "__main__":
    main()
