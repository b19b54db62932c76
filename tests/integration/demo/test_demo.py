"""smtpmail-send against the capture server, and scripts/demo.sh on a built tree.

    test_demo.py BUILD_DIR SOURCE_DIR [TestClass ...]
"""

import email
import email.policy
import glob
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
from peers import Program  # noqa: E402

BUILD_DIR = SOURCE_DIR = BIN = None
PYTHON = "/usr/bin/python3"
WAIT = 60  # seconds


def run(cmd, env=None):
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                       errors="replace", env=dict(os.environ, **(env or {})), timeout=WAIT * 3)
    return p.returncode, p.stdout


def read_stored(eml):
    with open(eml, "rb") as f:
        raw = f.read()
    with open(eml[:-4] + ".json") as f:
        return email.message_from_bytes(raw, policy=email.policy.default), json.load(f)


def write_ini(folder, **keys):
    with open(os.path.join(folder, "vx.ini"), "w") as f:
        f.write("[SMTP]\n" + "".join("%s=%s\n" % kv for kv in keys.items()))


def send(*args):
    return run([os.path.join(BIN, "smtpmail-send")] + list(args))


class SampleHostTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="smtpmail-send-test.")
        # bin/capture-server.py stores each message before it answers.
        cls.mail = os.path.join(cls.tmp, "mail")
        cls.server = Program(os.path.join(BIN, "capture-server.py"), "--dir", cls.mail, "--user",
                             "sam", "--password", "pw 1")
        cls.port = cls.server.port()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.server.process.wait(timeout=WAIT)
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        self.cfg = tempfile.mkdtemp(dir=self.tmp)
        write_ini(self.cfg, smtpHost="127.0.0.1", smtpPort=self.port, smtpAuth=2,
                  smtpUser="sam", smtpPass="pw 1", smtpSenderName="Configured Sender",
                  smtpSenderAddr="configured@example.org")

    def messages(self):
        return sorted(glob.glob(os.path.join(self.mail, "*.eml")))

    def sent(self, *args):
        before = len(self.messages())
        rc, out = send("--config-dir", self.cfg, *args)
        self.assertEqual((rc, "Sent:" in out, len(self.messages())), (0, True, before + 1),
                         out)
        return read_stored(self.messages()[-1])

    def test_options_reach_the_wire(self):
        msg, env = self.sent("--to", "x@example.org", "--subject", "Plain",
                             "--body", "line one\nline two", "--plain")
        self.assertEqual((msg["From"].addresses[0].display_name, msg["From"].addresses[0].addr_spec),
                         ("Configured Sender", "configured@example.org"))
        self.assertEqual(env["auth_user"], "sam", "AUTH LOGIN with the INI credentials")
        self.assertEqual(env["rcpt_params"], [{"address": "x@example.org", "params": []}])
        self.assertEqual(msg.get_content().replace("\r\n", "\n").strip(), "line one\nline two")
        self.assertEqual((msg["X-Priority"], msg["Disposition-Notification-To"]), (None, None),
                         "no --priority nor --receipt, no such line")

        # A bare --from changes the address and keeps the configured name.
        msg, env = self.sent("--to", "x@example.org", "--from", "other@example.org",
                             "--priority", "low", "--notify", "failure", "--receipt", "--body", "b")
        self.assertEqual((msg["From"].addresses[0].display_name, env["mail_from"]),
                         ("Configured Sender", "other@example.org"))
        self.assertEqual((str(msg["X-Priority"]), env["rcpt_params"][0]["params"]),
                         ("5", ["NOTIFY=FAILURE"]))
        self.assertEqual(str(msg["Disposition-Notification-To"]), "other@example.org")

        body = os.path.join(self.cfg, "b.html")
        with open(body, "wb") as f:
            f.write("\ufeff<p>\u00c4rger \u2603</p>".encode("utf-8"))
        msg, env = self.sent("--to", "J\u00fcrgen M\u00fcller <jm@example.org>",
                             "--from", "\"New Name\" <new@example.org>", "--bcc",
                             "hidden@example.org", "--subject", "\u2603 snow", "--body-file", body,
                             "--html", "--priority", "normal", "--notify", "success")
        self.assertEqual((msg["To"].addresses[0].display_name, msg["From"].addresses[0].display_name,
                          str(msg["Subject"]), str(msg["X-Priority"])),
                         ("J\u00fcrgen M\u00fcller", "New Name", "\u2603 snow", "3"))
        self.assertEqual((env["rcpt_params"][0]["params"], env["rcpt_tos"]),
                         (["NOTIFY=SUCCESS"], ["jm@example.org", "hidden@example.org"]))
        self.assertEqual(msg.get_body(("html",)).get_content().strip(), "<p>\u00c4rger \u2603</p>")

    def test_failed_sends_print_the_error_report(self):
        with socket.socket() as unused:  # bound, never listening: the connection is refused
            unused.bind(("127.0.0.1", 0))
            write_ini(self.cfg, smtpHost="127.0.0.1", smtpPort=unused.getsockname()[1],
                      smtpAuth=0, smtpSenderAddr="configured@example.org")
            rc, out = send("--config-dir", self.cfg, "--to", "x@example.org", "--body", "b")
        self.assertEqual(rc, 1, out)
        # The report in the terminal's line ends: the display text with the code
        # twice, the description and the native code (connection refused); the
        # host log with its level.
        for text in ("Provider name: SMTP", "Not sent: Mail_Send returned 509 (MAILERR_ACCESS_DENIED)",
                     "Error report (Mail_Execute 1001):\nThe mail server could not be reached or "
                     "refused the login. (509, 0x1FD)\n\nCSMTPMailAPI::Send() - An error occured "
                     "connecting to server.", "0x274D",
                     "[error 3] CSMTPMailAPI::Send() - An error occured connecting to server."):
            self.assertIn(text, out)

    def test_bad_command_lines_are_refused(self):
        for args, text in [
                ([], "no recipient"),
                (["--to", "x@example.org", "--priority", "urgent"], "--priority takes low"),
                (["--to", "x@example.org", "--notify", "always"], "--notify takes"),
                (["--to", "Name <x@example.org"], "must end with '>'"),
                (["--to", "x@example.org", "--attach", "/nonexistent/file"], "does not exist"),
                (["--to", "x@example.org", "--body", "a", "--body-file", "/etc/hostname"],
                 "give the body once"),
                (["--to", "x@example.org", "--html", "--plain"], "exclude each other"),
                (["--to", "x@example.org", "--config-dir", "/nonexistent/dir"], "does not exist"),
                (["--to", "x@example.org", "--bogus"], "unknown option"),
                (["--to"], "needs a value")]:
            rc, out = send(*args)
            self.assertEqual(rc, 2, (args, out))
            self.assertIn(text, out, args)
        rc, out = run([os.fsencode(os.path.join(BIN, "smtpmail-send")), b"--to", b"x\xff@e.org"])
        self.assertEqual(rc, 2, out)
        self.assertIn("is not valid UTF-8", out)
        # The capture server listens on loopback addresses only.
        for host in ("0.0.0.0", "example.org"):
            rc, out = run([PYTHON, os.path.join(BIN, "capture-server.py"), "--dir", self.tmp,
                           "--host", host])
            self.assertEqual((rc, "loopback" in out), (2, True), host)
        rc, out = send("--help")
        self.assertEqual(rc, 0)
        for option in ("--to --cc --bcc --from --subject --body --body-file --html --attach "
                       "--priority --receipt --notify --config-dir Mail_Execute Exit").split():
            self.assertIn(option, out)


class DemoTest(unittest.TestCase):
    def test_demo_sends_one_message_through_starttls_and_auth_and_shows_it(self):
        work = tempfile.mkdtemp(prefix="smtpmail-demo-test.")
        self.addCleanup(shutil.rmtree, work, True)
        rc, output = run(["bash", os.path.join(SOURCE_DIR, "scripts", "demo.sh"), BUILD_DIR],
                         env={"SMTPMAIL_DEMO_DIR": work})
        self.assertEqual(rc, 0, "demo.sh failed:\n" + output)
        for n in range(1, 7):
            self.assertIn("==> %d. " % n, output)
        subject = "smtpmail demo: HTML, text and an image \u2013 Gr\u00fc\u00dfe"
        for text in ("Sent: the server accepted the message", "stopped after 1 message(s)",
                     "Subject: " + subject, "attachment 'pixel.png': same bytes as the file sent"):
            self.assertIn(text, output)
        self.assertNotIn("DIFFERS", output)
        emls = glob.glob(os.path.join(work, "captured", "*.eml"))
        self.assertEqual(len(emls), 1, output)
        _, env = read_stored(emls[0])
        self.assertEqual((env["tls"], env["auth_user"], env["mail_from"]),
                         (True, "demo", "demo@example.org"))


if __name__ == "__main__":
    BUILD_DIR, SOURCE_DIR = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    BIN = os.path.join(BUILD_DIR, "bin")
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[3:])
