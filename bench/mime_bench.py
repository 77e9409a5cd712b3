#!/usr/bin/env python3
"""The baseline of the MIME benchmark: Python's email package with the compat32 policy, doing
what bench/mime_bench.cpp does with Norva (Python 3 standard library only).

Usage: mime_bench.py DIR [--manifest FILE] [--verify] [--write OUT]

DIR holds the corpus of bench/mime_corpus.py. Timed (the default): every file's bytes are read
into memory first; then, per group of the manifest (small, large), each message is parsed with
email.message_from_bytes(..., policy=compat32) and every leaf part decoded with
get_payload(decode=True); then every parsed message is written back with as_bytes(). Prints one
JSON line: wall and CPU seconds (time.process_time) of each pass, bytes in and out, peak RSS.

--verify times nothing: it checks each parsed message against the manifest (sender, To, Cc,
subject, text body, attachment names and bytes), writes it with as_bytes(), parses that and
checks again. Subject and body are compared as text: encoded words and text parts are decoded
in their charsets, and a format=flowed part is unflowed first (compat32 leaves it as sent).
--write OUT keeps the written messages in OUT under the same names.
"""
import argparse
import codecs
import email
import hashlib
import json
import os
import resource
import time
from email.header import decode_header
from email.policy import compat32
from email.utils import getaddresses, parseaddr

GROUPS = ("small", "large")


def read_manifest(path):
    entries = []
    with open(path) as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            fields = line.rstrip("\n").split("\t")
            entries.append({
                "file": fields[0], "group": fields[1], "sender": fields[3],
                "to": [a for a in fields[4].split(",") if a],
                "cc": [a for a in fields[5].split(",") if a],
                "subject": bytes.fromhex(fields[6]).decode("utf-8"), "body_sha256": fields[7],
                "attachments": [tuple(a.split("/")) for a in fields[8].split("|") if a]})
    for e in entries:
        e["attachments"] = [(n, int(size), sha) for n, size, sha in e["attachments"]]
    return entries


def parse(data):
    return email.message_from_bytes(data, policy=compat32)


def rss_kb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


# ---- timed ----


def timed(directory, entries):
    data = {}
    for e in entries:
        with open(os.path.join(directory, e["file"]), "rb") as f:
            data[e["file"]] = f.read()
    messages, passes = {}, {}
    touched = output = decode_errors = encode_errors = 0
    first_error = ""
    for group in GROUPS:
        files = [e["file"] for e in entries if e["group"] == group]
        size = sum(len(data[name]) for name in files)
        t0, c0 = time.perf_counter(), time.process_time()
        for name in files:
            try:
                msg = parse(data[name])
                for part in msg.walk():
                    if not part.is_multipart():
                        payload = part.get_payload(decode=True)
                        touched += len(payload) if payload else 0
                messages[name] = msg
            except Exception as error:  # a failure is counted, the run goes on
                decode_errors += 1
                first_error = first_error or "%s: %s" % (name, error)
        passes["decode " + group] = {"messages": len(files), "input_bytes": size,
                                     "seconds": time.perf_counter() - t0,
                                     "cpu_seconds": time.process_time() - c0}
    for group in GROUPS:
        files = [e["file"] for e in entries if e["group"] == group and e["file"] in messages]
        size = sum(len(data[name]) for name in files)
        t0, c0 = time.perf_counter(), time.process_time()
        for name in files:
            try:
                output += len(messages[name].as_bytes())
            except Exception as error:
                encode_errors += 1
                first_error = first_error or "%s: %s" % (name, error)
        passes["encode " + group] = {"messages": len(files), "input_bytes": size,
                                     "seconds": time.perf_counter() - t0,
                                     "cpu_seconds": time.process_time() - c0}
    return {"client": "python", "messages": len(entries),
            "input_bytes": sum(len(d) for d in data.values()), "output_bytes": output,
            "touched_bytes": touched, "decode_errors": decode_errors,
            "encode_errors": encode_errors, "first_error": first_error,
            "peak_rss_kb": rss_kb(), "passes": passes}


# ---- verify ----


def raw_values(msg, name):
    """The field's values as received, unfolded (CR LF and LF removed)."""
    return [v.replace("\r\n", "").replace("\n", "")
            for k, v in msg.raw_items() if k.lower() == name.lower()]


def python_codec(charset):
    """The codec for a MIME charset; none means US-ASCII, an unknown one reads as Latin-1."""
    try:
        return codecs.lookup(charset or "us-ascii").name
    except LookupError:
        return "latin-1"


def header_text(value):
    """The field's text as a reader sees it: each encoded word decoded in its own charset."""
    out = ""
    for piece, charset in decode_header(value):
        if isinstance(piece, str):
            out += piece
        else:  # plain words beside encoded ones come back as Latin-1 bytes without a charset
            out += piece.decode(python_codec(charset) if charset else "latin-1", "replace")
    return out


def unflow(lines, delsp):
    """format=flowed lines (RFC 3676) as the lines a reader sees: quote marks counted and the
    stuffing space after them dropped, a line ending in a space (a soft break) joined with the
    next one of the same quote depth (without that space if delsp=yes), "-- " left alone."""
    out, open_depth = [], None  # open_depth: the depth of the last line if it broke softly
    for line in lines:
        depth = len(line) - len(line.lstrip(">"))
        text = line[depth:]
        if text.startswith(" "):
            text = text[1:]
        signature = text == "-- "
        soft = text.endswith(" ") and not signature
        if soft and delsp:
            text = text[:-1]
        if depth == open_depth and not signature:
            out[-1][1] += text
        else:
            out.append([depth, text])
        open_depth = depth if soft else None
    return [">" * depth + (" " + text if text else "") if depth else text for depth, text in out]


def text_digest(part, payload):
    """SHA-256 of the part's text in UTF-8: its lines joined by LF, trailing empty lines
    dropped."""
    text = payload.decode(python_codec(part.get_content_charset()), "replace")
    lines = text.replace("\r\n", "\n").split("\n")
    if str(part.get_param("format", "")).lower() == "flowed":
        lines = unflow(lines, str(part.get_param("delsp", "")).lower() == "yes")
    while lines and lines[-1] == "":
        lines.pop()
    return hashlib.sha256("\n".join(lines).encode("utf-8")).hexdigest()


def observed(msg):
    body, attachments = None, []
    for part in msg.walk():
        if part.is_multipart():
            continue
        payload = part.get_payload(decode=True) or b""
        name = part.get_filename()
        if name is not None:
            attachments.append((name, len(payload), hashlib.sha256(payload).hexdigest()))
        elif body is None and part.get_content_maintype() == "text":
            body = text_digest(part, payload)
    subject = raw_values(msg, "Subject")
    return {"sender": parseaddr(" ".join(raw_values(msg, "From")))[1],
            "to": [a for _, a in getaddresses(raw_values(msg, "To"))],
            "cc": [a for _, a in getaddresses(raw_values(msg, "Cc"))],
            "subject": header_text(subject[0]) if subject else "",
            "body_sha256": body, "attachments": attachments}


def compare(got, want, stage, name, report):
    for field in ("sender", "to", "cc", "subject", "body_sha256", "attachments"):
        if got[field] == want[field]:
            continue
        key = "%s %s" % (stage, field)
        report["mismatches"][key] = report["mismatches"].get(key, 0) + 1
        if sum(1 for x in report["examples"] if x.startswith(key + " ")) < 3:
            report["examples"].append("%s %s: got %r, want %r"
                                      % (key, name, got[field], want[field]))


def verify(directory, entries, out_dir):
    report = {"client": "python", "mode": "verify", "checked": 0, "errors": 0,
              "mismatches": {}, "examples": []}
    if out_dir:
        os.makedirs(out_dir, exist_ok=True)
    for e in entries:
        name = e["file"]
        try:
            with open(os.path.join(directory, name), "rb") as f:
                msg = parse(f.read())
            compare(observed(msg), e, "decode", name, report)
            written = msg.as_bytes()
            if out_dir:
                with open(os.path.join(out_dir, name), "wb") as f:
                    f.write(written)
            compare(observed(parse(written)), e, "roundtrip", name, report)
            report["checked"] += 1
        except Exception as error:
            report["errors"] += 1
            report["examples"].append("error %s: %s" % (name, error))
    return report


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("dir")
    ap.add_argument("--manifest")
    ap.add_argument("--verify", action="store_true")
    ap.add_argument("--write")
    a = ap.parse_args()
    entries = read_manifest(a.manifest or os.path.join(a.dir, "manifest.tsv"))
    result = verify(a.dir, entries, a.write) if a.verify else timed(a.dir, entries)
    print(json.dumps(result))


if __name__ == "__main__":
    main()
