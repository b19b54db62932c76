"""The newcomer's tools on loopback, read back with Python's own email package:
the capture server against Python's SMTP client, smtpmail-send (the sample
host) against the capture server, and `make demo`'s steps (scripts/demo.sh on
a built tree, without the package installation).

    test_demo.py BUILD_DIR SOURCE_DIR [TestClass ...]
"""

import base64
import email
import email.policy
import email.utils
import json
import os
import queue
import shutil
import smtplib
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import unittest

BUILD_DIR = SOURCE_DIR = BIN = None
PYTHON = "/usr/bin/python3"
WAIT = 60  # seconds; every wait below is bounded by it


def run(cmd, env=None):
    """Runs a command, returns (exit code, combined output)."""
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                       errors="replace", env=dict(os.environ, **(env or {})), timeout=WAIT * 3)
    return p.returncode, p.stdout


def read_stored(eml):
    """The message of a stored .eml file and the envelope beside it."""
    with open(eml, "rb") as f:
        raw = f.read()
    with open(eml[:-4] + ".json") as f:
        return raw, email.message_from_bytes(raw, policy=email.policy.default), json.load(f)


class CaptureServer:
    """bin/capture-server.py on a free loopback port, its output read with bounded waits."""

    def __init__(self, mail_dir, *args):
        self.lines = queue.Queue()
        self.output = []
        self.proc = subprocess.Popen(
            [PYTHON, os.path.join(BIN, "capture-server.py"), "--dir", mail_dir] + list(args),
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        threading.Thread(target=self._pump, daemon=True).start()
        self.ca = self.port = None
        while self.port is None:
            line = self.next_line()
            if "CA certificate " in line:
                self.ca = line.split("CA certificate ", 1)[1]
            elif "listening on " in line:
                self.port = int(line.rsplit(" ", 1)[1])

    def _pump(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def next_line(self):
        try:
            line = self.lines.get(timeout=WAIT)
        except queue.Empty:
            line = "(silent for %d s)" % WAIT
        if line is None or line.startswith("(silent"):
            raise AssertionError("capture server: %s; output:\n%s"
                                 % (line or "ended", "\n".join(self.output)))
        self.output.append(line)
        return line

    def next_message(self):
        """The next stored message (its summary line comes after the file)."""
        while True:
            line = self.next_line()
            if " message " in line and " -> " in line:
                return read_stored(line.rsplit(" -> ", 1)[1])

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=WAIT)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode

    def close(self):
        self.stop()
        self.proc.stdout.close()


# ---------------------------------------------------------------- capture server

MESSAGE = (b"From: a@example.org\r\nTo: b@example.org\r\nSubject: =?utf-8?q?Gr=C3=BC=C3=9Fe?=\r\n"
           b"\r\nline one\r\n.dot line\r\n\xc3\xa4 8-bit\r\n")


class CaptureServerTest(unittest.TestCase):
    """Loopback only, every message stored byte for byte, STARTTLS with a
    certificate that verifies against the CA it prints, AUTH with given
    credentials, DSN parameters, and a clean stop on SIGTERM."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="capture-test.")
        self.servers = []

    def tearDown(self):
        for s in self.servers:
            s.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def start(self, *args):
        self.servers.append(CaptureServer(os.path.join(self.dir, "mail"), *args))
        return self.servers[-1]

    def test_plain_messages_are_stored_in_order_byte_for_byte(self):
        server = self.start()
        with smtplib.SMTP("127.0.0.1", server.port, timeout=WAIT) as c:
            c.sendmail("a@example.org", ["b@example.org"], MESSAGE)
            c.sendmail("c@example.org", ["d@example.org", "e@example.org"], b"Subject: two\r\n\r\nx\r\n")
        data, _, env = server.next_message()
        self.assertTrue(server.output[-1].endswith("msg-0001.eml"))
        self.assertEqual(data, MESSAGE)
        self.assertEqual((env["mail_from"], env["rcpt_tos"], env["tls"], env["auth_user"]),
                         ("a@example.org", ["b@example.org"], False, None))
        self.assertIn("subject 'Gr\u00fc\u00dfe'", server.output[-1])
        _, _, env = server.next_message()
        self.assertTrue(server.output[-1].endswith("msg-0002.eml"))
        self.assertEqual(env["rcpt_tos"], ["d@example.org", "e@example.org"])
        self.assertEqual(server.stop(), 0)
        self.assertIn("stopped after 2 message(s)", server.next_line())

    def test_ehlo_reply_arrives_in_one_write_and_offers_dsn(self):
        server = self.start("--tls", "--auth")
        with socket.create_connection(("127.0.0.1", server.port), timeout=WAIT) as s:
            self.assertTrue(s.makefile("rb").readline().startswith(b"220 "))
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
            data, _, env = server.next_message()
            self.assertEqual(data, MESSAGE)
            self.assertEqual((env["tls"], env["auth_user"]), (True, "user1"))

    def test_auth_without_tls_takes_any_credentials_with_the_usual_login_prompts(self):
        server = self.start("--auth")
        with smtplib.SMTP("127.0.0.1", server.port, timeout=WAIT) as c:
            c.ehlo()
            code, prompt = c.docmd("AUTH", "LOGIN")
            self.assertEqual((code, base64.b64decode(prompt)), (334, b"Username:"))
            code, prompt = c.docmd(base64.b64encode(b"anyone").decode("ascii"))
            self.assertEqual((code, base64.b64decode(prompt)), (334, b"Password:"))
            self.assertEqual(c.docmd(base64.b64encode(b"anything").decode("ascii"))[0], 235)
            c.sendmail("a@example.org", ["b@example.org"], MESSAGE)
        _, _, env = server.next_message()
        self.assertEqual((env["tls"], env["auth_user"]), (False, "anyone"))

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
        _, _, env = server.next_message()
        self.assertEqual(env["rcpt_params"], [
            {"address": "b@example.org", "params": ["NOTIFY=SUCCESS,FAILURE"]},
            {"address": "c@example.org", "params": ["NOTIFY=FAILURE", "ORCPT=rfc822;c@example.org"]},
            {"address": "d@example.org", "params": []},
        ])
        self.assertIn("NOTIFY=FAILURE NOTIFY=SUCCESS,FAILURE", server.output[-1])

    def test_refuses_addresses_that_are_not_loopback(self):
        for host in ("0.0.0.0", "192.0.2.1", "example.org"):
            rc, out = run([PYTHON, os.path.join(BIN, "capture-server.py"), "--dir", self.dir,
                           "--host", host])
            self.assertEqual(rc, 2, host)
            self.assertIn("loopback", out)


# ---------------------------------------------------------------- sample host

def write_ini(folder, **keys):
    with open(os.path.join(folder, "vx.ini"), "w") as f:
        f.write("[SMTP]\n" + "".join("%s=%s\n" % kv for kv in keys.items()))


def send(*args):
    return run([os.path.join(BIN, "smtpmail-send")] + list(args))


class DeliveryTest(unittest.TestCase):
    """smtpmail-send against the capture server: what each option puts on the
    wire, how the provider's settings are found, what a failed send shows."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="smtpmail-send-test.")
        cls.server = CaptureServer(os.path.join(cls.tmp, "mail"), "--auth",
                                   "--user", "sam", "--password", "pw 1")

    @classmethod
    def tearDownClass(cls):
        cls.server.close()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        self.cfg = tempfile.mkdtemp(dir=self.tmp)
        write_ini(self.cfg, smtpHost="127.0.0.1", smtpPort=self.server.port, smtpAuth=2,
                  smtpUser="sam", smtpPass="pw 1", smtpSenderName="Configured Sender",
                  smtpSenderAddr="configured@example.org")

    def sent(self, *args):
        rc, out = send("--config-dir", self.cfg, *args)
        self.assertEqual(rc, 0, out)
        _, msg, env = self.server.next_message()
        return msg, env, out

    def test_plain_message_with_configured_sender_and_defaults(self):
        msg, env, out = self.sent("--to", "x@example.org", "--subject", "Plain",
                                  "--body", "line one\nline two", "--plain")
        self.assertEqual((msg["From"].addresses[0].display_name, msg["From"].addresses[0].addr_spec),
                         ("Configured Sender", "configured@example.org"))
        self.assertEqual(env["auth_user"], "sam", "AUTH LOGIN with the INI credentials")
        self.assertEqual(env["rcpt_params"], [{"address": "x@example.org", "params": []}])
        self.assertEqual(msg.get_content_type(), "text/plain")
        self.assertEqual(msg.get_content().replace("\r\n", "\n").strip(), "line one\nline two")
        self.assertIsNone(msg["X-Priority"], "no --priority, no priority line")
        self.assertIsNone(msg["Disposition-Notification-To"])
        self.assertIn("Sent:", out)

    def test_from_options_priority_notify_and_receipt(self):
        msg, env, _ = self.sent("--to", "x@example.org", "--from", "other@example.org",
                                "--priority", "low", "--notify", "failure", "--receipt",
                                "--body", "b")
        # A bare --from changes the address and keeps the configured name.
        self.assertEqual(msg["From"].addresses[0].display_name, "Configured Sender")
        self.assertEqual(msg["From"].addresses[0].addr_spec, "other@example.org")
        self.assertEqual(env["mail_from"], "other@example.org")
        self.assertEqual(str(msg["X-Priority"]).strip(), "5")
        self.assertEqual(env["rcpt_params"][0]["params"], ["NOTIFY=FAILURE"])
        self.assertEqual(str(msg["Disposition-Notification-To"]).strip(), "other@example.org")

        msg, env, _ = self.sent("--to", "x@example.org", "--from", "\"New Name\" <new@example.org>",
                                "--priority", "normal", "--notify", "success", "--body", "b")
        self.assertEqual(msg["From"].addresses[0].display_name, "New Name")
        self.assertEqual(str(msg["X-Priority"]).strip(), "3")
        self.assertEqual(env["rcpt_params"][0]["params"], ["NOTIFY=SUCCESS"])

    def test_body_file_html_and_unicode_names(self):
        body = os.path.join(self.cfg, "b.html")
        with open(body, "wb") as f:
            f.write("\ufeff<p>\u00c4rger \u2603</p>".encode("utf-8"))
        msg, env, out = self.sent("--to", "J\u00fcrgen M\u00fcller <jm@example.org>",
                                  "--bcc", "hidden@example.org", "--subject", "\u2603 snow",
                                  "--body-file", body, "--html")
        self.assertEqual(msg["To"].addresses[0].display_name, "J\u00fcrgen M\u00fcller")
        self.assertEqual(str(msg["Subject"]), "\u2603 snow")
        self.assertEqual(env["rcpt_tos"], ["jm@example.org", "hidden@example.org"])
        html = [p for p in msg.walk() if p.get_content_type() == "text/html"]
        self.assertEqual(len(html), 1, out)
        self.assertEqual(html[0].get_content().strip(), "<p>\u00c4rger \u2603</p>")

    def test_refused_connection_prints_the_error_report(self):
        with socket.socket() as unused:  # bound, never listening: the connection is refused
            unused.bind(("127.0.0.1", 0))
            write_ini(self.cfg, smtpHost="127.0.0.1", smtpPort=unused.getsockname()[1],
                      smtpAuth=0, smtpSenderAddr="configured@example.org")
            rc, out = send("--config-dir", self.cfg, "--to", "x@example.org", "--body", "b")
        self.assertEqual(rc, 1, out)
        self.assertIn("Not sent: Mail_Send returned 509 (MAILERR_ACCESS_DENIED)", out)
        self.assertIn("Error report (Mail_Execute 1001):", out)
        # The host's display text, the code twice, then the description and
        # the native code (10061, connection refused).
        self.assertIn("The mail server could not be reached or refused the login. (509, 0x1FD)", out)
        self.assertIn("An error occured connecting to server.", out)
        self.assertIn("0x274D", out)
        # The provider logs the failure through the host's interface with its level.
        self.assertIn("[error 3] CSMTPMailAPI::Send() - An error occured connecting to server.", out)

    def test_wrong_password_is_a_failed_send(self):
        write_ini(self.cfg, smtpHost="127.0.0.1", smtpPort=self.server.port, smtpAuth=3,
                  smtpUser="sam", smtpPass="wrong", smtpSenderAddr="configured@example.org")
        rc, out = send("--config-dir", self.cfg, "--to", "x@example.org", "--body", "b")
        self.assertEqual(rc, 1, out)
        self.assertIn("Error report (Mail_Execute 1001):", out)


class CommandLineTest(unittest.TestCase):
    """What needs no delivery: the command line, the help, a refused send."""

    def test_a_send_without_configuration_prints_the_providers_error_report(self):
        # The provider refuses the send without any network traffic; the report
        # comes from Mail_Execute 1001 with this host's display text.
        empty = tempfile.mkdtemp(prefix="smtpmail-send-cli.")
        try:
            rc, out = send("--config-dir", empty, "--from", "me@example.org", "--to", "x@example.org")
        finally:
            shutil.rmtree(empty, ignore_errors=True)
        self.assertEqual(rc, 1, out)
        self.assertIn("Not sent: Mail_Send returned 505 (MAILERR_INVALID_PARAMS).", out)
        self.assertIn("Error report (Mail_Execute 1001):", out)
        self.assertRegex(out, r"\n[A-Z][^\n]*\. \(505, 0x1F9\)\n\nCSMTPMailAPI::Send\(\) - "
                              r"HostName may not be NULL\.")
        self.assertIn("Provider name: SMTP", out)

    def test_bad_command_lines_are_refused_before_loading_anything(self):
        cases = [
            ([], "no recipient"),
            (["--to", "x@example.org", "--priority", "urgent"], "--priority takes low, normal or high"),
            (["--to", "x@example.org", "--notify", "always"], "--notify takes"),
            (["--to", "Name <x@example.org"], "must end with '>'"),
            (["--to", "x@example.org", "--attach", "/nonexistent/file"], "does not exist"),
            (["--to", "x@example.org", "--body", "a", "--body-file", "/etc/hostname"],
             "give the body once"),
            (["--to", "x@example.org", "--html", "--plain"], "exclude each other"),
            (["--to", "x@example.org", "--config-dir", "/nonexistent/dir"], "does not exist"),
            (["--to", "x@example.org", "--bogus"], "unknown option"),
            (["--to"], "needs a value"),
        ]
        for args, text in cases:
            rc, out = send(*args)
            self.assertEqual(rc, 2, (args, out))
            self.assertIn(text, out, args)
        rc, out = run([os.fsencode(os.path.join(BIN, "smtpmail-send")), b"--to", b"x\xff@example.org"])
        self.assertEqual(rc, 2, out)
        self.assertIn("is not valid UTF-8", out)

    def test_help_explains_every_option(self):
        rc, out = send("--help")
        self.assertEqual(rc, 0)
        for option in ("--to", "--cc", "--bcc", "--from", "--subject", "--body", "--body-file",
                       "--html", "--attach", "--priority", "--receipt", "--notify", "--config-dir",
                       "Mail_Execute", "Exit status"):
            self.assertIn(option, out)


# ---------------------------------------------------------------- make demo

SUBJECT = "smtpmail demo: HTML, text and an image \u2013 Gr\u00fc\u00dfe"


def normalise(text):
    # Generated MIME has CRLF line ends; the source files have LF.
    return "\n".join(line.rstrip() for line in text.replace("\r\n", "\n").strip().split("\n"))


class DemoTest(unittest.TestCase):
    """scripts/demo.sh's steps, checked through the message it captured."""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="smtpmail-demo-test.")
        cls.rc, cls.output = run(["bash", os.path.join(SOURCE_DIR, "scripts", "demo.sh"), BUILD_DIR],
                                 env={"SMTPMAIL_DEMO_DIR": cls.work})
        captured = os.path.join(cls.work, "captured")
        cls.emls = sorted(f for f in os.listdir(captured) if f.endswith(".eml")) \
            if os.path.isdir(captured) else []
        if cls.emls:
            cls.raw, cls.msg, cls.env = read_stored(os.path.join(captured, cls.emls[0]))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def content(self, name):
        with open(os.path.join(self.work, "content", name), "rb") as f:
            return f.read()

    def setUp(self):
        self.assertEqual(self.rc, 0, "demo.sh failed:\n" + self.output)
        self.assertEqual(len(self.emls), 1, "exactly one message captured:\n" + self.output)

    def test_demo_runs_every_step_and_stops_the_server(self):
        for n in range(1, 7):
            self.assertIn("==> %d. " % n, self.output)
        self.assertIn("Sent: the server accepted the message", self.output)
        self.assertIn("stopped after 1 message(s)", self.output)
        # The demo shows what arrived: the headers and each part.
        self.assertIn("Subject: " + SUBJECT, self.output)
        self.assertIn("attachment 'pixel.png': same bytes as the file sent", self.output)
        self.assertNotIn("DIFFERS", self.output)

    def test_envelope_went_through_starttls_and_auth_with_dsn(self):
        self.assertTrue(self.env["tls"], "STARTTLS was used")
        self.assertEqual(self.env["auth_user"], "demo")
        self.assertEqual(self.env["mail_from"], "demo@example.org")
        self.assertEqual([r["address"] for r in self.env["rcpt_params"]],
                         ["ada@example.org", "grace@example.org", "charles@example.org",
                          "audit@example.org"])
        for r in self.env["rcpt_params"]:
            self.assertEqual(r["params"], ["NOTIFY=SUCCESS,FAILURE"], r["address"])

    def test_headers_carry_sender_recipients_subject_priority_and_receipt(self):
        m = self.msg
        self.assertEqual(email.utils.parseaddr(str(m["From"])), ("smtpmail demo", "demo@example.org"))
        self.assertEqual([(a.display_name, a.addr_spec) for a in m["To"].addresses],
                         [("Ada Lovelace", "ada@example.org"), ("", "grace@example.org")])
        self.assertEqual([(a.display_name, a.addr_spec) for a in m["Cc"].addresses],
                         [("Charles Babbage", "charles@example.org")])
        self.assertIsNone(m["Bcc"], "a Bcc recipient is in the envelope only")
        self.assertNotIn(b"audit@example.org", self.raw)
        self.assertEqual(str(m["Subject"]), SUBJECT)
        self.assertIn(b"=?", self.raw.split(b"\r\n\r\n", 1)[0], "non-ASCII subject is encoded")
        self.assertEqual(str(m["X-Priority"]).strip(), "1")
        self.assertEqual(str(m["Disposition-Notification-To"]).strip(), "demo@example.org")
        self.assertIsNotNone(email.utils.parsedate_to_datetime(str(m["Date"])))
        self.assertEqual(m.get_content_type(), "multipart/mixed")

    def test_parts_decode_to_the_html_and_attachments_sent(self):
        parts = [p for p in self.msg.walk() if not p.is_multipart()]
        self.assertEqual([p.get_content_type() for p in parts],
                         ["text/html", "application/octet-stream", "application/octet-stream"])
        html = parts[0]
        self.assertIsNone(html.get_filename())
        self.assertEqual(normalise(html.get_content()),
                         normalise(self.content("body.html").decode("utf-8-sig")))
        self.assertIn("Gr\u00fc\u00dfe, na\u00efve caf\u00e9, \u65e5\u672c\u8a9e, \u20ac",
                      html.get_content())
        self.assertEqual(html.get_content_charset(), "utf-8")
        self.assertEqual([p.get_filename() for p in parts[1:]], ["notes.txt", "pixel.png"])
        self.assertEqual(parts[1].get_payload(decode=True), self.content("notes.txt"))
        self.assertEqual(parts[2].get_payload(decode=True), self.content("pixel.png"))
        self.assertEqual(parts[2]["Content-Transfer-Encoding"].strip().lower(), "base64")

    def test_configuration_was_written_by_smtpmail_cfg(self):
        with open(os.path.join(self.work, "config", "smtp.cfg"), "rb") as f:
            data = f.read()
        # Enciphered: neither the password nor the host is readable in the file.
        self.assertTrue(data)
        self.assertNotIn(b"demo-secret", data)
        self.assertNotIn(b"127.0.0.1", data)
        self.assertNotIn("demo-secret", self.output, "--show masks the password")


if __name__ == "__main__":
    BUILD_DIR, SOURCE_DIR = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    BIN = os.path.join(BUILD_DIR, "bin")
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[3:])
