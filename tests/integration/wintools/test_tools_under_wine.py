"""The Windows tools under Wine against the peers of oauth_servers.py.

    test_tools_under_wine.py WINE64 BIN_DIR [Test ...]

Wine's chain engine trusts the host system's roots only, so the stores waive
the unknown CA (--cert-flags 0x100); the server's name and dates are checked.
"""

import email
import email.policy
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "support"))
import oauth_servers  # noqa: E402
from oauth_servers import OAuthServers  # noqa: E402
from smtpd_common import quiet_aiosmtpd  # noqa: E402

WINE = BIN = None
SENDER = "anne@example.com"
REGISTRY_KEY = r"HKCU\Software\Veltrana\Orbisuite\mail"


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def run(program, *args):
    """A program of BIN (or reg) under Wine: (exit code, output)."""
    path = program if program == "reg" else os.path.join(BIN, program)
    p = subprocess.run([WINE, path] + list(args), stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, text=True, errors="replace", timeout=180)
    return p.returncode, p.stdout


class ToolsUnderWine(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        quiet_aiosmtpd()
        cls.tmp = tempfile.mkdtemp(prefix="wintools-test.")
        cls.servers = OAuthServers(os.path.join(cls.tmp, "servers")).start()

    @classmethod
    def tearDownClass(cls):
        cls.servers.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def settings(self):
        """An OAuth2 store for the peers (by name: Wine matches no IP literal)."""
        return ["--host", "localhost", "--port", str(self.servers.smtp_port), "--starttls", "on",
                "--cert-flags", "0x100", "--auth", "oauth2", "--sender-name", "Änne Sender",
                "--sender-address", SENDER, "--oauth-client-id", oauth_servers.DEFAULT_CLIENT_ID,
                "--oauth-client-secret", oauth_servers.DEFAULT_CLIENT_SECRET,
                "--oauth-tenant-id", oauth_servers.DEFAULT_TENANT,
                "--oauth-authority", self.servers.authority]

    def store(self, name):
        """A folder's store by smtpmail-cfg.exe: its Windows path with a backslash."""
        os.makedirs(os.path.join(self.tmp, name))
        target = windows_path(os.path.join(self.tmp, name)) + "\\"
        rc, out = run("smtpmail-cfg.exe", "--dir", target, *self.settings())
        self.assertEqual(rc, 0, out)
        return target

    def test_store_written_and_shown_in_a_file_and_the_registry(self):
        folder = self.store("shown")
        try:
            rc, out = run("smtpmail-cfg.exe", "--registry", "hkcu", *self.settings())
            self.assertEqual(rc, 0, out)
            rc, query = run("reg", "query", REGISTRY_KEY, "/v", "smtp.cfg")
            self.assertEqual(rc, 0, query)
            self.assertIn("REG_BINARY", query)
            expected = {"host": "localhost", "sender name": "Änne Sender",
                        "sender address": SENDER, "auth": "5 (AUTH_OAUTH2(Exchange Online))",
                        "OAuth2 client id": oauth_servers.DEFAULT_CLIENT_ID,
                        "OAuth2 client secret": "********"}
            for target in (["--dir", folder], ["--registry", "hkcu"]):
                rc, out = run("smtpmail-cfg.exe", *target, "--show")
                self.assertEqual(rc, 0, out)
                shown = {line[:21].strip(): line[22:] for line in out.splitlines()}
                self.assertEqual({k: shown.get(k) for k in expected}, expected)
                self.assertNotIn(oauth_servers.DEFAULT_CLIENT_SECRET, out)
        finally:
            run("reg", "delete", REGISTRY_KEY, "/v", "smtp.cfg", "/f")

    def test_machine_store_in_the_32_bit_view(self):
        # The 32-bit product reads HKLM\SOFTWARE\WOW6432Node: the x86_64 tool writes there.
        key = r"HKLM\Software\%sVeltrana\Orbisuite\mail"
        try:
            rc, out = run("smtpmail-cfg.exe", "--registry", "hklm", *self.settings())
            self.assertEqual(rc, 0, out)
            # The 64-bit view, whichever loader runs reg.
            view = "/reg:64"
            self.assertEqual(run("reg", "query", key % "Wow6432Node\\", "/v", "smtp.cfg", view)[0], 0)
            self.assertNotEqual(run("reg", "query", key % "", "/v", "smtp.cfg", view)[0], 0)
            rc, out = run("smtpmail-cfg.exe", "--registry", "hklm", "--show")
            self.assertIn("localhost", out)
        finally:
            run("reg", "delete", key % "Wow6432Node\\", "/f", "/reg:64")

    def test_sample_host_sends_through_oauthrelay(self):
        folder = self.store("send")
        attachment = os.path.join(self.tmp, "report.bin")
        with open(attachment, "wb") as f:
            f.write(bytes(range(256)))
        subject = "Bericht aus Köln – №5"
        body = "Hallo Bob,\nGrüße aus Köln.\n.\nEnde"
        before = len(self.servers.messages)
        rc, out = run("smtpmail-send.exe", "--config-dir", folder, "--to", "bob@example.org",
                      "--cc", "Carla <carla@example.org>", "--bcc", "hidden@example.net",
                      "--subject", subject, "--body", body, "--attach", windows_path(attachment),
                      "--priority", "high", "--notify", "success,failure")
        self.assertEqual(rc, 0, out)
        self.assertIn("Mail_Send returned 0", out)
        self.assertEqual(len(self.servers.messages), before + 1, out)

        # The wide command line reaches the message whole (the rest is SendOAuthTest's).
        received = self.servers.messages[-1]
        m = email.message_from_bytes(received.content, policy=email.policy.default)
        self.assertEqual(str(m["Subject"]), subject)
        text = m.get_body(preferencelist=("plain",)).get_content().replace("\r\n", "\n")
        self.assertEqual(text, body)
        self.assertEqual([a.get_filename() for a in m.iter_attachments()], ["report.bin"])


if __name__ == "__main__":
    WINE, BIN = sys.argv[1], os.path.abspath(sys.argv[2])
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[3:])
