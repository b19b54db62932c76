"""Pieces shared by the project's aiosmtpd servers: the capture server and the
loopback servers of the tests (Debian's system Python, python3-aiosmtpd)."""

import asyncio
import ipaddress
import logging
import os
import shutil
import signal
import subprocess
import sys
import warnings

from aiosmtpd.smtp import SMTP, LoginPassword


def quiet_aiosmtpd():
    # aiosmtpd warns about AUTH without TLS, which these servers offer on purpose.
    warnings.simplefilter("ignore")
    logging.getLogger("mail.log").setLevel(logging.CRITICAL)


def check_loopback(parser, host):
    try:
        loopback = ipaddress.ip_address(host).is_loopback
    except ValueError:
        loopback = False
    if not loopback:
        parser.error("--host must be a numeric loopback address such as 127.0.0.1 or ::1")


def valid_notify(value):
    words = value.upper().split(",")
    if words == ["NEVER"]:
        return True
    return all(w in ("SUCCESS", "FAILURE", "DELAY") for w in words) and \
        len(set(words)) == len(words)


class ExtendedSMTP(SMTP):
    """aiosmtpd's server with what clients of common servers expect: AUTH LOGIN
    prompts "Username:" and "Password:" (aiosmtpd's own are not understood by
    every client), and the DSN parameters of RCPT TO (stock aiosmtpd refuses
    every RCPT parameter with 555), checked and recorded per recipient in
    envelope.rcpt_params as {"address", "params"}."""

    AuthLoginUsernameChallenge = "Username:"
    AuthLoginPasswordChallenge = "Password:"
    accept_dsn = True         # take NOTIFY= and ORCPT= off RCPT TO
    advertise_dsn = False     # "250-DSN" in the EHLO reply
    ehlo_in_one_write = False  # else line by line, in several TCP segments
    _ehlo_lines = None

    async def push(self, status):
        if self._ehlo_lines is not None:
            self._ehlo_lines.append(status if isinstance(status, bytes) else status.encode("ascii"))
            return
        await super().push(status)

    async def smtp_EHLO(self, hostname):
        self._ehlo_lines = []
        try:
            await super().smtp_EHLO(hostname)
            lines = self._ehlo_lines
        finally:
            self._ehlo_lines = None
        if self.advertise_dsn and len(lines) > 1 and lines[-1].startswith(b"250 "):
            lines.insert(len(lines) - 1, b"250-DSN")
        if self.ehlo_in_one_write:
            self._writer.write(b"".join(line + b"\r\n" for line in lines))
            await self._writer.drain()
        else:
            for line in lines:
                await super().push(line)

    async def smtp_RCPT(self, arg):
        params = []
        if self.accept_dsn and arg and ">" in arg:
            head, _, tail = arg.rpartition(">")
            others = []
            for token in tail.split():
                name, _, value = token.partition("=")
                if name.upper() not in ("NOTIFY", "ORCPT"):
                    others.append(token)
                elif name.upper() == "NOTIFY" and not valid_notify(value):
                    return await self.push("501 5.5.4 Invalid NOTIFY parameter: " + value)
                else:
                    params.append(token)
            arg = head + ">" + "".join(" " + t for t in others)
        before = len(self.envelope.rcpt_tos) if self.envelope else 0
        await super().smtp_RCPT(arg)
        if self.envelope and len(self.envelope.rcpt_tos) > before:
            if not hasattr(self.envelope, "rcpt_params"):
                self.envelope.rcpt_params = []
            self.envelope.rcpt_params.append(
                {"address": self.envelope.rcpt_tos[-1], "params": params})


def message_bytes(envelope):
    """The message as received (dot-stuffing removed), as bytes."""
    content = envelope.original_content or envelope.content or b""
    if isinstance(content, str):
        content = content.encode("utf-8", "surrogateescape")
    return content


def login_of(session):
    if isinstance(session.auth_data, LoginPassword):
        return session.auth_data.login.decode("utf-8", "replace")
    return None


def write_files(base, *suffixes_and_data):
    """Writes BASE+suffix for each pair, in order, each under a temporary name
    first: a reader that sees a file sees all of it."""
    for suffix, data in suffixes_and_data:
        with open(base + suffix + ".part", "wb") as f:
            f.write(data)
        os.replace(base + suffix + ".part", base + suffix)


def stop_event(loop, on_stdin_eof=False):
    """Set on SIGTERM or SIGINT, and with on_stdin_eof when standard input ends
    (so that a server started with a pipe never outlives its test)."""
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    if on_stdin_eof:
        def on_input():
            if not os.read(sys.stdin.fileno(), 4096):
                loop.remove_reader(sys.stdin.fileno())
                stop.set()
        try:
            loop.add_reader(sys.stdin.fileno(), on_input)
        except (OSError, ValueError):
            pass  # standard input is no pipe or terminal: signals only
    return stop


async def serve_until_stopped(server, stop):
    await stop.wait()
    server.close()
    await server.wait_closed()


def generate_certificates(folder, ca_name):
    """A throw-away CA and a server certificate for localhost, 127.0.0.1 and ::1
    signed by it, made with the openssl command. Clients trust the CA (for
    example through SSL_CERT_FILE), so that the server certificate passes a
    full chain and host-name check. Returns (certificate, key, CA) paths."""
    openssl = shutil.which("openssl")
    if openssl is None:
        raise RuntimeError("the openssl command is needed (Debian package openssl)")

    def run(*args):
        result = subprocess.run([openssl] + list(args), cwd=folder, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, timeout=120)
        if result.returncode != 0:
            raise RuntimeError("openssl %s failed: %s" % (args[0], result.stderr.strip()))

    os.makedirs(folder, exist_ok=True)
    run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-keyout", "ca.key",
        "-out", "ca.pem", "-days", "30", "-subj", "/CN=" + ca_name,
        "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    run("req", "-new", "-newkey", "rsa:2048", "-nodes", "-sha256", "-keyout", "server.key",
        "-out", "server.csr", "-subj", "/CN=localhost")
    with open(os.path.join(folder, "server.ext"), "w") as f:
        f.write("basicConstraints=CA:FALSE\n"
                "keyUsage=critical,digitalSignature,keyEncipherment\n"
                "extendedKeyUsage=serverAuth\n"
                "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1\n")
    run("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
        "-set_serial", "0x" + os.urandom(8).hex(), "-days", "30", "-sha256",
        "-extfile", "server.ext", "-out", "server.pem")
    return tuple(os.path.join(folder, name) for name in ("server.pem", "server.key", "ca.pem"))
