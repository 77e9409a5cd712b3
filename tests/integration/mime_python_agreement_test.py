#!/usr/bin/env python3
"""Norva's decoding against Python's email package (policy default), message by message.

For every message of the corpus, `norva-cli decode FILE` must agree with Python on five points:
  sender       the first From address: display name and address
  recipients   the To and Cc addresses with their display names, in order (groups give their
               members)
  subject      the decoded Subject
  body         the text of get_body(preferencelist=('plain', 'html')); for an HTML body, the
               JSON's "html" equals the HTML (when the JSON carries the key) and the body is a
               text rendering of it: every visible word in order, no markup, no entities, and
               nothing else but link targets, image texts and list numbers
  attachments  the names, in order, of the parts iter_attachments() gives, followed into the
               multiparts it gives and the body's own containers (a multipart is never an
               attachment itself, and the images of a related part belong to the message)

Only what is fair is normalised:
  - line ends, blanks at line ends and empty lines at the end of a text; runs of blanks in
    header texts (folding)
  - raw 8-bit header bytes are read as UTF-8, else as Windows-1252 (Python keeps them as
    surrogates); blanks between two encoded words go, in names too (RFC 2047)
  - C1 controls in decoded header text, and bodies declared iso-8859-1, are read as
    Windows-1252, as browsers read that label; 8-bit bodies declared us-ascii, or in no or an
    unknown charset, as UTF-8 when they are valid UTF-8, else as Windows-1252
  - a format=flowed text may come back joined (RFC 3676) or as sent
  - a uuencoded file in the body ("begin", a mode, a name, then uuencoded lines up to "end") is
    an attachment of that name, not body text, with the blank line that sets it off
  - Norva keeps 255 characters of a subject or a name
  - a part Python gives no file name needs some name; a message/rfc822 one ending in ".eml"
  - a single-part message that is not the body is an attachment

Usage: mime_python_agreement_test.py NORVA_CLI [--corpus DIR]... [--any-name] [--diffs N]
  --corpus DIR   a folder of messages, searched with its subfolders; may be repeated, and
                 NORVA_AGREEMENT_CORPUS (folders separated by ':') gives more. Without
                 either, the repository's corpus (tests/corpus/eml)
  --any-name     take every file of the folders, not only *.eml (Maildir folders)
  --diffs N      print the differences of at most N messages (default: all)
Prints the figures per point and exits 1 on any disagreement.
"""
import argparse
import codecs
import difflib
import email.policy
import html.parser
import json
import os
import re
import subprocess
import sys
from email.parser import BytesParser

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_CORPUS = os.path.join(HERE, "..", "corpus", "eml")
POINTS = ("sender", "recipients", "subject", "body", "attachments")
SHORT_LIMIT = 255

# ---- reading text as browsers read the Latin-1 and ASCII labels ----------------------------

WINDOWS_1252_LABELS = {"iso-8859-1", "iso8859-1", "iso_8859-1", "latin1", "latin-1", "l1",
                       "cp819", "ibm819", "windows-1252", "cp1252", "x-cp1252"}
ASCII_LABELS = {"", "us-ascii", "ascii", "us", "ansi_x3.4-1968"}


def windows_1252(data: bytes) -> str:
    # The five bytes Windows-1252 leaves unused keep their C1 code points.
    return "".join(bytes([b]).decode("cp1252") if b not in (0x81, 0x8D, 0x8F, 0x90, 0x9D)
                   else chr(b) for b in data)


def utf8_or_1252(data: bytes) -> str:
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return windows_1252(data)


def c1_as_1252(text: str) -> str:
    return re.sub("[\x80-\x9f]", lambda m: windows_1252(bytes([ord(m.group())])), text)


def raw_bytes_as_text(text: str) -> str:
    """Runs of raw 8-bit bytes (surrogate escapes) read as UTF-8, else Windows-1252."""
    return re.sub("[\udc80-\udcff]+",
                  lambda m: utf8_or_1252(bytes(ord(c) - 0xDC00 for c in m.group())), text)


def header_text(text: str) -> str:
    return c1_as_1252(raw_bytes_as_text(text))


def known_codec(name: str) -> bool:
    try:
        codecs.lookup(name)
        return True
    except LookupError:
        return False


def part_text(part) -> str:
    charset = (part.get_content_charset() or "").lower()
    if charset in WINDOWS_1252_LABELS:
        return windows_1252(part.get_payload(decode=True) or b"")
    if charset in ASCII_LABELS or not known_codec(charset):
        return utf8_or_1252(part.get_payload(decode=True) or b"")
    return part.get_content()


# ---- what Python reads ---------------------------------------------------------------------


ENCODED_WORD = r"=\?[^?\s]+\?[BbQq]\?[^?\s]*\?="
BLANK_BETWEEN_WORDS = re.compile(f"({ENCODED_WORD})\\s+(?={ENCODED_WORD})")


def header(msg, name):
    """A header as the policy parses it, its raw 8-bit bytes read as text first and the blanks
    between two encoded words dropped (Python keeps them in display names)."""
    for key, value in msg.raw_items():
        if key.lower() == name:
            value = "".join(re.split(r"\r\n|\n|\r", value))
            value = BLANK_BETWEEN_WORDS.sub(r"\1", value)
            return msg.policy.header_factory(key, raw_bytes_as_text(value))
    return None


def fold_blanks(text: str) -> str:
    return " ".join(text.split())


def text_lines(text: str) -> list:
    text = text.replace("\r\n", "\n").replace("\r", "\n")
    lines = [line.rstrip(" \t") for line in text.split("\n")]
    while lines and not lines[-1]:
        lines.pop()
    return lines


def unflow(text: str, delsp: bool) -> str:
    """A format=flowed text with its soft line breaks joined."""
    out, current = [], None  # current: [quote depth, text]
    for line in text.replace("\r\n", "\n").split("\n"):
        depth = len(line) - len(line.lstrip(">"))
        content = line[depth:]
        if content.startswith(" "):
            content = content[1:]
        soft = content.endswith(" ") and content != "-- "
        if soft and delsp:
            content = content[:-1]
        if current is not None and current[0] == depth:
            current[1] += content
        else:
            if current is not None:
                out.append(current)
            current = [depth, content]
        if not soft:
            out.append(current)
            current = None
    if current is not None:
        out.append(current)
    return "\n".join(">" * d + (" " if d and t else "") + t for d, t in out)


UU_BEGIN = re.compile(r"^begin [0-7]{3,4} (\S.*)$")


def uu_line(line: str) -> bool:
    if not line or not all(32 <= ord(c) <= 96 for c in line):
        return False
    count = (ord(line[0]) - 32) & 63
    return count > 0 and len(line) - 1 >= (count + 2) // 3 * 4


def split_uuencoded(text: str):
    """The text without its uuencoded files, and the files' names."""
    lines, kept, names = text.replace("\r\n", "\n").split("\n"), [], []
    i = 0
    while i < len(lines):
        m = UU_BEGIN.match(lines[i])
        if m and i + 1 < len(lines) and uu_line(lines[i + 1]):
            names.append(m.group(1).strip())
            if kept and kept[-1] == "":
                kept.pop()  # the blank line that sets a file off belongs to the file
            i += 1
            while i < len(lines) and lines[i].strip() != "end":
                i += 1
            i += 1
            continue
        kept.append(lines[i])
        i += 1
    return "\n".join(kept), names


class VisibleText(html.parser.HTMLParser):
    """The words a browser shows, and the words link targets and images may add."""

    HIDDEN = {"script", "style", "head", "title", "template"}

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.text, self.extra, self.hidden = [], [], 0

    def handle_starttag(self, tag, attrs):
        if tag in self.HIDDEN:
            self.hidden += 1
        for key, value in attrs:
            if key in ("href", "src", "alt", "title") and value:
                self.extra.append(value)
        self.text.append(" ")

    def handle_endtag(self, tag):
        if tag in self.HIDDEN and self.hidden:
            self.hidden -= 1
        self.text.append(" ")

    def handle_data(self, data):
        if not self.hidden:
            self.text.append(data)


def words(text: str) -> list:
    return re.findall(r"\w+", text.casefold())


def rendering_problem(html_text: str, rendered: str):
    """None when rendered is a fair text rendering of the HTML, else what is wrong with it."""
    parser = VisibleText()
    parser.feed(html_text)
    parser.close()
    visible = "".join(parser.text)
    wanted = words(visible)
    allowed = set(words(" ".join(parser.extra))) | {"image", "img"}
    got = words(rendered)
    matched, extras = 0, []
    for w in got:
        if matched < len(wanted) and w == wanted[matched]:
            matched += 1
        elif not (w in allowed or w.isdigit()):
            extras.append(w)
    if matched < len(wanted):
        missing = " ".join(wanted[matched:matched + 8])
        return f"visible text missing from word {matched + 1}: {missing}"
    if re.search(r"</?[A-Za-z][A-Za-z0-9]*(\s[^<>]*)?/?>", rendered) and \
            not re.search(r"</?[A-Za-z][A-Za-z0-9]*(\s[^<>]*)?/?>", visible):
        return "markup left in the text"
    if re.search(r"&(#\d+|#x[0-9a-fA-F]+|[A-Za-z]+);", rendered) and \
            not re.search(r"&(#\d+|#x[0-9a-fA-F]+|[A-Za-z]+);", visible):
        return "character references left in the text"
    if extras:
        return "words that are not visible text: " + " ".join(extras[:12])
    return None


def expected(data: bytes):
    """What Python reads: sender, subject, body and attachments, with the body's kind."""
    msg = BytesParser(policy=email.policy.default).parsebytes(data)
    exp = {}

    frm = header(msg, "from")
    addresses = list(frm.addresses) if frm is not None else []
    exp["sender"] = (header_text(addresses[0].display_name), header_text(addresses[0].addr_spec)) \
        if addresses else ("", "")
    exp["recipients"] = {}
    for field in ("to", "cc"):
        value = header(msg, field)
        exp["recipients"][field] = [(header_text(a.display_name), header_text(a.addr_spec))
                                    for a in (value.addresses if value is not None else ())]
    subject = header(msg, "subject")
    exp["subject"] = header_text(str(subject)) if subject is not None else ""

    body = msg.get_body(preferencelist=("plain", "html"))
    uu_names = []
    if body is None:
        exp["body"] = ("none", "")
    elif body.get_content_subtype() == "html":
        exp["body"] = ("html", part_text(body))
    else:
        text, uu_names = split_uuencoded(part_text(body))
        flowed = (body.get_param("format") or "").lower() == "flowed"
        delsp = (body.get_param("delsp") or "").lower() == "yes"
        exp["body"] = ("plain", text, unflow(text, delsp) if flowed else None)

    def entry(part):
        name = part.get_filename()
        if name is not None:
            name = header_text(re.split(r"[/\\]", name)[-1])
        return name, part.get_content_type()

    def collect(part):
        found = []
        if part.get_content_type() == "multipart/alternative":
            given = set()
        else:
            given = {id(p) for p in part.iter_attachments()}
        for sub in part.iter_parts():
            if sub.get_content_maintype() == "multipart":
                found += collect(sub)
            elif sub is body:
                found += [(n, "uuencoded") for n in uu_names]
            elif id(sub) in given:
                found.append(entry(sub))
        return found

    if msg.get_content_maintype() == "multipart":
        exp["attachments"] = collect(msg)
    elif msg is body:
        exp["attachments"] = [(n, "uuencoded") for n in uu_names]
    else:
        exp["attachments"] = [entry(msg)]
    return exp


# ---- the comparison ------------------------------------------------------------------------


def cut_agrees(norva: str, python: str) -> bool:
    """Equal, or Norva holds the first 255 characters of a longer text."""
    return norva == python or (len(python) > SHORT_LIMIT and len(norva) >= SHORT_LIMIT - 1
                               and python.startswith(norva))


def diff(want, got, labels=("python", "norva")):
    want = want if isinstance(want, list) else [want]
    got = got if isinstance(got, list) else [got]
    lines = list(difflib.unified_diff([str(w) for w in want], [str(g) for g in got],
                                      labels[0], labels[1], lineterm="", n=2))
    return "\n".join(lines[:40] + (["    ..."] if len(lines) > 40 else []))


def compare(exp, doc):
    """{point: None when Norva agrees, else a text saying how it differs}."""
    result = {}
    name = fold_blanks(doc["sender"]["name"])
    want = (fold_blanks(exp["sender"][0]), exp["sender"][1].strip())
    got = (name, doc["sender"]["address"].strip())
    result["sender"] = None if (cut_agrees(got[0], want[0]) and got[1] == want[1]) else \
        diff([f"name: {want[0]}", f"address: {want[1]}"], [f"name: {got[0]}", f"address: {got[1]}"])

    want, got = [], []
    for field, key in (("to", "recipients"), ("cc", "cc")):
        want += [f"{field}: {fold_blanks(n)} <{a.strip()}>" for n, a in exp["recipients"][field]]
        got += [f"{field}: {fold_blanks(r['name'])} <{r['address'].strip()}>" for r in doc[key]]
    result["recipients"] = None if len(want) == len(got) and all(
        cut_agrees(g, w) for w, g in zip(want, got)) else diff(want, got)

    want, got = fold_blanks(exp["subject"]), fold_blanks(doc["subject"])
    result["subject"] = None if cut_agrees(got, want) else diff(want, got)

    kind, text = exp["body"][0], exp["body"][1]
    body = "\n".join(doc["body"])
    if kind == "html":
        problems = []
        if "html" in doc and text_lines(doc["html"]) != text_lines(text):
            problems.append("html differs:\n" + diff(text_lines(text), text_lines(doc["html"])))
        problem = rendering_problem(text, body)
        if problem:
            problems.append(f"text rendering: {problem}\n" +
                            diff("(a rendering of the HTML)", text_lines(body)[:20]))
        result["body"] = "\n".join(problems) or None
    else:
        candidates = [text_lines(text)]
        if kind == "plain" and exp["body"][2] is not None:
            candidates.append(text_lines(exp["body"][2]))
        got = text_lines(body)
        result["body"] = None if got in candidates else diff(candidates[-1], got)

    want, got = exp["attachments"], [a["file_name"] for a in doc["attachments"]]
    agree = len(want) == len(got)
    for (name, ctype), have in zip(want, got):
        if name is None:
            agree &= bool(have) and (ctype != "message/rfc822" or have.casefold().endswith(".eml"))
        else:
            agree &= cut_agrees(have, name)
    shown = [f"{name if name is not None else '(no name)'}  [{ctype}]" for name, ctype in want]
    result["attachments"] = None if agree else diff(shown, got)
    return result


def messages(folders, any_name):
    for folder in folders:
        for root, dirs, files in os.walk(folder):
            dirs.sort()
            for f in sorted(files):
                if (any_name and not f.startswith(".")) or f.lower().endswith(".eml"):
                    yield os.path.join(root, f)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("cli")
    parser.add_argument("--corpus", action="append", default=[])
    parser.add_argument("--any-name", action="store_true")
    parser.add_argument("--diffs", type=int, default=-1)
    args = parser.parse_args()
    folders = args.corpus + [f for f in os.environ.get("NORVA_AGREEMENT_CORPUS", "").split(":")
                             if f]
    if not folders:
        folders = [DEFAULT_CORPUS]

    agreed = {p: 0 for p in POINTS}
    failing = {p: [] for p in POINTS}
    unread, total, all_points, printed = [], 0, 0, 0
    for path in messages(folders, args.any_name):
        data = open(path, "rb").read()
        name = os.path.relpath(path, os.path.commonpath(folders) if len(folders) > 1
                               else folders[0])
        try:
            exp = expected(data)
        except Exception as e:  # the judge cannot read it: say so, count it apart
            unread.append(f"{name}: {type(e).__name__}: {e}")
            continue
        total += 1
        try:
            proc = subprocess.run([args.cli, "decode", path], capture_output=True, timeout=60)
            if proc.returncode != 0:
                raise RuntimeError(f"norva-cli decode exited {proc.returncode}: "
                                   f"{proc.stderr.decode(errors='replace').strip()}")
            result = compare(exp, json.loads(proc.stdout.decode("utf-8")))
        except (RuntimeError, ValueError, KeyError, subprocess.TimeoutExpired) as e:
            result = {p: f"{type(e).__name__}: {e}" for p in POINTS}
        bad = [p for p in POINTS if result[p]]
        for p in POINTS:
            if result[p]:
                failing[p].append(name)
            else:
                agreed[p] += 1
        if not bad:
            all_points += 1
            continue
        if args.diffs < 0 or printed < args.diffs:
            printed += 1
            print(f"FAIL {name}: {', '.join(bad)}")
            for p in bad:
                print(f"  -- {p}")
                print("\n".join("    " + line for line in result[p].splitlines()))

    print()
    if total == 0:
        print("no messages found in " + ", ".join(folders))
        return 1
    print("agreement with Python's email package over %d messages:" % total)
    for p in POINTS:
        print(f"  {p:<12} {agreed[p]}/{total}")
    print(f"  {'all points':<12} {all_points}/{total}")
    for p in POINTS:
        if failing[p] and len(failing[p]) <= 30:
            print(f"  {p} differs: {' '.join(failing[p])}")
    if unread:
        print(f"{len(unread)} message(s) Python could not read (left out):")
        for line in unread[:20]:
            print("  " + line)
    return 0 if all_points == total else 1


if __name__ == "__main__":
    sys.exit(main())
