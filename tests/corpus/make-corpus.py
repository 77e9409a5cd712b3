#!/usr/bin/env python3
"""Writes the mail corpus: small .eml files shaped as today's mail programs write them.

Thunderbird, Outlook, Gmail, Apple Mail and phones, newsletters and notifications, old clients
with raw 8-bit headers, and messages made by Python's email package itself. Every charset,
transfer encoding and nesting a 2026 inbox holds appears at least once; MANIFEST lists what
each file is. Boundaries, dates and IDs are fixed, so every run writes the same bytes.

Usage: make-corpus.py [OUTDIR]     write the files (default: the eml folder beside this script)
       make-corpus.py --check      exit 1 when the committed files differ from what it writes
"""
import base64
import binascii
import datetime
import email.header
import email.policy
import email.quoprimime
import email.utils
import io
import os
import struct
import sys
import urllib.parse
import zipfile
import zlib
from email.message import EmailMessage

CRLF = b"\r\n"

# ---- content -------------------------------------------------------------------------------


def png(size=8, rgb=(0x2E, 0x86, 0xC1)):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))
    row = b"\x00" + bytes(rgb) * size
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(row * size, 0)) + chunk(b"IEND", b""))


def jpeg(seed):
    # A JPEG's frame markers around fixed filler: enough for a viewer to name the type.
    filler = bytes((seed * 31 + i * 7) % 256 for i in range(600))
    return b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00" + filler + b"\xff\xd9"


def pdf(title):
    text = f"BT /F1 12 Tf 72 720 Td ({title}) Tj ET".encode()
    return (b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n"
            b"2 0 obj<</Type/Pages/Kids[3 0 R]/Count 1>>endobj\n"
            b"3 0 obj<</Type/Page/Parent 2 0 R/Contents 4 0 R>>endobj\n"
            b"4 0 obj<</Length " + str(len(text)).encode() + b">>stream\n" + text +
            b"\nendstream endobj\ntrailer<</Root 1 0 R>>\n%%EOF\n")


def office_zip(name):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_STORED) as z:
        for member, text in (("[Content_Types].xml", "<Types/>"), ("word/document.xml",
                             f"<w:document><w:body><w:p>{name}</w:p></w:body></w:document>")):
            info = zipfile.ZipInfo(member, date_time=(2026, 1, 5, 9, 0, 0))
            z.writestr(info, text)
    return buf.getvalue()


ICS = ("BEGIN:VCALENDAR\r\nPRODID:-//Corpus//EN\r\nVERSION:2.0\r\nMETHOD:REQUEST\r\n"
       "BEGIN:VEVENT\r\nUID:review-2026-01-14@contoso.example\r\nDTSTART:20260114T090000Z\r\n"
       "DTEND:20260114T100000Z\r\nSUMMARY:Quarterly review\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n")

PGP_SIG = b"""-----BEGIN PGP SIGNATURE-----

iHUEARYKAB0WIQRk3bXbL1sJ2e0dYb1c6t5mJ8r6lAUCZ5c0AAAKCRBc6t5mJ8r6
lFh5AP9m1qRzv3tWm8oQ2xk7s1y0A4gT0yJ3mK8nq2cF3o9dAQD2f1pV2v5bXk0y
=Q1x9
-----END PGP SIGNATURE-----
""".replace(b"\n", b"\r\n")


def when(day, hour, minute=0, offset=60):
    tz = datetime.timezone(datetime.timedelta(minutes=offset))
    return email.utils.format_datetime(datetime.datetime(2026, 1, day, hour, minute, 7, tzinfo=tz))


# ---- encodings -----------------------------------------------------------------------------


def b64(data, width=76):
    text = base64.b64encode(data).decode("ascii")
    return "\r\n".join(text[i:i + width] for i in range(0, len(text), width)).encode() + CRLF


def qp(text, charset):
    lines = text.encode(charset).decode("latin-1").split("\n")
    out = [email.quoprimime.body_encode(line, maxlinelen=76, eol="\r\n") for line in lines]
    return "\r\n".join(out).encode("latin-1")


def body_bytes(text, charset, cte):
    if cte == "base64":
        return b64(text.replace("\n", "\r\n").encode(charset))
    if cte == "quoted-printable":
        return qp(text, charset)
    return text.replace("\n", "\r\n").encode(charset)


def ew(text, charset="utf-8", letter="B"):
    """One encoded word, the letter in the case given."""
    data = text.encode(charset)
    if letter.upper() == "B":
        payload = base64.b64encode(data).decode("ascii")
    else:
        payload = "".join(chr(c) if (chr(c).isalnum() and c < 128) else "_" if c == 32
                          else "=%02X" % c for c in data)
    return f"=?{charset}?{letter}?{payload}?="


def header_words(text, charset="utf-8"):
    """Text encoded as Python's email.header writes it (B or Q chosen per charset, folded)."""
    return email.header.Header(text, charset, header_name="Subject").encode(linesep="\r\n")


def rfc2231(name, param="filename", chunk=None):
    """name*=utf-8''..., or split as Thunderbird splits it: continuations of about chunk
    characters, each ending between two characters, only the first with the charset."""
    value = email.utils.encode_rfc2231(name, "utf-8")
    if chunk is None:
        return f"{param}*={value}"
    pieces, piece = [], "utf-8''"
    for c in name:
        encoded = urllib.parse.quote(c, safe="", encoding="utf-8")
        if len(piece) + len(encoded) > chunk:
            pieces.append(piece)
            piece = ""
        piece += encoded
    pieces.append(piece)
    return ";\r\n ".join(f"{param}*{n}*={p}" for n, p in enumerate(pieces))


# ---- structure -----------------------------------------------------------------------------


class MimePart:
    """Header lines (already written out) and a body: bytes, or a list of parts."""

    def __init__(self, headers, body, boundary=None, preamble=b"", epilogue=b""):
        self.headers, self.body, self.boundary = headers, body, boundary
        self.preamble, self.epilogue = preamble, epilogue

    def render(self):
        out = b"".join(h.encode("utf-8") + CRLF for h in self.headers) + CRLF
        if isinstance(self.body, bytes):
            return out + self.body
        b = self.boundary.encode()
        out += self.preamble
        for part in self.body:
            out += b"--" + b + CRLF + part.render()
            if not out.endswith(CRLF):
                out += CRLF
        return out + b"--" + b + b"--" + CRLF + self.epilogue


def text(body, charset="utf-8", cte="8bit", subtype="plain", params="", extra=(), quoted=True):
    cs = f'"{charset}"' if quoted else charset
    headers = [f"Content-Type: text/{subtype}; charset={cs}{params}",
               f"Content-Transfer-Encoding: {cte}", *extra]
    return MimePart(headers, body_bytes(body, charset, cte))


def multi(subtype, boundary, parts, params="", extra=(), quoted=True, **kw):
    b = f'"{boundary}"' if quoted else boundary
    return MimePart([f"Content-Type: multipart/{subtype}; boundary={b}{params}", *extra], parts,
                boundary, **kw)


def attach(data, ctype, cte="base64", extra=(), body=None):
    encoded = body if body is not None else b64(data) if cte == "base64" else data
    return MimePart([f"Content-Type: {ctype}", *([f"Content-Transfer-Encoding: {cte}"] if cte else []),
                 *extra], encoded)


def named(data, ctype, filename, disposition="attachment", cte="base64", style="plain", extra=()):
    """An attachment named as the client styles do: plain quoted names, RFC 2231 (Thunderbird),
    encoded words in quotes (Outlook, Gmail), or a Content-Type name only (old clients)."""
    if style == "plain":
        ct, cd = f'{ctype}; name="{filename}"', f'{disposition}; filename="{filename}"'
    elif style == "2231":
        ct = f'{ctype}; name="{ew(filename)}"'
        cd = f"{disposition};\r\n {rfc2231(filename)}"
    elif style == "2231-split":
        ct = f'{ctype}; name="{ew(filename)}"'
        cd = f"{disposition};\r\n {rfc2231(filename, chunk=40)}"
    elif style == "ew":
        ct, cd = f'{ctype}; name="{ew(filename)}"', f'{disposition}; filename="{ew(filename)}"'
    elif style == "name-only":
        ct, cd = f'{ctype}; name="{filename}"', None
    else:
        raise ValueError(style)
    headers = [f"Content-Type: {ct}", *([f"Content-Disposition: {cd}"] if cd else []),
               f"Content-Transfer-Encoding: {cte}", *extra]
    return MimePart(headers, b64(data) if cte == "base64" else data)


def mail(headers, root):
    return MimePart(list(headers) + root.headers, root.body, root.boundary, root.preamble,
                root.epilogue)


# ---- the clients' header blocks ------------------------------------------------------------

ANNA = "Anna Berg <anna.berg@example.org>"
MARK = "Mark Jensen <mark.jensen@brightworks.example>"
ME = "Demo User <demo@norva.test>"


def thunderbird(n, frm, to, subject, day, extra=()):
    return [f"Message-ID: <{n:04d}a1b2-c3d4-4e5f-8a9b-0c1d2e3f4a5b@example.org>",
            f"Date: {when(day, 9, n % 60)}", "MIME-Version: 1.0",
            "User-Agent: Mozilla Thunderbird", "Content-Language: en-US", f"To: {to}",
            f"From: {frm}", *extra, f"Subject: {subject}"]


def outlook(n, frm, to, subject, day, extra=()):
    return [f"From: {frm}", f"To: {to}", *extra, f"Subject: {subject}",
            f"Thread-Topic: {subject}", f"Thread-Index: AdpPv3{n:04d}Q2xvZ2l0ZW0=",
            f"Date: {when(day, 14, n % 60, 0)}",
            f"Message-ID: <DB9PR01MB{n:06d}A1B2C3D4E5F6@DB9PR01MB1234.eurprd01.prod.outlook.com>",
            "Accept-Language: de-DE, en-US", "Content-Language: de-DE",
            "X-MS-Has-Attach: ", "X-MS-TNEF-Correlator: ", "MIME-Version: 1.0"]


def gmail(n, frm, to, subject, day, extra=()):
    return ["MIME-Version: 1.0", f"Date: {when(day, 18, n % 60, -300)}",
            f"Message-ID: <CAB{n:04d}x7Ym3qZ+Jq9k=w8Lp-Xv2T@mail.gmail.com>", f"Subject: {subject}",
            f"From: {frm}", f"To: {to}", *extra]


def iphone(n, frm, to, subject, day, extra=()):
    return [f"From: {frm}", "Mime-Version: 1.0 (1.0)", f"Date: {when(day, 7, n % 60, 120)}",
            f"Subject: {subject}", f"Message-Id: <{n:04d}F3A2-9C1B-4D5E-8F70-ABCDEF012345@example.org>",
            f"To: {to}", "X-Mailer: iPhone Mail (21D61)", *extra]


def plain_client(n, frm, to, subject, day, extra=()):
    return [f"From: {frm}", f"To: {to}", f"Subject: {subject}", f"Date: {when(day, 11, n % 60)}",
            f"Message-ID: <{n:04d}.old@mail.example.net>", *extra]


def gm(n):
    return f"000000000000{n:04x}5f3c2a1b0e09"


def tb(n):
    return f"------------{n:04d}TbQwErTyUiOpAsDfGh"


def ol(n, k=0):
    return f"_00{k}_DB9PR01MB{n:06d}A1B2C3D4E5F6DB9PR01MB1234eurp_"


def ap(n, k=0):
    return f"Apple-Mail-{n:04d}{k}E1C-7A3B-4C2D-9E8F-0123456789AB"


# ---- the corpus ----------------------------------------------------------------------------

CORPUS = []  # (file name, what it is, bytes)


def add(name, what, message):
    data = message if isinstance(message, bytes) else message.render()
    CORPUS.append((f"{len(CORPUS) + 1:02d}-{name}.eml", what, data))


def python_made():
    """Messages Python's own email package writes (automated senders use it)."""
    m = EmailMessage(policy=email.policy.SMTP)
    m["From"] = "Jürgen Müller <juergen.mueller@example.de>"
    m["To"] = ME
    m["Subject"] = "Grüße aus München"
    m["Date"] = when(5, 8)
    m["Message-ID"] = "<py-0001@example.de>"
    m.set_content("Hallo,\n\nviele Grüße aus München und bis bald!\nJürgen\n")
    add("python-utf8-lowercase-q", "Python policy default: =?utf-8?q?...?= subject and name, "
        "8-bit free text as 7bit/quoted-printable", m.as_bytes())

    m = EmailMessage(policy=email.policy.SMTP)
    m["From"] = "Служба поддержки <support@example.ru>"
    m["To"] = "Иван Петров <ivan@example.ru>"
    m["Subject"] = ("Ваша заявка номер 48213 принята в работу: специалист свяжется с вами в "
                    "течение двух рабочих дней, пожалуйста, не отвечайте на это письмо")
    m["Date"] = when(6, 10, 0, 180)
    m["Message-ID"] = "<py-0002@example.ru>"
    m.set_content("Здравствуйте, Иван!\n\nВаша заявка принята. Мы ответим в течение двух "
                  "рабочих дней.\n\nС уважением,\nСлужба поддержки\n")
    add("python-long-cyrillic-subject", "Python: Cyrillic subject over 100 characters folded "
        "into several B words, Cyrillic base64 body", m.as_bytes())

    m = EmailMessage(policy=email.policy.SMTP)
    m["From"] = "Build Bot <ci@builds.example.com>"
    m["To"] = "Team <team@example.com>"
    m["Subject"] = "Nightly build #2026 failed"
    m["Date"] = when(7, 3, 12, 0)
    m["Message-ID"] = "<py-0003@builds.example.com>"
    m.set_content("The nightly build failed.\n\nSee the attached log.\n")
    m.add_alternative("<html><body><p>The nightly build <b>failed</b>.</p>"
                      "<p>See the attached log.</p></body></html>\n", subtype="html")
    m.add_attachment("step 1 ok\nstep 2 FAILED: test_mail (3 errors)\n", filename="build.log")
    m.add_attachment(png(), maintype="image", subtype="png", filename="graph.png")
    for part, boundary in zip((m, m.get_payload()[0]), ("===============7330845974216740156==",
                                                        "===============1563370393226432281==")):
        part.set_boundary(boundary)
    add("python-mixed-alternative", "Python: mixed > alternative (plain, html), a text "
        "attachment and a PNG", m.as_bytes())

    m = EmailMessage(policy=email.policy.SMTP)
    m["From"] = "Caf\u00e9 Noir <bonjour@cafe-noir.example.fr>"
    m["To"] = ME
    m["Subject"] = "Réservation confirmée — table pour deux"
    m["Date"] = when(8, 19, 30)
    m["Message-ID"] = "<py-0004@cafe-noir.example.fr>"
    m.set_content("<html><body><h1>Merci&nbsp;!</h1><p>Votre r&eacute;servation pour "
                  "<b>deux personnes</b> est confirm&eacute;e.</p><p>&Agrave; bient&ocirc;t,"
                  "<br>Caf&eacute; Noir</p></body></html>\n", subtype="html")
    add("python-html-only", "Python: HTML only, entities, subject with an em dash", m.as_bytes())


def headers_and_charsets():
    add("outlook-windows-1252-q", "Outlook: Windows-1252 Q words in subject and name, "
        "quoted-printable Windows-1252 text with curly quotes and the euro sign",
        mail(outlook(10, f'"{ew("Zoë Kowalski", "windows-1252", "Q")}" <zoe.k@contoso.example>', ME,
                     ew("“Angebot” für 250 € – bitte prüfen", "windows-1252", "Q"), 9),
             multi("alternative", ol(10), [
                 text("Hallo,\n\nanbei das “Angebot” über 250 € – bitte bis Freitag prüfen.\n\n"
                      "Grüße\nZoë\n", "windows-1252", "quoted-printable"),
                 text("<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; "
                      "charset=windows-1252\"></head><body><p>Hallo,</p><p>anbei das “Angebot” "
                      "über 250 € – bitte bis Freitag prüfen.</p><p>Grüße<br>Zoë</p></body></html>\n",
                      "windows-1252", "quoted-printable", "html")])))

    add("koi8-r-subject-body", "An older Russian client: KOI8-R B subject and name, KOI8-R "
        "8-bit body", mail(plain_client(11, f'{ew("Ольга Смирнова", "koi8-r")} <olga@example.ru>',
                                        ME, ew("Отчёт за декабрь", "koi8-r"), 9),
                           text("Добрый день!\n\nОтчёт за декабрь во вложении не поместился, "
                                "пришлю ссылкой.\n\nОльга\n", "koi8-r", "8bit")))

    add("iso-2022-jp", "A Japanese client: ISO-2022-JP B subject and name, 7bit ISO-2022-JP body",
        mail(plain_client(12, f'{ew("山田太郎", "iso-2022-jp")} <taro.yamada@example.jp>', ME,
                          ew("会議の議事録について", "iso-2022-jp"), 10,
                          ["MIME-Version: 1.0"]),
             text("お疲れ様です。\n\n昨日の会議の議事録を共有します。\nご確認ください。\n\n山田\n",
                  "iso-2022-jp", "7bit", quoted=False)))

    add("iso-8859-1-q", "ISO-8859-1 Q subject (upper-case Q), Latin-1 quoted-printable body",
        mail(plain_client(13, f'{ew("François Lefèvre", "iso-8859-1", "Q")} <f.lefevre@example.fr>',
                          ME, ew("Déjà vu à Genève", "iso-8859-1", "Q"), 10,
                          ["MIME-Version: 1.0"]),
             text("Bonjour,\n\nc'était un plaisir de vous voir à Genève. À bientôt !\n\nFrançois\n",
                  "iso-8859-1", "quoted-printable")))

    add("adjacent-words", "Adjacent encoded words (the blank between them goes) and words "
        "next to plain text (the blank stays)",
        mail(plain_client(14, f'{ew("Ana ", "utf-8", "Q")} {ew("María", "utf-8", "Q")} López '
                              "<ana.lopez@example.es>", ME,
                          f'Re: {ew("Reunión del ", "utf-8", "Q")} {ew("miércoles", "utf-8", "B")}'
                          f' {ew(" a las 10", "utf-8", "q")} (sala 3)', 11, ["MIME-Version: 1.0"]),
             text("Perfecto, nos vemos el miércoles.\n", "utf-8", "8bit")))

    add("mixed-charsets", "One subject in UTF-8 B and ISO-8859-1 Q words, a name in ISO-8859-15",
        mail(plain_client(15, f'{ew("Jörg Stöckl", "iso-8859-15", "Q")} <joerg@example.at>', ME,
                          f'{ew("Преглед: ", "utf-8", "B")}{ew("Käse", "iso-8859-1", "Q")}'
                          f' und {ew("€ 12,50", "iso-8859-15", "Q")}', 11, ["MIME-Version: 1.0"]),
             text("Der Käse kostet 12,50 €.\n", "iso-8859-15", "quoted-printable")))

    add("raw-utf8-headers", "Raw 8-bit UTF-8 in Subject and From, as SMTPUTF8 senders write; "
        "8-bit UTF-8 body", mail(plain_client(16, "Dvořák Šimon <simon@example.cz>", ME,
                                              "Schůzka v pátek – potvrzení", 12,
                                              ["MIME-Version: 1.0"]),
                                 text("Ahoj,\n\npotvrzuji schůzku v pátek ve 14:00.\n\nŠimon\n",
                                      "utf-8", "8bit")))

    raw = (b"From: J\xf6rg Fr\xfchauf <jf@example.de>\r\nTo: demo@norva.test\r\n"
           b"Subject: Gr\xfc\xdfe und sch\xf6nes Wochenende\r\nDate: " + when(12, 16).encode() +
           b"\r\nMessage-ID: <0017.latin1@example.de>\r\nMIME-Version: 1.0\r\n"
           b"Content-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: 8bit\r\n"
           b"\r\nHallo,\r\n\r\nsch\xf6nes Wochenende und Gr\xfc\xdfe!\r\n")
    add("raw-latin1-headers", "An old client: raw 8-bit Latin-1 Subject and From, 8-bit Latin-1 "
        "body", raw)

    add("windows-1251", "Windows-1251 B subject and 8-bit Windows-1251 body (an old Windows "
        "client)", mail(plain_client(18, f'{ew("Пётр", "windows-1251")} <petr@example.ru>', ME,
                                     ew("Счёт на оплату", "windows-1251"), 13,
                                     ["MIME-Version: 1.0"]),
                        text("Добрый день, счёт во вложении.\n", "windows-1251", "8bit")))

    add("gbk", "A Chinese client: GBK B subject and name, base64 GBK body",
        mail(plain_client(19, f'"{ew("王小明", "gbk")}" <xiaoming@example.cn>', ME,
                          ew("新年快乐！", "gbk"), 13, ["MIME-Version: 1.0", "X-Mailer: Foxmail 7.2"]),
             text("你好，\n\n祝你新年快乐，万事如意！\n\n小明\n", "gbk", "base64")))

    long_subject = ("Протокол совещания по итогам года: бюджет, планы на первый квартал, "
                    "распределение задач между отделами и сроки сдачи отчётов")
    add("thunderbird-long-cyrillic", "Thunderbird: a Cyrillic subject of 130 characters folded "
        "over several UTF-8 B words",
        mail(thunderbird(20, "Алексей Иванов <a.ivanov@example.ru>", ME,
                         header_words(long_subject), 14),
             text("Коллеги, протокол ниже.\n\n1. Бюджет утверждён.\n2. Планы согласованы.\n",
                  "utf-8", "8bit", params="; format=flowed", quoted=False)))

    very_long = ("Weekly digest: " + ", ".join(f"item {i} — änderung {i}" for i in range(1, 25)))
    add("subject-over-255", f"A subject of {len(very_long)} characters (UTF-8 encoded words, "
        "folded)", mail(plain_client(21, "Digest <digest@lists.example.org>", ME,
                          header_words(very_long),
                          14, ["MIME-Version: 1.0"]),
             text("This week's changes are listed in the subject.\n", "us-ascii", "7bit")))

    add("quoted-ew-name", "An encoded word inside a quoted display name, and a name with a comma",
        mail(plain_client(22, f'"{ew("Nair, Priya", "utf-8", "Q")}" <priya.nair@brightworks.example>',
                          f'"Jensen, Mark" <mark.jensen@brightworks.example>', "Lunch?", 15,
                          ["MIME-Version: 1.0"]),
             text("Lunch at noon?\n", "us-ascii", "7bit")))

    add("several-recipients", "Several To and Cc recipients: quoted names with commas, encoded "
        "names, a bare address, a folded list",
        mail(outlook(23, MARK, "\"Berg, Anna\" <anna.berg@example.org>, demo@norva.test,\r\n "
                     f"{ew('Søren Ødegård', 'utf-8')} <soren@example.no>,\r\n Priya Nair "
                     "<priya.nair@brightworks.example>", "Team offsite",
                     15, ["Cc: Carl <carl@example.org>, \"O'Brien, Dee\" <dee@example.ie>,\r\n"
                          f" {ew('Zoë', 'utf-8', 'Q')} <zoe@example.org>"]),
             text("Hi all,\n\nthe offsite is on the 20th.\n\nMark\n", "us-ascii", "7bit")))

    add("undisclosed-recipients", "A group with no members in To and a Reply-To; Sender and From "
        "differ", mail(plain_client(24, "Newsletter Team <news@shop.example>",
                                    "undisclosed-recipients:;", "Your January newsletter", 16,
                                    ["Reply-To: help@shop.example",
                                     "Sender: bounce-7731@mailer.shop.example",
                                     "MIME-Version: 1.0"]),
                       text("January news: nothing new.\n", "us-ascii", "7bit")))

    add("empty-subject", "No Subject field and a From with an address only",
        MimePart(["From: alerts@monitor.example", "To: demo@norva.test", f"Date: {when(16, 2)}",
              "Message-ID: <0025@monitor.example>"], b"disk /dev/sda1 at 91%\r\n"))


def structures():
    add("thunderbird-flowed", "Thunderbird: plain text only, format=flowed, 8-bit UTF-8, quoted "
        "reply lines", mail(thunderbird(26, ANNA, ME, "Re: Wochenende", 17,
                                        ["In-Reply-To: <0025@example.org>",
                                         "References: <0025@example.org>"]),
                            text("Am 16.01.26 um 20:00 schrieb Demo User:\n> Hast du am Samstag "
                                 "Zeit? Wir könnten \n> wandern gehen.\n\nJa, gern! Treffpunkt "
                                 "um neun am Bahnhof? Ich bringe \nKaffee mit.\n\nAnna\n",
                                 "utf-8", "8bit", params="; format=flowed", quoted=False)))

    add("thunderbird-alternative", "Thunderbird: alternative, 8-bit UTF-8 plain and HTML",
        mail(thunderbird(27, ANNA, ME, "Fotos vom Ausflug", 17),
             multi("alternative", tb(27), [
                 text("Hier sind die Fotos: https://photos.example.org/album/2026\n\nLiebe Grüße\n",
                      "utf-8", "8bit", params="; format=flowed", quoted=False),
                 text("<!DOCTYPE html>\n<html>\n  <head>\n    <meta http-equiv=\"content-type\" "
                      "content=\"text/html; charset=UTF-8\">\n  </head>\n  <body>\n    <p>Hier "
                      "sind die <a href=\"https://photos.example.org/album/2026\">Fotos</a>.</p>\n"
                      "    <p>Liebe Grüße</p>\n  </body>\n</html>\n", "utf-8", "8bit", "html",
                      quoted=False)],
                   quoted=True, preamble=b"This is a multi-part message in MIME format.\r\n")))

    add("thunderbird-2231", "Thunderbird: mixed with a PDF named by RFC 2231 "
        "(filename*=UTF-8''...) and an encoded-word name=",
        mail(thunderbird(28, ANNA, ME, "Übersicht", 18),
             multi("mixed", tb(28), [
                 text("Anbei die Übersicht.\n", "utf-8", "8bit", params="; format=flowed",
                      quoted=False),
                 named(pdf("Uebersicht"), "application/pdf", "Übersicht Q1 2026.pdf", style="2231")],
                   preamble=b"This is a multi-part message in MIME format.\r\n")))

    add("thunderbird-2231-continuations", "Thunderbird: a long non-ASCII file name split into "
        "RFC 2231 continuations (filename*0*=, filename*1*=, ...)",
        mail(thunderbird(29, MARK, ME, "Vertrag", 18),
             multi("mixed", tb(29), [
                 text("Der Vertrag im Anhang.\n", "utf-8", "8bit", params="; format=flowed",
                      quoted=False),
                 named(office_zip("Vertrag"), "application/vnd.openxmlformats-officedocument."
                       "wordprocessingml.document",
                       "Rahmenvertrag Müller & Söhne GmbH – Änderungsfassung 2026.docx",
                       style="2231-split")])))

    add("outlook-alternative-qp", "Outlook: alternative, quoted-printable UTF-8 plain and HTML "
        "with Word markup", mail(outlook(30, MARK, ME, ew("Projektstatus – KW 3", "utf-8"), 19),
                                 multi("alternative", ol(30), [
                                     text("Hallo zusammen,\n\nder Status für KW 3: alles im "
                                          "Plan. Details im Wiki.\n\nViele Grüße\nMark\n",
                                          "utf-8", "quoted-printable"),
                                     text("<html xmlns:o=\"urn:schemas-microsoft-com:office:office\">"
                                          "<head><style><!-- p.MsoNormal {margin:0cm;} --></style>"
                                          "</head><body lang=\"DE\"><div class=\"WordSection1\">"
                                          "<p class=\"MsoNormal\">Hallo zusammen,<o:p></o:p></p>"
                                          "<p class=\"MsoNormal\">der Status für KW 3: alles im "
                                          "Plan. Details im Wiki.<o:p></o:p></p></div></body></html>\n",
                                          "utf-8", "quoted-printable", "html")])))

    add("outlook-mixed-ew-filename", "Outlook: mixed > alternative, a .docx named with an encoded "
        "word in quotes",
        mail(outlook(31, MARK, ME, "Protokoll", 19),
             multi("mixed", ol(31, 4), [
                 multi("alternative", ol(31, 5), [
                     text("Anbei das Protokoll.\n", "iso-8859-1", "quoted-printable"),
                     text("<html><body><p>Anbei das Protokoll.</p></body></html>\n",
                          "iso-8859-1", "quoted-printable", "html")]),
                 named(office_zip("Protokoll"), "application/vnd.openxmlformats-officedocument."
                       "wordprocessingml.document", "Protokoll Sitzung 14.01.docx", style="ew"),
                 named(pdf("Kostenübersicht"), "application/pdf", "Kostenübersicht.pdf",
                       style="ew")])))

    add("outlook-related-inline", "Outlook: mixed > related > alternative with an inline "
        "image001.png and a signature logo, and a PDF attachment",
        mail(outlook(32, MARK, ME, "Neues Logo", 20),
             multi("mixed", ol(32, 7), [
                 multi("related", ol(32, 6), [
                     multi("alternative", ol(32, 5), [
                         text("Das neue Logo:\n\n[cid:image001.png@01DA4F3B.5E3C2A10]\n\nMark\n",
                              "utf-8", "quoted-printable"),
                         text("<html><body><p>Das neue Logo:</p><p><img src=\"cid:image001.png@"
                              "01DA4F3B.5E3C2A10\" alt=\"Logo\"></p><p>Mark</p><p><img src=\"cid:"
                              "image002.jpg@01DA4F3B.5E3C2A10\"></p></body></html>\n",
                              "utf-8", "quoted-printable", "html")], epilogue=CRLF),
                     named(png(), "image/png", "image001.png", "inline",
                           extra=["Content-ID: <image001.png@01DA4F3B.5E3C2A10>"]),
                     named(jpeg(2), "image/jpeg", "image002.jpg", "inline",
                           extra=["Content-ID: <image002.jpg@01DA4F3B.5E3C2A10>"])],
                       params='; type="multipart/alternative"', epilogue=CRLF),
                 named(pdf("Styleguide"), "application/pdf", "Styleguide.pdf")])))

    add("thunderbird-mixed-alternative-related", "Thunderbird: mixed > alternative > (plain, "
        "related > (html, inline images)) and an attachment",
        mail(thunderbird(33, ANNA, ME, "Einladung zum Geburtstag", 20),
             multi("mixed", tb(33), [
                 multi("alternative", tb(34), [
                     text("Ich lade dich zu meinem Geburtstag ein!\n\nAnna\n", "utf-8", "8bit",
                          params="; format=flowed", quoted=False),
                     multi("related", tb(35), [
                         text("<html><body><p>Ich lade dich zu meinem <b>Geburtstag</b> ein!</p>"
                              "<p><img src=\"cid:part1.Xy7Zq2Lm.Ab3Cd4Ef@example.org\" "
                              "alt=\"Torte\"></p><p>Anna</p></body></html>\n", "utf-8", "8bit",
                              "html", quoted=False),
                         named(png(8, (0xE0, 0x40, 0x70)), "image/png", "torte.png", "inline",
                               extra=["Content-ID: <part1.Xy7Zq2Lm.Ab3Cd4Ef@example.org>"])])]),
                 named(b"BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Anna Berg\r\nEND:VCARD\r\n", "text/vcard",
                       "anna_berg.vcf", cte="base64")])))

    add("gmail-base64-alternative", "Gmail: alternative with base64 plain and HTML (non-Latin "
        "text)", mail(gmail(36, "Дмитрий Орлов <dmitry.orlov@gmail.example>", ME,
                            ew("Встреча в пятницу", "utf-8"), 21),
                      multi("alternative", gm(36), [
                          text("Привет!\n\nВстречаемся в пятницу в 18:00 у входа.\n\nДмитрий\n",
                               "utf-8", "base64", quoted=True),
                          text("<div dir=\"ltr\">Привет!<div><br></div><div>Встречаемся в "
                               "пятницу в 18:00 у входа.</div><div><br></div><div>Дмитрий</div>"
                               "</div>\n", "utf-8", "base64", "html")], quoted=False)))

    add("gmail-qp-alternative", "Gmail: alternative with quoted-printable UTF-8 and a long line",
        mail(gmail(37, "Lena Fischer <lena.fischer@gmail.example>", ME, "Re: Wohnung", 21,
                   ["In-Reply-To: <0036@example.org>", "References: <0036@example.org>"]),
             multi("alternative", gm(37), [
                 text("Die Wohnung ist noch frei, Besichtigung wäre am Dienstag um 17 Uhr "
                      "möglich, wenn dir das passt – sonst gern auch später in der Woche.\n\n"
                      "Lena\n", "utf-8", "quoted-printable"),
                 text("<div dir=\"ltr\">Die Wohnung ist noch frei, Besichtigung wäre am Dienstag "
                      "um 17 Uhr möglich, wenn dir das passt – sonst gern auch später in der "
                      "Woche.<div><br></div><div>Lena</div></div>\n", "utf-8", "quoted-printable",
                      "html")], quoted=False)))

    add("gmail-attachments", "Gmail: mixed > alternative and two attachments with Content-ID "
        "and X-Attachment-Id",
        mail(gmail(38, "Lena Fischer <lena.fischer@gmail.example>", ME, "Unterlagen", 22),
             multi("mixed", gm(39), [
                 multi("alternative", gm(38), [
                     text("Hier die Unterlagen.\n", "utf-8", "7bit"),
                     text("<div dir=\"ltr\">Hier die Unterlagen.</div>\n", "utf-8", "7bit",
                          "html")], quoted=False),
                 named(pdf("Gehalt"), "application/pdf", "Gehaltsnachweis_Dezember.pdf",
                       extra=["Content-ID: <f_m5x1abc0>", "X-Attachment-Id: f_m5x1abc0"]),
                 named(jpeg(3), "image/jpeg", "Ausweis Rückseite.jpg", style="ew",
                       extra=["Content-ID: <f_m5x1abc1>", "X-Attachment-Id: f_m5x1abc1"])],
                   quoted=False)))

    add("iphone-photo", "iPhone: mixed with quoted-printable text, an inline JPEG and more text",
        mail(iphone(40, "Tom Becker <tom.becker@icloud.example>", ME, "Schau mal", 22),
             multi("mixed", ap(40), [
                 text("Schau mal, was ich gefunden habe:\n", "utf-8", "quoted-printable",
                      quoted=False),
                 named(jpeg(4), "image/jpeg", "IMG_0042.jpeg", "inline"),
                 text("\n\nVon meinem iPhone gesendet\n", "utf-8", "quoted-printable",
                      quoted=False)], quoted=False)))

    add("apple-mail-alternative", "Apple Mail: alternative with quoted-printable plain and HTML",
        mail(iphone(41, "Tom Becker <tom.becker@icloud.example>", ME, "Re: Grillen", 23,
                    ["In-Reply-To: <0040@example.org>"]),
             multi("alternative", ap(41), [
                 text("Samstag passt!\n\n> Am 22.01.2026 um 19:10 schrieb Anna:\n> Grillen am "
                      "Samstag?\n", "utf-8", "quoted-printable", quoted=False),
                 text("<html><head><meta http-equiv=\"content-type\" content=\"text/html; "
                      "charset=utf-8\"></head><body dir=\"auto\">Samstag passt!<br><blockquote "
                      "type=\"cite\">Grillen am Samstag?</blockquote></body></html>\n", "utf-8",
                      "quoted-printable", "html", quoted=False)], quoted=False)))

    add("android-base64-plain", "An Android client: a single base64 text/plain part",
        mail(gmail(42, "Mehmet Yılmaz <mehmet@example.com.tr>", ME, ew("Yarın görüşürüz", "utf-8"),
                   23),
             text("Merhaba,\n\nyarın saat üçte görüşürüz. Çok teşekkürler!\n\nMehmet\n", "utf-8",
                  "base64")))

    add("mixed-base64-text", "mixed whose text part is base64 and whose attachment is a PDF",
        mail(outlook(43, MARK, ME, "Rechnung 2026-0113", 24),
             multi("mixed", ol(43), [
                 text("Sehr geehrte Damen und Herren,\n\nanbei die Rechnung.\n\nMit freundlichen "
                      "Grüßen\n", "utf-8", "base64"),
                 named(pdf("Rechnung"), "application/pdf", "Rechnung_2026-0113.pdf")])))

    add("html-only-qp", "A notification: HTML only, quoted-printable, a table, a link and a style "
        "block", mail(plain_client(44, "Parcel Service <noreply@parcel.example>", ME,
                                   "Your parcel is on its way", 24, ["MIME-Version: 1.0"]),
                      text("<html><head><style>td { padding: 4px; }</style></head><body>"
                           "<p>Hello,</p><p>your parcel <b>1Z999AA10123456784</b> is on its way."
                           "</p><table><tr><td>Expected</td><td>Tuesday, 27 January</td></tr>"
                           "<tr><td>From</td><td>Shop &amp; More</td></tr></table>"
                           "<p><a href=\"https://parcel.example/track/1Z999AA10123456784\">Track "
                           "your parcel</a></p></body></html>\n", "utf-8", "quoted-printable",
                           "html")))

    add("html-only-base64-script", "A newsletter: HTML only, base64, a script, comments, entities "
        "and a remote image", mail(plain_client(45, "Shop News <news@shop.example>", ME,
                                                ew("Winterschlussverkauf: bis zu 50 % Rabatt"),
                                                25, ["MIME-Version: 1.0",
                                                     "List-Unsubscribe: <https://shop.example/u/7>"]),
                                   text("<!DOCTYPE html><html><head><title>Newsletter</title>"
                                        "<script>var t = '<p>not text</p>';</script></head><body>"
                                        "<!-- header --><h1>Winterschlussverkauf</h1><p>Bis zu "
                                        "50&nbsp;% Rabatt auf M&auml;ntel &amp; Schuhe.</p>"
                                        "<img src=\"https://shop.example/banner.png\" alt=\"\">"
                                        "<ul><li>M&auml;ntel</li><li>Schuhe</li></ul>"
                                        "<p><a href=\"https://shop.example/sale\">Zum Sale</a>"
                                        "</p></body></html>\n", "utf-8", "base64", "html")))

    add("html-only-text-attachment", "HTML only with a text/plain attachment: the body is the "
        "HTML, the text file stays an attachment",
        mail(plain_client(46, "Monitoring <monitor@ops.example>", ME, "Daily report", 25,
                          ["MIME-Version: 1.0"]),
             multi("mixed", "=_report_46", [
                 text("<html><body><p>All <b>12</b> services are up.</p></body></html>\n",
                      "utf-8", "7bit", "html"),
                 named(b"service,uptime\r\nmail,100%\r\nweb,99.9%\r\n", "text/plain",
                       "uptime.txt", cte="7bit")])))

    add("pgp-signed", "PGP/MIME: multipart/signed with a quoted-printable text and signature.asc",
        mail(thunderbird(47, ANNA, ME, "Signierte Nachricht", 26),
             multi("signed", tb(47), [
                 text("Diese Nachricht ist signiert.\n\nAnna\n", "utf-8", "quoted-printable",
                      params="; format=flowed", quoted=False),
                 named(PGP_SIG, "application/pgp-signature", "OpenPGP_signature.asc",
                       cte="7bit", extra=["Content-Description: OpenPGP digital signature"])],
                   params='; micalg=pgp-sha256; protocol="application/pgp-signature"',
                   preamble=b"This is an OpenPGP/MIME signed message (RFC 4880 and 3156)\r\n")))

    add("smime-signed", "S/MIME from Outlook: signed > mixed > (alternative with base64 text, "
        "attachment) and smime.p7s",
        mail(outlook(48, MARK, ME, "Freigabe", 26),
             multi("signed", ol(48, 1), [
                 multi("mixed", ol(48, 2), [
                     multi("alternative", ol(48, 3), [
                         text("Freigabe erteilt.\n\nMark\n", "utf-8", "base64"),
                         text("<html><body><p>Freigabe erteilt.</p><p>Mark</p></body></html>\n",
                              "utf-8", "base64", "html")]),
                     named(pdf("Freigabe"), "application/pdf", "Freigabe.pdf")]),
                 named(bytes(range(48, 48 + 200)), "application/pkcs7-signature", "smime.p7s")],
                   params='; protocol="application/pkcs7-signature"; micalg=sha-256')))

    inner = mail(plain_client(49, ANNA, ME, ew("Urlaubsplanung für März"), 2,
                              ["MIME-Version: 1.0"]),
                 text("Wohin fahren wir im März?\n", "utf-8", "8bit")).render()
    add("forward-as-attachment", "Thunderbird: a message forwarded as a message/rfc822 "
        "attachment with a file name",
        mail(thunderbird(50, ME, MARK, "Fwd: Urlaubsplanung für März", 27),
             multi("mixed", tb(50), [
                 text("Siehe unten.\n", "utf-8", "7bit", params="; format=flowed", quoted=False),
                 attach(None, 'message/rfc822; name="Urlaubsplanung =?UTF-8?Q?f=C3=BCr?= =?UTF-8?'
                              'Q?_M=C3=A4rz.eml?="', cte="8bit",
                        extra=['Content-Disposition: attachment; filename*=UTF-8\'\'Urlaubsplanung'
                               '%20f%C3%BCr%20M%C3%A4rz.eml'], body=inner)])))

    add("forward-unnamed-rfc822", "A message/rfc822 part without a name (Apple Mail, "
        "Outlook forward) beside the text",
        mail(outlook(51, MARK, ME, "FW: Angebot", 27),
             multi("mixed", ol(51), [
                 text("Zur Info.\n", "us-ascii", "7bit"),
                 attach(None, "message/rfc822", cte=None, body=inner)])))

    add("text-attachments", "Text attachments (a 7bit .txt, a quoted-printable .csv, an 8-bit "
        ".md) after the body",
        mail(thunderbird(52, MARK, ME, "Zahlen", 28),
             multi("mixed", tb(52), [
                 text("Die Zahlen im Anhang.\n", "utf-8", "7bit", params="; format=flowed",
                      quoted=False),
                 named(b"Notes for the meeting\r\n- budget\r\n- hiring\r\n", "text/plain; "
                       "charset=UTF-8", "notes.txt", cte="7bit"),
                 named(qp("Monat;Umsatz\nJänner;12.500 €\nFebruar;13.100 €\n", "utf-8"),
                       "text/csv; charset=UTF-8", "umsatz.csv", cte="quoted-printable"),
                 named("# Über uns\r\n\r\nWir sind ein kleines Team.\r\n".encode("utf-8"),
                       "text/markdown; charset=UTF-8", "über-uns.md", cte="8bit")])))

    add("begin-2026-line", "A plain text whose line reads \"Begin 2026 with a clear plan:\" "
        "(no uuencoded file)",
        mail(plain_client(53, "Coach Kim <kim@coaching.example>", ME, "New year, new plan", 1,
                          ["MIME-Version: 1.0"]),
             text("Hello,\n\nBegin 2026 with a clear plan:\n\n1. Write down three goals.\n"
                  "2. begin 644 small steps a week\n3. Review every Sunday.\n\nKim\n",
                  "us-ascii", "7bit")))

    add("begin-line-in-multipart", "The same line in a quoted-printable part of an alternative",
        mail(gmail(54, "Coach Kim <kim@coaching.example>", ME, "Re: New year, new plan", 2),
             multi("alternative", gm(54), [
                 text("Begin 2026 with a clear plan:\nbegin small, stay steady.\n", "utf-8",
                      "quoted-printable"),
                 text("<p>Begin 2026 with a clear plan:<br>begin small, stay steady.</p>\n",
                      "utf-8", "quoted-printable", "html")], quoted=False)))

    uu_data = b"Quarterly figures\n\nQ1 12.5\nQ2 13.1\nQ3 12.9\nQ4 14.0\n" * 3
    uu_lines = []
    for i in range(0, len(uu_data), 45):
        chunk = uu_data[i:i + 45]
        uu_lines.append(binascii.b2a_uu(chunk).decode("ascii").rstrip("\n"))
    uu_text = "begin 644 figures.txt\n" + "\n".join(uu_lines) + "\n`\nend\n"
    add("uuencoded", "An old client: a plain text with a real uuencoded file after it",
        mail(plain_client(55, "Old Timer <old@bbs.example>", ME, "figures", 3),
             MimePart([], ("Here are the figures.\n\n" + uu_text + "\nBye\n").replace("\n", "\r\n")
                  .encode("ascii"))))

    lines = b64(pdf("Anhang")).split(CRLF)
    lines[1] = lines[1] + b" "
    lines[3] = lines[3] + b"\t "
    add("base64-trailing-blanks", "base64 lines with trailing blanks (a relay added them)",
        mail(plain_client(56, "Scanner <scanner@office.example>", ME, "Scan 0056", 3,
                          ["MIME-Version: 1.0"]),
             multi("mixed", "----=_Part_56_1797164436.1767430000000", [
                 text("Scanned document attached.\n", "us-ascii", "7bit"),
                 MimePart(["Content-Type: application/pdf; name=scan0056.pdf",
                       "Content-Transfer-Encoding: base64",
                       "Content-Disposition: attachment; filename=scan0056.pdf"],
                      CRLF.join(lines))])))

    add("calendar-invite", "Outlook: an invitation, alternative (plain, html, text/calendar) "
        "and invite.ics",
        mail(outlook(57, MARK, ME, "Quarterly review", 4),
             multi("mixed", ol(57, 1), [
                 multi("alternative", ol(57, 2), [
                     text("Quarterly review, 14 January, 10:00-11:00.\n", "utf-8",
                          "quoted-printable"),
                     text("<html><body><p>Quarterly review, 14 January, 10:00-11:00.</p></body>"
                          "</html>\n", "utf-8", "quoted-printable", "html"),
                     text(ICS.replace("\r\n", "\n"), "utf-8", "base64", "calendar",
                          params="; method=REQUEST")]),
                 named(ICS.encode(), "application/ics", "invite.ics")])))

    add("delivery-report", "A bounce: multipart/report with text, message/delivery-status and "
        "message/rfc822",
        MimePart(["From: Mail Delivery System <MAILER-DAEMON@mx.example.net>", f"To: {ME}",
              "Subject: Undelivered Mail Returned to Sender", f"Date: {when(4, 12)}",
              "Message-ID: <0058.bounce@mx.example.net>", "MIME-Version: 1.0",
              'Content-Type: multipart/report; report-type=delivery-status;\r\n'
              ' boundary="8A3F2C1B0.1767530000/mx.example.net"'],
             [text("This is the mail system at host mx.example.net.\n\nI'm sorry to have to "
                   "inform you that your message could not\nbe delivered to one or more "
                   "recipients.\n\n<nobody@example.net>: user unknown\n", "us-ascii", "7bit",
                   extra=["Content-Description: Notification"]),
              attach(None, "message/delivery-status", cte=None,
                     extra=["Content-Description: Delivery report"],
                     body=b"Reporting-MTA: dns; mx.example.net\r\n\r\nFinal-Recipient: rfc822; "
                          b"nobody@example.net\r\nAction: failed\r\nStatus: 5.1.1\r\n"),
              attach(None, "message/rfc822", cte=None,
                     extra=["Content-Description: Undelivered Message"], body=inner)],
             "8A3F2C1B0.1767530000/mx.example.net"))

    add("preamble-epilogue", "A multipart with preamble and epilogue text, unquoted boundary, "
        "upper-case transfer encodings",
        mail(plain_client(59, "Legacy App <app@legacy.example>", ME, "Export", 5,
                          ["MIME-Version: 1.0"]),
             MimePart(["Content-Type: MULTIPART/MIXED; BOUNDARY=legacy59"],
                  [MimePart(["Content-Type: TEXT/PLAIN; CHARSET=ISO-8859-1",
                         "Content-Transfer-Encoding: QUOTED-PRINTABLE"], qp("Export fertig: "
                                                                           "Größe 3 kB.\n",
                                                                           "iso-8859-1")),
                   MimePart(["Content-Type: APPLICATION/OCTET-STREAM; NAME=\"export.dat\"",
                         "Content-Transfer-Encoding: BASE64"], b64(bytes(range(256))))],
                  "legacy59", preamble=b"This is a MIME message. If you see this text, your "
                                       b"mail program is too old.\r\n",
                  epilogue=b"End of the export.\r\n")))

    add("name-only-attachment", "An attachment named only by name= on Content-Type, and one "
        "with blanks and parentheses in its quoted file name",
        mail(plain_client(60, "Office <office@example.org>", ME, "Dokumente", 5,
                          ["MIME-Version: 1.0"]),
             multi("mixed", "----=_NextPart_000_0060_01DA4F3B.5E3C2A10", [
                 text("Zwei Dateien.\n", "iso-8859-1", "quoted-printable"),
                 named(office_zip("Bericht"), "application/msword", "Bericht.doc",
                       style="name-only"),
                 named(office_zip("Q3"), "application/vnd.ms-excel", "Q3 report (final).xlsx")])))

    add("lf-line-ends", "A message saved with LF line ends (a Linux mail folder)",
        mail(thunderbird(61, ANNA, ME, ew("Kurze Frage zu Zürich"), 6),
             multi("mixed", tb(61), [
                 text("Fährst du nächste Woche nach Zürich?\n", "utf-8", "8bit",
                      params="; format=flowed", quoted=False),
                 named(png(), "image/png", "karte.png")])).render().replace(CRLF, b"\n"))

    add("deep-nesting", "Six nested multiparts (forwards of forwards) with the text at the bottom",
        mail(plain_client(62, "Nest <nest@example.org>", ME, "deep", 6, ["MIME-Version: 1.0"]),
             multi("mixed", "n1", [multi("mixed", "n2", [multi("alternative", "n3", [
                 multi("related", "n4", [multi("mixed", "n5", [multi("alternative", "n6", [
                     text("Found me at the bottom.\n", "utf-8", "quoted-printable"),
                     text("<p>Found me at the bottom.</p>\n", "utf-8", "7bit", "html")])])])])]),
                 named(b"deep data", "application/octet-stream", "deep.bin")])))

    add("attachment-only", "A mixed message with a PDF and no text at all (a scanner)",
        mail(plain_client(63, "Scanner <scanner@office.example>", ME, "Scan 0063", 7,
                          ["MIME-Version: 1.0"]),
             multi("mixed", "scan63", [named(pdf("Scan"), "application/pdf", "scan0063.pdf")])))

    add("iso-8859-15-euro", "ISO-8859-15 quoted-printable text with the euro sign and a "
        "Windows-1252 HTML alternative",
        mail(plain_client(64, f'{ew("Sébastien", "iso-8859-15", "Q")} <seb@example.fr>', ME,
                          ew("Facture : 99 €", "iso-8859-15", "Q"), 7, ["MIME-Version: 1.0"]),
             multi("alternative", "alt64", [
                 text("Le total est de 99 €.\n", "iso-8859-15", "quoted-printable"),
                 text("<p>Le total est de 99 €.</p>\n", "windows-1252", "quoted-printable",
                      "html")])))


def build():
    CORPUS.clear()
    python_made()
    headers_and_charsets()
    structures()
    return CORPUS


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    check = "--check" in argv
    args = [a for a in argv if a != "--check"]
    out = args[0] if args else os.path.join(here, "eml")
    corpus = build()
    manifest = "".join(f"{name}\t{what}\n" for name, what, _ in corpus).encode("utf-8")
    wanted = {name: data for name, _, data in corpus}
    wanted["MANIFEST"] = manifest
    if check:
        present = set(os.listdir(out)) if os.path.isdir(out) else set()
        stale = sorted(n for n in wanted if n not in present or
                       open(os.path.join(out, n), "rb").read() != wanted[n])
        extra = sorted(present - set(wanted))
        for n in stale:
            print(f"differs or missing: {n}")
        for n in extra:
            print(f"not written by the generator: {n}")
        if stale or extra:
            print("run tests/corpus/make-corpus.py and commit the files")
            return 1
        print(f"{len(corpus)} messages as the generator writes them")
        return 0
    os.makedirs(out, exist_ok=True)
    for n in os.listdir(out):
        if n.endswith(".eml") and n not in wanted:
            os.remove(os.path.join(out, n))
    for n, data in wanted.items():
        with open(os.path.join(out, n), "wb") as f:
            f.write(data)
    print(f"{len(corpus)} messages in {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
