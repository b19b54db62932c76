"""OAuthRelay's SendEmailWithContent against real peers on loopback: an HTTPS
token endpoint of the identity platform's layout and an aiosmtpd server whose
AUTH XOAUTH2 accepts only the tokens that endpoint issued. Each driver run is a
process of its own (a token cache's lifetime) that loads the library with
ctypes; what arrives is read back with Python's email package.

    test_oauthrelay.py PATH/TO/libOAuthRelay.so [TestClass ...]
"""

import ctypes
import json
import sys

# The arguments of SendEmailWithContent in order; True marks the flags.
ARGUMENTS = [("to", 0), ("cc", 0), ("bcc", 0), ("subject", 0), ("body", 0), ("html", True),
             ("sender-name", 0), ("sender", 0), ("host", 0), ("port", int), ("priority", int),
             ("charset", 0), ("starttls", True), ("mime", True), ("notify-success", True),
             ("notify-failure", True), ("attachments", 0), ("client-id", 0),
             ("client-secret", 0), ("tenant", 0), ("scope", 0), ("authority", 0), ("headers", 0)]


def drive(library, calls):
    """Calls the library once per dict (None passes a null text); returns
    [sent, text of the failure] per call."""
    lib = ctypes.CDLL(library)
    lib.SendEmailWithContent.restype = ctypes.c_void_p
    results = []
    for call in calls:
        args = []
        for name, kind in ARGUMENTS:
            value = call.get(name, "")
            if kind is True:
                args.append(ctypes.c_bool(value not in ("", "0")))
            elif kind is int:
                args.append(ctypes.c_int(int(value or 0)))
            else:
                args.append(None if value is None else
                            ctypes.create_string_buffer((value + "\0").encode("utf-16-le")))
        text = lib.SendEmailWithContent(*args)
        data = b""
        while text and ctypes.string_at(text + len(data), 2) != b"\0\0":
            data += ctypes.string_at(text + len(data), 2)
        results.append([not data, data.decode("utf-16-le")])
    return results


if __name__ == "__main__" and sys.argv[1] == "--drive":
    # A driver process needs the library only.
    print(json.dumps(drive(sys.argv[2], json.loads(sys.argv[3]))))
    sys.exit(0)

import email
import email.policy
import os
import shutil
import socket
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "support"))
import oauth_servers  # noqa: E402
from oauth_servers import OAuthServers  # noqa: E402
from smtpd_common import quiet_aiosmtpd  # noqa: E402

LIBRARY = None
SENDER = "anne@example.com"
def notify_params(received):
    return [r["params"] for r in received.rcpt_params]


def parse(received):
    return email.message_from_bytes(received.content, policy=email.policy.default)


def body_text(message):
    part = message.get_body(preferencelist=("html", "plain"))
    return part, part.get_content().replace("\r\n", "\n")


def unused_port():
    """A loopback port that refuses connections."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class RelayCase(unittest.TestCase):
    """Starts the servers once per class and drives the library against them."""

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

    def run_driver(self, *calls, env=None):
        """One driver process: the first call is the base call with the first
        dict's changes, every further dict changes the call before it; in env
        a None removes the variable. Returns (sent, text) per call."""
        current = {
            "to": "bob@example.org", "subject": "Status", "body": "Hello Bob",
            "sender-name": "Anne Sender", "sender": SENDER, "host": "127.0.0.1",
            "port": str(self.servers.smtp_port), "priority": "2", "charset": "utf-8",
            "starttls": "1" if self.servers.smtp_tls == "starttls" else "0", "mime": "1",
            "client-id": oauth_servers.DEFAULT_CLIENT_ID,
            "client-secret": oauth_servers.DEFAULT_CLIENT_SECRET,
            "tenant": oauth_servers.DEFAULT_TENANT,
            "scope": "https://outlook.office365.com/.default", "authority": self.servers.authority}
        full = []
        for call in calls or ({},):
            current = dict(current, **call)
            full.append(current)
        env = {**os.environ, "SSL_CERT_DIR": None, "SSL_CERT_FILE": self.servers.ca_file,
               **(env or {})}
        p = subprocess.run([sys.executable, __file__, "--drive", LIBRARY, json.dumps(full)],
                           capture_output=True, text=True, timeout=240,
                           env={k: v for k, v in env.items() if v is not None})
        self.assertEqual(p.returncode, 0, p.stderr)
        return [tuple(r) for r in json.loads(p.stdout)]

    def send_one(self, **changes):
        sent, text = self.run_driver(changes)[0]
        self.assertTrue(sent, text)
        return self.servers.messages[-1]

    def fail_one(self, env=None, **changes):
        sent, text = self.run_driver(changes, env=env)[0]
        self.assertFalse(sent, "the call should have failed")
        return text


class DeliveryTest(RelayCase):
    """Messages through STARTTLS and XOAUTH2, read back with the email package."""

    def test_html_notify_priority_and_charsets(self):
        before = len(self.servers.messages)
        html = "<html><body><p>Grüße &amp; <b>mehr</b></p>\n<p>zweite Zeile</p></body></html>"
        self.assertEqual(self.run_driver(
            {"body": html, "html": "1", "notify-failure": "1", "priority": "1",
             "to": "bob@example.org;Carla Ärger <carla@example.org>", "bcc": "hidden@example.net"},
            {"body": "Grüße, Jürgen", "html": "0", "notify-failure": "0", "notify-success": "1",
             "priority": "2", "charset": "iso-8859-1"},
            {"body": "Preis: 5 €", "notify-success": "0", "priority": "0"},  # no € in Latin-1
            {"charset": "windows-1252"}), [(True, "")] * 4)
        got = self.servers.messages[before:]
        # Bcc travels in the envelope only; the size is announced; every line
        # is 7-bit and within the limit.
        self.assertEqual(got[0].rcpt_tos, ["bob@example.org", "carla@example.org",
                                           "hidden@example.net"])
        self.assertNotIn(b"hidden@example.net", got[0].content)
        self.assertIn("SIZE=%d" % len(got[0].content), got[0].mail_options)
        for line in got[0].content.split(b"\r\n"):
            self.assertTrue(len(line) <= 998 and all(b < 128 for b in line), line)
        self.assertEqual([notify_params(r) for r in got],
                         [[["NOTIFY=FAILURE"]] * 3, [["NOTIFY=SUCCESS"]] * 3, [[]] * 3, [[]] * 3])
        messages = [parse(r) for r in got]
        self.assertEqual(messages[0].get_content_type(), "text/html")
        self.assertEqual(list(messages[0].iter_attachments()), [])
        self.assertEqual([m["X-Priority"] and m["X-Priority"][0] for m in messages],
                         ["5", "3", None, None])
        self.assertEqual([(body_text(m)[0].get_content_charset(), body_text(m)[1])
                          for m in messages],
                         [("utf-8", html), ("iso-8859-1", "Grüße, Jürgen"), ("utf-8", "Preis: 5 €"),
                          ("windows-1252", "Preis: 5 €")])
        self.assertIn(b"5 =80", got[-1].content)

    def test_null_texts_and_a_trust_folder(self):
        sent, text = self.run_driver(dict.fromkeys(("cc", "bcc", "subject", "attachments",
                                                    "headers", "sender-name", "charset",
                                                    "body", "scope")))[0]
        self.assertTrue(sent, text)
        m = parse(self.servers.messages[-1])
        self.assertEqual((m["Subject"], m["From"].addresses[0].display_name, body_text(m)[1]),
                         (None, "", ""))
        # The CA in a hashed folder named by SSL_CERT_DIR, no SSL_CERT_FILE.
        folder = os.path.join(self.tmp, "certdir")
        os.makedirs(folder, exist_ok=True)
        shutil.copy(self.servers.ca_file, os.path.join(folder, "test-ca.pem"))
        subprocess.run(["openssl", "rehash", folder], check=True, timeout=60)
        sent, text = self.run_driver({}, env={"SSL_CERT_FILE": None, "SSL_CERT_DIR": folder})[0]
        self.assertTrue(sent, text)


class PlainServerTest(RelayCase):
    """A server without STARTTLS and without DSN."""

    SERVER_OPTIONS = {"smtp_tls": "none", "dsn": False}

    def test_no_notify_without_dsn_and_no_plain_session_when_tls_is_asked(self):
        results = self.run_driver({"notify-success": "1", "notify-failure": "1"}, {"starttls": "1"})
        self.assertEqual(results[0], (True, ""))
        received = self.servers.messages[-1]
        self.assertEqual((received.tls, received.auth_user), (False, SENDER))
        # RFC 3461: no NOTIFY to a server that does not announce DSN.
        self.assertEqual(notify_params(received), [[]])
        self.assertIn("does not offer STARTTLS", results[1][1])
        self.assertIn("127.0.0.1:%d" % self.servers.smtp_port, results[1][1])


class TokenTest(RelayCase):
    """The client-credentials grant and the token cache."""

    def requests(self):
        return len(self.servers.token_requests)

    def test_request_has_the_grant_form_at_the_tenants_path(self):
        token_path = "/%s/oauth2/v2.0/token" % oauth_servers.DEFAULT_TENANT
        self.send_one(scope="api://mail-relay/.default")
        self.assertEqual(self.servers.token_requests[-1], (
            token_path, "application/x-www-form-urlencoded",
            {"grant_type": "client_credentials", "client_id": oauth_servers.DEFAULT_CLIENT_ID,
             "client_secret": oauth_servers.DEFAULT_CLIENT_SECRET,
             "scope": "api://mail-relay/.default"}))
        # An empty scope is the mail service's default; a trailing slash of the
        # authority does not double.
        self.send_one(scope="", authority=self.servers.authority + "/")
        path, _, form = self.servers.token_requests[-1]
        self.assertEqual((path, form["scope"]),
                         (token_path, "https://outlook.office365.com/.default"))

    def test_tokens_are_cached_per_key_within_a_process_while_they_last(self):
        before = self.requests()
        self.assertEqual(self.run_driver({}, {"subject": "second"},
                                         {"scope": "api://other/.default"},
                                         {"scope": "https://outlook.office365.com/.default"}),
                         [(True, "")] * 4)
        # One token for the first scope (used three times), one for the other.
        self.assertEqual(self.requests() - before, 2)
        self.run_driver({})  # another process starts with an empty cache
        self.assertEqual(self.requests() - before, 3)
        self.servers.expires_in = 1  # too short to be kept
        try:
            self.assertEqual(self.run_driver({}, {}), [(True, "")] * 2)
            self.assertEqual(self.requests() - before, 5)
        finally:
            self.servers.expires_in = 3599

    def test_refused_cached_token_is_replaced_once(self):
        self.servers.revoke_after_message = True
        try:
            before_requests, before_logins = self.requests(), len(self.servers.logins)
            self.assertEqual(self.run_driver({}, {"subject": "after revocation"}),
                             [(True, "")] * 2)
            self.assertEqual(self.requests() - before_requests, 2)
            self.assertEqual([ok for _, ok in self.servers.logins[before_logins:]],
                             [True, False, True])
            self.assertEqual(str(parse(self.servers.messages[-1])["Subject"]), "after revocation")
        finally:
            self.servers.revoke_after_message = False

    def test_refusals_and_failures_of_the_token_request(self):
        messages, logins = len(self.servers.messages), len(self.servers.logins)
        port = unused_port()
        results = self.run_driver(
            {"client-secret": "not-the-secret"},
            {"client-secret": oauth_servers.DEFAULT_CLIENT_SECRET, "client-id": "no-such-app"},
            {"client-id": oauth_servers.DEFAULT_CLIENT_ID, "tenant": "other-tenant"},
            {"tenant": oauth_servers.DEFAULT_TENANT,
             "scope": "https://outlook.office365.com/mail.send"},
            {"scope": "", "authority": "https://127.0.0.1:%d" % port},
            {"authority": "http://127.0.0.1:%d" % self.servers.token_port},
            {"authority": self.servers.authority, "client-id": ""},
            {"client-id": "x", "client-secret": ""},
            {"client-secret": "y", "tenant": " "})
        texts = [t for _, t in results]
        for part in ("invalid_client", oauth_servers.TEXT_BAD_SECRET, "HTTP 401"):
            self.assertIn(part, texts[0])
        self.assertIn(oauth_servers.TEXT_BAD_CLIENT % "no-such-app", texts[1])
        self.assertIn(oauth_servers.TEXT_BAD_TENANT % "other-tenant", texts[2])
        self.assertIn("invalid_scope", texts[3])
        self.assertIn("Could not reach the token endpoint", texts[4])
        self.assertIn("127.0.0.1:%d/%s/oauth2/v2.0/token" % (port, oauth_servers.DEFAULT_TENANT),
                      texts[4])
        self.assertIn("https", texts[5])
        self.assertEqual(texts[6:], ["No OAuth2 client id was given.",
                                     "No OAuth2 client secret was given.",
                                     "No OAuth2 tenant id was given."])
        self.assertEqual((len(self.servers.messages), len(self.servers.logins)), (messages, logins))
        before = self.requests()
        text = self.fail_one(env={"SSL_CERT_FILE": None})
        self.assertIn("Could not reach the token endpoint", text)
        self.assertIn("certificate", text.lower())
        self.assertEqual(self.requests(), before)


class FailureTest(RelayCase):
    """Refusals and bad input, each with a text that says what went wrong."""

    SERVER_OPTIONS = {"refused_recipients": ["nobody@example.org"]}

    def test_input_is_checked_before_any_traffic(self):
        requests = len(self.servers.token_requests)
        missing = os.path.join(self.tmp, "no-such-file.pdf")
        existing = os.path.join(self.tmp, "exists.txt")
        with open(existing, "w") as f:
            f.write("x")
        texts = [t for _, t in self.run_driver(
            {"to": "", "cc": " ; ", "bcc": ""},
            {"to": "bob@example.org", "host": "  "},
            {"host": "127.0.0.1", "sender": ""},
            {"sender": "not-an-address"},
            {"sender": SENDER, "cc": "Bob <bob@exa mple.org>"},
            {"cc": "", "headers": "NoColonHere"},
            {"headers": "Subject: sneaky"},
            {"headers": "", "port": "70000"},
            {"port": str(self.servers.smtp_port), "attachments": existing + ";" + missing},
            {"attachments": self.tmp})]
        self.assertEqual(texts[:3], ["The message has no recipients: To, Cc and Bcc are all empty.",
                                     "No mail server host was given.",
                                     "No sender address was given."])
        for text, part in zip(texts[3:], ['"not-an-address"', "bob@exa mple.org", "NoColonHere",
                                          "Subject", "70000", missing, "is not a file"]):
            self.assertIn(part, text)
        self.assertEqual(len(self.servers.token_requests), requests)
        every = dict.fromkeys(name for name, kind in ARGUMENTS if kind == 0)
        self.assertEqual(self.fail_one(**every), "No mail server host was given.")

    def test_server_refusals_carry_the_servers_reply(self):
        messages = len(self.servers.messages)
        text = self.fail_one(cc="nobody@example.org")
        self.assertIn("refused the recipient <nobody@example.org>", text)
        self.assertIn("550 5.1.10 RESOLVER.ADR.RecipientNotFound", text)
        self.assertEqual(len(self.servers.messages), messages)
        self.servers.mailbox = "someone.else@example.com"
        try:
            text = self.fail_one()
        finally:
            self.servers.mailbox = None
        self.assertIn("refused the XOAUTH2 login of %s" % SENDER, text)
        self.assertIn("535 5.7.3 Authentication unsuccessful", text)
        port = unused_port()
        self.assertIn("Could not connect to the mail server 127.0.0.1:%d" % port,
                      self.fail_one(port=str(port)))


if __name__ == "__main__":
    LIBRARY = os.path.abspath(sys.argv[1])
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[2:])
