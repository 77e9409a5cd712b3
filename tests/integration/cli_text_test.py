#!/usr/bin/env python3
"""norva-cli's texts: decode, encode and check --json carry Unicode strings (a byte that is not
UTF-8 as U+FFFD, JSON always valid), decode adds date, date_iso, message_id and html, and what
goes to a terminal has its control characters escaped.
Usage: cli_text_test.py NORVA_CLI NORVA_TESTSERVER"""
import base64
import hashlib
import json
import os
import subprocess
import sys
import tempfile
import time

CLI, SERVER = sys.argv[1], sys.argv[2]
FAILURES = []


def run(*args, data=None, ok=True):
    proc = subprocess.run([CLI, *args], input=data, capture_output=True, timeout=60)
    if ok and proc.returncode != 0:
        error = proc.stderr.decode(errors="replace")
        raise AssertionError(f"{args}: exit {proc.returncode}: {error}")
    return proc


def expect(name, got, want):
    if got != want:
        FAILURES.append(f"{name}: got {got!r}, want {want!r}")


def decoded(raw: bytes):
    out = run("decode", "/dev/stdin", data=raw).stdout
    return json.loads(out.decode("utf-8"))  # strict: the JSON must be valid UTF-8


UTF8_WORDS = (b"From: =?utf-8?q?J=C3=BCrgen_M=C3=BCller?= <j@example.de>\r\n"
              b"To: =?koi8-r?B?8NLJ18XU?= <p@example.ru>, \"Berg, Anna\" <a@example.org>\r\n"
              b"Subject: =?utf-8?B?R3LDvMOfZSDinIU=?=\r\n"
              b"Date: Mon, 5 Jan 2026 10:00:00 +0900\r\nMessage-ID: <m1@example.de>\r\n"
              b"\r\nHallo\r\n")
RAW_LATIN1 = (b"From: J\xf6rg <j@example.de>\r\nSubject: caf\xe9 \x93quoted\x94\r\n"
              b"Date: 5 Jan 2026 10:00 EST\r\n\r\nbody\r\n")
BAD_BYTE_BODY = (b"From: a@example.org\r\nSubject: x\r\nDate: someday\r\nMIME-Version: 1.0\r\n"
                 b"Content-Type: text/plain; charset=utf-8\r\n\r\nbad \xff byte \xc3\xa9\r\n")
NO_DATE = b"From: a@example.org\r\nSubject: plain\r\n\r\nline\r\n"

# (name, message, JSON key path, wanted value)
DECODE_CASES = [
    ("encoded name", UTF8_WORDS, ("sender", "name"), "Jürgen Müller"),
    ("encoded subject beyond Latin-1", UTF8_WORDS, ("subject",), "Grüße ✅"),
    ("KOI8-R recipient", UTF8_WORDS, ("recipients", 0, "name"), "Привет"),
    ("quoted recipient", UTF8_WORDS, ("recipients", 1, "name"), "Berg, Anna"),
    ("date as written", UTF8_WORDS, ("date",), "Mon, 5 Jan 2026 10:00:00 +0900"),
    ("date with offset", UTF8_WORDS, ("date_iso",), "2026-01-05T10:00:00+09:00"),
    ("message id", UTF8_WORDS, ("message_id",), "<m1@example.de>"),
    ("no html in a text message", UTF8_WORDS, ("html",), ""),
    ("raw Latin-1 subject", RAW_LATIN1, ("subject",), "café “quoted”"),
    ("raw Latin-1 name", RAW_LATIN1, ("sender", "name"), "Jörg"),
    ("raw header lines read as Windows-1252", RAW_LATIN1, ("headers", 1),
     "Subject: café “quoted”"),
    ("named zone", RAW_LATIN1, ("date_iso",), "2026-01-05T10:00:00-05:00"),
    ("a stray byte in UTF-8 text", BAD_BYTE_BODY, ("body", 0), "bad \ufffd byte é"),
    ("unreadable date", BAD_BYTE_BODY, ("date_iso",), None),
    ("no date", NO_DATE, ("date",), ""),
    ("no date, no instant", NO_DATE, ("date_iso",), None),
]


def dig(doc, path):
    for key in path:
        doc = doc[key]
    return doc


def test_decode(_tmp):
    docs = {}
    for name, raw, path, want in DECODE_CASES:
        doc = docs.setdefault(raw, decoded(raw))
        try:
            expect(f"decode: {name}", dig(doc, path), want)
        except (KeyError, IndexError) as e:
            FAILURES.append(f"decode: {name}: no {e} among the keys {sorted(doc)}")


# Messages given as JSON: what decode reads back from encode's output.
ENCODE_CASES = [
    ("German", {"subject": "Grüße aus München",
                "sender": {"name": "Jürgen", "address": "j@example.de"},
                "body": ["Viele Grüße", "Jürgen"]}),
    ("beyond Latin-1", {"subject": "会議 – Встреча",
                        "sender": {"name": "山田", "address": "y@example.jp"},
                        "body": ["日本語のテキスト", "Русский текст"]}),
    ("escaped in JSON", {"subject": "caf\u00e9",
                         "sender": {"name": "Z\u00f6e", "address": "z@example.org"},
                         "body": ["\u20ac 5"]}),
]


def test_encode(tmp):
    for name, doc in ENCODE_CASES:
        doc = dict(doc, recipients=[{"name": "Bob", "address": "bob@example.org"}])
        path = os.path.join(tmp, "m.json")
        with open(path, "w", encoding="utf-8") as f:
            json.dump(doc, f, ensure_ascii=name == "escaped in JSON")
        back = decoded(run("encode", path).stdout)
        expect(f"encode {name}: subject", back["subject"], doc["subject"])
        expect(f"encode {name}: sender", back["sender"], doc["sender"])
        expect(f"encode {name}: body", back["body"][:len(doc["body"])], doc["body"])
    # Attachment bytes stay exact; base64 may come in lines, as encoders write it.
    data = bytes(range(256)) * 3
    for name, base64_text, want in [
            ("one line", base64.b64encode(data).decode(), hashlib.sha256(data).hexdigest()),
            ("in lines", base64.encodebytes(data).decode(), hashlib.sha256(data).hexdigest()),
            ("not base64", "*" + base64.b64encode(data).decode(), None)]:
        path = os.path.join(tmp, "a.json")
        with open(path, "w") as f:
            json.dump({"recipients": [{"address": "b@example.org"}], "body": ["x"],
                       "attachments": [{"file_name": "data.bin", "data_base64": base64_text}]}, f)
        proc = run("encode", path, ok=want is not None)
        if want is None:
            expect(f"encode refuses data_base64 {name}", (proc.returncode, proc.stdout), (1, b""))
        else:
            got = [a["sha256"] for a in decoded(proc.stdout)["attachments"]]
            expect(f"encode data_base64 {name}", got, [want])
    # A file that is not UTF-8 is refused, not read as something else.
    path = os.path.join(tmp, "bad.json")
    with open(path, "wb") as f:
        f.write(b'{"subject": "caf\xe9", "recipients": [{"address": "b@example.org"}]}')
    proc = run("encode", path, ok=False)
    expect("encode refuses a file that is not UTF-8", proc.returncode, 1)
    expect("encode writes nothing for it", proc.stdout, b"")


# Terminal output: (user name as stored, what config show prints). Control characters and bytes
# outside UTF-8 are escaped, other text stays as it is.
TERMINAL_CASES = [
    (b"J\xc3\xb6rg \xe2\x9c\x85", "Jörg ✅"),
    (b"red\x1b[31m bell\x07", "red\\x1B[31m bell\\x07"),
    (b"C1 \xc2\x9b31m", "C1 \\x9B31m"),
    (b"stray \xff byte \xc3\xa9", "stray \\xFF byte é"),
    # Direction controls would show "invoice\u202Efdp.exe" as "invoiceexe.pdf".
    (b"invoice\xe2\x80\xaefdp.exe \xe2\x81\xa6x\xe2\x81\xa9 \xd7\xa9\xd7\x9c\xd7\x95\xd7\x9d",
     "invoice\\u202Efdp.exe \\u2066x\\u2069 שלום"),
]


def test_terminal(tmp):
    folder = os.path.join(tmp, "terminal")
    os.mkdir(folder)
    for stored, shown in TERMINAL_CASES:
        run("config", "--folder", folder, "set-user-name", os.fsdecode(stored))
        out = run("config", "--folder", folder, "show").stdout.decode("utf-8")
        line = next((l for l in out.splitlines() if l.startswith("user name: ")), "")
        expect(f"terminal: {stored!r}", line, "user name: " + shown)
    err = run("decode", os.fsdecode(b"/nonexistent/\x1b]0;title\x07"), ok=False).stderr.decode()
    expect("terminal: an error names the file escaped",
           "\x1b" not in err and "\\x1B]0;title\\x07" in err, True)


def test_check_json(tmp):
    mail, folder = os.path.join(tmp, "mail"), os.path.join(tmp, "norva")
    os.mkdir(mail)
    os.mkdir(folder)
    with open(os.path.join(mail, "1.eml"), "wb") as f:
        f.write(b"From: J\xf6rg <j@example.de>\r\nSubject: =?utf-8?b?R3LDvMOfZSDinIU=?=\r\n"
                b"Message-ID: <\xff1@example.de>\r\nDate: Mon, 5 Jan 2026 10:00:00 +0900\r\n"
                b"\r\nx\r\n")
    ready = os.path.join(tmp, "ready")
    server = subprocess.Popen([SERVER, "--maildir", mail, "--ready-file", ready],
                              stdout=subprocess.DEVNULL)
    try:
        for _ in range(100):
            if os.path.exists(ready) and "SMTP_PORT" in open(ready).read():
                break
            time.sleep(0.1)
        settings = dict(l.split("=", 1) for l in open(ready).read().split() if "=" in l)
        port = settings["POP3_PORT"]
        run("config", "--folder", folder, "add-account", "--address", "me@example.org", "--user",
            "demo", "--password", "demo", "--pop3", f"127.0.0.1:{port}", "--timeout", "5")
        rows = json.loads(run("check", "--folder", folder, "--json").stdout.decode("utf-8"))
        expect("check --json: one row", len(rows), 1)
        expect("check --json: subject", rows[0]["subject"], "Grüße ✅")
        expect("check --json: raw Latin-1 sender", rows[0]["sender"], "Jörg <j@example.de>")
        expect("check --json: a stray byte", rows[0]["message_id"], "<\ufffd1@example.de>")
    finally:
        server.terminate()
        server.wait(timeout=10)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        for test in (test_decode, test_encode, test_terminal, test_check_json):
            try:
                test(tmp)
            except (AssertionError, ValueError, OSError, subprocess.SubprocessError) as e:
                FAILURES.append(f"{test.__name__}: {e}")
    for failure in FAILURES:
        print("FAIL " + failure)
    print("ok" if not FAILURES else f"{len(FAILURES)} failure(s)")
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
