#!/usr/bin/python3
"""SMTP server on loopback with AUTH NTLM, for tests of the client's NTLM login.

The server accepts NTLM with python3-gssapi and the NTLMSSP mechanism of
gss-ntlmssp against a user file of its own (lines DOMAIN:user:password); the
client finds its credentials in its own file through NTLM_USER_FILE. AUTH is
required before MAIL; accepted messages can be stored as .eml files.

    ntlm_smtpd.py --users FILE [--port N] [--challenge MODE] [--dir FOLDER]

  --users FILE      the accepted users (default: $NTLM_SMTPD_USERS)
  --host ADDRESS    loopback address to listen on (default 127.0.0.1)
  --port N          port; 0 picks a free one (default)
  --challenge MODE  gss       the mechanism's real challenge (default)
                    malformed a 334 reply whose text is not Base64
                    overlong  a 334 reply with a valid Base64 challenge of
                              --overlong-size bytes (default 16000)
  --dir FOLDER      store each message as msg-NNNN.eml in FOLDER
  --stop-on-eof     also stop when standard input ends (a test program that
                    holds the other end of a pipe cannot leave the server behind)

Output, one line each, flushed at once so that a caller can wait on it:
  ntlm-smtpd: listening on 127.0.0.1 port N           (ready; always the first line)
  ntlm-smtpd: AUTH NTLM with initial response         (the type-1 token came in the AUTH line)
  ntlm-smtpd: AUTH NTLM without initial response      (bare "AUTH NTLM"; answered with "334 ")
  ntlm-smtpd: challenge MODE N bytes                  (the 334 challenge went out)
  ntlm-smtpd: AUTH NTLM accepted DOMAIN\\user          (235 sent)
  ntlm-smtpd: AUTH NTLM refused: TEXT                 (535 or 501 sent)
  ntlm-smtpd: QUIT during AUTH                        (the client gave up at a challenge)
  ntlm-smtpd: message N from <a> to <b>, N bytes, user DOMAIN\\user[ -> FILE]
  ntlm-smtpd: connection closed                       (a client's connection ended)
  ntlm-smtpd: stopped                                 (after SIGTERM or SIGINT)

Runs on Debian's system Python with python3-aiosmtpd and python3-gssapi.
"""

import argparse
import asyncio
import base64
import binascii
import os
import sys

from aiosmtpd.smtp import AuthResult

# The acceptor module sits beside this file; no bytecode is left in the source tree.
sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "..", "tools", "capture-server")]
from ntlm_acceptor import AuthenticationFailed, NtlmAcceptor  # noqa: E402
from smtpd_common import (ExtendedSMTP, check_loopback, message_bytes,  # noqa: E402
                          quiet_aiosmtpd, serve_until_stopped, stop_event, write_files)

PREFIX = "ntlm-smtpd:"


def say(*parts):
    print(PREFIX, *parts, flush=True)


class NtlmSMTP(ExtendedSMTP):
    # A client that reads a reply with one receive must see every capability line.
    ehlo_in_one_write = True
    accept_dsn = False

    def connection_lost(self, error):
        super().connection_lost(error)
        say("connection closed")


class QuitDuringAuth(Exception):
    pass


class Handler:
    def __init__(self, acceptor, mode, overlong_size, folder):
        self.acceptor = acceptor
        self.mode = mode
        self.overlong_size = overlong_size
        self.folder = folder
        self.count = 0

    async def ask(self, server, line):
        """Sends one 334 line and returns the client's decoded answer."""
        await server.push(line)
        answer = (await server._reader.readline()).strip()
        if answer.upper() == b"QUIT":
            raise QuitDuringAuth()
        if answer == b"*":
            raise AuthenticationFailed("client cancelled the exchange")
        try:
            return base64.b64decode(answer, validate=True)
        except binascii.Error:
            raise AuthenticationFailed("answer is not Base64")

    def challenge_line(self, exchange, negotiate):
        if self.mode == "malformed":
            say("challenge malformed 0 bytes")
            return b"334 TlRMTVNTUAACAAAA!!not*base64!!"
        if self.mode == "overlong":
            blob = b"NTLMSSP\x00\x02\x00\x00\x00" + os.urandom(self.overlong_size - 12)
            say("challenge overlong %d bytes" % len(blob))
            return b"334 " + base64.b64encode(blob)
        token = exchange.challenge(negotiate)
        say("challenge gss %d bytes" % len(token))
        return b"334 " + base64.b64encode(token)

    async def auth_NTLM(self, server, args):
        exchange = self.acceptor.exchange()
        try:
            if len(args) == 2:
                say("AUTH NTLM with initial response")
                try:
                    negotiate = base64.b64decode(args[1], validate=True)
                except binascii.Error:
                    raise AuthenticationFailed("initial response is not Base64")
            else:
                say("AUTH NTLM without initial response")
                negotiate = await self.ask(server, b"334 ")
            authenticate = await self.ask(server, self.challenge_line(exchange, negotiate))
            if self.mode != "gss":
                raise AuthenticationFailed("the client answered a %s challenge" % self.mode)
            name = exchange.authenticate(authenticate)
        except QuitDuringAuth:
            say("QUIT during AUTH")
            await server.push("221 2.0.0 Bye")
            server.transport.close()
            return AuthResult(success=False, handled=True)
        except AuthenticationFailed as e:
            say("AUTH NTLM refused:", e)
            return AuthResult(success=False, handled=False,
                              message="535 5.7.8 Authentication credentials invalid")
        say("AUTH NTLM accepted", name)
        return AuthResult(success=True, auth_data=name)

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        content = message_bytes(envelope)
        where = ""
        if self.folder:
            base = os.path.join(self.folder, "msg-%04d" % self.count)
            write_files(base, (".eml", content))
            where = " -> " + base + ".eml"
        say("message %d from <%s> to %s, %d bytes, user %s%s" % (
            self.count, envelope.mail_from, ", ".join("<%s>" % r for r in envelope.rcpt_tos),
            len(content), session.auth_data, where))
        return "250 2.0.0 OK"


def parse_args(argv):
    p = argparse.ArgumentParser(prog="ntlm_smtpd",
                                description="SMTP server on loopback with AUTH NTLM.")
    p.add_argument("--users", default=os.environ.get("NTLM_SMTPD_USERS"),
                   help="user file, lines DOMAIN:user:password (default: $NTLM_SMTPD_USERS)")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--challenge", choices=("gss", "malformed", "overlong"), default="gss")
    p.add_argument("--overlong-size", type=int, default=16000)
    p.add_argument("--dir", help="folder for received messages")
    p.add_argument("--stop-on-eof", action="store_true",
                   help="stop when standard input ends")
    a = p.parse_args(argv)
    if not a.users:
        p.error("--users (or NTLM_SMTPD_USERS) is required")
    check_loopback(p, a.host)
    if a.overlong_size < 12:
        p.error("--overlong-size must be at least 12")
    return a


async def serve(a):
    loop = asyncio.get_running_loop()
    try:
        acceptor = NtlmAcceptor(a.users)
    except Exception as e:  # noqa: BLE001 - reported, then the program ends
        print(PREFIX, "error:", e, file=sys.stderr, flush=True)
        return 2
    if a.dir:
        os.makedirs(a.dir, exist_ok=True)
    handler = Handler(acceptor, a.challenge, a.overlong_size, a.dir)
    # A fixed host name: socket.getfqdn() can stall on machines without DNS.
    factory = lambda: NtlmSMTP(  # noqa: E731
        handler, hostname="ntlm.localhost", ident="ntlm-smtpd", auth_required=True,
        auth_require_tls=False, auth_exclude_mechanism=["LOGIN", "PLAIN"], loop=loop)
    server = await loop.create_server(factory, host=a.host, port=a.port)
    stop = stop_event(loop, on_stdin_eof=a.stop_on_eof)
    say("listening on %s port %d" % (a.host, server.sockets[0].getsockname()[1]))
    await serve_until_stopped(server, stop)
    say("stopped")
    return 0


def main(argv):
    a = parse_args(argv)
    quiet_aiosmtpd()
    return asyncio.run(serve(a))


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
