#!/usr/bin/env python3
"""norva-testserver through Python's poplib and smtplib, and the demo mailbox generator.
Usage: testserver_test.py NORVA_TESTSERVER [unittest arguments]"""
import email
import email.policy
import os
import poplib
import signal
import smtplib
import socket
import subprocess
import sys
import tempfile
import time
import unittest

SERVER = None
GENERATOR = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                         "..", "..", "tools", "demo", "make-demo-mail.py")
USER, PASSWORD = "demo", "two words"

# LF line ends, a line starting with a dot, a blank line in the body.
FIRST = b"From: a@example.org\nSubject: first\n\n.dotted line\nline 2\n\nline 4\n"
SECOND = b"From: b@example.org\r\nSubject: second\r\n\r\nbody\r\n"


class ServerCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.maildir = os.path.join(self.tmp.name, "mail")
        os.mkdir(self.maildir)
        for name, data in (("a.eml", FIRST), ("b.eml", SECOND)):
            with open(os.path.join(self.maildir, name), "wb") as f:
                f.write(data)
        self.ready = os.path.join(self.tmp.name, "ready")
        self.proc = subprocess.Popen([SERVER, "--maildir", self.maildir, "--user", USER,
                                      "--password", PASSWORD, "--ready-file", self.ready],
                                     stdout=subprocess.DEVNULL)
        deadline = time.time() + 10
        while not os.path.exists(self.ready):
            self.assertIsNone(self.proc.poll(), "the server exited")
            self.assertLess(time.time(), deadline, "no ready file")
            time.sleep(0.02)
        with open(self.ready) as f:
            ports = dict(line.split("=") for line in f.read().split())
        self.pop3_port, self.smtp_port = int(ports["POP3_PORT"]), int(ports["SMTP_PORT"])

    def tearDown(self):
        self.proc.send_signal(signal.SIGTERM)
        self.assertEqual(self.proc.wait(10), 0)
        self.assertFalse(os.path.exists(self.ready), "the ready file outlived the server")
        self.tmp.cleanup()

    def pop(self, password=PASSWORD):
        box = poplib.POP3("127.0.0.1", self.pop3_port, timeout=10)
        self.addCleanup(box.close)
        box.user(USER)
        box.pass_(password)
        return box

    def raw(self, port, lines):
        """Sends the lines at once and returns the replies up to the server's close."""
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            s.sendall(b"".join(line + b"\r\n" for line in lines))
            data = b""
            while chunk := s.recv(65536):
                data += chunk
        return data.split(b"\r\n")

    def files(self):
        return sorted(f for f in os.listdir(self.maildir) if f.endswith(".eml"))

    def test_reading(self):
        box = self.pop()
        sizes = [len(FIRST) + FIRST.count(b"\n"), len(SECOND)]  # LF counted as CR LF
        self.assertEqual(box.stat(), (2, sum(sizes)))
        self.assertEqual(box.list()[1], [b"1 %d" % sizes[0], b"2 %d" % sizes[1]])
        self.assertEqual(box.list(2), b"+OK 2 %d" % sizes[1])
        self.assertEqual(box.uidl()[1], [b"1 a.eml", b"2 b.eml"])
        self.assertEqual(box.uidl(1), b"+OK 1 a.eml")
        self.assertEqual(box.retr(1)[1], FIRST.rstrip(b"\n").split(b"\n"))
        self.assertEqual(box.retr(2)[1], SECOND.rstrip(b"\r\n").split(b"\r\n"))
        self.assertEqual(box.top(1, 0)[1], [b"From: a@example.org", b"Subject: first", b""])
        self.assertEqual(box.top(1, 2)[1][-2:], [b".dotted line", b"line 2"])
        box.noop()
        # One session at a time holds the mailbox.
        with self.assertRaisesRegex(poplib.error_proto, "IN-USE"):
            self.pop()
        box.quit()
        # On the wire: dot-stuffed, CR LF throughout.
        replies = self.raw(self.pop3_port, [b"USER " + USER.encode(),
                                            b"PASS " + PASSWORD.encode(), b"RETR 1", b"QUIT"])
        self.assertIn(b"..dotted line", replies)
        self.assertNotIn(b"\n", b"".join(replies))

    def test_refusals(self):
        replies = self.raw(self.pop3_port, [b"STAT", b"RETR 1", b"USER " + USER.encode(),
                                            b"PASS wrong", b"LIST", b"USER " + USER.encode(),
                                            b"PASS " + PASSWORD.encode(), b"RETR 0", b"RETR 3",
                                            b"LIST x", b"TOP 1", b"DELE 1", b"DELE 1", b"RETR 1",
                                            b"X" * 1001, b"BOGUS", b"STAT", b"QUIT"])
        status = [r.split(b" ")[0] for r in replies if r.startswith((b"+OK", b"-ERR"))]
        self.assertEqual(status, [b"+OK",  # greeting
                                  b"-ERR", b"-ERR", b"+OK", b"-ERR", b"-ERR", b"+OK", b"+OK",
                                  b"-ERR", b"-ERR", b"-ERR", b"-ERR", b"+OK", b"-ERR", b"-ERR",
                                  b"-ERR", b"-ERR", b"+OK", b"+OK"])
        self.assertIn(b"-ERR line too long", replies)
        self.assertEqual(self.files(), ["b.eml"])  # the DELE took effect at QUIT
        with self.assertRaises(poplib.error_proto):
            self.pop("wrong")

    def test_delete(self):
        box = self.pop()
        box.dele(1)
        self.assertEqual(box.stat()[0], 1)
        with self.assertRaises(poplib.error_proto):
            box.retr(1)
        box.rset()
        self.assertEqual(box.stat()[0], 2)
        box.dele(2)
        box.sock.shutdown(socket.SHUT_RDWR)  # gone without QUIT: nothing is deleted
        box = self.pop()
        self.assertEqual(box.stat()[0], 2)
        box.dele(2)
        box.quit()
        self.assertEqual(self.files(), ["a.eml"])

    def test_sending(self):
        open_box = self.pop()  # a session sees the mailbox as it was at its login
        body = "Subject: hello\r\n\r\n.leading dot\r\n..two dots\r\nend\r\n"
        with smtplib.SMTP("127.0.0.1", self.smtp_port, timeout=10) as smtp:
            smtp.ehlo()
            self.assertTrue(smtp.has_extn("8bitmime"))
            smtp.sendmail("me@norva.test", ["me@norva.test"], body)
            smtp.sendmail("me@norva.test", ["me@norva.test"], "Subject: again\r\n\r\nx\r\n")
        self.assertEqual(self.files(), ["a.eml", "b.eml", "b_0001.eml", "b_0002.eml"])
        with open(os.path.join(self.maildir, "b_0001.eml"), "rb") as f:
            self.assertEqual(f.read(), body.encode())
        self.assertEqual(open_box.stat()[0], 2)
        open_box.quit()
        box = self.pop()
        self.assertEqual(box.stat()[0], 4)
        self.assertEqual(box.uidl(3), b"+OK 3 b_0001.eml")
        self.assertEqual(box.retr(3)[1], body.encode().rstrip(b"\r\n").split(b"\r\n"))

    def test_smtp_refusals(self):
        replies = self.raw(self.smtp_port, [b"MAIL FROM:<a@b>", b"HELO me", b"RCPT TO:<a@b>",
                                            b"MAIL FROM:<a@b>", b"DATA", b"RCPT TO:<>",
                                            b"MAIL FROM:a@b", b"X" * 1001, b"BOGUS", b"RSET",
                                            b"RCPT TO:<a@b>", b"QUIT"])
        codes = [r[:3] for r in replies if r]
        self.assertEqual(codes, [b"220", b"503", b"250", b"503", b"250", b"503", b"501", b"503",
                                 b"500", b"500", b"250", b"503", b"221"])
        self.assertEqual(self.files(), ["a.eml", "b.eml"])


class DemoMailTest(unittest.TestCase):
    def test_demo_mailbox(self):
        with tempfile.TemporaryDirectory() as a, tempfile.TemporaryDirectory() as b:
            for out in (a, b):
                subprocess.run([sys.executable, GENERATOR, out], check=True,
                               stdout=subprocess.DEVNULL)
            names = sorted(os.listdir(a))
            self.assertEqual(names, sorted(os.listdir(b)))
            self.assertTrue(25 <= len(names) <= 35, names)
            messages = []
            for name in names:
                with open(os.path.join(a, name), "rb") as f:
                    data = f.read()
                with open(os.path.join(b, name), "rb") as f:
                    self.assertEqual(data, f.read(), "not the same bytes twice: " + name)
                msg = email.message_from_bytes(data, policy=email.policy.default)
                self.assertFalse(msg.defects, name)
                self.assertTrue(msg["Date"].datetime.year == 2026, name)
                messages.append(msg)
        subjects = [str(m["Subject"]) for m in messages]
        self.assertIn("Grüße aus München", subjects)
        self.assertIn("Café rendez-vous à midi", subjects)
        self.assertEqual(sum("URGENT" in s for s in subjects), 1)
        self.assertTrue(any(m["X-Advertisement"] for m in messages))
        self.assertTrue(any(m["List-Id"] and m["Precedence"] == "bulk" for m in messages))
        parts = [p for m in messages for p in m.iter_attachments()]
        self.assertTrue(any(p.get_content_type() == "image/png" and
                            p.get_content().startswith(b"\x89PNG\r\n") for p in parts))
        self.assertTrue(any(p.get_content_type() == "text/plain" for p in parts))


if __name__ == "__main__":
    SERVER = sys.argv.pop(1)
    unittest.main()
