#!/usr/bin/python3
"""SMTP server on loopback that requires AUTH NTLM, accepted by gss-ntlmssp
(python3-gssapi) against a user file of lines DOMAIN:user:password.

    ntlm_smtpd.py --users FILE [--challenge gss|malformed|overlong]

malformed: a 334 line that is not Base64; overlong: a 16000-byte challenge.
Each event is a line "ntlm-smtpd: ..." on standard output.
"""

import argparse
import asyncio
import base64
import binascii
import os
import sys

import gssapi
from aiosmtpd.smtp import AuthResult

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                                "capture-server"))
from smtpd_common import ExtendedSMTP, quiet_aiosmtpd, serve_until_stopped, stop_event  # noqa

NTLMSSP = gssapi.OID.from_int_seq("1.3.6.1.4.1.311.2.2.10")


def say(*parts):
    print("ntlm-smtpd:", *parts, flush=True)


class Refused(Exception):
    pass


class QuitDuringAuth(Exception):
    pass


class NtlmSMTP(ExtendedSMTP):
    ehlo_in_one_write = True
    accept_dsn = False

    def connection_lost(self, error):
        super().connection_lost(error)
        say("connection closed")


def decode(text, what):
    try:
        return base64.b64decode(text, validate=True)
    except binascii.Error:
        raise Refused(what + " is not Base64")


def step(ctx, token, what):
    try:
        return ctx.step(token)
    except gssapi.exceptions.GSSError as e:
        raise Refused(what + " refused: " + str(e).replace("\n", " "))


class Handler:
    def __init__(self, creds, mode):
        self.creds, self.mode, self.count = creds, mode, 0

    async def ask(self, server, line):
        await server.push(line)
        answer = (await server._reader.readline()).strip()
        if answer.upper() == b"QUIT":
            raise QuitDuringAuth()
        return decode(answer, "answer")

    async def auth_NTLM(self, server, args):
        ctx = gssapi.SecurityContext(usage="accept", creds=self.creds)
        try:
            if len(args) != 2:
                raise Refused("AUTH NTLM without an initial response")
            say("AUTH NTLM with initial response")
            negotiate = decode(args[1], "initial response")
            if self.mode == "malformed":
                challenge, size = b"334 TlRMTVNTUAACAAAA!!not*base64!!", 0
            else:
                token = (b"NTLMSSP\x00\x02\x00\x00\x00" + os.urandom(16000 - 12)
                         if self.mode == "overlong" else step(ctx, negotiate, "negotiate token"))
                challenge = b"334 " + base64.b64encode(token)
                size = len(token)
            say("challenge %s %d bytes" % (self.mode, size))
            authenticate = await self.ask(server, challenge)
            step(ctx, authenticate, "authenticate token")
            if not ctx.complete:
                raise Refused("the exchange is not complete")
        except QuitDuringAuth:
            say("QUIT during AUTH")
            await server.push("221 2.0.0 Bye")
            server.transport.close()
            return AuthResult(success=False, handled=True)
        except Refused as e:
            say("AUTH NTLM refused:", e)
            return AuthResult(success=False, handled=False,
                              message="535 5.7.8 Authentication credentials invalid")
        # The mechanism's display form carries its terminating NUL.
        name = str(ctx.initiator_name).rstrip("\x00 ")
        say("AUTH NTLM accepted", name)
        return AuthResult(success=True, auth_data=name)

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        say("message %d from <%s> to %s" % (self.count, envelope.mail_from,
                                            ", ".join("<%s>" % r for r in envelope.rcpt_tos)))
        return "250 2.0.0 OK"


async def serve(a):
    loop = asyncio.get_running_loop()
    os.environ["NTLM_USER_FILE"] = os.path.abspath(a.users)
    handler = Handler(gssapi.Credentials(usage="accept", mechs=[NTLMSSP]), a.challenge)
    server = await loop.create_server(lambda: NtlmSMTP(
        handler, hostname="ntlm.localhost", ident="ntlm-smtpd", auth_required=True,
        auth_require_tls=False, auth_exclude_mechanism=["LOGIN", "PLAIN"], loop=loop),
        host="127.0.0.1", port=0)
    say("listening on 127.0.0.1 port %d" % server.sockets[0].getsockname()[1])
    await serve_until_stopped(server, stop_event(loop))


if __name__ == "__main__":
    p = argparse.ArgumentParser(prog="ntlm_smtpd", description=__doc__.split("\n\n")[0])
    p.add_argument("--users", required=True)
    p.add_argument("--challenge", choices=("gss", "malformed", "overlong"), default="gss")
    quiet_aiosmtpd()
    asyncio.run(serve(p.parse_args()))
