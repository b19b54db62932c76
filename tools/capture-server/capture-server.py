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
import ipaddress
import json
import os
import shutil
import signal
import ssl
import subprocess
import sys
import tempfile
import warnings

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

PREFIX = "capture-server:"


def say(*parts):
    print(PREFIX, *parts, flush=True)


def fail(text):
    print(PREFIX, "error:", text, file=sys.stderr, flush=True)
    sys.exit(2)


# --------------------------------------------------------------------------
# Certificates


def run_openssl(args, cwd):
    openssl = shutil.which("openssl")
    if openssl is None:
        fail("the openssl command is needed for --tls (Debian package openssl)")
    result = subprocess.run([openssl] + args, cwd=cwd, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, timeout=60)
    if result.returncode != 0:
        fail("openssl %s failed: %s" % (args[0], result.stderr.strip()))


def generate_certificate(folder):
    """A throw-away CA and a server certificate for localhost, 127.0.0.1 and ::1.

    Clients trust the CA (for example through SSL_CERT_FILE), so that the
    server certificate passes a full chain and host-name check."""
    os.makedirs(folder, exist_ok=True)
    run_openssl(["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256",
                 "-keyout", "ca.key", "-out", "ca.pem", "-days", "30",
                 "-subj", "/CN=smtpmail capture-server test CA",
                 "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign"], folder)
    run_openssl(["req", "-new", "-newkey", "rsa:2048", "-nodes", "-sha256",
                 "-keyout", "server.key", "-out", "server.csr",
                 "-subj", "/CN=localhost"], folder)
    with open(os.path.join(folder, "server.ext"), "w") as f:
        f.write("basicConstraints=CA:FALSE\n"
                "keyUsage=critical,digitalSignature,keyEncipherment\n"
                "extendedKeyUsage=serverAuth\n"
                "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1\n")
    serial = "0x" + os.urandom(8).hex()
    run_openssl(["x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                 "-set_serial", serial, "-days", "30", "-sha256",
                 "-extfile", "server.ext", "-out", "server.pem"], folder)
    return (os.path.join(folder, "server.pem"), os.path.join(folder, "server.key"),
            os.path.join(folder, "ca.pem"))


# --------------------------------------------------------------------------
# SMTP


class CaptureSMTP(SMTP):
    """aiosmtpd's server with the two things a capture server needs on top."""

    # The prompts of AUTH LOGIN as common servers send them; aiosmtpd's own
    # ("User Name", with a NUL) are not understood by every client.
    AuthLoginUsernameChallenge = "Username:"
    AuthLoginPasswordChallenge = "Password:"

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self._batch = None

    async def push(self, status):
        if self._batch is not None:
            self._batch.append(status if isinstance(status, bytes) else status.encode("ascii"))
            return
        await super().push(status)

    async def smtp_EHLO(self, hostname):
        # The whole multi-line reply in one write: clients that read a reply
        # with a single receive must see every capability line.
        self._batch = []
        try:
            await super().smtp_EHLO(hostname)
            lines = self._batch
        finally:
            self._batch = None
        if len(lines) > 1 and lines[-1].startswith(b"250 "):
            lines.insert(len(lines) - 1, b"250-DSN")
        self._writer.write(b"".join(line + b"\r\n" for line in lines))
        await self._writer.drain()

    async def smtp_RCPT(self, arg):
        # Stock aiosmtpd refuses every RCPT parameter (555). Take the DSN
        # parameters off, check them, and record them per recipient.
        dsn = []
        if arg and ">" in arg:
            head, _, rest = arg.rpartition(">")
            kept = []
            for token in rest.split():
                key = token.split("=", 1)[0].upper()
                if key in ("NOTIFY", "ORCPT"):
                    dsn.append(token)
                else:
                    kept.append(token)
            for token in dsn:
                key, _, value = token.partition("=")
                if key.upper() == "NOTIFY" and not valid_notify(value):
                    return await self.push("501 5.5.4 Invalid NOTIFY parameter: " + value)
            arg = head + ">" + ("" if not kept else " " + " ".join(kept))
        before = len(self.envelope.rcpt_tos) if self.envelope else 0
        await super().smtp_RCPT(arg)
        if self.envelope and len(self.envelope.rcpt_tos) > before:
            self.envelope.rcpt_params = getattr(self.envelope, "rcpt_params", [])
            self.envelope.rcpt_params.append(
                {"address": self.envelope.rcpt_tos[-1], "params": dsn})


def valid_notify(value):
    words = value.upper().split(",")
    if words == ["NEVER"]:
        return True
    return bool(words) and all(w in ("SUCCESS", "FAILURE", "DELAY") for w in words) \
        and len(set(words)) == len(words)


class Store:
    """Writes each message to the folder, numbered in arrival order."""

    def __init__(self, folder):
        self.folder = folder
        self.count = 0
        os.makedirs(folder, exist_ok=True)

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        number = self.count
        content = envelope.original_content or envelope.content or b""
        if isinstance(content, str):
            content = content.encode("utf-8", "surrogateescape")
        base = os.path.join(self.folder, "msg-%04d" % number)
        rcpt_params = getattr(envelope, "rcpt_params", [])
        auth = session.auth_data.login.decode("utf-8", "replace") \
            if isinstance(session.auth_data, LoginPassword) else None
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
        # Written under a temporary name first: a reader that sees the .eml
        # sees all of it.
        for suffix, data in ((".json", json.dumps(meta, indent=2).encode("utf-8")),
                             (".eml", content)):
            tmp = base + suffix + ".part"
            with open(tmp, "wb") as f:
                f.write(data)
            os.replace(tmp, base + suffix)

        headers = email.parser.BytesHeaderParser(policy=email.policy.default).parsebytes(content)
        subject = str(headers.get("Subject", ""))
        notes = []
        notify = sorted({p for r in rcpt_params for p in r["params"]})
        if notify:
            notes.append(" ".join(notify))
        notes.append("TLS" if meta["tls"] else "no TLS")
        notes.append("AUTH %s" % auth if auth is not None else "no AUTH")
        say("message %d from <%s> to %s, %d bytes, %s, subject %r -> %s" % (
            number, envelope.mail_from, ", ".join("<%s>" % r for r in envelope.rcpt_tos),
            len(content), ", ".join(notes), subject, base + ".eml"))
        return "250 2.0.0 OK: stored as msg-%04d.eml" % number


def make_authenticator(user, password):
    def authenticate(server, session, envelope, mechanism, auth_data):
        if not isinstance(auth_data, LoginPassword):
            return AuthResult(success=False, handled=False)
        if user is not None and (auth_data.login.decode("utf-8", "replace") != user or
                                 auth_data.password.decode("utf-8", "replace") != password):
            say("AUTH %s refused for %r" % (mechanism, auth_data.login.decode("utf-8", "replace")))
            return AuthResult(success=False, handled=False)
        return AuthResult(success=True, auth_data=auth_data)
    return authenticate


# --------------------------------------------------------------------------


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
    p.add_argument("--max-size", type=int, default=256 * 1024 * 1024,
                   help="largest message accepted, in bytes")
    a = p.parse_args(argv)
    try:
        if not ipaddress.ip_address(a.host).is_loopback:
            p.error("--host must be a loopback address such as 127.0.0.1 or ::1")
    except ValueError:
        p.error("--host must be a numeric loopback address such as 127.0.0.1 or ::1")
    if not 0 <= a.port <= 65535:
        p.error("--port must be between 0 and 65535")
    if (a.user is None) != (a.password is None):
        p.error("--user and --password go together")
    if a.user is not None and not a.auth:
        a.auth = True
    if (a.cert is None) != (a.key is None):
        p.error("--cert and --key go together")
    if a.cert is not None:
        a.tls = True
    return a


async def serve(a):
    loop = asyncio.get_running_loop()
    tls_context = None
    if a.tls:
        if a.cert is not None:
            cert, key, ca = a.cert, a.key, None
        else:
            cert, key, ca = generate_certificate(a.tls_dir or os.path.join(a.dir, "tls"))
        tls_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls_context.load_cert_chain(cert, key)

    store = Store(a.dir)
    authenticator = make_authenticator(a.user, a.password) if a.auth else None
    # A fixed host name: socket.getfqdn() can stall on machines without DNS.
    factory = lambda: CaptureSMTP(  # noqa: E731
        store, hostname="capture.localhost", ident="smtpmail capture-server",
        data_size_limit=a.max_size, tls_context=tls_context,
        auth_required=a.auth, auth_require_tls=bool(a.auth and tls_context),
        authenticator=authenticator, loop=loop)
    try:
        server = await loop.create_server(factory, host=a.host, port=a.port)
    except OSError as e:
        fail("cannot listen on %s port %d: %s" % (a.host, a.port, e.strerror or e))

    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)

    port = server.sockets[0].getsockname()[1]
    if tls_context is not None and ca is not None:
        say("CA certificate", ca)
    say("storing messages in", os.path.abspath(a.dir))
    say("STARTTLS", "on" if tls_context else "off", "| AUTH",
        ("PLAIN LOGIN, " + ("user %r only" % a.user if a.user else "any credentials"))
        if a.auth else "off")
    # Last: callers wait for this line.
    say("listening on %s port %d" % (a.host, port))

    await stop.wait()
    server.close()
    await server.wait_closed()
    say("stopped after %d message(s)" % store.count)


def main(argv):
    a = parse_args(argv)
    # aiosmtpd warns about AUTH without TLS; that is what --auth without --tls asks for.
    warnings.simplefilter("ignore")
    import logging
    logging.getLogger("mail.log").setLevel(logging.CRITICAL)
    asyncio.run(serve(a))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
