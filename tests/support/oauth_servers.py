#!/usr/bin/python3
"""Loopback peers of the OAuth2 sending route: an HTTPS token endpoint laid out
like the hosted service's identity platform (client-credentials grant) and an
SMTP server that accepts only the tokens it issued (AUTH XOAUTH2).

A Python test runs OAuthServers(folder, ...).start() on threads of its own
process; run as a program (oauth_servers.py --dir DIR) it prints, flushed:
    oauth-servers: ready authority https://127.0.0.1:P1 smtp-port P2 ca PATH
    oauth-servers: token N issued to client ID
    oauth-servers: token request refused: ERROR: DESCRIPTION
    oauth-servers: message N from <a> to <b>, <c> [NOTIFY=...] -> FILE.eml
with FILE.json beside each FILE.eml holding the envelope. Clients trust the CA
made in DIR/tls through SSL_CERT_FILE.
"""

import argparse
import asyncio
import base64
import binascii
import http.server
import json
import os
import secrets
import signal
import ssl
import sys
import threading
import types
import urllib.parse

from aiosmtpd.smtp import MISSING, AuthResult

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                                "capture-server"))
from smtpd_common import (ExtendedSMTP, generate_certificates, message_bytes,  # noqa: E402
                          quiet_aiosmtpd, write_files)

PREFIX = "oauth-servers:"

DEFAULT_TENANT = "contoso-tenant"
DEFAULT_CLIENT_ID = "6f1c2a9e-relay-client"
DEFAULT_CLIENT_SECRET = "s3cr3t~value"
DEFAULT_MAILBOX = None  # any mailbox may log in with a valid token

# The identity platform's own texts for the failures the tests provoke.
TEXT_BAD_SECRET = ("AADSTS7000215: Invalid client secret provided. Ensure the secret being "
                   "sent in the request is the client secret value, not the client secret ID.")
TEXT_BAD_CLIENT = "AADSTS700016: Application with identifier '%s' was not found in the directory."
TEXT_BAD_TENANT = "AADSTS90002: Tenant '%s' not found."
TEXT_BAD_SCOPE = ("AADSTS1002012: The provided value for scope %s is not valid. Client credential "
                  "flows must have a scope value with /.default suffixed to the resource "
                  "identifier (application ID URI).")


class TokenHandler(http.server.BaseHTTPRequestHandler):
    """POST /{tenant}/oauth2/v2.0/token with the client-credentials grant."""

    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):  # the servers report through their own lines
        pass

    def _answer(self, status, document):
        body = json.dumps(document).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store, no-cache")
        self.end_headers()
        self.wfile.write(body)

    def _refuse(self, status, error, description):
        self.server.owner._note_refusal(error, description)
        self._answer(status, {"error": error, "error_description": description,
                              "error_codes": [int(description[6:description.index(":")])],
                              "trace_id": secrets.token_hex(8)})

    def do_POST(self):
        owner = self.server.owner
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length).decode("utf-8", "replace")
        form = {k: v[0] for k, v in urllib.parse.parse_qs(raw, keep_blank_values=True).items()}
        path = urllib.parse.urlsplit(self.path).path
        owner._note_request(path, self.headers.get("Content-Type", ""), form)

        parts = path.strip("/").split("/")
        if len(parts) != 4 or parts[1:] != ["oauth2", "v2.0", "token"]:
            return self._answer(404, {"error": "not_found", "error_description": "No such path"})
        if parts[0] != owner.tenant:
            return self._refuse(400, "invalid_request", TEXT_BAD_TENANT % parts[0])
        if form.get("client_id") != owner.client_id:
            return self._refuse(400, "unauthorized_client",
                                TEXT_BAD_CLIENT % form.get("client_id", ""))
        if form.get("client_secret") != owner.client_secret:
            return self._refuse(401, "invalid_client", TEXT_BAD_SECRET)
        scope = form.get("scope", "")
        if not scope.endswith("/.default"):
            return self._refuse(400, "invalid_scope", TEXT_BAD_SCOPE % scope)
        token = owner._issue_token()
        self._answer(200, {"token_type": "Bearer", "expires_in": owner.expires_in,
                           "ext_expires_in": owner.expires_in, "access_token": token})


class TokenServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, owner, context):
        super().__init__(("127.0.0.1", 0), TokenHandler)
        self.owner = owner
        # The handshake runs on the handler's thread, not in accept().
        self.socket = context.wrap_socket(self.socket, server_side=True,
                                          do_handshake_on_connect=False)

    def handle_error(self, request, client_address):
        pass  # clients that give up on the certificate are expected in tests


class RelaySMTP(ExtendedSMTP):
    """DSN offered and its RCPT parameters accepted, or neither."""

    def __init__(self, *args, dsn=True, **kwargs):
        super().__init__(*args, **kwargs)
        self.accept_dsn = self.advertise_dsn = dsn


class SmtpHandler:
    def __init__(self, owner):
        self.owner = owner

    async def auth_XOAUTH2(self, server, args):
        if len(args) > 1:
            try:
                blob = base64.b64decode(args[1], validate=True)
            except binascii.Error:
                return AuthResult(success=False, handled=False,
                                  message="501 5.5.2 Cannot decode the initial response")
        else:
            blob = await server.challenge_auth("")
            if blob is MISSING:
                return AuthResult(success=False, handled=True)
        fields = {}
        for item in blob.decode("utf-8", "replace").split("\x01"):
            key, _, value = item.partition("=")
            if key:
                fields[key] = value
        user = fields.get("user", "")
        bearer = fields.get("auth", "")
        token = bearer[7:] if bearer.startswith("Bearer ") else None
        verdict = self.owner._check_login(user, token)
        if verdict is not None:
            return AuthResult(success=False, handled=False, message=verdict)
        return AuthResult(success=True, auth_data=user)

    async def handle_MAIL(self, server, session, envelope, address, options):
        # The hosted service only lets a mailbox send as itself.
        if session.auth_data is None:
            return "530 5.7.57 Client not authenticated to send mail"
        if address.lower() != str(session.auth_data).lower():
            return ("550 5.7.60 SMTP; Client does not have permissions to send as this "
                    "sender")
        envelope.mail_from = address
        envelope.mail_options.extend(options)
        return "250 2.1.0 Sender OK"

    async def handle_RCPT(self, server, session, envelope, address, options):
        if address.lower() in self.owner.refused_recipients:
            return "550 5.1.10 RESOLVER.ADR.RecipientNotFound; Recipient %s not found" % address
        envelope.rcpt_tos.append(address)
        envelope.rcpt_options.extend(options)
        return "250 2.1.5 Recipient OK"

    async def handle_DATA(self, server, session, envelope):
        number = self.owner._store(session, server, envelope, message_bytes(envelope))
        return "250 2.0.0 OK <message %d> Queued mail for delivery" % number


class OAuthServers:
    """The token endpoint and the SMTP server, each on its own thread."""

    def __init__(self, folder, tenant=DEFAULT_TENANT, client_id=DEFAULT_CLIENT_ID,
                 client_secret=DEFAULT_CLIENT_SECRET, mailbox=DEFAULT_MAILBOX,
                 expires_in=3599, smtp_tls="starttls", dsn=True, refused_recipients=(),
                 revoke_after_message=False, store_files=False, announce=None):
        if smtp_tls not in ("starttls", "none"):
            raise ValueError("smtp_tls must be starttls or none")
        self.folder = folder
        self.tenant = tenant
        self.client_id = client_id
        self.client_secret = client_secret
        self.mailbox = mailbox
        self.expires_in = expires_in
        self.smtp_tls = smtp_tls
        self.dsn = dsn
        self.refused_recipients = {r.lower() for r in refused_recipients}
        # Forget every issued token after each message, as a service does that
        # revokes an application's tokens: a client's cached token then fails.
        self.revoke_after_message = revoke_after_message
        self.store_files = store_files
        self.announce = announce or (lambda text: None)
        self._lock = threading.Lock()
        self.token_requests = []   # (path, content type, form) per request
        self.issued = set()        # tokens
        self.logins = []           # (user, accepted) per AUTH XOAUTH2
        self.messages = []         # each with the envelope's fields and content, in order
        self._http = None
        self._loop = None
        self._smtp = None
        self._threads = []

    # -- state shared with the server threads

    def _note_request(self, path, content_type, form):
        with self._lock:
            self.token_requests.append((path, content_type, form))

    def _note_refusal(self, error, description):
        self.announce("token request refused: %s: %s" % (error, description))

    def _issue_token(self):
        token = "eyJ0eXAi." + secrets.token_urlsafe(24)
        with self._lock:
            self.issued.add(token)
            count = len(self.issued)
        self.announce("token %d issued to client %s" % (count, self.client_id))
        return token

    def _check_login(self, user, token):
        with self._lock:
            known = token is not None and token in self.issued
            allowed = self.mailbox is None or user.lower() == self.mailbox.lower()
            self.logins.append((user, known and allowed))
        if known and allowed:
            return None
        return "535 5.7.3 Authentication unsuccessful"

    def _store(self, session, server, envelope, content):
        with self._lock:
            number = len(self.messages) + 1
            record = {"number": number, "auth_user": session.auth_data,
                      "tls": server._tls_protocol is not None, "mail_from": envelope.mail_from,
                      "mail_options": list(envelope.mail_options),
                      "rcpt_tos": list(envelope.rcpt_tos),
                      "rcpt_params": list(getattr(envelope, "rcpt_params", [])),
                      "size": len(content)}
            self.messages.append(types.SimpleNamespace(content=content, **record))
            if self.revoke_after_message:
                self.issued.clear()
        path = "-"
        if self.store_files:
            base = os.path.join(self.folder, "msg-%04d" % number)
            write_files(base, (".json", json.dumps(record, indent=2).encode()), (".eml", content))
            path = base + ".eml"
        notify = sorted({p for r in record["rcpt_params"] for p in r["params"]})
        self.announce("message %d from <%s> to %s%s -> %s" % (
            number, envelope.mail_from, ", ".join("<%s>" % r for r in record["rcpt_tos"]),
            (" " + " ".join(notify)) if notify else "", path))
        return number

    # -- start and stop

    def start(self):
        cert, key, self.ca_file = generate_certificates(os.path.join(self.folder, "tls"),
                                                        "OAuth relay test CA")
        server_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        server_context.load_cert_chain(cert, key)

        self._http = TokenServer(self, server_context)
        self.token_port = self._http.server_address[1]
        self.authority = "https://127.0.0.1:%d" % self.token_port
        t = threading.Thread(target=self._http.serve_forever, name="token-endpoint",
                             daemon=True)
        t.start()
        self._threads.append(t)

        ready = threading.Event()
        failure = []
        t = threading.Thread(target=self._run_smtp, args=(server_context, ready, failure),
                             name="smtp-server", daemon=True)
        t.start()
        self._threads.append(t)
        if not ready.wait(120):
            raise RuntimeError("the SMTP server did not start")
        if failure:
            raise failure[0]
        return self

    def _run_smtp(self, server_context, ready, failure):
        loop = asyncio.new_event_loop()
        self._loop = loop
        asyncio.set_event_loop(loop)
        handler = SmtpHandler(self)
        starttls = server_context if self.smtp_tls == "starttls" else None
        factory = lambda: RelaySMTP(  # noqa: E731
            handler, dsn=self.dsn, hostname="relay.localhost", ident="OAuth relay test server",
            tls_context=starttls, require_starttls=starttls is not None,
            auth_require_tls=starttls is not None, loop=loop)
        try:
            self._smtp = loop.run_until_complete(
                loop.create_server(factory, host="127.0.0.1", port=0))
            self.smtp_port = self._smtp.sockets[0].getsockname()[1]
        except Exception as e:  # reported to start()
            failure.append(e)
            ready.set()
            return
        ready.set()
        loop.run_forever()
        self._smtp.close()
        loop.run_until_complete(self._smtp.wait_closed())
        loop.close()

    def stop(self):
        if self._http is not None:
            self._http.shutdown()
            self._http.server_close()
            self._http = None
        if self._loop is not None:
            self._loop.call_soon_threadsafe(self._loop.stop)
            self._loop = None
        for t in self._threads:
            t.join(60)
        self._threads = []


def main(argv):
    p = argparse.ArgumentParser(prog="oauth_servers.py",
                                description="Loopback token endpoint and XOAUTH2 SMTP server.")
    p.add_argument("--dir", required=True, help="folder for certificates and received messages")
    a = p.parse_args(argv)
    quiet_aiosmtpd()

    def say(text):
        print(PREFIX, text, flush=True)

    os.makedirs(a.dir, exist_ok=True)
    servers = OAuthServers(a.dir, store_files=True, announce=say)
    stop = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())
    servers.start()
    say("ready authority %s smtp-port %d ca %s" % (servers.authority, servers.smtp_port,
                                                   servers.ca_file))
    stop.wait()
    servers.stop()
    say("stopped")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
