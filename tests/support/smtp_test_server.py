#!/usr/bin/python3
"""SMTP server for integration tests, on Debian's aiosmtpd.

    smtp_test_server.py --dir FOLDER [--host 127.0.0.1] [--port 0]
                        [--cert CERT.pem --key KEY.pem [--implicit-tls]]
                        [--user U --password P] [--require-auth] [--refuse ADDRESS ...]

STARTTLS with the given certificate (with --implicit-tls: TLS from the first
byte instead, as on the submission port 465); AUTH PLAIN, LOGIN and CRAM-MD5 (the
digest checked here) for one account, offered only after STARTTLS when there
is a certificate; RCPT accepts and records the DSN parameters; --refuse
answers that recipient with 550. Each transaction is written to FOLDER as N.eml
(the message as received) and then N.json (one line: envelope, RCPT parameters,
HELO name, TLS, AUTH), both complete before the 250 reply to the data.

Replies go out line by line as aiosmtpd writes them, so a multi-line EHLO
reply may arrive in several TCP segments, as from many real servers.

Prints "smtp-test-server: listening on 127.0.0.1 port N" when ready; stops on
SIGTERM, SIGINT, or when its standard input ends.
"""

import argparse
import asyncio
import hashlib
import hmac
import json
import os
import ssl
import sys
import time

from aiosmtpd.smtp import MISSING, AuthResult, LoginPassword, auth_mechanism

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                                "capture-server"))
from smtpd_common import (ExtendedSMTP, check_loopback, login_of, message_bytes,  # noqa: E402
                          quiet_aiosmtpd, serve_until_stopped, stop_event, write_files)


class TestSMTP(ExtendedSMTP):
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
        content = message_bytes(envelope)
        login = login_of(session)
        record = {
            "number": self.count,
            "helo": session.host_name,
            "extended_smtp": session.extended_smtp,
            "tls": server._tls_protocol is not None or self.config.implicit_tls,
            "auth_mechanism": getattr(session, "auth_mechanism", None) if login is not None else None,
            "auth_user": login,
            "mail_from": envelope.mail_from,
            "mail_options": envelope.mail_options,
            "rcpt_tos": envelope.rcpt_tos,
            "rcpt_params": getattr(envelope, "rcpt_params", []),
            "size": len(content),
        }
        # .eml first, .json last: a reader that sees the .json sees both whole.
        write_files(os.path.join(self.config.dir, "%d" % self.count), (".eml", content),
                    (".json", json.dumps(record).encode("utf-8")))
        return "250 2.0.0 OK: message %d stored" % self.count


def make_authenticator(config):
    def authenticate(server, session, envelope, mechanism, auth_data):
        if isinstance(auth_data, LoginPassword) and \
                auth_data.login.decode("utf-8", "replace") == config.user and \
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
    p.add_argument("--implicit-tls", action="store_true",
                   help="TLS from the first byte instead of STARTTLS")
    p.add_argument("--user", help="the one account AUTH accepts")
    p.add_argument("--password", help="its password")
    p.add_argument("--require-auth", action="store_true", help="refuse mail without AUTH")
    p.add_argument("--refuse", action="append", default=[], metavar="ADDRESS",
                   help="refuse this recipient with 550 (repeatable)")
    a = p.parse_args(argv)
    check_loopback(p, a.host)
    if (a.cert is None) != (a.key is None):
        p.error("--cert and --key go together")
    if a.implicit_tls and a.cert is None:
        p.error("--implicit-tls needs --cert and --key")
    if (a.user is None) != (a.password is None):
        p.error("--user and --password go together")
    if a.require_auth and a.user is None:
        p.error("--require-auth needs --user and --password")
    a.refuse = {r.lower() for r in a.refuse}
    return a


async def serve(config):
    loop = asyncio.get_running_loop()
    tls_context = None
    if config.cert:
        tls_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls_context.load_cert_chain(config.cert, config.key)

    recorder = Recorder(config)
    # With implicit TLS the listening socket does the TLS; the session offers
    # no STARTTLS, and its logins are already protected.
    server_tls = tls_context if config.implicit_tls else None
    starttls = None if config.implicit_tls else tls_context
    # No size limit: the tests send attachments up to the provider's own limit.
    kwargs = dict(hostname="smtp-test-server.localhost", ident="smtp-test-server",
                  tls_context=starttls, loop=loop, data_size_limit=None)
    if config.user is not None:
        kwargs.update(authenticator=make_authenticator(config),
                      auth_required=config.require_auth,
                      auth_require_tls=starttls is not None)
    else:
        # No account: AUTH is not offered at all (CRAM-MD5 is a method of the class).
        kwargs.update(auth_exclude_mechanism=["CRAM-MD5", "LOGIN", "PLAIN"])

    server = await loop.create_server(lambda: TestSMTP(recorder, config, **kwargs),
                                      host=config.host, port=config.port, ssl=server_tls)
    stop = stop_event(loop, on_stdin_eof=True)
    print("smtp-test-server: listening on %s port %d"
          % (config.host, server.sockets[0].getsockname()[1]), flush=True)
    await serve_until_stopped(server, stop)


def main(argv):
    config = parse_args(argv)
    quiet_aiosmtpd()
    asyncio.run(serve(config))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
