"""`make demo`'s steps (scripts/demo.sh on a built tree, without the package
installation), checked through the message the capture server stored, read
back with Python's own email package."""

import email
import email.policy
import email.utils
import json
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from helpers import run  # noqa: E402

BUILD_DIR = SOURCE_DIR = None

SUBJECT = "smtpmail demo: HTML, text and an image \u2013 Gr\u00fc\u00dfe"


def normalise(text):
    # Generated MIME has CRLF line ends; the source files have LF.
    return "\n".join(line.rstrip() for line in text.replace("\r\n", "\n").strip().split("\n"))


class DemoTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="smtpmail-demo-test.")
        cls.rc, cls.output = run(["bash", os.path.join(SOURCE_DIR, "scripts", "demo.sh"), BUILD_DIR],
                                 env={"SMTPMAIL_DEMO_DIR": cls.work})
        captured = os.path.join(cls.work, "captured")
        cls.emls = sorted(f for f in os.listdir(captured) if f.endswith(".eml")) \
            if os.path.isdir(captured) else []
        cls.msg = cls.env = None
        if cls.emls:
            path = os.path.join(captured, cls.emls[0])
            with open(path, "rb") as f:
                cls.raw = f.read()
            cls.msg = email.message_from_bytes(cls.raw, policy=email.policy.default)
            with open(path[:-4] + ".json") as f:
                cls.env = json.load(f)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def content(self, name, mode="rb"):
        with open(os.path.join(self.work, "content", name), mode) as f:
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
        self.assertEqual([a.addr_spec for a in m["To"].addresses],
                         ["ada@example.org", "grace@example.org"])
        self.assertEqual(m["To"].addresses[0].display_name, "Ada Lovelace")
        self.assertEqual([(a.display_name, a.addr_spec) for a in m["Cc"].addresses],
                         [("Charles Babbage", "charles@example.org")])
        self.assertIsNone(m["Bcc"], "a Bcc recipient is in the envelope only")
        self.assertNotIn(b"audit@example.org", self.raw)
        self.assertEqual(str(m["Subject"]), SUBJECT)
        self.assertTrue(m["Subject"].startswith("smtpmail demo"))
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
        sent_html = self.content("body.html").decode("utf-8-sig")
        self.assertEqual(normalise(html.get_content()), normalise(sent_html))
        self.assertIn("Gr\u00fc\u00dfe, na\u00efve caf\u00e9, \u65e5\u672c\u8a9e, \u20ac",
                      html.get_content())
        self.assertEqual(html.get_content_charset(), "utf-8")
        self.assertEqual([p.get_filename() for p in parts[1:]], ["notes.txt", "pixel.png"])
        self.assertEqual(parts[1].get_payload(decode=True), self.content("notes.txt"))
        self.assertEqual(parts[2].get_payload(decode=True), self.content("pixel.png"))
        self.assertEqual(parts[2]["Content-Transfer-Encoding"].strip().lower(), "base64")

    def test_configuration_was_written_by_smtpmail_cfg(self):
        store = os.path.join(self.work, "config", "smtp.cfg")
        self.assertTrue(os.path.getsize(store) > 0)
        with open(store, "rb") as f:
            data = f.read()
        # Enciphered: neither the password nor the host is readable in the file.
        self.assertNotIn(b"demo-secret", data)
        self.assertNotIn(b"127.0.0.1", data)
        self.assertNotIn("demo-secret", self.output, "--show masks the password")


if __name__ == "__main__":
    BUILD_DIR, SOURCE_DIR = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[3:])
