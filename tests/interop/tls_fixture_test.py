#!/usr/bin/python3
"""The TLS servers work as the secure-connection tests expect, checked with Python's own clients.

Usage: tls_fixture_test.py POP3_ENVFILE SMTP_ENVFILE   (from pop3_fixture.sh/smtp_fixture.sh --tls)
Exits 77 (skipped) when a fixture reports that its server cannot run here.
"""
import base64, json, pathlib, poplib, smtplib, socket, ssl, sys, threading, unittest, uuid


def read_env(path):
    env = {}
    for line in pathlib.Path(path).read_text().splitlines():
        key, sep, value = line.partition("=")
        if sep:
            env[key] = value
    return env


POP3 = SMTP = {}


def trusting(ca):
    return ssl.create_default_context(cafile=ca)


class Pop3Tls(unittest.TestCase):
    def check_mailbox(self, pop):
        pop.user(POP3["POP3_USER"])
        pop.pass_(POP3["POP3_PASS"])
        self.assertEqual(pop.stat()[0], int(POP3["POP3_COUNT"]))
        pop.quit()

    def test_implicit_tls_on_the_pop3s_port(self):
        pop = poplib.POP3_SSL("127.0.0.1", int(POP3["POP3S_PORT"]), timeout=10,
                              context=trusting(POP3["POP3_CA"]))
        self.assertIsNotNone(pop.sock.version())
        self.check_mailbox(pop)

    def test_stls_on_the_plain_port_and_clear_logins_still_allowed(self):
        pop = poplib.POP3("localhost", int(POP3["POP3_PORT"]), timeout=10)
        self.assertIn("STLS", pop.capa())
        pop.stls(trusting(POP3["POP3_CA"]))
        self.check_mailbox(pop)
        # The server takes a password in clear, so refusing to send one is up to the client.
        self.check_mailbox(poplib.POP3("127.0.0.1", int(POP3["POP3_PORT"]), timeout=10))

    def test_certificate_is_not_trusted_without_the_test_ca(self):
        with self.assertRaises(ssl.SSLCertVerificationError):
            poplib.POP3_SSL("127.0.0.1", int(POP3["POP3S_PORT"]), timeout=10,
                            context=ssl.create_default_context())


class BadCertificates(unittest.TestCase):
    """wronghost.pem and selfsigned.pem fail for the reason their names promise."""

    def handshake_error(self, name):
        tls = pathlib.Path(POP3["POP3_CA"]).parent
        server_ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        server_ctx.load_cert_chain(tls / f"{name}.pem", tls / f"{name}.key")
        with socket.create_server(("127.0.0.1", 0)) as listener:
            def serve():
                conn, _ = listener.accept()
                try:
                    server_ctx.wrap_socket(conn, server_side=True).close()
                except (ssl.SSLError, OSError):
                    conn.close()
            thread = threading.Thread(target=serve)
            thread.start()
            try:
                with socket.create_connection(listener.getsockname(), timeout=10) as sock:
                    with self.assertRaises(ssl.SSLCertVerificationError) as caught:
                        trusting(POP3["POP3_CA"]).wrap_socket(sock, server_hostname="localhost")
            finally:
                thread.join(10)
        return caught.exception.verify_code

    def test_wrong_host_and_self_signed(self):
        self.assertEqual(self.handshake_error("wronghost"), 62)   # X509_V_ERR_HOSTNAME_MISMATCH
        self.assertEqual(self.handshake_error("selfsigned"), 18)  # ..._DEPTH_ZERO_SELF_SIGNED_CERT


class SmtpTls(unittest.TestCase):
    def send(self, smtp):
        """Sends a message with a fresh subject; returns its envelope as the sink recorded it."""
        token = uuid.uuid4().hex
        smtp.sendmail("from@example.org", ["to@example.org"],
                      f"Subject: {token}\r\n\r\nbody\r\n".encode())
        smtp.quit()
        for eml in pathlib.Path(SMTP["SMTP_DIR"]).glob("*.eml"):
            if token.encode() in eml.read_bytes():
                return json.loads(eml.with_suffix(".json").read_text())
        self.fail("the message did not arrive")

    def test_starttls_then_auth_plain(self):
        smtp = smtplib.SMTP("127.0.0.1", int(SMTP["SMTP_PORT"]), timeout=10)
        smtp.starttls(context=trusting(SMTP["SMTP_CA"]))
        smtp.ehlo()
        self.assertIn("PLAIN", smtp.esmtp_features["auth"].split())
        with self.assertRaises(smtplib.SMTPAuthenticationError):
            smtp.auth("PLAIN", lambda challenge=None: "\0%s\0wrong" % SMTP["SMTP_USER"])
        smtp.user, smtp.password = SMTP["SMTP_USER"], SMTP["SMTP_PASS"]
        self.assertEqual(smtp.auth("PLAIN", smtp.auth_plain)[0], 235)
        envelope = self.send(smtp)
        self.assertTrue(envelope["tls"])
        self.assertTrue(envelope["authenticated"])

    def test_implicit_tls_then_auth_login(self):
        smtp = smtplib.SMTP_SSL("localhost", int(SMTP["SMTPS_PORT"]), timeout=10,
                                context=trusting(SMTP["SMTP_CA"]))
        smtp.ehlo()
        self.assertNotIn("starttls", smtp.esmtp_features)
        smtp.user, smtp.password = SMTP["SMTP_USER"], SMTP["SMTP_PASS"]
        self.assertEqual(smtp.auth("LOGIN", smtp.auth_login, initial_response_ok=False)[0], 235)
        envelope = self.send(smtp)
        self.assertTrue(envelope["tls"])
        self.assertTrue(envelope["authenticated"])

    def test_no_auth_before_starttls_but_mail_is_accepted(self):
        smtp = smtplib.SMTP("127.0.0.1", int(SMTP["SMTP_PORT"]), timeout=10)
        smtp.ehlo()
        self.assertIn("starttls", smtp.esmtp_features)
        self.assertNotIn("auth", smtp.esmtp_features)
        plain = base64.b64encode(f"\0{SMTP['SMTP_USER']}\0{SMTP['SMTP_PASS']}".encode()).decode()
        self.assertEqual(smtp.docmd("AUTH", "PLAIN " + plain)[0], 538)
        envelope = self.send(smtp)
        self.assertFalse(envelope["tls"])
        self.assertFalse(envelope["authenticated"])


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    POP3, SMTP = read_env(sys.argv[1]), read_env(sys.argv[2])
    for reason in (POP3.get("POP3_SKIP"), SMTP.get("SMTP_SKIP")):
        if reason:
            print("skipped:", reason)
            sys.exit(77)
    unittest.main(argv=sys.argv[:1], verbosity=2)
