"""The capture server against Python's own SMTP client: loopback only, every
message stored byte for byte, STARTTLS with a certificate that verifies
against the CA it prints, AUTH with given credentials, DSN parameters, and a
clean stop on SIGTERM."""

import base64
import json
import os
import shutil
import smtplib
import socket
import ssl
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from helpers import PYTHON, WAIT, CaptureServer  # noqa: E402

BUILD_DIR = None
MESSAGE = (b"From: a@example.org\r\nTo: b@example.org\r\nSubject: =?utf-8?q?Gr=C3=BC=C3=9Fe?=\r\n"
           b"\r\nline one\r\n.dot line\r\n\xc3\xa4 8-bit\r\n")


class CaptureServerTest(unittest.TestCase):
    def setUp(self):
        self.bin = os.path.join(BUILD_DIR, "bin")
        self.dir = tempfile.mkdtemp(prefix="capture-test.")
        self.servers = []

    def tearDown(self):
        for s in self.servers:
            s.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def start(self, *args):
        s = CaptureServer(self.bin, os.path.join(self.dir, "mail"), *args)
        self.servers.append(s)
        return s

    def stored(self, server):
        path = server.next_message()
        with open(path, "rb") as f:
            data = f.read()
        with open(path[:-4] + ".json") as f:
            return path, data, json.load(f)

    def test_plain_messages_are_stored_in_order_byte_for_byte(self):
        server = self.start()
        with smtplib.SMTP("127.0.0.1", server.port, timeout=WAIT) as c:
            c.sendmail("a@example.org", ["b@example.org"], MESSAGE)
            c.sendmail("c@example.org", ["d@example.org", "e@example.org"], b"Subject: two\r\n\r\nx\r\n")
        path, data, env = self.stored(server)
        self.assertTrue(path.endswith("msg-0001.eml"))
        self.assertEqual(data, MESSAGE)
        self.assertEqual((env["mail_from"], env["rcpt_tos"], env["tls"], env["auth_user"]),
                         ("a@example.org", ["b@example.org"], False, None))
        self.assertIn("subject 'Gr\u00fc\u00dfe'", server.output[-1])
        path, data, env = self.stored(server)
        self.assertTrue(path.endswith("msg-0002.eml"))
        self.assertEqual(env["rcpt_tos"], ["d@example.org", "e@example.org"])
        self.assertEqual(server.stop(), 0)
        self.assertIn("stopped after 2 message(s)", server.next_line())

    def test_ehlo_reply_arrives_in_one_write_and_offers_dsn(self):
        server = self.start("--tls", "--auth")
        with socket.create_connection(("127.0.0.1", server.port), timeout=WAIT) as s:
            f = s.makefile("rb")
            self.assertTrue(f.readline().startswith(b"220 "))
            s.sendall(b"EHLO client\r\n")
            # One receive holds the whole reply: clients that read a reply
            # with a single receive see every capability.
            reply = s.recv(65536)
            self.assertTrue(reply.endswith(b"250 HELP\r\n"), reply)
            for cap in (b"250-STARTTLS", b"250-DSN", b"250-8BITMIME"):
                self.assertIn(cap, reply)
            self.assertNotIn(b"AUTH", reply, "AUTH is offered after STARTTLS only")
            s.sendall(b"QUIT\r\n")

    def test_starttls_verifies_against_the_printed_ca_and_auth_checks_credentials(self):
        server = self.start("--tls", "--user", "user1", "--password", "p w")
        self.assertTrue(server.ca and os.path.isfile(server.ca))
        context = ssl.create_default_context(cafile=server.ca)
        for host in ("127.0.0.1", "localhost"):
            with smtplib.SMTP("127.0.0.1", server.port, timeout=WAIT) as c:
                c._host = host  # the name the certificate is checked against
                c.starttls(context=context)
                with self.assertRaises(smtplib.SMTPAuthenticationError):
                    c.login("user1", "wrong")
        with smtplib.SMTP("127.0.0.1", server.port, timeout=WAIT) as c:
            c.starttls(context=context)
            with self.assertRaises(smtplib.SMTPSenderRefused):
                c.sendmail("a@example.org", ["b@example.org"], MESSAGE)  # AUTH required
        for mechanism in ("PLAIN", "LOGIN"):
            with smtplib.SMTP("127.0.0.1", server.port, timeout=WAIT) as c:
                c.starttls(context=context)
                c.ehlo()
                c.user, c.password = "user1", "p w"
                code, _ = c.auth(mechanism, getattr(c, "auth_" + mechanism.lower()),
                                 initial_response_ok=False)
                self.assertEqual(code, 235, mechanism)
                c.sendmail("a@example.org", ["b@example.org"], MESSAGE)
            _, data, env = self.stored(server)
            self.assertEqual(data, MESSAGE)
            self.assertEqual((env["tls"], env["auth_user"]), (True, "user1"))

    def test_auth_without_tls_accepts_any_credentials(self):
        server = self.start("--auth")
        with smtplib.SMTP("127.0.0.1", server.port, timeout=WAIT) as c:
            c.login("anyone", "anything")
            c.sendmail("a@example.org", ["b@example.org"], MESSAGE)
        _, _, env = self.stored(server)
        self.assertEqual((env["tls"], env["auth_user"]), (False, "anyone"))

    def test_auth_login_prompts_are_username_and_password(self):
        server = self.start("--auth")
        with smtplib.SMTP("127.0.0.1", server.port, timeout=WAIT) as c:
            c.ehlo()
            code, prompt = c.docmd("AUTH", "LOGIN")
            self.assertEqual((code, base64.b64decode(prompt)), (334, b"Username:"))
            code, prompt = c.docmd(base64.b64encode(b"someone").decode("ascii"))
            self.assertEqual((code, base64.b64decode(prompt)), (334, b"Password:"))
            code, _ = c.docmd(base64.b64encode(b"secret").decode("ascii"))
            self.assertEqual(code, 235)

    def test_rcpt_notify_parameters_are_accepted_checked_and_recorded(self):
        server = self.start()
        with smtplib.SMTP("127.0.0.1", server.port, timeout=WAIT) as c:
            c.ehlo()
            c.mail("a@example.org")
            self.assertEqual(c.rcpt("b@example.org", ["NOTIFY=SUCCESS,FAILURE"])[0], 250)
            self.assertEqual(c.rcpt("c@example.org", ["NOTIFY=FAILURE", "ORCPT=rfc822;c@example.org"])[0], 250)
            self.assertEqual(c.rcpt("d@example.org")[0], 250)
            self.assertEqual(c.rcpt("e@example.org", ["NOTIFY=SOMETIMES"])[0], 501)
            self.assertEqual(c.rcpt("f@example.org", ["NOTIFY=NEVER,SUCCESS"])[0], 501)
            self.assertEqual(c.data(MESSAGE)[0], 250)
        _, _, env = self.stored(server)
        self.assertEqual(env["rcpt_params"], [
            {"address": "b@example.org", "params": ["NOTIFY=SUCCESS,FAILURE"]},
            {"address": "c@example.org", "params": ["NOTIFY=FAILURE", "ORCPT=rfc822;c@example.org"]},
            {"address": "d@example.org", "params": []},
        ])
        self.assertIn("NOTIFY=FAILURE NOTIFY=SUCCESS,FAILURE", server.output[-1])

    def test_refuses_addresses_that_are_not_loopback(self):
        for host in ("0.0.0.0", "192.0.2.1", "example.org"):
            p = subprocess.run([PYTHON, os.path.join(self.bin, "capture-server.py"), "--dir",
                                self.dir, "--host", host], stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True, timeout=WAIT)
            self.assertEqual(p.returncode, 2, host)
            self.assertIn("loopback", p.stdout)


if __name__ == "__main__":
    BUILD_DIR = os.path.abspath(sys.argv[1])
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[2:])
