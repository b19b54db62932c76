#!/usr/bin/python3
"""Local capture SMTP server for trying out the mail provider.

Listens on a loopback address only, accepts every message and stores each one
as an .eml file (plus a .json file with its envelope) in a folder. STARTTLS
with a certificate generated on the spot, and AUTH PLAIN/LOGIN with any or
with given credentials, are available on request.

Output, one line each, flushed at once so that a caller can wait on it:
  capture-server: listening on 127.0.0.1 port N      (ready for connections)
  capture-server: CA certificate PATH                (with --tls)
  capture-server: message N from ... -> FILE.eml     (after FILE.eml is stored)
  capture-server: stopped after N message(s)         (after SIGTERM or SIGINT)

Runs on Debian's system Python and its python3-aiosmtpd package.
"""

import argparse
import asyncio
import email.parser
import email.policy
import json
import os
import ssl
import subprocess
import sys

from aiosmtpd.smtp import AuthResult, LoginPassword

from smtpd_common import (ExtendedSMTP, check_loopback, generate_certificates, login_of,
                          message_bytes, quiet_aiosmtpd, serve_until_stopped, stop_event,
                          write_files)

PREFIX = "capture-server:"


def say(*parts):
    print(PREFIX, *parts, flush=True)


def fail(text):
    print(PREFIX, "error:", text, file=sys.stderr, flush=True)
    sys.exit(2)


class CaptureSMTP(ExtendedSMTP):
    # Clients that read a reply with a single receive must see every
    # capability line, and the DSN parameters are offered and recorded.
    advertise_dsn = True
    ehlo_in_one_write = True


class Store:
    """Writes each message to the folder, numbered in arrival order."""

    def __init__(self, folder):
        self.folder = folder
        self.count = 0
        os.makedirs(folder, exist_ok=True)

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        number = self.count
        content = message_bytes(envelope)
        base = os.path.join(self.folder, "msg-%04d" % number)
        rcpt_params = getattr(envelope, "rcpt_params", [])
        auth = login_of(session)
        meta = {
            "number": number,
            "peer": list(session.peer) if session.peer else None,
            "helo": session.host_name,
            "tls": server._tls_protocol is not None,
            "auth_user": auth,
            "mail_from": envelope.mail_from,
            "mail_options": envelope.mail_options,
            "rcpt_tos": envelope.rcpt_tos,
            "rcpt_params": rcpt_params,
            "size": len(content),
        }
        write_files(base, (".json", json.dumps(meta, indent=2).encode("utf-8")), (".eml", content))

        headers = email.parser.BytesHeaderParser(policy=email.policy.default).parsebytes(content)
        notes = [" ".join(sorted({p for r in rcpt_params for p in r["params"]}))]
        notes.append("TLS" if meta["tls"] else "no TLS")
        notes.append("AUTH %s" % auth if auth is not None else "no AUTH")
        say("message %d from <%s> to %s, %d bytes, %s, subject %r -> %s" % (
            number, envelope.mail_from, ", ".join("<%s>" % r for r in envelope.rcpt_tos),
            len(content), ", ".join(n for n in notes if n), str(headers.get("Subject", "")),
            base + ".eml"))
        return "250 2.0.0 OK: stored as msg-%04d.eml" % number


def make_authenticator(user, password):
    def authenticate(server, session, envelope, mechanism, auth_data):
        if not isinstance(auth_data, LoginPassword):
            return AuthResult(success=False, handled=False)
        login = auth_data.login.decode("utf-8", "replace")
        if user is not None and (login != user or
                                 auth_data.password.decode("utf-8", "replace") != password):
            say("AUTH %s refused for %r" % (mechanism, login))
            return AuthResult(success=False, handled=False)
        return AuthResult(success=True, auth_data=auth_data)
    return authenticate


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog="capture-server",
        description="Local SMTP server that stores every message it receives as an .eml file.")
    p.add_argument("--dir", required=True, help="folder for the captured messages")
    p.add_argument("--host", default="127.0.0.1", help="loopback address to listen on")
    p.add_argument("--port", type=int, default=0, help="port; 0 picks a free one (default)")
    p.add_argument("--tls", action="store_true",
                   help="offer STARTTLS with a freshly generated CA and server certificate")
    p.add_argument("--tls-dir", help="folder for the generated certificates (default: DIR/tls)")
    p.add_argument("--cert", help="use this server certificate (PEM) instead of generating one")
    p.add_argument("--key", help="private key (PEM) of --cert")
    p.add_argument("--auth", action="store_true",
                   help="offer and require AUTH PLAIN and LOGIN (after STARTTLS when --tls)")
    p.add_argument("--user", help="only accept this user name (default: any)")
    p.add_argument("--password", help="only accept this password (with --user)")
    p.add_argument("--smtputf8", action="store_true",
                   help="offer SMTPUTF8 (RFC 6531): addresses in UTF-8")
    p.add_argument("--max-size", type=int, default=256 * 1024 * 1024,
                   help="largest message accepted, in bytes")
    a = p.parse_args(argv)
    check_loopback(p, a.host)
    if not 0 <= a.port <= 65535:
        p.error("--port must be between 0 and 65535")
    if (a.user is None) != (a.password is None):
        p.error("--user and --password go together")
    if (a.cert is None) != (a.key is None):
        p.error("--cert and --key go together")
    a.auth = a.auth or a.user is not None
    a.tls = a.tls or a.cert is not None
    return a


async def serve(a):
    loop = asyncio.get_running_loop()
    tls_context = ca = None
    if a.tls:
        cert, key = a.cert, a.key
        if cert is None:
            try:
                cert, key, ca = generate_certificates(a.tls_dir or os.path.join(a.dir, "tls"),
                                                      "smtpmail capture-server test CA")
            except (OSError, RuntimeError, subprocess.SubprocessError) as e:
                fail(str(e))
        tls_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls_context.load_cert_chain(cert, key)

    store = Store(a.dir)
    authenticator = make_authenticator(a.user, a.password) if a.auth else None
    # A fixed host name: socket.getfqdn() can stall on machines without DNS.
    factory = lambda: CaptureSMTP(  # noqa: E731
        store, hostname="capture.localhost", ident="smtpmail capture-server",
        data_size_limit=a.max_size, tls_context=tls_context,
        auth_required=a.auth, auth_require_tls=bool(a.auth and tls_context),
        authenticator=authenticator, enable_SMTPUTF8=a.smtputf8, loop=loop)
    try:
        server = await loop.create_server(factory, host=a.host, port=a.port)
    except OSError as e:
        fail("cannot listen on %s port %d: %s" % (a.host, a.port, e.strerror or e))

    stop = stop_event(loop)
    if ca is not None:
        say("CA certificate", ca)
    say("storing messages in", os.path.abspath(a.dir))
    say("STARTTLS", "on" if tls_context else "off", "| AUTH",
        ("PLAIN LOGIN, " + ("user %r only" % a.user if a.user else "any credentials"))
        if a.auth else "off")
    # Last: callers wait for this line.
    say("listening on %s port %d" % (a.host, server.sockets[0].getsockname()[1]))

    await serve_until_stopped(server, stop)
    say("stopped after %d message(s)" % store.count)


def main(argv):
    a = parse_args(argv)
    quiet_aiosmtpd()
    asyncio.run(serve(a))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
