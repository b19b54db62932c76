"""OAuthRelay through oauthrelay-driver against the peers of oauth_servers.py.

    test_oauthrelay.py [--wine WINE64] PATH/TO/oauthrelay-driver[.exe] [Test ...]

With --wine the driver is the Windows one (Z: paths); Wine's Schannel checks
no certificate, so no row there asserts a refusal.
"""

import email
import email.policy
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "support"))
import oauth_servers  # noqa: E402
from smtpd_common import quiet_aiosmtpd  # noqa: E402

DRIVER = WINE = None
SENDER = "anne@example.com"
SENT = (True, "")


def native_path(path):
    return "Z:" + path.replace("/", "\\") if WINE else path


def parse(received):
    return email.message_from_bytes(received.content, policy=email.policy.default)


def refuse_tunnel(listener, seen):
    conn = listener.accept()[0]
    with conn:
        # Noted before the refusal goes out: the client may report it at once.
        seen.append(conn.makefile("rb").readline())
        conn.sendall(b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n")


class RelayCase(unittest.TestCase):
    SERVER_OPTIONS = {}

    @classmethod
    def setUpClass(cls):
        quiet_aiosmtpd()
        cls.tmp = tempfile.mkdtemp(prefix="oauthrelay-test.")
        cls.servers = oauth_servers.OAuthServers(os.path.join(cls.tmp, "servers"),
                                                 **cls.SERVER_OPTIONS).start()
        cls.closed = socket.socket()  # bound, never listening: connections are refused
        cls.closed.bind(("127.0.0.1", 0))
        cls.closed_port = cls.closed.getsockname()[1]

    @classmethod
    def tearDownClass(cls):
        cls.closed.close()
        cls.servers.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def run_driver(self, *calls, env=None):
        """One driver process, a call per dict of changes to the call before
        (None: a null; in env: no variable). (sent, failure text) per call."""
        s = self.servers
        base = {"to": "bob@example.org", "subject": "Status", "body": "Hello Bob",
                "sender": SENDER, "host": "127.0.0.1", "port": s.smtp_port,
                "starttls": int(not s.plain), "client-id": oauth_servers.DEFAULT_CLIENT_ID,
                "client-secret": oauth_servers.DEFAULT_CLIENT_SECRET,
                "tenant": oauth_servers.DEFAULT_TENANT, "authority": s.authority}
        args = [WINE, DRIVER] if WINE else [DRIVER]
        for i, call in enumerate(calls or ({},)):
            args += ["--next"] if i else []
            for k, v in (dict(base, **call) if i == 0 else call).items():
                args += ["--null", k] if v is None else ["%s=%s" % (k, v)]
        env = {**os.environ, "SSL_CERT_DIR": None, "SSL_CERT_FILE": s.ca_file, **(env or {})}
        p = subprocess.run(args, capture_output=True, text=True, errors="replace", timeout=240,
                           env={k: v for k, v in env.items() if v is not None})
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        lines = p.stdout.splitlines()
        self.assertEqual([line.split(":")[0] for line in lines],
                         ["call %d" % n for n in range(1, max(1, len(calls)) + 1)], p.stdout)
        results = [line.split(": ", 1)[1] for line in lines]
        return [(r == "sent", r.removeprefix("sent").removeprefix("failed: ")) for r in results]

    def expect_failures(self, rows):
        """Rows of (changes, failure text) in one process; nothing may arrive."""
        messages = len(self.servers.messages)
        results = self.run_driver(*[changes for changes, _ in rows])
        for (changes, expected), (sent, text) in zip(rows, results):
            self.assertFalse(sent, changes)
            self.assertIn(expected, text)
        self.assertEqual(len(self.servers.messages), messages)


class DeliveryTest(RelayCase):
    def test_full_message_arrives_as_composed(self):
        binary = bytes(range(256)) * 300 + os.urandom(20000)
        text_name = "Bericht Ä №5.txt"
        files = {"data.bin": binary, text_name: "Zeile 1\r\nZeile 2 – ü\r\n".encode("utf-8")}
        for name, data in files.items():
            with open(os.path.join(self.tmp, name), "wb") as f:
                f.write(data)
        body = ("Hallo Bob,\n\nGrüße aus Köln – 100 € bezahlt.\n"
                ".a line that starts with a dot\n.\n"
                "trailing blanks   \n" + "x" * 200 + "\n= sign and \t tab\nEnde")
        subject = "Grüße aus Köln – Bericht №5 " + "lang " * 20 + "Ende"
        sent, text = self.run_driver(dict(
            to="bob@example.org;Carla Ärger <carla@example.org>", cc="cc@example.org",
            bcc="hidden@example.net;BOB@example.org", subject=subject, body=body,
            sender="Anne Sender <%s>" % SENDER, priority=3,
            attachments=" ; ".join(native_path(os.path.join(self.tmp, n)) for n in files),
            headers="X-Campaign: spring; tracking=1;Reply-To: replies@example.org",
            **{"sender-name": "Änne Sender", "notify-success": 1, "notify-failure": 1}))[0]
        self.assertTrue(sent, text)
        received = self.servers.messages[-1]
        self.assertEqual((received.auth_user, received.tls, received.mail_from, received.rcpt_tos),
                         (SENDER, True, SENDER, ["bob@example.org", "carla@example.org",
                                                 "cc@example.org", "hidden@example.net"]))
        self.assertIn("SIZE=%d" % len(received.content), received.mail_options)
        self.assertNotIn(b"hidden@example.net", received.content)
        for line in received.content.split(b"\r\n"):
            self.assertLessEqual(len(line), 998)
            self.assertTrue(all(b < 128 for b in line), line)

        m = parse(received)
        self.assertEqual(str(m["Subject"]), subject)
        self.assertEqual((m["From"].addresses[0].display_name, m["From"].addresses[0].addr_spec),
                         ("Änne Sender", SENDER))
        to = [(a.display_name, a.addr_spec) for a in m["To"].addresses]
        self.assertEqual(to, [("", "bob@example.org"), ("Carla Ärger", "carla@example.org")])
        self.assertEqual([a.addr_spec for a in m["Cc"].addresses], ["cc@example.org"])
        self.assertEqual(m["X-Campaign"], "spring; tracking=1")
        self.assertEqual(m["Reply-To"].addresses[0].addr_spec, "replies@example.org")

        self.assertEqual(m.get_content_type(), "multipart/mixed")
        part = m.get_body()
        self.assertEqual((part.get_content_type(), part.get_content_charset()),
                         ("text/plain", "utf-8"))
        self.assertEqual(part.get_content().replace("\r\n", "\n"), body)
        got = {a.get_filename(): a.get_content() for a in m.iter_attachments()}
        self.assertEqual((set(got), got["data.bin"]), (set(files), binary))
        self.assertEqual(got[text_name].replace("\r\n", "\n"), "Zeile 1\nZeile 2 – ü\n")


class PlainServerTest(RelayCase):
    SERVER_OPTIONS = {"plain": True}

    def test_plain_session_without_notify_and_starttls_not_offered(self):
        results = self.run_driver({"notify-success": 1, "notify-failure": 1}, {"starttls": 1})
        self.assertEqual(results[0], SENT)
        received = self.servers.messages[-1]
        params = [r["params"] for r in received.rcpt_params]
        # RFC 3461: no NOTIFY to a server that does not announce DSN.
        self.assertEqual((received.tls, received.auth_user, params), (False, SENDER, [[]]))
        self.assertIn("127.0.0.1:%d does not offer STARTTLS" % self.servers.smtp_port,
                      results[1][1])

    def test_address_in_utf8_needs_smtputf8(self):
        self.expect_failures([({"to": "jörg@bücher.example"}, "<jörg@xn--bcher-kva.example> cannot"
                               " be sent: the mail server 127.0.0.1:%d does not accept "
                               "internationalized addresses." % self.servers.smtp_port)])


class TokenTest(RelayCase):
    def requests(self):
        return len(self.servers.token_requests)

    def test_token_cached_per_key_within_a_process(self):
        before = self.requests()
        self.assertEqual(self.run_driver({}, {"subject": "second"},
                                         {"scope": "api://other/.default"}, {"scope": ""}),
                         [SENT] * 4)
        self.assertEqual(self.requests() - before, 2)
        self.assertEqual(self.servers.token_requests[-1]["scope"], "api://other/.default")

    def test_refused_cached_token_is_replaced_once(self):
        requests, logins = self.requests(), len(self.servers.logins)
        self.servers.revoke_after_message = True
        try:
            self.assertEqual(self.run_driver({}, {"subject": "after revocation"}), [SENT] * 2)
        finally:
            self.servers.revoke_after_message = False
        self.assertEqual(self.requests() - requests, 2)
        self.assertEqual([ok for _, ok in self.servers.logins[logins:]], [True, False, True])
        self.assertEqual(str(parse(self.servers.messages[-1])["Subject"]), "after revocation")

    def test_trust_through_ssl_cert_dir_and_untrusted_endpoint(self):
        folder = os.path.join(self.tmp, "certdir")
        os.makedirs(folder)
        shutil.copy(self.servers.ca_file, folder)
        subprocess.run(["openssl", "rehash", folder], check=True, timeout=60)
        self.assertEqual(self.run_driver(env={"SSL_CERT_FILE": None, "SSL_CERT_DIR": folder}),
                         [SENT])
        before = self.requests()
        sent, text = self.run_driver(env={"SSL_CERT_FILE": None})[0]
        self.assertFalse(sent)
        self.assertIn("Could not reach the token endpoint", text)
        self.assertIn("certificate", text.lower())
        self.assertEqual(self.requests(), before)

    def test_token_request_goes_through_the_system_proxy(self):
        # On Linux https_proxy; on Windows the user's Internet settings.
        proxy = socket.create_server(("127.0.0.1", 0))
        seen = []
        threading.Thread(target=refuse_tunnel, args=(proxy, seen), daemon=True).start()
        address = "127.0.0.1:%d" % proxy.getsockname()[1]
        key = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"
        env = {"https_proxy": "http://" + address,
               **dict.fromkeys(("HTTPS_PROXY", "no_proxy", "NO_PROXY", "all_proxy", "ALL_PROXY"))}
        if WINE:  # a proxy by name, "<local>" bypassed, no script
            blob = struct.pack("<III", 0x46, 0, 2) + b"".join(
                struct.pack("<I", len(t)) + t for t in (address.encode(), b"<local>", b""))
            subprocess.run([WINE, "reg", "add", key, "/v", "DefaultConnectionSettings", "/t",
                            "REG_BINARY", "/d", blob.hex(), "/f"], check=True, capture_output=True)
            env = {}
        try:
            sent, text = self.run_driver(env=env)[0]
        finally:
            proxy.close()
            if WINE:
                subprocess.run([WINE, "reg", "delete", key, "/v", "DefaultConnectionSettings",
                                "/f"], capture_output=True)
        self.assertFalse(sent)
        self.assertIn("Could not reach the token endpoint", text)
        self.assertEqual(seen, [b"CONNECT %s HTTP/1.1\r\n" %
                                self.servers.authority.split("//")[1].encode()])


class FailureTest(RelayCase):
    SERVER_OPTIONS = {"refused": ["nobody@example.org"]}

    def test_refusals_name_their_reason(self):
        port, endpoint = self.closed_port, "https://127.0.0.1:%d" % self.closed_port
        self.expect_failures([
            ({"authority": endpoint},
             "Could not reach the token endpoint %s/%s/oauth2/v2.0/token" % (
                 endpoint, oauth_servers.DEFAULT_TENANT)),
            ({"authority": self.servers.authority, "port": port},
             "Could not connect to the mail server 127.0.0.1:%d" % port),
            ({"port": self.servers.smtp_port, "cc": "nobody@example.org"},
             "refused the recipient <nobody@example.org>: 550 5.1.10 RESOLVER.ADR."),
            ({"cc": "", "sender": "nobody@example.org"},
             "refused the XOAUTH2 login of nobody@example.org: 535 5.7.3 Authentication"),
        ])

    def test_input_checked_before_any_traffic(self):
        requests = len(self.servers.token_requests)
        missing = native_path(os.path.join(self.tmp, "no-such-file.pdf"))
        self.expect_failures([
            ({"to": "", "bcc": " ; "}, "The message has no recipients: To, Cc and Bcc are all empty."),
            ({"to": "bob@example.org", "host": "  "}, "No mail server host was given."),
            ({"host": "127.0.0.1", "sender": ""}, "No sender address was given."),
            ({"sender": "not-an-address"}, '"not-an-address"'),
            ({"sender": SENDER, "cc": "Bob <bob@exa mple.org>"}, '"bob@exa mple.org"'),
            ({"cc": "", "port": 70000}, "port 70000 is not a TCP port"),
            ({"port": 25, "attachments": native_path(__file__) + ";" + missing},
             '"%s" does not exist' % missing),
            ({"attachments": native_path(self.tmp)}, "is not a file"),
            (dict.fromkeys(("to", "cc", "bcc", "subject", "body", "sender-name", "sender", "host",
                            "charset", "attachments", "client-id", "client-secret", "tenant",
                            "scope", "authority", "headers")), "No mail server host was given."),
        ])
        self.assertEqual(len(self.servers.token_requests), requests)


if __name__ == "__main__":
    args = sys.argv[1:]
    if args[:1] == ["--wine"]:
        WINE, args = args[1], args[2:]
    DRIVER = os.path.abspath(args[0])
    unittest.main(argv=[sys.argv[0], "-v"] + args[1:])
