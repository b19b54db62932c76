"""Loopback peers of the OAuth2 route, on threads of the caller's process: an
HTTPS token endpoint laid out like the hosted identity platform's
(client-credentials grant) and an SMTP server that accepts only the tokens it
issued (AUTH XOAUTH2)."""

import asyncio
import base64
import http.server
import json
import os
import secrets
import ssl
import sys
import threading
import types
import urllib.parse

from aiosmtpd.smtp import AuthResult

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                                "capture-server"))
from smtpd_common import ExtendedSMTP, message_bytes, write_files  # noqa: E402
from peers import make_certificates  # noqa: E402

DEFAULT_TENANT = "contoso-tenant"
DEFAULT_CLIENT_ID = "6f1c2a9e-relay-client"
DEFAULT_CLIENT_SECRET = "s3cr3t~value"
# The identity platform's own text for a wrong secret.
TEXT_BAD_SECRET = ("AADSTS7000215: Invalid client secret provided. Ensure the secret being "
                   "sent in the request is the client secret value, not the client secret ID.")


class TokenHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):  # the servers report through their own lines
        pass

    def _answer(self, status, document):
        body = json.dumps(document).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        owner = self.server.owner
        raw = self.rfile.read(int(self.headers.get("Content-Length") or 0)).decode()
        form = {k: v[0] for k, v in urllib.parse.parse_qs(raw, keep_blank_values=True).items()}
        with owner.lock:
            owner.token_requests.append(form)
        problem = None
        if form.get("client_secret") != DEFAULT_CLIENT_SECRET:
            problem = (401, "invalid_client", TEXT_BAD_SECRET)
        elif (self.path != "/%s/oauth2/v2.0/token" % DEFAULT_TENANT
              or self.headers.get("Content-Type") != "application/x-www-form-urlencoded"
              or form.get("grant_type") != "client_credentials"
              or form.get("client_id") != DEFAULT_CLIENT_ID
              or not form.get("scope", "").endswith("/.default")):
            problem = (400, "invalid_request", "AADSTS900144: Not a client-credentials grant "
                       "of this tenant's application: %s %s" % (self.path, raw))
        if problem:
            owner.announce("token request refused: %s: %s" % problem[1:])
            return self._answer(problem[0], {"error": problem[1], "error_description": problem[2]})
        token = "eyJ0eXAi." + secrets.token_urlsafe(24)
        with owner.lock:
            owner.issued.add(token)
            owner.announce("token %d issued" % len(owner.token_requests))
        self._answer(200, {"token_type": "Bearer", "expires_in": 3599, "access_token": token})


class SmtpHandler:
    def __init__(self, owner):
        self.owner = owner

    async def auth_XOAUTH2(self, server, args):
        blob = base64.b64decode(args[1]) if len(args) > 1 else b""
        fields = dict(i.partition("=")[::2] for i in blob.decode(errors="replace").split("\x01"))
        user, bearer = fields.get("user", ""), fields.get("auth", "")
        owner = self.owner
        with owner.lock:
            ok = bearer.startswith("Bearer ") and bearer[7:] in owner.issued and \
                user.lower() not in owner.refused
            owner.logins.append((user, ok))
        if not ok:
            return AuthResult(success=False, handled=False,
                              message="535 5.7.3 Authentication unsuccessful")
        return AuthResult(success=True, auth_data=user)

    async def handle_MAIL(self, server, session, envelope, address, options):
        # The hosted service only lets a logged-in mailbox send as itself.
        if address.lower() != str(session.auth_data).lower():
            return "550 5.7.60 SMTP; Client does not have permissions to send as this sender"
        envelope.mail_from = address
        envelope.mail_options.extend(options)
        return "250 2.1.0 Sender OK"

    async def handle_RCPT(self, server, session, envelope, address, options):
        if address.lower() in self.owner.refused:
            return "550 5.1.10 RESOLVER.ADR.RecipientNotFound; Recipient %s not found" % address
        envelope.rcpt_tos.append(address)
        return "250 2.1.5 Recipient OK"

    async def handle_DATA(self, server, session, envelope):
        owner, content = self.owner, message_bytes(envelope)
        record = {"auth_user": session.auth_data, "tls": server._tls_protocol is not None,
                  "mail_from": envelope.mail_from, "mail_options": envelope.mail_options,
                  "rcpt_tos": envelope.rcpt_tos,
                  "rcpt_params": getattr(envelope, "rcpt_params", [])}
        with owner.lock:
            owner.messages.append(types.SimpleNamespace(content=content, **record))
            number = len(owner.messages)
            if owner.revoke_after_message:
                owner.issued.clear()
        path = "-"
        if owner.store_files:
            path = os.path.join(owner.folder, "msg-%04d" % number)
            write_files(path, (".json", json.dumps(record).encode()), (".eml", content))
            path += ".eml"
        notify = sorted({p for r in record["rcpt_params"] for p in r["params"]})
        owner.announce("message %d from <%s> to %s%s -> %s" % (
            number, envelope.mail_from, ", ".join("<%s>" % r for r in envelope.rcpt_tos),
            "".join(" " + n for n in notify), path))
        return "250 2.0.0 OK <message %d> Queued mail for delivery" % number


class OAuthServers:
    """plain: no STARTTLS, DSN nor SMTPUTF8. refused: addresses refused as
    recipients and logins. announce: a line per token and message; store_files:
    each message as msg-N.eml beside its envelope msg-N.json."""

    def __init__(self, folder, plain=False, refused=(), store_files=False, announce=None,
                 certificates=None):
        self.folder, self.plain, self.store_files = folder, plain, store_files
        self.certificates = certificates  # (certificate, key, CA); made in folder/tls when None
        self.refused = {r.lower() for r in refused}
        self.announce = announce or (lambda text: None)
        # As a service that revokes an application's tokens after each message.
        self.revoke_after_message = False
        self.lock = threading.Lock()
        # The form of each token request, the tokens issued, (user, accepted) per AUTH
        # XOAUTH2, and the envelope's fields and the content of each message.
        self.token_requests, self.issued, self.logins, self.messages = [], set(), [], []

    def start(self):
        if self.certificates is None:
            make_certificates(os.path.join(self.folder, "tls"))
            self.certificates = tuple(os.path.join(self.folder, "tls", n) for n in (
                "server.pem", "server.key", "ca.pem"))
        cert, key, self.ca_file = self.certificates
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        self._http = http.server.ThreadingHTTPServer(("127.0.0.1", 0), TokenHandler)
        self._http.daemon_threads = True
        self._http.owner = self
        self._http.handle_error = lambda *_: None  # clients that refuse the certificate
        # The handshake runs on the handler's thread, not in accept().
        self._http.socket = context.wrap_socket(self._http.socket, server_side=True,
                                                do_handshake_on_connect=False)
        self.authority = "https://127.0.0.1:%d" % self._http.server_address[1]
        threading.Thread(target=self._http.serve_forever, daemon=True).start()

        self._loop = asyncio.new_event_loop()
        tls = None if self.plain else context

        def factory():
            smtp = ExtendedSMTP(SmtpHandler(self), hostname="relay.localhost", loop=self._loop,
                                tls_context=tls, require_starttls=bool(tls),
                                auth_require_tls=bool(tls), enable_SMTPUTF8=not self.plain)
            smtp.accept_dsn = smtp.advertise_dsn = not self.plain
            return smtp

        self._smtp = self._loop.run_until_complete(
            self._loop.create_server(factory, host="127.0.0.1", port=0))
        self.smtp_port = self._smtp.sockets[0].getsockname()[1]
        self._thread = threading.Thread(target=self._loop.run_forever, daemon=True)
        self._thread.start()
        return self

    def stop(self):
        self._http.shutdown()
        self._http.server_close()
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join(60)
        self._smtp.close()
        self._loop.run_until_complete(self._smtp.wait_closed())
        self._loop.close()

