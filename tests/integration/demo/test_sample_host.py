"""smtpmail-send, the sample host, against the capture server: what each
option puts on the wire, how the provider's settings are found, and what the
user sees when a send fails or the command line is wrong."""

import email
import email.policy
import json
import os
import shutil
import socket
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from helpers import CaptureServer, run  # noqa: E402

BUILD_DIR = None


def write_ini(folder, **keys):
    with open(os.path.join(folder, "vx.ini"), "w") as f:
        f.write("[SMTP]\n")
        for k, v in keys.items():
            f.write("%s=%s\n" % (k, v))


def free_port():
    # A port that nobody listens on: bound, never listened on, then released.
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class DeliveryTest(unittest.TestCase):
    """Messages that reach the capture server."""

    @classmethod
    def setUpClass(cls):
        cls.bin = os.path.join(BUILD_DIR, "bin")
        cls.tmp = tempfile.mkdtemp(prefix="smtpmail-send-test.")
        cls.server = CaptureServer(cls.bin, os.path.join(cls.tmp, "mail"), "--auth",
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

    def send(self, *args):
        return run([os.path.join(self.bin, "smtpmail-send"), "--config-dir", self.cfg] + list(args))

    def sent(self, *args):
        rc, out = self.send(*args)
        self.assertEqual(rc, 0, out)
        path = self.server.next_message()
        with open(path, "rb") as f:
            msg = email.message_from_bytes(f.read(), policy=email.policy.default)
        with open(path[:-4] + ".json") as f:
            return msg, json.load(f), out

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
        write_ini(self.cfg, smtpHost="127.0.0.1", smtpPort=free_port(), smtpAuth=0,
                  smtpSenderAddr="configured@example.org")
        rc, out = self.send("--to", "x@example.org", "--body", "b")
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

    def test_missing_configuration_is_refused_by_the_provider(self):
        empty = tempfile.mkdtemp(dir=self.tmp)
        rc, out = run([os.path.join(self.bin, "smtpmail-send"), "--config-dir", empty,
                       "--from", "me@example.org", "--to", "x@example.org"])
        self.assertEqual(rc, 1, out)
        self.assertIn("Mail_Send returned 505 (MAILERR_INVALID_PARAMS)", out)
        self.assertIn("CSMTPMailAPI::Send() - HostName may not be NULL.", out)

    def test_wrong_password_is_a_failed_send(self):
        write_ini(self.cfg, smtpHost="127.0.0.1", smtpPort=self.server.port, smtpAuth=3,
                  smtpUser="sam", smtpPass="wrong", smtpSenderAddr="configured@example.org")
        rc, out = self.send("--to", "x@example.org", "--body", "b")
        self.assertEqual(rc, 1, out)
        self.assertIn("Error report (Mail_Execute 1001):", out)

class CommandLineTest(unittest.TestCase):
    """What needs no delivery: the command line, the help, the report of a
    send the provider refuses."""

    @classmethod
    def setUpClass(cls):
        cls.bin = os.path.join(BUILD_DIR, "bin")
        cls.tmp = tempfile.mkdtemp(prefix="smtpmail-send-cli.")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_a_refused_send_prints_the_providers_error_report(self):
        # No configuration at all: the provider refuses the send without any
        # network traffic, and the report comes from Mail_Execute 1001 with
        # the display text of this host's string table.
        rc, out = run([os.path.join(self.bin, "smtpmail-send"), "--config-dir", self.tmp,
                       "--from", "me@example.org", "--to", "x@example.org"])
        self.assertEqual(rc, 1, out)
        self.assertRegex(out, r"Not sent: Mail_Send returned (\d+) \(MAILERR_[A-Z_]+\)\.")
        self.assertIn("Error report (Mail_Execute 1001):", out)
        self.assertRegex(out, r"\n[A-Z][^\n]*\. \(\d+, 0x[0-9A-F]+\)\n\nCSMTPMailAPI::Send\(\) ")
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
            rc, out = run([os.path.join(self.bin, "smtpmail-send")] + args)
            self.assertEqual(rc, 2, (args, out))
            self.assertIn(text, out, args)
        rc, out = run([os.fsencode(os.path.join(self.bin, "smtpmail-send")), b"--to", b"x\xff@example.org"])
        self.assertEqual(rc, 2, out)
        self.assertIn("is not valid UTF-8", out)

    def test_help_explains_every_option(self):
        rc, out = run([os.path.join(self.bin, "smtpmail-send"), "--help"])
        self.assertEqual(rc, 0)
        for option in ("--to", "--cc", "--bcc", "--from", "--subject", "--body", "--body-file",
                       "--html", "--attach", "--priority", "--receipt", "--notify", "--config-dir",
                       "Mail_Execute", "Exit status"):
            self.assertIn(option, out)



if __name__ == "__main__":
    BUILD_DIR = os.path.abspath(sys.argv[1])
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[2:])
