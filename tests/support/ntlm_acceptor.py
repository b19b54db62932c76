#!/usr/bin/python3
"""The server side of an NTLM exchange, for tests of the client's tokens.

Accepts with python3-gssapi and the NTLMSSP mechanism of gss-ntlmssp; the
accepted users and their passwords come from a user file (lines
DOMAIN:user:password), which the mechanism reads through NTLM_USER_FILE.

As a module it gives NtlmAcceptor (used by ntlm_smtpd.py). As a program it
runs exchanges over its standard input and output, one line each way:

    ntlm_acceptor.py --users FILE

  out: READY
  in:  NEGOTIATE <base64 type-1 token>
  out: CHALLENGE <base64 type-2 token>     or  ERROR <text>
  in:  AUTHENTICATE <base64 type-3 token>
  out: ACCEPTED <DOMAIN\\user>               or  REFUSED <text>

then the next exchange may start; end of input ends the program.
"""

import argparse
import base64
import binascii
import os
import sys

import gssapi

NTLMSSP = gssapi.OID.from_int_seq("1.3.6.1.4.1.311.2.2.10")


class AuthenticationFailed(Exception):
    """The client's token was refused; the text says why."""


def gss_text(error):
    try:
        return error.gen_message().replace("\n", " ")
    except Exception:  # noqa: BLE001 - any wording will do for a refusal
        return str(error).replace("\n", " ")


class NtlmAcceptor:
    """Acceptor credentials for the users of one file, and exchanges over them."""

    def __init__(self, user_file):
        if not os.path.isfile(user_file):
            raise FileNotFoundError("user file %s does not exist" % user_file)
        # The mechanism finds its users through the environment only.
        os.environ["NTLM_USER_FILE"] = os.path.abspath(user_file)
        self.creds = gssapi.Credentials(usage="accept", mechs=[NTLMSSP])

    def exchange(self):
        return Exchange(self.creds)


class Exchange:
    """One client: negotiate -> challenge, then authenticate -> user name."""

    def __init__(self, creds):
        self.ctx = gssapi.SecurityContext(usage="accept", creds=creds)

    def challenge(self, negotiate):
        try:
            token = self.ctx.step(negotiate)
        except gssapi.exceptions.GSSError as e:
            raise AuthenticationFailed("negotiate token refused: " + gss_text(e))
        if not token or self.ctx.complete:
            raise AuthenticationFailed("negotiate token gave no challenge")
        return token

    def authenticate(self, token):
        try:
            self.ctx.step(token)
        except gssapi.exceptions.GSSError as e:
            raise AuthenticationFailed("authenticate token refused: " + gss_text(e))
        if not self.ctx.complete:
            raise AuthenticationFailed("authenticate token left the exchange open")
        # The mechanism's display form carries its terminating NUL.
        return str(self.ctx.initiator_name).rstrip("\x00 ")


def decode(text):
    return base64.b64decode(text.strip(), validate=True)


def serve_pipe(acceptor, infile, outfile):
    def say(line):
        outfile.write(line + "\n")
        outfile.flush()

    say("READY")
    exchange = None
    for line in infile:
        word, _, rest = line.strip().partition(" ")
        try:
            if word == "NEGOTIATE":
                exchange = acceptor.exchange()
                say("CHALLENGE " + base64.b64encode(exchange.challenge(decode(rest))).decode("ascii"))
            elif word == "AUTHENTICATE" and exchange is not None:
                name = exchange.authenticate(decode(rest))
                exchange = None
                say("ACCEPTED " + name)
            else:
                say("ERROR unexpected line: " + word)
        except binascii.Error as e:
            say("ERROR not Base64: %s" % e)
        except AuthenticationFailed as e:
            exchange = None
            say(("REFUSED " if word == "AUTHENTICATE" else "ERROR ") + str(e))


def main(argv):
    p = argparse.ArgumentParser(prog="ntlm_acceptor", description=__doc__.split("\n\n")[0])
    p.add_argument("--users", required=True, help="user file, lines DOMAIN:user:password")
    a = p.parse_args(argv)
    try:
        acceptor = NtlmAcceptor(a.users)
    except (OSError, gssapi.exceptions.GSSError) as e:
        print("ntlm_acceptor: error: %s" % e, file=sys.stderr, flush=True)
        return 2
    serve_pipe(acceptor, sys.stdin, sys.stdout)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
