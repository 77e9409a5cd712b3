#!/usr/bin/env python3
"""Encode messages with norva-cli, then decode the result with norva-cli and with Python's email
package, and check that sender, recipients, subject, body and attachment bytes survive both."""
import base64
import email
import email.policy
import hashlib
import json
import os
import subprocess
import sys
import tempfile

CLI = sys.argv[1]


def run(*args, data=None):
    proc = subprocess.run([CLI, *args], input=data, capture_output=True, timeout=60)
    if proc.returncode != 0:
        raise AssertionError(f"{args}: {proc.stderr.decode(errors='replace')}")
    return proc.stdout


def attachment(name, data):
    return {"file_name": name, "data_base64": base64.b64encode(data).decode()}


BINARY = bytes(range(256)) * 40 + b"\x00\xff" * 7
CASES = {
    "plain": {"body": ["Hello Bob,", "", "three lines."], "attachments": []},
    "dot lines": {"body": [".", "..", "...", ".NET", "end"], "attachments": []},
    "latin-1 body": {"charset": "csISO8859", "body": ["Caf\u00e9 au lait", "na\u00efve"],
                     "attachments": []},
    "long line": {"body": ["x" * 300 + " tail"], "attachments": []},
    "attachments": {"body": ["see the files"],
                    "attachments": [attachment("data.bin", BINARY),
                                    attachment("notes.txt", b"line one\r\nline two\r\n"),
                                    attachment("empty.bin", b"")]},
    "uuencoded": {"encoding": "meUU", "body": ["files follow"],
                  "attachments": [attachment("blob.bin", BINARY[:1000])]},
}


def message(case):
    doc = {
        "sender": {"name": "Ann Example", "address": "ann@example.org"},
        "recipients": [{"name": "Bob", "address": "bob@example.org"},
                       {"name": "", "address": "carl@example.org"}],
        "cc": [{"name": "Dee", "address": "dee@example.org"}],
        "subject": "Round trip",
    }
    doc.update(case)
    return doc


def check(name, doc, raw):
    decoded = json.loads(run("decode", "/dev/stdin", data=raw))
    assert decoded["sender"]["address"] == doc["sender"]["address"], (name, decoded["sender"])
    assert [r["address"] for r in decoded["recipients"]] == \
        [r["address"] for r in doc["recipients"]], (name, decoded["recipients"])
    assert decoded["subject"] == doc["subject"], (name, decoded["subject"])
    assert decoded["body"][:len(doc["body"])] == doc["body"], (name, decoded["body"])
    want = [(a["file_name"], hashlib.sha256(base64.b64decode(a["data_base64"])).hexdigest())
            for a in doc["attachments"]]
    got = [(a["file_name"], a["sha256"]) for a in decoded["attachments"]]
    assert got == want, (name, got, want)

    # Python's parser (compat32) reads the same message.
    parsed = email.message_from_bytes(raw, policy=email.policy.compat32)
    assert doc["sender"]["address"] in parsed["From"], (name, parsed["From"])
    for r in doc["recipients"]:
        assert r["address"] in parsed["To"], (name, parsed["To"])
    assert parsed["Subject"] == doc["subject"], (name, parsed["Subject"])
    if doc.get("encoding") == "meUU":
        return  # no MIME structure to compare: the attachments are inside the plain body
    parts = [p for p in parsed.walk() if not p.is_multipart()]
    body = parts[0].get_payload(decode=True)
    # JSON texts are Unicode: the body must read back in the charset the message declares.
    text = body.decode(parts[0].get_content_charset() or "us-ascii", errors="replace")
    text = text.replace("\r\n", "\n").rstrip("\n")
    assert text == "\n".join(doc["body"]), (name, text)
    # Python gives text parts LF line ends; compare text attachments with CR LF made LF.
    def digest(data, text):
        data = data or b""
        return hashlib.sha256(data.replace(b"\r\n", b"\n") if text else data).hexdigest()
    files = [(p.get_filename(), digest(p.get_payload(decode=True), p.get_content_maintype() == "text"))
             for p in parts[1:]]
    expected = [(a["file_name"], digest(base64.b64decode(a["data_base64"]), a["file_name"].endswith(".txt")))
                for a in doc["attachments"]]
    assert files == expected, (name, files, expected)


def main():
    failures = 0
    with tempfile.TemporaryDirectory() as tmp:
        for name, case in CASES.items():
            doc = message(case)
            path = os.path.join(tmp, "m.json")
            with open(path, "w") as f:
                json.dump(doc, f)
            try:
                check(name, doc, run("encode", path))
                print(f"ok   {name}")
            except AssertionError as e:
                failures += 1
                print(f"FAIL {name}: {e}")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
