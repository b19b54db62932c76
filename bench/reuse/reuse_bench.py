#!/usr/bin/python3
"""Connection reuse and PIPELINING on a link with a round trip of 20 ms.

    /usr/bin/python3 bench/reuse/reuse_bench.py BUILD      (or: --target bench_reuse)

BUILD is a build folder with SendBench, libsmtpmail.so and smtpmail-cfg in
BUILD/bin. Everything runs on 127.0.0.1: an aiosmtpd server (STARTTLS with the
test certificates of tests/support/peers.py, AUTH PLAIN with one account,
PIPELINING advertised) behind a proxy that holds every chunk 10 ms in each
direction. Four contenders each send 20 messages of 2 KiB:

  (a) the provider through its exports, SMTPMAIL_KEEPALIVE_S=0 (reuse off)
  (b) the provider, SMTPMAIL_KEEPALIVE_S=60 (reuse on)
  (c) smtplib, a connection (STARTTLS, login) per message
  (d) smtplib, one connection for all 20

and the table gives the median of three rounds in milliseconds a message and
in round trips a message (ms over the measured round trip of one command),
with the connections the proxy accepted.
Target: reuse on takes at most 3.5 round trips a message.

Debian's system Python with python3-aiosmtpd and python3-cryptography.
"""

import asyncio
import logging
import multiprocessing
import os
import queue
import socket
import ssl
import smtplib
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from peers import make_certificates  # noqa: E402

MESSAGES = 20
ROUNDS = 3
DELAY_S = 0.010                       # each direction
ROUND_TRIP_MS = 2 * DELAY_S * 1000
TARGET_ROUND_TRIPS = 3.5
USER, PASSWORD = "bench-user", "Bench-pass 1"
SENDER, RECIPIENT = "sender@example.org", "bench@example.org"
# The provider's body: 32 lines of 62 characters and CRLF (SendBench --reuse-child).
BODY = "A line of the weekly report, as long as most lines of text are\r\n" * 32


# ------------------------------------------------------------ the SMTP server

class Handler:
    """Counts the messages; adds PIPELINING, which aiosmtpd serves (it reads
    commands in order from its stream) but does not advertise."""

    def __init__(self, delivered):
        self.delivered = delivered

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname  # the 5-argument hook owns this
        return responses[:-1] + ["250-PIPELINING"] + responses[-1:]

    async def handle_DATA(self, server, session, envelope):
        with self.delivered.get_lock():
            self.delivered.value += 1
        return "250 2.0.0 OK"


def authenticate(server, session, envelope, mechanism, auth_data):
    ok = (isinstance(auth_data, LoginPassword) and
          (auth_data.login, auth_data.password) == (USER.encode(), PASSWORD.encode()))
    return AuthResult(success=ok, handled=False)


def run_server(sock, certs, delivered):
    logging.getLogger("mail.log").setLevel(logging.CRITICAL)
    tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    tls.load_cert_chain(os.path.join(certs, "server.pem"), os.path.join(certs, "server.key"))
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    handler = Handler(delivered)

    def factory():
        # A fixed host name: aiosmtpd would otherwise ask DNS for the FQDN.
        return SMTP(handler, hostname="bench.localhost", tls_context=tls,
                    require_starttls=True, auth_required=True, auth_require_tls=True,
                    auth_exclude_mechanism=["LOGIN"], authenticator=authenticate, loop=loop)

    loop.run_until_complete(loop.create_server(factory, sock=sock))
    loop.run_forever()


# ------------------------------------------------------------ the delaying proxy

def relay(src, dst):
    """Forwards what src sends to dst, each chunk DELAY_S after it was read:
    a queue of (due time, chunk) keeps the order and overlaps the waits."""
    chunks = queue.SimpleQueue()

    def forward():
        while True:
            due, data = chunks.get()
            time.sleep(max(0.0, due - time.monotonic()))
            try:
                if data:
                    dst.sendall(data)
                    continue
                dst.shutdown(socket.SHUT_WR)  # the end, delayed like data
            except OSError:
                pass
            return

    writer = threading.Thread(target=forward)
    writer.start()
    while True:
        try:
            data = src.recv(1 << 16)
        except OSError:
            data = b""
        chunks.put((time.monotonic() + DELAY_S, data))
        if not data:
            break
    writer.join()


def proxy_connection(client, server_port):
    # The TCP handshakes are not delayed: a connection costs its banner's half
    # round trip and what follows, as the chunks are.
    upstream = socket.create_connection(("127.0.0.1", server_port))
    for s in (client, upstream):
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    back = threading.Thread(target=relay, args=(upstream, client))
    back.start()
    relay(client, upstream)
    back.join()
    client.close()
    upstream.close()


def run_proxy(sock, server_port, accepted):
    while True:
        client, _ = sock.accept()
        with accepted.get_lock():
            accepted.value += 1
        threading.Thread(target=proxy_connection, args=(client, server_port),
                         daemon=True).start()


# ------------------------------------------------------------ the contenders

def provider(build, folder, port, certs, keepalive):
    """SendBench --reuse-child in a process of its own, as a host loads the provider; the
    store written by smtpmail-cfg, the test CA the only trusted root."""
    config = os.path.join(folder, "provider")
    if not os.path.exists(os.path.join(config, "smtp.cfg")):
        os.makedirs(config, exist_ok=True)
        subprocess.run([os.path.join(build, "bin", "smtpmail-cfg"), "--dir", config,
                        "--host", "localhost", "--port", str(port), "--starttls", "on",
                        "--auth", "plain", "--user", USER, "--password", PASSWORD,
                        "--sender-address", SENDER],
                       check=True, stdout=subprocess.DEVNULL)
    env = dict(os.environ,
               SMTPMAIL_KEEPALIVE_S=str(keepalive),
               SMTPMAIL_TIMEOUT_MS="10000",  # a stuck step fails in seconds, not a minute
               SMTPMAIL_REGISTRY_ROOT=os.path.join(folder, "registry"),
               SSL_CERT_FILE=os.path.join(certs, "ca.pem"),
               SSL_CERT_DIR=os.path.join(certs, "empty"))
    done = subprocess.run([os.path.join(build, "bin", "SendBench"), "--reuse-child", config,
                           str(MESSAGES)], env=env, stdout=subprocess.PIPE, text=True, timeout=300)
    if done.returncode != 0:
        sys.exit("SendBench --reuse-child failed (exit %d), see above" % done.returncode)
    fields = dict(word.split("=") for word in done.stdout.split())
    return float(fields["total_ms"])


def smtplib_send(port, certs, one_connection):
    """smtplib as a script would use it: STARTTLS verifying "localhost"
    against the test CA, login (AUTH PLAIN), sendmail; quit per connection.
    One connection's final quit is outside the time, as the provider's is.
    smtplib leaves Nagle on: its EHLO after the TLS handshake waits for the
    ACK of its Finished, about a round trip per connection; left as it is."""
    context = ssl.create_default_context(cafile=os.path.join(certs, "ca.pem"))
    message = ("From: %s\r\nTo: %s\r\nSubject: Reuse benchmark\r\n\r\n%s"
               % (SENDER, RECIPIENT, BODY)).encode("ascii")

    def connect():
        s = smtplib.SMTP("localhost", port, local_hostname="bench.client", timeout=10)
        s.starttls(context=context)
        s.login(USER, PASSWORD)
        return s

    start = time.perf_counter()
    if one_connection:
        s = connect()
        for _ in range(MESSAGES):
            s.sendmail(SENDER, [RECIPIENT], message)
        elapsed = time.perf_counter() - start
        s.quit()
        return elapsed * 1000
    for _ in range(MESSAGES):
        s = connect()
        s.sendmail(SENDER, [RECIPIENT], message)
        s.quit()
    return (time.perf_counter() - start) * 1000


def noop_round_trip(port):
    """One command's round trip here: the link's 20 ms and the proxy's and the
    server's own time, the floor under every figure of the table."""
    s = smtplib.SMTP("localhost", port, local_hostname="bench.client", timeout=10)
    s.ehlo()
    times = []
    for _ in range(MESSAGES):
        start = time.perf_counter()
        s.noop()
        times.append((time.perf_counter() - start) * 1000)
    s.quit()
    return statistics.median(times)


# ------------------------------------------------------------ the run

def listener():
    # IPPROTO_TCP named: asyncio sets TCP_NODELAY on the server's connections
    # only when their socket says so, and aiosmtpd writes a reply line by line.
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    s.bind(("127.0.0.1", 0))
    s.listen(64)
    return s


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    build = os.path.abspath(sys.argv[1])
    if not os.access(os.path.join(build, "bin", "SendBench"), os.X_OK):
        sys.exit("%s/bin/SendBench is missing: build the target SendBench first" % build)
    with tempfile.TemporaryDirectory(prefix="reuse-bench-") as folder:
        certs = os.path.join(folder, "certs")
        make_certificates(certs)
        # Both in processes of their own (forked before any thread starts
        # here), so that neither the clients nor the server delay the proxy.
        delivered = multiprocessing.Value("i", 0)
        accepted = multiprocessing.Value("i", 0)
        smtp_sock, proxy_sock = listener(), listener()
        port = proxy_sock.getsockname()[1]
        children = [
            multiprocessing.Process(target=run_server, args=(smtp_sock, certs, delivered),
                                    daemon=True),
            multiprocessing.Process(target=run_proxy,
                                    args=(proxy_sock, smtp_sock.getsockname()[1], accepted),
                                    daemon=True)]
        for child in children:
            child.start()
        contenders = [
            ("(a) provider, reuse off (SMTPMAIL_KEEPALIVE_S=0)",
             lambda: provider(build, folder, port, certs, 0)),
            ("(b) provider, reuse on (SMTPMAIL_KEEPALIVE_S=60)",
             lambda: provider(build, folder, port, certs, 60)),
            ("(c) smtplib, a connection per message",
             lambda: smtplib_send(port, certs, False)),
            ("(d) smtplib, one connection", lambda: smtplib_send(port, certs, True)),
        ]
        times = {name: [] for name, _ in contenders}
        connections = {}
        try:
            noop_ms = noop_round_trip(port)
            for _ in range(ROUNDS):
                for name, run in contenders:
                    messages, opened = delivered.value, accepted.value
                    total_ms = run()
                    if delivered.value - messages != MESSAGES:
                        sys.exit("%s: the server received %d messages, not %d"
                                 % (name, delivered.value - messages, MESSAGES))
                    times[name].append(total_ms / MESSAGES)
                    connections[name] = accepted.value - opened
        finally:
            for child in children:
                child.terminate()

    # A round trip is what one command takes on this path (the link's 20 ms
    # and the proxy's and the server's own time): counting in it makes the
    # figures counts of round trips, whatever the path adds to each.
    print("%d messages of 2 KiB, STARTTLS + AUTH PLAIN, a link of %.0f ms a round trip; "
          "median of %d rounds" % (MESSAGES, ROUND_TRIP_MS, ROUNDS))
    print("a round trip (a NOOP through the proxy): %.1f ms (median of %d)"
          % (noop_ms, MESSAGES))
    print("%-50s %12s %14s %12s" % ("contender", "ms/message", "round trips", "connections"))
    for name, _ in contenders:
        ms = statistics.median(times[name])
        print("%-50s %12.1f %14.2f %12d" % (name, ms, ms / noop_ms, connections[name]))
    reuse = statistics.median(times[contenders[1][0]]) / noop_ms
    print("target: reuse on at most %.1f round trips a message: %s (%.2f)"
          % (TARGET_ROUND_TRIPS, "met" if reuse <= TARGET_ROUND_TRIPS else "NOT met", reuse))

if __name__ == "__main__":
    main()
