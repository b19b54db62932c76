#!/usr/bin/python3
"""SMTP server for integration tests, on Debian's aiosmtpd.

Stock aiosmtpd with what the tests of the mail provider need on top:

  * STARTTLS with a given certificate and key (--cert, --key);
  * AUTH PLAIN, LOGIN and CRAM-MD5 for one account (--user, --password); the
    LOGIN prompts are "Username:" and "Password:" as common servers send them,
    and CRAM-MD5 checks the HMAC-MD5 digest itself. With --cert, AUTH is
    offered only after STARTTLS; without, it is offered in plain text;
  * --require-auth: MAIL, RCPT and DATA only after a successful AUTH;
  * RCPT accepts the DSN parameters NOTIFY= and ORCPT= (stock aiosmtpd refuses
    every RCPT parameter with 555) and records them per recipient;
  * --refuse ADDRESS: that recipient is refused with 550 (repeatable);
  * each transaction is written to --dir as N.json (one line of JSON: envelope, RCPT
    parameters, HELO name, whether TLS and AUTH happened) and N.eml (the
    message bytes as received, dot-stuffing removed), both complete before
    the 250 reply to the end of data goes out.

Replies go out line by line as aiosmtpd writes them, so a multi-line EHLO
reply may arrive in several TCP segments, as from many real servers.

Output: one line "smtp-test-server: listening on 127.0.0.1 port N" when
ready. The server stops on SIGTERM, SIGINT, or when its standard input
reaches end of file (so it never outlives a test that started it with a pipe).

Usage:
  smtp_test_server.py --dir FOLDER [--host 127.0.0.1] [--port 0]
                      [--cert CERT.pem --key KEY.pem] [--user U --password P]
                      [--require-auth] [--refuse ADDRESS ...]
"""

import argparse
import asyncio
import base64
import hashlib
import hmac
import ipaddress
import json
import logging
import os
import signal
import sys
import time
import warnings

from aiosmtpd.smtp import SMTP, MISSING, AuthResult, LoginPassword, auth_mechanism

PREFIX = "smtp-test-server:"
DSN_PARAMETERS = ("NOTIFY", "ORCPT")


def notify_value_ok(value):
    words = value.upper().split(",")
    if words == ["NEVER"]:
        return True
    return all(w in ("SUCCESS", "FAILURE", "DELAY") for w in words) and \
        len(set(words)) == len(words)


class TestSMTP(SMTP):
    AuthLoginUsernameChallenge = "Username:"
    AuthLoginPasswordChallenge = "Password:"

    def __init__(self, handler, config, **kwargs):
        self.config = config
        super().__init__(handler, **kwargs)

    @auth_mechanism("CRAM-MD5")
    async def auth_CRAM_MD5(self, _, args):
        if len(args) > 1:
            await self.push("501 5.5.2 CRAM-MD5 takes no initial response")
            return AuthResult(success=False, handled=True)
        challenge = ("<%d.%d@%s>" % (os.getpid(), time.time_ns(), self.hostname)).encode("ascii")
        answer = await self.challenge_auth(challenge)
        if answer is MISSING:
            return AuthResult(success=False, handled=True)
        user, _, digest = answer.rpartition(b" ")
        expected = hmac.new(self.config.password.encode("utf-8"), challenge,
                            hashlib.md5).hexdigest().encode("ascii")
        if user.decode("utf-8", "replace") == self.config.user and \
                hmac.compare_digest(digest, expected):
            self.session.auth_mechanism = "CRAM-MD5"
            return AuthResult(success=True, auth_data=LoginPassword(user, b""))
        return AuthResult(success=False, handled=False)

    async def smtp_RCPT(self, arg):
        # Take the DSN parameters off before aiosmtpd sees them.
        params = []
        if arg and ">" in arg:
            head, _, tail = arg.rpartition(">")
            others = []
            for token in tail.split():
                name, _, value = token.partition("=")
                if name.upper() in DSN_PARAMETERS:
                    if name.upper() == "NOTIFY" and not notify_value_ok(value):
                        return await self.push("501 5.5.4 Invalid NOTIFY parameter: " + value)
                    params.append(token)
                else:
                    others.append(token)
            arg = head + ">" + "".join(" " + t for t in others)
        count = len(self.envelope.rcpt_tos)
        await super().smtp_RCPT(arg)
        if len(self.envelope.rcpt_tos) > count:
            if not hasattr(self.envelope, "rcpt_params"):
                self.envelope.rcpt_params = []
            self.envelope.rcpt_params.append(
                {"address": self.envelope.rcpt_tos[-1], "params": params})


class Recorder:
    def __init__(self, config):
        self.config = config
        self.count = 0
        os.makedirs(config.dir, exist_ok=True)

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower() in self.config.refuse:
            return "550 5.1.1 <%s>: Recipient address rejected" % address
        envelope.rcpt_tos.append(address)
        envelope.rcpt_options.extend(rcpt_options)
        return "250 2.1.5 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        content = envelope.original_content
        if content is None:
            content = envelope.content or b""
        if isinstance(content, str):
            content = content.encode("utf-8", "surrogateescape")
        login = None
        if isinstance(session.auth_data, LoginPassword):
            login = session.auth_data.login.decode("utf-8", "replace")
        record = {
            "number": self.count,
            "helo": session.host_name,
            "extended_smtp": session.extended_smtp,
            "tls": server._tls_protocol is not None,
            "auth_mechanism": getattr(session, "auth_mechanism", None) if login is not None else None,
            "auth_user": login,
            "mail_from": envelope.mail_from,
            "mail_options": envelope.mail_options,
            "rcpt_tos": envelope.rcpt_tos,
            "rcpt_params": getattr(envelope, "rcpt_params", []),
            "size": len(content),
        }
        base = os.path.join(self.config.dir, "%d" % self.count)
        # .eml first, .json last: a reader that sees the .json sees both whole.
        for suffix, data in ((".eml", content),
                             (".json", json.dumps(record).encode("utf-8"))):
            with open(base + suffix + ".tmp", "wb") as f:
                f.write(data)
            os.replace(base + suffix + ".tmp", base + suffix)
        return "250 2.0.0 OK: message %d stored" % self.count


def make_authenticator(config):
    def authenticate(server, session, envelope, mechanism, auth_data):
        if not isinstance(auth_data, LoginPassword):
            return AuthResult(success=False, handled=False)
        if auth_data.login.decode("utf-8", "replace") == config.user and \
                auth_data.password.decode("utf-8", "replace") == config.password:
            session.auth_mechanism = mechanism
            return AuthResult(success=True, auth_data=auth_data)
        return AuthResult(success=False, handled=False)
    return authenticate


def parse_args(argv):
    p = argparse.ArgumentParser(prog="smtp_test_server.py",
                                description="aiosmtpd-based SMTP server for integration tests")
    p.add_argument("--dir", required=True, help="folder for the received transactions")
    p.add_argument("--host", default="127.0.0.1", help="loopback address to listen on")
    p.add_argument("--port", type=int, default=0, help="port; 0 picks a free one")
    p.add_argument("--cert", help="server certificate (PEM) for STARTTLS")
    p.add_argument("--key", help="private key (PEM) of --cert")
    p.add_argument("--user", help="the one account AUTH accepts")
    p.add_argument("--password", help="its password")
    p.add_argument("--require-auth", action="store_true", help="refuse mail without AUTH")
    p.add_argument("--refuse", action="append", default=[], metavar="ADDRESS",
                   help="refuse this recipient with 550 (repeatable)")
    a = p.parse_args(argv)
    try:
        if not ipaddress.ip_address(a.host).is_loopback:
            p.error("--host must be a loopback address")
    except ValueError:
        p.error("--host must be a numeric loopback address")
    if (a.cert is None) != (a.key is None):
        p.error("--cert and --key go together")
    if (a.user is None) != (a.password is None):
        p.error("--user and --password go together")
    if a.require_auth and a.user is None:
        p.error("--require-auth needs --user and --password")
    a.refuse = {r.lower() for r in a.refuse}
    return a


async def serve(config):
    import ssl
    loop = asyncio.get_running_loop()
    tls_context = None
    if config.cert:
        tls_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls_context.load_cert_chain(config.cert, config.key)

    recorder = Recorder(config)
    kwargs = dict(hostname="smtp-test-server.localhost", ident="smtp-test-server",
                  tls_context=tls_context, loop=loop)
    if config.user is not None:
        kwargs.update(authenticator=make_authenticator(config),
                      auth_required=config.require_auth,
                      auth_require_tls=tls_context is not None)
    else:
        # No account: AUTH is not offered at all (CRAM-MD5 is a method of the class).
        kwargs.update(auth_exclude_mechanism=["CRAM-MD5", "LOGIN", "PLAIN"])

    server = await loop.create_server(lambda: TestSMTP(recorder, config, **kwargs),
                                      host=config.host, port=config.port)
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)

    def on_stdin():
        if not os.read(sys.stdin.fileno(), 4096):
            loop.remove_reader(sys.stdin.fileno())
            stop.set()
    try:
        loop.add_reader(sys.stdin.fileno(), on_stdin)
    except (OSError, ValueError, PermissionError):
        pass  # standard input is not a pipe or terminal: signals only

    port = server.sockets[0].getsockname()[1]
    print(PREFIX, "listening on %s port %d" % (config.host, port), flush=True)
    await stop.wait()
    server.close()
    await server.wait_closed()


def main(argv):
    config = parse_args(argv)
    warnings.simplefilter("ignore")  # AUTH without TLS is what some tests ask for
    logging.getLogger("mail.log").setLevel(logging.CRITICAL)
    asyncio.run(serve(config))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
