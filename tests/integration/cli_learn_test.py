#!/usr/bin/env python3
"""norva-cli learn and classify over message files written by Python's email package: what one
run learns the next run classifies by, a message learned again the other way is corrected, and
bad input is told apart from good input without losing the rest.
Usage: cli_learn_test.py NORVA_CLI"""
import os
import subprocess
import sys
import tempfile
from email.message import EmailMessage
from email.utils import format_datetime, make_msgid
import datetime

CLI = sys.argv[1]
FAILURES = []


def run(*args, status=0):
    proc = subprocess.run([CLI, *args], capture_output=True, text=True, timeout=60)
    if proc.returncode != status:
        FAILURES.append(f"{args[:3]}: exit {proc.returncode}, want {status}: {proc.stderr}")
    return proc


def expect(name, ok, detail=""):
    if not ok:
        FAILURES.append(f"{name} {detail}")


def message(folder, name, sender, subject, relay, mailer, html):
    msg = EmailMessage()
    msg["From"] = sender
    msg["To"] = "me@example.org, Anna <anna@example.org>"
    msg["Subject"] = subject
    msg["Date"] = format_datetime(datetime.datetime(2026, 12, 7, 9, 30, tzinfo=datetime.timezone.utc))
    msg["Message-ID"] = make_msgid(domain=sender.split("@")[1].rstrip(">"))
    msg["X-Mailer"] = mailer
    msg.set_content("Hello,\n\nsee below.\n")
    if html:
        msg.add_alternative("<p>Hello, <b>see below</b>.</p>", subtype="html")
    raw = (f"Received: from {relay}\r\n\tby mx.example.org (Postfix) with ESMTPS id 4B5C6D\r\n"
           f"\tfor <me@example.org>; Mon, 07 Dec 2026 09:30:02 +0000\r\n").encode() + bytes(msg)
    path = os.path.join(folder, name)
    with open(path, "wb") as f:
        f.write(raw)
    return path


def spam(folder, i):
    return message(folder, f"spam{i}.eml", f"Prize Desk <win{i}@prize{i % 4}.biz>",
                   f"Ｙｏｕ ＷＯＮ €{1000 * i} — claim now!!!",
                   f"203.0.113.{i} (unknown [203.0.113.{i}])", "BulkMail Pro 5.1", True)


def safe(folder, i):
    return message(folder, f"safe{i}.eml", f"Jürgen Müller <juergen{i}@lists.example.com>",
                   f"Re: [dev] Build notes für Release {i}",
                   "lists.example.com (lists.example.com [198.51.100.20])",
                   "Mozilla Thunderbird 128.5", False)


def scores(text):
    out = {}
    for line in text.splitlines():
        value, name = line.split(" ", 1)
        out[os.path.basename(name)] = float(value)
    return out


with tempfile.TemporaryDirectory() as work:
    folder = os.path.join(work, "program")
    mail = os.path.join(work, "mail")
    os.mkdir(mail)
    spams = [spam(mail, i) for i in range(30)]
    safes = [safe(mail, i) for i in range(60)]

    # Nothing learned: every file scores one half, and the user is told why.
    proc = run("classify", "--folder", folder, spams[0], safes[0])
    expect("empty learner", scores(proc.stdout) == {"spam0.eml": 0.5, "safe0.eml": 0.5}, proc.stdout)
    expect("empty learner says so", "knows no message" in proc.stderr, proc.stderr)

    # Learn in separate runs, then classify the ones not learned in another.
    run("learn", "--folder", folder, "--spam", *spams[:20])
    proc = run("learn", "--folder", folder, "--ham", *safes[:40])
    expect("learn summary", "knows 20 spam and 40 safe messages" in proc.stdout, proc.stdout)
    got = scores(run("classify", "--folder", folder, *spams[20:], *safes[40:]).stdout)
    expect("one line per file", len(got) == 30, str(len(got)))
    low_spam = min(v for k, v in got.items() if k.startswith("spam"))
    high_safe = max(v for k, v in got.items() if k.startswith("safe"))
    expect("spam look-alikes score high", low_spam > 0.9, str(low_spam))
    expect("safe look-alikes score low", high_safe < 0.1, str(high_safe))
    expect("probabilities are plain decimals",
           all("e" not in line.split()[0] for line in run("classify", "--folder", folder, *safes).stdout.splitlines()))

    # The same file again is counted once; learned the other way it is moved.
    proc = run("learn", "--folder", folder, "--spam", spams[0])
    expect("learned again", "(1 learned so already)" in proc.stdout, proc.stdout)
    proc = run("learn", "--folder", folder, "--ham", spams[0])
    expect("corrected", "knows 19 spam and 41 safe messages" in proc.stdout, proc.stdout)

    # Bad input: usage errors change nothing; an unreadable file fails the run but not the rest.
    before = open(os.path.join(folder, "Learn.QDB"), "rb").read()
    for args in (["learn", "--folder", folder, spams[1]],
                 ["learn", "--folder", folder, "--spam", "--ham", spams[1]],
                 ["learn", "--folder", folder, "--spam"],
                 ["classify", "--folder", folder],
                 ["learn", "--folder", folder, "--bogus", spams[1]]):
        run(*args, status=2)
    expect("usage errors leave the state", open(os.path.join(folder, "Learn.QDB"), "rb").read() == before)
    missing = os.path.join(mail, "missing.eml")
    empty = os.path.join(mail, "empty.eml")
    open(empty, "wb").close()
    padded = os.path.join(mail, "padded.eml")  # blank lines before its header block
    with open(padded, "wb") as f:
        f.write(b"\r\n\n" + open(spams[23], "rb").read())
    proc = run("learn", "--folder", folder, "--spam", empty, spams[24], padded)
    expect("a file without a header block is skipped",
           "learned 2 spam messages (1 without a header block);" in proc.stdout, proc.stdout)
    proc = run("learn", "--folder", folder, "--spam", missing, empty, spams[25], status=1)
    expect("the readable file is learned", "learned 1 spam message (1 without" in proc.stdout, proc.stdout)
    expect("the others are named", "missing.eml" in proc.stderr and "empty.eml" in proc.stderr, proc.stderr)
    proc = run("classify", "--folder", folder, missing, spams[26], status=1)
    expect("classify goes on after a bad file", list(scores(proc.stdout)) == ["spam26.eml"], proc.stdout)

    # A damaged state is reported, not read as empty, and not overwritten.
    with open(os.path.join(folder, "Learn.QDB"), "r+b") as f:
        f.seek(0)
        f.write(b"garbage!")
    proc = run("classify", "--folder", folder, spams[0], status=1)
    expect("damaged state named", "Learn.QDB" in proc.stderr, proc.stderr)
    run("learn", "--folder", folder, "--spam", spams[2], status=1)

if FAILURES:
    print("\n".join(FAILURES))
    sys.exit(1)
print("cli learn: ok")
