"""OAuthRelay's SendEmailWithContent against real peers on loopback: an HTTPS
token endpoint of the identity platform's layout and an aiosmtpd server whose
AUTH XOAUTH2 accepts only the tokens that endpoint issued. The library is
called through oauthrelay-driver; what arrives is read back with Python's email
package.

    test_oauthrelay.py PATH/TO/oauthrelay-driver [TestClass ...]
    test_oauthrelay.py --wine WINE64 PATH/TO/oauthrelay-driver.exe [Test ...]

With --wine the driver is the Windows one, run under 64-bit Wine in the
WINEPREFIX of the environment, and paths become Z: paths. Its TLS is
Schannel's, which checks the servers' certificates against the Windows store
on Windows; Wine's checks none, so no trust is set up and no row asserts a
refusal.
"""

import contextlib
import email
import email.policy
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "support"))
import oauth_servers  # noqa: E402
from oauth_servers import OAuthServers  # noqa: E402
from smtpd_common import quiet_aiosmtpd  # noqa: E402

DRIVER = None
WINE = None  # the 64-bit Wine loader when the driver is a Windows program
SENDER = "anne@example.com"


def native_path(path):
    """A path as the driver sees it: under Wine, the Z: drive is the Linux root."""
    return "Z:" + path.replace("/", "\\") if WINE else path


def native_paths(paths):
    return ";".join(native_path(p.strip()) if p.strip() else p for p in paths.split(";"))



@contextlib.contextmanager
def unused_port():
    """A loopback port that refuses connections: bound, never listening."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        yield s.getsockname()[1]


def notify_params(received):
    return [r["params"] for r in received.rcpt_params]


class RelayCase(unittest.TestCase):
    """Starts the servers once per class and runs the driver against them."""

    SERVER_OPTIONS = {}

    @classmethod
    def setUpClass(cls):
        quiet_aiosmtpd()
        cls.tmp = tempfile.mkdtemp(prefix="oauthrelay-test.")
        cls.servers = OAuthServers(os.path.join(cls.tmp, "servers"), **cls.SERVER_OPTIONS).start()

    @classmethod
    def tearDownClass(cls):
        cls.servers.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def base_call(self):
        return {
            "to": "bob@example.org", "subject": "Status", "body": "Hello Bob",
            "sender-name": "Anne Sender", "sender": SENDER, "host": "127.0.0.1",
            "port": str(self.servers.smtp_port), "priority": "2", "charset": "utf-8",
            "starttls": "1" if self.servers.smtp_tls == "starttls" else "0", "mime": "1",
            "client-id": oauth_servers.DEFAULT_CLIENT_ID,
            "client-secret": oauth_servers.DEFAULT_CLIENT_SECRET,
            "tenant": oauth_servers.DEFAULT_TENANT,
            "scope": "https://outlook.office365.com/.default",
            "authority": self.servers.authority,
        }

    def run_driver(self, *calls, env=None):
        """Runs one driver process: the first call is the base call with the
        first dict's changes, every further dict changes the call before it; a
        value None passes a null, and in env removes the variable. Returns
        (sent, text of the failure) per call."""
        args = [WINE, DRIVER] if WINE else [DRIVER]
        for i, call in enumerate(calls or ({},)):
            args += ["--next"] if i else []
            for k, v in (dict(self.base_call(), **call) if i == 0 else call).items():
                if k == "attachments" and v:
                    v = native_paths(v)
                args += ["--null", k] if v is None else ["%s=%s" % (k, v)]
        env = {**os.environ, "SSL_CERT_DIR": None, "SSL_CERT_FILE": self.servers.ca_file,
               **(env or {})}
        p = subprocess.run(args, capture_output=True, text=True, errors="replace", timeout=240,
                           env={k: v for k, v in env.items() if v is not None})
        self.assertEqual(p.returncode, 0, "driver failed: %s %s" % (p.stdout, p.stderr))
        lines = p.stdout.splitlines()
        self.assertEqual(len(lines), max(1, len(calls)), p.stdout)
        results = []
        for n, line in enumerate(lines, 1):
            rest = line[len("call %d: " % n):]
            self.assertTrue(line.startswith("call %d: " % n), line)
            self.assertTrue(rest == "sent" or rest.startswith("failed: "), line)
            results.append((rest == "sent", rest[len("failed: "):]))
        return results

    def send_one(self, **changes):
        sent, text = self.run_driver(changes)[0]
        self.assertTrue(sent, text)
        return self.servers.messages[-1]

    def fail_one(self, env=None, **changes):
        sent, text = self.run_driver(changes, env=env)[0]
        self.assertFalse(sent, "the call should have failed")
        self.assertTrue(text)
        return text

    @staticmethod
    def parse(received):
        return email.message_from_bytes(received.content, policy=email.policy.default)

    @staticmethod
    def body_text(message):
        part = message.get_body(preferencelist=("html", "plain"))
        return part, part.get_content().replace("\r\n", "\n")


class DeliveryTest(RelayCase):
    """Messages through STARTTLS and XOAUTH2, read back with the email package."""

    def test_full_message_arrives_as_composed(self):
        attachments = os.path.join(self.tmp, "att")
        os.makedirs(attachments, exist_ok=True)
        binary = bytes(range(256)) * 300 + os.urandom(20000)
        binary_path = os.path.join(attachments, "data.bin")
        with open(binary_path, "wb") as f:
            f.write(binary)
        text_name = "Bericht Ä №5.txt"
        text_path = os.path.join(attachments, text_name)
        with open(text_path, "wb") as f:
            f.write("Zeile 1\r\nZeile 2 – ü\r\n".encode("utf-8"))
        body = ("Hallo Bob,\n\nGrüße aus Köln – 100 € bezahlt.\n"
                ".a line that starts with a dot\n.\n"
                "trailing blanks   \n" + "x" * 200 + "\n= sign and \t tab\nEnde")
        subject = "Grüße aus Köln – Bericht №5 " + "lang " * 20 + "Ende"
        received = self.send_one(
            to="bob@example.org;Carla Ärger <carla@example.org>", cc="cc@example.org",
            bcc="hidden@example.net", subject=subject, body=body,
            **{"sender-name": "Änne Sender", "priority": "3", "notify-success": "1",
               "notify-failure": "1", "attachments": binary_path + "; " + text_path,
               "headers": "X-Campaign: spring; tracking=1;Reply-To: replies@example.org"})

        self.assertEqual(received.auth_user, SENDER)
        self.assertTrue(received.tls)
        self.assertEqual(received.mail_from, SENDER)
        self.assertEqual(received.rcpt_tos, ["bob@example.org", "carla@example.org",
                                             "cc@example.org", "hidden@example.net"])
        self.assertEqual(notify_params(received), [["NOTIFY=SUCCESS,FAILURE"]] * 4)
        self.assertIn("SIZE=%d" % len(received.content), received.mail_options)
        # Bcc travels in the envelope only.
        self.assertNotIn(b"hidden@example.net", received.content)
        for line in received.content.split(b"\r\n"):
            self.assertLessEqual(len(line), 998)
            self.assertTrue(all(b < 128 for b in line), line)

        m = self.parse(received)
        self.assertIsNone(m["Bcc"])
        self.assertEqual(str(m["Subject"]), subject)
        self.assertEqual(m["From"].addresses[0].display_name, "Änne Sender")
        self.assertEqual(m["From"].addresses[0].addr_spec, SENDER)
        to = [(a.display_name, a.addr_spec) for a in m["To"].addresses]
        self.assertEqual(to, [("", "bob@example.org"), ("Carla Ärger", "carla@example.org")])
        self.assertEqual([a.addr_spec for a in m["Cc"].addresses], ["cc@example.org"])
        self.assertTrue(m["X-Priority"].startswith("1"))
        self.assertEqual(m["Importance"], "High")
        self.assertEqual(m["X-Campaign"], "spring; tracking=1")
        self.assertEqual(m["Reply-To"].addresses[0].addr_spec, "replies@example.org")
        self.assertRegex(m["Message-ID"], r"^<[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}@example\.com>$")
        self.assertIsNotNone(m["Date"].datetime)

        self.assertEqual(m.get_content_type(), "multipart/mixed")
        part, text = self.body_text(m)
        self.assertEqual(part.get_content_type(), "text/plain")
        self.assertEqual(part.get_content_charset(), "utf-8")
        self.assertEqual(text, body)
        files = {a.get_filename(): a for a in m.iter_attachments()}
        self.assertEqual(set(files), {"data.bin", text_name})
        self.assertEqual(files["data.bin"].get_content_type(), "application/octet-stream")
        self.assertEqual(files["data.bin"].get_content(), binary)
        # A UTF-8 text file is labelled so and reads back as the same text.
        self.assertEqual(files[text_name].get_payload(decode=True),
                         "Zeile 1\r\nZeile 2 – ü\r\n".encode("utf-8"))
        self.assertEqual(files[text_name].get_content().replace("\r\n", "\n"),
                         "Zeile 1\nZeile 2 – ü\n")

    def test_html_body_and_no_attachments(self):
        html = "<html><body><p>Grüße &amp; <b>mehr</b></p>\n<p>zweite Zeile</p></body></html>"
        m = self.parse(self.send_one(body=html, html="1"))
        self.assertEqual(m.get_content_type(), "text/html")
        part, text = self.body_text(m)
        self.assertEqual(text, html)
        self.assertEqual(list(m.iter_attachments()), [])

    def test_notify_flags_and_priorities(self):
        before = len(self.servers.messages)
        results = self.run_driver({"notify-failure": "1", "priority": "1"},
                                  {"notify-failure": "0", "notify-success": "1",
                                   "priority": "2"},
                                  {"notify-success": "0", "priority": "0"})
        self.assertEqual(results, [(True, "")] * 3)
        got = self.servers.messages[before:]
        self.assertEqual([notify_params(r) for r in got],
                         [[["NOTIFY=FAILURE"]], [["NOTIFY=SUCCESS"]], [[]]])
        priorities = [self.parse(r)["X-Priority"] for r in got]
        self.assertTrue(priorities[0].startswith("5"))
        self.assertTrue(priorities[1].startswith("3"))
        self.assertIsNone(priorities[2])

    def test_charset_labels_the_text(self):
        before = len(self.servers.messages)
        results = self.run_driver({"charset": "iso-8859-1", "body": "Grüße, Jürgen"},
                                  {"body": "Preis: 5 €"},  # no euro sign in Latin-1
                                  {"charset": "windows-1252"})
        self.assertEqual(results, [(True, "")] * 3)
        got = [self.parse(r) for r in self.servers.messages[before:]]
        expected = [("iso-8859-1", "Grüße, Jürgen"), ("utf-8", "Preis: 5 €"),
                    ("windows-1252", "Preis: 5 €")]
        for m, (charset, text) in zip(got, expected):
            part, body = self.body_text(m)
            self.assertEqual(part.get_content_charset(), charset)
            self.assertEqual(body, text)
        self.assertIn(b"5 =80", self.servers.messages[-1].content)

    def test_sender_address_with_its_display_name(self):
        received = self.send_one(sender="Anne Sender <%s>" % SENDER, **{"sender-name": ""})
        self.assertEqual(received.mail_from, SENDER)
        self.assertEqual(received.auth_user, SENDER)
        sender = self.parse(received)["From"].addresses[0]
        self.assertEqual((sender.display_name, sender.addr_spec), ("Anne Sender", SENDER))

    def test_trust_through_ssl_cert_dir(self):
        # The CA in a hashed folder named by SSL_CERT_DIR, no SSL_CERT_FILE.
        folder = os.path.join(self.tmp, "certdir")
        os.makedirs(folder, exist_ok=True)
        shutil.copy(self.servers.ca_file, os.path.join(folder, "test-ca.pem"))
        subprocess.run(["openssl", "rehash", folder], check=True, timeout=60)
        sent, text = self.run_driver({}, env={"SSL_CERT_FILE": None,
                                              "SSL_CERT_DIR": folder})[0]
        self.assertTrue(sent, text)

    def test_null_lists_are_empty(self):
        received = self.send_one(**{"cc": "", "bcc": "", "attachments": "", "headers": ""})
        self.assertEqual(received.rcpt_tos, ["bob@example.org"])
        sent, text = self.run_driver(dict.fromkeys(("cc", "bcc", "subject", "attachments",
                                                    "headers", "sender-name", "charset",
                                                    "body", "scope")))[0]
        self.assertTrue(sent, text)
        m = self.parse(self.servers.messages[-1])
        self.assertIsNone(m["Subject"])
        self.assertEqual(m["From"].addresses[0].display_name, "")
        self.assertEqual(self.body_text(m)[1], "")


class PlainServerTest(RelayCase):
    """A server without STARTTLS and without DSN."""

    SERVER_OPTIONS = {"smtp_tls": "none", "dsn": False}

    def test_plain_session_sends_without_notify(self):
        received = self.send_one(**{"notify-success": "1", "notify-failure": "1"})
        self.assertFalse(received.tls)
        self.assertEqual(received.auth_user, SENDER)
        # RFC 3461: no NOTIFY to a server that does not announce DSN.
        self.assertEqual(notify_params(received), [[]])

    def test_starttls_required_but_not_offered(self):
        text = self.fail_one(starttls="1")
        self.assertIn("does not offer STARTTLS", text)
        self.assertIn("127.0.0.1:%d" % self.servers.smtp_port, text)


class TokenTest(RelayCase):
    """The client-credentials grant and the token cache."""

    def requests(self):
        return len(self.servers.token_requests)

    def test_request_has_the_grant_form_at_the_tenants_path(self):
        token_path = "/%s/oauth2/v2.0/token" % oauth_servers.DEFAULT_TENANT
        self.send_one(scope="api://mail-relay/.default")
        path, content_type, form = self.servers.token_requests[-1]
        self.assertEqual(path, token_path)
        self.assertEqual(content_type, "application/x-www-form-urlencoded")
        self.assertEqual(form, {"grant_type": "client_credentials",
                                "client_id": oauth_servers.DEFAULT_CLIENT_ID,
                                "client_secret": oauth_servers.DEFAULT_CLIENT_SECRET,
                                "scope": "api://mail-relay/.default"})
        # An empty scope is the mail service's default; a trailing slash of the
        # authority does not double.
        self.send_one(scope="", authority=self.servers.authority + "/")
        path, _, form = self.servers.token_requests[-1]
        self.assertEqual((path, form["scope"]),
                         (token_path, "https://outlook.office365.com/.default"))

    def test_token_cached_per_key_within_a_process(self):
        before = self.requests()
        results = self.run_driver({}, {"subject": "second"},
                                  {"scope": "api://other/.default"},
                                  {"scope": "https://outlook.office365.com/.default"})
        self.assertEqual(results, [(True, "")] * 4)
        # One token for the first scope (used three times), one for the other.
        self.assertEqual(self.requests() - before, 2)
        # Another process starts with an empty cache.
        self.run_driver({})
        self.assertEqual(self.requests() - before, 3)

    def test_short_lived_token_is_not_reused(self):
        self.servers.expires_in = 1
        try:
            before = self.requests()
            self.assertEqual(self.run_driver({}, {}), [(True, "")] * 2)
            self.assertEqual(self.requests() - before, 2)
        finally:
            self.servers.expires_in = 3599

    def test_refused_cached_token_is_replaced_once(self):
        self.servers.revoke_after_message = True
        try:
            before_requests = self.requests()
            before_logins = len(self.servers.logins)
            self.assertEqual(self.run_driver({}, {"subject": "after revocation"}),
                             [(True, "")] * 2)
            self.assertEqual(self.requests() - before_requests, 2)
            self.assertEqual([ok for _, ok in self.servers.logins[before_logins:]],
                             [True, False, True])
            self.assertEqual(str(self.parse(self.servers.messages[-1])["Subject"]),
                             "after revocation")
        finally:
            self.servers.revoke_after_message = False

    def test_wrong_secret_gives_the_endpoint_reason(self):
        messages = len(self.servers.messages)
        logins = len(self.servers.logins)
        text = self.fail_one(**{"client-secret": "not-the-secret"})
        self.assertIn("invalid_client", text)
        self.assertIn(oauth_servers.TEXT_BAD_SECRET, text)
        self.assertIn("HTTP 401", text)
        self.assertEqual(len(self.servers.messages), messages)
        self.assertEqual(len(self.servers.logins), logins)

    def test_unknown_client_and_tenant(self):
        results = self.run_driver({"client-id": "no-such-app"},
                                  {"client-id": oauth_servers.DEFAULT_CLIENT_ID,
                                   "tenant": "other-tenant"},
                                  {"tenant": oauth_servers.DEFAULT_TENANT,
                                   "scope": "https://outlook.office365.com/mail.send"})
        self.assertEqual([sent for sent, _ in results], [False] * 3)
        self.assertIn(oauth_servers.TEXT_BAD_CLIENT % "no-such-app", results[0][1])
        self.assertIn(oauth_servers.TEXT_BAD_TENANT % "other-tenant", results[1][1])
        self.assertIn("invalid_scope", results[2][1])

    def test_token_endpoint_unreachable(self):
        with unused_port() as port:
            text = self.fail_one(authority="https://127.0.0.1:%d" % port)
        self.assertIn("Could not reach the token endpoint", text)
        self.assertIn("127.0.0.1:%d/%s/oauth2/v2.0/token" % (port, oauth_servers.DEFAULT_TENANT),
                      text)

    def test_untrusted_endpoint_certificate(self):
        before = self.requests()
        text = self.fail_one(env={"SSL_CERT_FILE": None})
        self.assertIn("Could not reach the token endpoint", text)
        self.assertIn("certificate", text.lower())
        self.assertEqual(self.requests(), before)

    def test_authority_must_be_https(self):
        before = self.requests()
        text = self.fail_one(authority="http://127.0.0.1:%d" % self.servers.token_port)
        self.assertIn("https", text)
        self.assertEqual(self.requests(), before)

    def test_missing_client_values(self):
        results = self.run_driver({"client-id": ""},
                                  {"client-id": "x", "client-secret": ""},
                                  {"client-secret": "y", "tenant": " "})
        self.assertEqual([t for _, t in results],
                         ["No OAuth2 client id was given.",
                          "No OAuth2 client secret was given.",
                          "No OAuth2 tenant id was given."])


class FailureTest(RelayCase):
    """Refusals and bad input, each with a text that says what went wrong."""

    SERVER_OPTIONS = {"refused_recipients": ["nobody@example.org"]}

    def test_missing_attachment_fails_before_any_traffic(self):
        requests = len(self.servers.token_requests)
        missing = os.path.join(self.tmp, "no-such-file.pdf")
        existing = os.path.join(self.tmp, "exists.txt")
        with open(existing, "w") as f:
            f.write("x")
        text = self.fail_one(attachments=existing + ";" + missing)
        self.assertIn(missing, text)
        self.assertIn("does not exist", text)
        self.assertEqual(len(self.servers.token_requests), requests)
        text = self.fail_one(attachments=self.tmp)
        self.assertIn("is not a file", text)

    def test_input_checked_before_any_traffic(self):
        requests = len(self.servers.token_requests)
        results = self.run_driver(
            {"to": "", "cc": " ; ", "bcc": ""},
            {"to": "bob@example.org", "host": "  "},
            {"host": "127.0.0.1", "sender": ""},
            {"sender": "not-an-address"},
            {"sender": SENDER, "cc": "Bob <bob@exa mple.org>"},
            {"cc": "", "headers": "NoColonHere"},
            {"headers": "Subject: sneaky"},
            {"headers": "", "port": "70000"})
        texts = [t for _, t in results]
        self.assertEqual(texts[0], "The message has no recipients: To, Cc and Bcc are all empty.")
        self.assertEqual(texts[1], "No mail server host was given.")
        self.assertEqual(texts[2], "No sender address was given.")
        self.assertIn('"not-an-address"', texts[3])
        self.assertIn("bob@exa mple.org", texts[4])
        self.assertIn("NoColonHere", texts[5])
        self.assertIn("Subject", texts[6])
        self.assertIn("70000", texts[7])
        self.assertEqual(len(self.servers.token_requests), requests)

    def test_all_arguments_null(self):
        text = self.fail_one(**dict.fromkeys(("to", "cc", "bcc", "subject", "body", "sender-name",
                                              "sender", "host", "charset", "attachments",
                                              "client-id", "client-secret", "tenant", "scope",
                                              "authority", "headers")))
        self.assertEqual(text, "No mail server host was given.")

    def test_recipient_refused_with_server_reply(self):
        messages = len(self.servers.messages)
        text = self.fail_one(cc="nobody@example.org")
        self.assertIn("refused the recipient <nobody@example.org>", text)
        self.assertIn("550 5.1.10 RESOLVER.ADR.RecipientNotFound", text)
        self.assertEqual(len(self.servers.messages), messages)

    def test_login_refused_with_server_reply(self):
        self.servers.mailbox = "someone.else@example.com"
        try:
            text = self.fail_one()
        finally:
            self.servers.mailbox = None
        self.assertIn("refused the XOAUTH2 login of %s" % SENDER, text)
        self.assertIn("535 5.7.3 Authentication unsuccessful", text)

    def test_mail_server_unreachable(self):
        with unused_port() as port:
            text = self.fail_one(port=str(port))
        self.assertIn("Could not connect to the mail server 127.0.0.1:%d" % port, text)


if __name__ == "__main__":
    args = sys.argv[1:]
    if args[:1] == ["--wine"]:
        WINE, args = args[1], args[2:]
    DRIVER = os.path.abspath(args[0])
    unittest.main(argv=[sys.argv[0], "-v"] + args[1:])
