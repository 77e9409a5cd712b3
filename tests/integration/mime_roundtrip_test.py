#!/usr/bin/env python3
"""Messages composed in Norva, read back by Python's email package (policy default) and by
norva-cli decode: sender, recipients, subject, body, attachment names and bytes must survive.

1. norva-cli encode writes each message of CASES; Python reads it without defects, every line
   within its limits, 7-bit clean, with Date and Message-ID; a format=flowed body, joined as
   RFC 3676 says, is the text as typed.
2. norva-cli send takes one through the outbox to the aiosmtpd sink (tests/interop), which
   announces 8BITMIME; Python reads the delivered file and the copy in $Sent.TMA."""
import base64
import email
import email.policy
import email.utils
import hashlib
import json
import os
import re
import socket
import subprocess
import sys
import tempfile

CLI = sys.argv[1]
HERE = os.path.dirname(os.path.abspath(__file__))
INTEROP = os.path.join(HERE, "..", "interop")


def run(*args, data=None, check=True):
    proc = subprocess.run([CLI, *args], input=data, capture_output=True, timeout=60)
    if check and proc.returncode != 0:
        raise AssertionError(f"{args}: {proc.stderr.decode(errors='replace')}")
    return proc.stdout


# The JSON of decode and encode carries either Unicode text or bytes as code points U+0000-U+00FF
# ("Texts are bytes" in the help): the test speaks Unicode and converts at the border.
BYTE_TEXTS = b"U+0000-U+00FF" in run("help", check=False)


def to_json(value):
    if isinstance(value, str):
        return value.encode("utf-8").decode("latin-1") if BYTE_TEXTS else value
    if isinstance(value, list):
        return [to_json(v) for v in value]
    if isinstance(value, dict):
        return {k: v if k == "data_base64" else to_json(v) for k, v in value.items()}
    return value


def from_json(value):
    if isinstance(value, str):
        return value.encode("latin-1").decode("utf-8", "replace") if BYTE_TEXTS else value
    if isinstance(value, list):
        return [from_json(v) for v in value]
    if isinstance(value, dict):
        return {k: from_json(v) for k, v in value.items()}
    return value


def attachment(name, data, **extra):
    return {"file_name": name, "data_base64": base64.b64encode(data).decode(), **extra}


def person(name, address):
    return {"name": name, "address": address}


BINARY = bytes(range(256)) * 40 + b"\x00\xff" * 7
CYRILLIC = "Отчёт о продажах за третий квартал и планы на следующий год для всех отделов"
CASES = {
    "plain": {"body": ["Hello Bob,", "", "three lines."]},
    "dot lines": {"body": [".", "..", "...", ".NET", "end"]},
    "old latin-1 charset": {"charset": "csISO8859", "body": ["Café au lait", "naïve"]},
    "long line": {"body": ["x" * 300 + " tail", "y" * 1200]},
    "attachments": {"body": ["see the files"],
                    "attachments": [attachment("data.bin", BINARY),
                                    attachment("notes.txt", b"line one\r\nline two\r\n"),
                                    attachment("unix.txt", b"lf\nonly\n"),
                                    attachment("empty.bin", b"")]},
    "unicode": {
        "sender": person("Jürgen Müller-Lüdenscheidt", "j@example.de"),
        "recipients": [person("Дмитрий Иванович Петров-Водкин", "d@example.ru"),
                       person("Müller, Hans", "h@example.de"), person("", "bob@example.org"),
                       person("王小明", "wang@example.cn")],
        "cc": [person("Zoë Ångström", "zoe@example.se"), person("José", "jose@example.es")],
        "subject": "Grüße aus München 🎉 — " + CYRILLIC,
        "body": ["Schöne Grüße!", "Цена: 100 €", "日本語のテキスト", "x" * 80 + "ä" * 400, ""],
        "attachments": [attachment("Übersicht 2026.pdf", b"%PDF-1.4\n" + BINARY[:300]),
                        attachment("Очень длинное имя файла с отчётом о продажах за квартал.xlsx",
                                   BINARY[:100]),
                        attachment("日本語.txt", "テキスト\r\n".encode()),
                        attachment("a\"quote.bin", b"q")]},
    "html alternative": {"body": ["Plain text, also ümlaut"],
                         "attachments": [attachment("_alt.0", "<p>HTML ü</p>".encode(),
                                                    content_type="text/html")]},
    "html only": {"body": [], "attachments": [attachment("_HtmBody.htm", b"<p>only</p>",
                                                         content_type="text/html")]},
    "uuencoded": {"encoding": "meUU", "body": ["files follow"],
                  "attachments": [attachment("blob.bin", BINARY[:1000])]},
}


def message(case):
    doc = {"sender": person("Ann Example", "ann@example.org"),
           "recipients": [person("Bob", "bob@example.org"), person("", "carl@example.org")],
           "cc": [person("Dee", "dee@example.org")], "subject": "Round trip", "attachments": []}
    doc.update(case)
    return doc


def is_form_of_text(att):
    return att["file_name"].lower().startswith(("_alt.", "_htmbody"))


def names(header):
    # Python puts a blank between encoded words of a display name; blanks are compared folded.
    return [(" ".join(a.display_name.split()), a.addr_spec) for a in header.addresses] \
        if header else []


def expect(what, got, want):
    assert got == want, f"{what}: got {got!r}, want {want!r}"


def check_lines(raw, seven_bit):
    head, _, _ = raw.partition(b"\r\n\r\n")
    for line in raw.split(b"\r\n"):
        assert len(line) <= 998, f"line of {len(line)}"
        if seven_bit:
            assert max(line, default=0) < 128, f"8-bit line {line[:60]!r}"
    for line in head.split(b"\r\n"):
        assert len(line) <= 78 or b" " not in line.strip(), f"header line of {len(line)}: {line!r}"


def unflowed(part, text):
    """A format=flowed text as its paragraphs (RFC 3676 section 4), else the text."""
    if (part.get_param("format") or "").lower() != "flowed":
        return text
    delsp = (part.get_param("delsp") or "").lower() == "yes"
    out, soft, depth = [], False, 0
    for line in text.split("\n"):
        quotes = len(line) - len(line.lstrip(">"))
        content = line[quotes:]
        stuffed = content.startswith(" ")
        if stuffed:
            content = content[1:]
        signature = content == "-- "
        next_soft = content.endswith(" ") and not signature
        if next_soft and delsp:
            content = content[:-1]
        if soft and quotes == depth and not signature:
            out[-1] += content
        else:
            out.append((line[:quotes] + (" " if stuffed else "") if quotes else "") + content)
        soft, depth = next_soft, quotes
    return "\n".join(out)


def check_python(name, doc, raw, seven_bit=True):
    check_lines(raw, seven_bit)
    m = email.message_from_bytes(raw, policy=email.policy.default)
    for part in m.walk():
        expect(f"defects in {part.get_content_type()}", [type(d).__name__ for d in part.defects], [])
    expect("subject", m["Subject"], doc["subject"])
    expect("from", names(m["From"]), names_of([doc["sender"]]))
    expect("to", names(m["To"]), names_of(doc["recipients"]))
    expect("cc", names(m["Cc"]), names_of(doc.get("cc", [])))
    assert email.utils.parsedate_to_datetime(m["Date"]).tzinfo is not None, m["Date"]
    assert re.fullmatch(r"<[0-9a-f]{32}@[\w.-]+>", m["Message-ID"]), m["Message-ID"]
    if doc.get("encoding") == "meUU":
        return m  # the files are inside the plain body
    body = m.get_body(preferencelist=("plain",))
    if doc["body"]:
        expect("body", unflowed(body, body.get_content().replace("\r\n", "\n")).rstrip("\n"),
               "\n".join(doc["body"]).rstrip("\n"))
    texts = [a for a in doc["attachments"] if is_form_of_text(a)]
    if texts:
        html = m.get_body(preferencelist=("html",))
        expect("html", html.get_payload(decode=True), base64.b64decode(texts[0]["data_base64"]))
    files = [(p.get_filename(), p.get_payload(decode=True) or b"") for p in m.iter_attachments()]
    expect("attachments", files, [(a["file_name"], base64.b64decode(a["data_base64"]))
                                  for a in doc["attachments"] if not is_form_of_text(a)])
    return m


def names_of(people):
    return [(" ".join(p["name"].split()), p["address"]) for p in people]


def check_norva(name, doc, raw):
    decoded = from_json(json.loads(run("decode", "/dev/stdin", data=raw)))
    expect("decoded sender", decoded["sender"], doc["sender"])
    expect("decoded recipients", [(r["name"], r["address"]) for r in decoded["recipients"]],
           [(r["name"], r["address"]) for r in doc["recipients"]])
    expect("decoded subject", decoded["subject"], doc["subject"])
    expect("decoded body", decoded["body"][:len(doc["body"])], doc["body"])
    # The attachments' bytes; their names are the agreement test's (Norva against Python).
    want = sorted(hashlib.sha256(base64.b64decode(a["data_base64"])).hexdigest()
                  for a in doc["attachments"] if not is_form_of_text(a))
    got = sorted(a["sha256"] for a in decoded["attachments"] if not is_form_of_text(a))
    expect("decoded attachment bytes", got, want)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def send_through_sink(tmp):
    """The unicode case typed into norva-cli send, through the outbox to the sink."""
    if subprocess.run(["/usr/bin/python3", "-c", "import aiosmtpd"]).returncode != 0:
        print("skip sink: python3-aiosmtpd is not installed")
        return 0
    work, folder = os.path.join(tmp, "sink"), os.path.join(tmp, "folder")
    os.makedirs(folder)
    port = free_port()
    subprocess.run([os.path.join(INTEROP, "start-smtp.sh"), work, str(port)], check=True,
                   capture_output=True, timeout=60)
    try:
        doc = message(CASES["unicode"])
        doc["cc"] = []  # the message window has no Cc line
        doc["attachments"] = [a for a in doc["attachments"] if "/" not in a["file_name"]]
        run("config", "--folder", folder, "add-account", "--address", doc["sender"]["address"],
            "--user", "u", "--password", "p", "--pop3", "127.0.0.1:1", "--smtp",
            f"127.0.0.1:{port}", "--default")
        run("config", "--folder", folder, "set-user-name", doc["sender"]["name"])
        with open(os.path.join(tmp, "body.txt"), "w", encoding="utf-8") as f:
            f.write("\r\n".join(doc["body"]))
        args = ["send", "--folder", folder, "--subject", doc["subject"], "--body-file",
                os.path.join(tmp, "body.txt"), "--to",
                ", ".join(f'"{r["name"]}" <{r["address"]}>' if r["name"] else r["address"]
                          for r in doc["recipients"])]
        files = os.path.join(tmp, "files")
        os.makedirs(files)
        for a in doc["attachments"]:
            path = os.path.join(files, a["file_name"])
            with open(path, "wb") as f:
                f.write(base64.b64decode(a["data_base64"]))
            args += ["--attach", path]
        run(*args)
        box = os.path.join(work, "smtp")
        delivered = sorted(f for f in os.listdir(box) if f.endswith(".eml"))
        expect("delivered", len(delivered), 1)
        with open(os.path.join(box, delivered[0]), "rb") as f:
            raw = f.read()
        with open(os.path.join(box, delivered[0][:-4] + ".json")) as f:
            envelope = json.load(f)
        expect("envelope", (envelope["mail_from"], envelope["rcpt_tos"]),
               (doc["sender"]["address"], [r["address"] for r in doc["recipients"]]))
        assert "BODY=8BITMIME" in envelope["mail_options"], envelope
        assert b"Content-Transfer-Encoding: 8bit" in raw, "the text did not go as 8bit"
        sent = check_python("sink", doc, raw, seven_bit=False)
        # The sent archive keeps the same message in its 7-bit form.
        copy = run("qdb", "get", os.path.join(folder, "$Sent.TMA"), "0" * 15)
        kept = check_python("sent copy", doc, copy)
        expect("sent copy's Message-ID", kept["Message-ID"], sent["Message-ID"])
        print("ok   sink")
        return 0
    except AssertionError as e:
        print(f"FAIL sink: {e}")
        return 1
    finally:
        subprocess.run([os.path.join(INTEROP, "stop-smtp.sh"), work], capture_output=True,
                       timeout=60)


def main():
    failures = 0
    with tempfile.TemporaryDirectory() as tmp:
        for name, case in CASES.items():
            doc = message(case)
            path = os.path.join(tmp, "m.json")
            with open(path, "w") as f:
                json.dump(to_json(doc), f)
            try:
                raw = run("encode", path)
                check_python(name, doc, raw)
                check_norva(name, doc, raw)
                print(f"ok   {name}")
            except AssertionError as e:
                failures += 1
                print(f"FAIL {name}: {e}")
        failures += send_through_sink(tmp)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
