"""Messages composed by the MIME classes (through mime-compose, which writes
them as a server stores them) must read back with Python's stock email
package: the same subject, addresses, text, HTML and attachment bytes.

usage: check_messages.py PATH-TO-mime-compose
"""

import email
import email.policy
import os
import random
import re
import socket
import subprocess
import sys
import tempfile
import unittest

COMPOSER = None

SUBJECT = "Grüße aus Köln – Übersicht ✓ = ? _"
SENDER = ("Jürgen Groß", "juergen@example.com")
TO = [("Zoë Adams", "zoe@example.com"), ("", "plain@example.com"), ("Bob Smith", "bob@example.net")]
CC = [("Ærøskøbing Office", "office@example.org")]
BCC = [("Hidden", "hidden@example.com")]

# Long lines (soft line breaks), non-ASCII, "=" and lines that start with ".".
TEXT = ("Hello Zoë,\n"
        "\n"
        "this line is long enough that quoted-printable has to break it into two lines at a blank: "
        "ÄÖÜ äöü ß € and = signs.\n"
        ".a line that starts with a dot\n"
        "..and one with two\n"
        ".\n"
        + "x" * 77 + ".a soft break puts this dot at the start of a line\n"
        + "y" * 76 + "ä after seventy-six letters\n"
        "Regards")
HTML = ("<html><body>\n"
        "<p>Grüße, <b>Zoë</b> – “quotes” &amp; = signs</p>\n"
        ".<p>a dot line</p>\n"
        + "<p>" + "z" * 90 + "</p>\n"
        "</body></html>")


# "<", a random UUID, "@" and a domain, ">".
MESSAGE_ID = re.compile(r"<[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}@(.+)>")


def normalise(text):
    return text.replace("\r\n", "\n")


def header_block(raw):
    return raw[:raw.index(b"\r\n\r\n") + 2]


def message_ids(raw):
    """The Message-ID values of the header block, its name in any case."""
    unfolded = re.sub(rb"\r\n[ \t]", b" ", header_block(raw))
    return [line.split(b":", 1)[1].strip().decode()
            for line in unfolded.split(b"\r\n") if line.lower().startswith(b"message-id:")]


class Messages(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="mime-check-")
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def write(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode("utf-8"))
        return path

    def compose(self, *args, subject=SUBJECT, text=None, html=None, charset="utf-8", sender=SENDER,
                to=TO):
        out = os.path.join(self.dir, "message.eml")
        cmd = [COMPOSER, out, "--charset", charset, "--from", *sender,
               "--subject-file", self.write("subject.txt", subject)]
        for kind, people in (("--to", to), ("--cc", CC), ("--bcc", BCC)):
            for name, address in people:
                cmd += [kind, name, address]
        if text is not None:
            cmd += ["--text-file", self.write("text.txt", text)]
        if html is not None:
            cmd += ["--html-file", self.write("html.html", html)]
        cmd += list(args)
        result = subprocess.run(cmd, capture_output=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr.decode(errors="replace"))
        with open(out, "rb") as f:
            raw = f.read()
        return raw, email.message_from_bytes(raw, policy=email.policy.default)

    def check_header(self, msg, subject=SUBJECT, sender=SENDER, to=TO):
        self.assertEqual(str(msg["subject"]), subject)
        got = msg["from"].addresses
        self.assertEqual([(a.display_name, a.addr_spec) for a in got], [sender])
        self.assertEqual([(a.display_name, a.addr_spec) for a in msg["to"].addresses], to)
        self.assertEqual([(a.display_name, a.addr_spec) for a in msg["cc"].addresses], CC)
        self.assertIsNone(msg["bcc"])
        self.assertIsNotNone(msg["date"].datetime)
        ids = msg.get_all("message-id")
        self.assertEqual(len(ids), 1, ids)
        self.assertEqual(MESSAGE_ID.fullmatch(ids[0]).group(1), sender[1].split("@")[1])

    def check_text_part(self, part, expected, content_type, followed_by_attachment=False):
        self.assertEqual(part.get_content_type(), content_type)
        self.assertEqual(part.get_content_charset(), "utf-8")
        got = normalise(part.get_content())
        # An attachment's header opens with an empty line, which the parser
        # counts to the part before it.
        want = expected + "\n" if followed_by_attachment else expected
        self.assertEqual(got, want)

    def test_text_only_is_one_part(self):
        raw, msg = self.compose(text=TEXT)
        self.check_header(msg)
        self.assertFalse(msg.is_multipart())
        self.assertIsNone(msg["mime-version"])
        self.assertEqual(msg.get_content_type(), "text/plain")
        self.assertEqual(msg.get_content_charset(), "utf-8")
        self.assertEqual(normalise(msg.get_content()).rstrip("\n"), TEXT)
        self.assertIn(b"\r\n.a line that starts with a dot\r\n", raw)

    def test_html_only(self):
        _, msg = self.compose(html=HTML)
        self.check_header(msg)
        self.assertEqual(msg.get_content_type(), "multipart/mixed")
        parts = list(msg.iter_parts())
        self.assertEqual(len(parts), 1)
        self.check_text_part(parts[0], HTML, "text/html")
        self.assertEqual(normalise(msg.preamble or "").strip(), "This is a multi-part message in MIME format")

    def test_text_html_and_three_attachments(self):
        rng = random.Random(4711)
        binary = bytes(range(256)) * 4 + bytes(rng.getrandbits(8) for _ in range(300000))
        binary += b"\r\n.\r\n.." + b"\x00" * 10
        files = [
            (self.write("payload.bin", binary), "-", "payload.bin", binary),
            (self.write("empty.txt", b""), "-", "empty.txt", b""),
            (self.write("Übersicht 2.pdf", b"%PDF-1.4 \xe2\x80\x94 tiny\n.\n"), "-", "Übersicht 2.pdf",
             b"%PDF-1.4 \xe2\x80\x94 tiny\n.\n"),
        ]
        renamed = b"renamed bytes"
        files.append((self.write("on-disk.dat", renamed), "Größe & Maße.txt", "Größe & Maße.txt", renamed))
        args = []
        for path, name, _, _ in files:
            args += ["--attach", path, name]
        raw, msg = self.compose(*args, "--priority", "3", text=TEXT, html=HTML)
        self.check_header(msg)
        self.assertEqual(msg["x-priority"], "1")
        self.assertEqual(msg.get_content_type(), "multipart/mixed")
        parts = list(msg.iter_parts())
        self.assertEqual(len(parts), 2 + len(files))
        self.check_text_part(parts[0], TEXT, "text/plain")
        self.check_text_part(parts[1], HTML, "text/html", followed_by_attachment=True)
        for part, (_, _, filename, data) in zip(parts[2:], files):
            with self.subTest(filename=filename):
                self.assertEqual(part.get_content_type(), "application/octet-stream")
                self.assertTrue(part.is_attachment())
                self.assertEqual(part.get_filename(), filename)
                self.assertEqual(part.get_param("name"), filename)
                self.assertEqual(part.get_content(), data)
        for line in raw.split(b"\r\n"):
            self.assertLessEqual(len(line), 998, "no line beyond the SMTP limit")

    def test_dot_lines_survive_both_paths(self):
        dots = ".\n..\n...start\n.\n" + "q" * 77 + ".\n" + "end."
        _, single = self.compose(text=dots)
        self.assertEqual(normalise(single.get_content()).rstrip("\n"), dots)
        _, multi = self.compose("--attach", self.write("a.bin", b"."), "-", text=dots, html="." + dots)
        parts = list(multi.iter_parts())
        self.check_text_part(parts[0], dots, "text/plain")
        self.check_text_part(parts[1], "." + dots, "text/html", followed_by_attachment=True)
        self.assertEqual(parts[2].get_content(), b".")

    def test_long_subject_and_names_are_folded_and_read_back_whole(self):
        subject = ("Grüße aus Köln – Übersicht ✓ = ? _ 😀 " * 20)[:500]
        name = "Ærøskøbing Kommune – Afdeling for Teknik og Miljø, Havnevej 12"
        sender = (name + " " + name, "teknik@example.com")
        to = TO + [(name, "miljoe@example.org")]
        raw, msg = self.compose("--attach", self.write("a.bin", b"x"), "-", subject=subject,
                                text="short", sender=sender, to=to)
        self.check_header(msg, subject=subject, sender=sender, to=to)
        for line in raw.split(b"\r\n"):
            self.assertLessEqual(len(line), 78, line)

    def test_short_subject_keeps_its_bytes(self):
        raw, msg = self.compose(subject="Grüße aus Köln", text="hi")
        self.assertIn(b"\r\nSubject: =?utf-8?q?Gr=C3=BC=C3=9Fe_aus_K=C3=B6ln?=\r\n", raw)
        self.check_header(msg, subject="Grüße aus Köln")

    def test_one_message_id_of_the_host_or_ours(self):
        raw, _ = self.compose("--header", "Message-Id: <own.1@example.org>", text="hi")
        self.assertEqual(message_ids(raw), ["<own.1@example.org>"])
        # Without a domain in the sender's address, the host name stands in.
        raw, _ = self.compose(sender=("Postmaster", "postmaster"), text="hi")
        ids = message_ids(raw)
        self.assertEqual(len(ids), 1, ids)
        host = socket.gethostname()
        if not re.fullmatch(r"[A-Za-z0-9!#$%&'*+/=?^_`{|}~-]+(\.[A-Za-z0-9!#$%&'*+/=?^_`{|}~-]+)*",
                            host):
            host = "localhost"
        self.assertEqual(MESSAGE_ID.fullmatch(ids[0]).group(1), host)
        self.assertRegex(header_block(raw), rb"\r\nDate: [^\r]*\r\nMessage-ID: <")

    def test_ascii_only_headers_stay_plain(self):
        raw, msg = self.compose(subject="Plain subject", text="hi")
        self.assertIn(b"\r\nSubject: Plain subject\r\n", raw)
        self.assertEqual(str(msg["subject"]), "Plain subject")
        self.assertIn(b"\r\nTo: =?utf-8?q?Zo=C3=AB_Adams?= <zoe@example.com>, plain@example.com,\r\n"
                      b" Bob Smith <bob@example.net>\r\n", raw)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    COMPOSER = sys.argv.pop(1)
    unittest.main(verbosity=2)
