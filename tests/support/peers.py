#!/usr/bin/python3
"""The test certificates and the Linux-side peers of the send tests (the Linux
programs and the Windows ones under Wine alike), as CTest fixtures:

    peers.py certificates --dir FOLDER   the certificates below into FOLDER
    peers.py start|stop --dir FOLDER     the peers

certificates writes NAME.pem with its key in NAME.key (P-256, PKCS #8): ca
("SMTP Mail Test CA", also ca.der), server ("localhost": DNS:localhost and
IP:127.0.0.1, signed by the CA), wrongname ("wrong.example.com"), expired,
selfsigned, clientonly (client authentication only), partialchain (a leaf of
an intermediate CA alone), fullchain (the same with the intermediate), and
client.pem ("SMTP Mail Test Client", its key in the same file); empty/ is an
empty folder (a trust store without certificates).

start starts the peers on 127.0.0.1 in a process of its own (away from
CTest's output; its log is FOLDER/peers.log), writes their ports and accounts
to FOLDER/peers.txt (key=value) and returns; they live until stop, or an hour.
They are the PEERS table below: the capture server with each certificate
(STARTTLS and AUTH with the account), without TLS (plain) and offering
SMTPUTF8 without TLS (utf8), the NTLM server
in each challenge mode, servers that misbehave after STARTTLS, the OAuth2
token endpoint with its XOAUTH2 server, and a private Postfix instance
(postfix_peer.py; it needs root). The control port answers one
request a line with lines ending in ".":
  stored ADDRESS               the path of the stored message with that recipient
                               (a capture server's, or a copy Postfix delivered)
  check ADDRESS EXPECTED.json  the stored message with that recipient read back
                               by check_message.py, and EXPECTED's "envelope"
                               against its record
  said oauth TEXT              yes/no: a line of the OAuth2 peers' output holds TEXT
  connection PEER              the lines of that peer's last whole connection,
                               then "closed" (waits up to 10 s for its end)
"""

import datetime
import glob
import ipaddress
import itertools
import json
import os
import pathlib
import shutil
import signal
import socket
import socketserver
import ssl
import subprocess
import sys
import threading
import time

import postfix_peer

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.dirname(HERE)
CAPTURE_SERVER = os.path.join(os.path.dirname(TESTS), "tools", "capture-server", "capture-server.py")
CHECK_MESSAGE = os.path.join(TESTS, "integration", "send", "check_message.py")
HOLD_S = 3
ACCOUNT = ("peer-user", "Peer-pass 7")
NTLM_USERS = ("TESTDOM:alice:Secret123", "TESTDOM:bob:Other456")


def make_certificates(folder):
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature
    from cryptography.x509.oid import ExtendedKeyUsageOID as Usage, NameOID

    os.makedirs(os.path.join(folder, "empty"), exist_ok=True)
    now = datetime.datetime.now(datetime.timezone.utc)
    serials = itertools.count(1)
    local = [x509.DNSName("localhost"), x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]
    pem = serialization.Encoding.PEM

    def sign(builder, key):
        # Wine's crypt32 joins r and s unpadded: a value shorter than 32 bytes (1
        # in 128) fails there as a bad signature. ECDSA signs anew, with a new nonce.
        while True:
            made = builder.sign(key, hashes.SHA256())
            r, s = decode_dss_signature(made.signature)
            if min(r.bit_length(), s.bit_length()) > 248:
                return made

    def make(cn, issuer=None, days=(-1, 825), san=local, usage=Usage.SERVER_AUTH, ca=False):
        key = ec.generate_private_key(ec.SECP256R1())
        subject = x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, "SMTP Mail Tests"),
                             x509.NameAttribute(NameOID.COMMON_NAME, cn)])
        signer, signer_key = issuer or (None, key)
        b = (x509.CertificateBuilder().subject_name(subject)
             .issuer_name(signer.subject if signer else subject).public_key(key.public_key())
             .serial_number(next(serials))
             .not_valid_before(now + datetime.timedelta(days=days[0]))
             .not_valid_after(now + datetime.timedelta(days=days[1]))
             .add_extension(x509.BasicConstraints(ca=ca, path_length=None), True)
             .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), False)
             .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(
                 (signer_key if signer else key).public_key()), False))
        if not ca:
            b = b.add_extension(x509.ExtendedKeyUsage([usage]), False)
            if san:
                b = b.add_extension(x509.SubjectAlternativeName(san), False)
        return sign(b, signer_key), key

    def key_bytes(key):
        return key.private_bytes(pem, serialization.PrivateFormat.PKCS8,
                                 serialization.NoEncryption())

    def put(name, data):
        pathlib.Path(folder, name).write_bytes(data)

    def write(name, made, *chain):
        put(name + ".pem", b"".join(c.public_bytes(pem) for c in (made[0],) + chain))
        put(name + ".key", key_bytes(made[1]))

    ca = make("SMTP Mail Test CA", ca=True, days=(-1, 3650))
    write("ca", ca)
    put("ca.der", ca[0].public_bytes(serialization.Encoding.DER))
    intermediate = make("SMTP Mail Test Intermediate CA", ca, ca=True)
    chained = make("localhost", intermediate)
    write("server", make("localhost", ca))
    write("wrongname", make("wrong.example.com", ca, san=[x509.DNSName("wrong.example.com")]))
    write("expired", make("localhost", ca, days=(-30, -1)))
    write("selfsigned", make("localhost"))
    write("clientonly", make("localhost", ca, usage=Usage.CLIENT_AUTH))
    # The CA with a revocation list that names "revoked".
    revoked = make("localhost", ca)
    write("revoked", revoked)
    crl = (x509.CertificateRevocationListBuilder().issuer_name(ca[0].subject)
           .last_update(now - datetime.timedelta(days=1))
           .next_update(now + datetime.timedelta(days=30))
           .add_revoked_certificate(x509.RevokedCertificateBuilder()
                                    .serial_number(revoked[0].serial_number)
                                    .revocation_date(now - datetime.timedelta(days=1)).build()))
    crl = sign(crl, ca[1])
    put("ca-crl.pem", ca[0].public_bytes(pem) + crl.public_bytes(pem))
    write("partialchain", chained)
    write("fullchain", chained, intermediate[0])
    client = make("SMTP Mail Test Client", ca, san=None, usage=Usage.CLIENT_AUTH)
    put("client.pem", client[0].public_bytes(pem) + key_bytes(client[1]))


class Program:
    """A peer program that names its port in its "listening on" line."""

    def __init__(self, *argv):
        self.lines, self.taken, self.changed = [], 0, threading.Condition()
        self.process = subprocess.Popen((sys.executable,) + argv, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, text=True)

    def port(self):
        for line in self.process.stdout:
            if "listening on " in line:
                threading.Thread(target=self._collect, daemon=True).start()
                return int(line.split()[-1])
        raise RuntimeError("%s did not start" % self.process.args[1])

    def _collect(self):
        for line in self.process.stdout:
            with self.changed:
                self.lines.append(line.rstrip("\n"))
                self.changed.notify_all()

    def connection(self):
        with self.changed:
            end = lambda: next((i for i in range(self.taken, len(self.lines))  # noqa: E731
                                if self.lines[i].endswith("connection closed")), None)
            self.changed.wait_for(lambda: end() is not None, 10)
            last = end()
            if last is None:
                return self.lines[self.taken:]
            lines, self.taken = self.lines[self.taken:last] + ["closed"], last + 1
            return lines

    def stop(self):
        self.process.terminate()


class Hostile:
    """STARTTLS, then half a TLS record for the EHLO reply and silence
    (partialrecord), an EHLO reply that never ends (endless), or after DATA
    nothing read for HOLD_S (stopreading)."""

    def __init__(self, mode, certs):
        self.mode, self.lines, self.closed = mode, [], threading.Event()
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(*(os.path.join(certs, "server" + s) for s in (".pem", ".key")))
        self.listener = socket.create_server(("127.0.0.1", 0))
        threading.Thread(target=self._accept, daemon=True).start()

    def port(self):
        return self.listener.getsockname()[1]

    def _accept(self):
        while True:
            sock, _ = self.listener.accept()
            self.lines, self.closed = [], threading.Event()
            threading.Thread(target=self._serve, args=(sock, self.lines, self.closed),
                             daemon=True).start()

    def _serve(self, sock, lines, closed):
        sock.settimeout(60)
        conn, silent = sock, False
        reader = conn.makefile("rb")
        say = conn.sendall
        try:
            say(b"220 hostile.test ESMTP\r\n")
            for raw in iter(lambda: reader.readline(), b""):
                lines.append(raw.decode("utf-8", "replace").rstrip("\r\n"))
                words = lines[-1].split(" ")
                verb = words[0].upper()
                if silent:
                    continue
                if verb == "STARTTLS":  # nothing comes before our answer: no bytes are lost
                    say(b"220 go ahead\r\n")
                    conn = self.context.wrap_socket(sock, server_side=True)
                    reader, say = conn.makefile("rb"), conn.sendall
                elif verb == "EHLO" and conn is sock:
                    say(b"250-hostile.test\r\n250-STARTTLS\r\n250 AUTH PLAIN\r\n")
                elif verb == "EHLO" and self.mode == "endless":
                    block = (b"250-" + b"x" * 60 + b"\r\n") * 256
                    for _ in range((64 << 20) // len(block)):  # until the client goes
                        say(block)
                elif verb == "EHLO" and self.mode == "partialrecord":
                    # An application record's header for 64 bytes, and half of them.
                    os.write(conn.fileno(), b"\x17\x03\x03\x00\x40" + bytes(32))
                    silent = True
                elif verb == "EHLO":
                    say(b"250-hostile.test\r\n250 AUTH PLAIN\r\n")
                elif verb == "AUTH":
                    if len(words) < 3:
                        say(b"334 \r\n")
                        lines.append(reader.readline().decode("ascii", "replace").strip())
                    say(b"235 2.7.0 ok\r\n")
                elif verb == "DATA":
                    say(b"354 go ahead\r\n")
                    time.sleep(HOLD_S)  # the client's writes fill the connection
                    silent = True
                else:
                    say(b"250 ok\r\n")
        except (OSError, ssl.SSLError):
            pass
        finally:
            conn.close()
            closed.set()

    def connection(self):
        closed = self.closed.wait(10)
        return list(self.lines) + (["closed"] if closed else [])


class OAuth:
    """The token endpoint and the XOAUTH2 server of oauth_servers.py, with the
    test CA's server certificate."""

    def __init__(self, folder, certs):
        from oauth_servers import OAuthServers  # aiosmtpd, which the certificates do not need
        os.makedirs(folder, exist_ok=True)
        self.lines = []
        self.servers = OAuthServers(folder, store_files=True, announce=self.lines.append,
                                    certificates=tuple(os.path.join(certs, n) for n in (
                                        "server.pem", "server.key", "ca.pem"))).start()

    def port(self):
        return self.servers.smtp_port

    def values(self):
        return {"oauth.authority": self.servers.authority}

    def said(self, text):
        return ["yes" if any(text in line for line in list(self.lines)) else "no"]

    def stop(self):
        self.servers.stop()


def capture(folder, certs, name, cert=None, options=()):
    options += ("--cert", os.path.join(certs, cert + ".pem"), "--key",
                os.path.join(certs, cert + ".key"), "--user", ACCOUNT[0],
                "--password", ACCOUNT[1]) if cert else ()
    return Program(CAPTURE_SERVER, "--dir", os.path.join(folder, "mail", name), *options)


def ntlm(folder, mode):
    return Program(os.path.join(HERE, "ntlm_smtpd.py"), "--users",
                   os.path.join(folder, "ntlm-users"), "--challenge", mode)


# Every peer: its name and how it starts. A new peer is one line here.
CERTIFIED = ("server", "wrongname", "expired", "selfsigned", "partialchain", "fullchain")
PEERS = [(name, lambda folder, certs, n=name: capture(folder, certs, n, n)) for name in CERTIFIED]
PEERS += [(name, lambda folder, certs, m=mode: ntlm(folder, m)) for name, mode in (
    ("ntlm", "gss"), ("ntlm-malformed", "malformed"), ("ntlm-overlong", "overlong"))]
PEERS += [(mode, lambda folder, certs, m=mode: Hostile(m, certs))
          for mode in ("partialrecord", "endless", "stopreading")]
PEERS += [
    ("plain", lambda folder, certs: capture(folder, certs, "plain")),
    ("utf8", lambda folder, certs: capture(folder, certs, "utf8", options=("--smtputf8",))),
    ("oauth", lambda folder, certs: OAuth(os.path.join(folder, "mail", "oauth"), certs)),
    ("postfix", postfix_peer.Postfix),
]


def answer(folder, peers, request):
    words = request.split(" ", 2)
    peer = peers.get(words[1]) if len(words) > 1 else None
    if words[0] == "said" and len(words) == 3 and hasattr(peer, "said"):
        return peer.said(words[2])
    if words[0] == "connection" and len(words) == 2 and hasattr(peer, "connection"):
        return peer.connection()
    if words[0] not in ("check", "stored") or len(words) != {"check": 3, "stored": 2}[words[0]]:
        return ["unknown request: %s" % request]
    # A capture server's message (the .eml beside its envelope record), or a
    # copy that Postfix delivered (no record).
    # Postfix delivers after it has answered: a copy may take a moment.
    deadline = time.monotonic() + 30
    while True:
        found = []
        for p in sorted(glob.glob(os.path.join(folder, "mail", "*", "*.json"))):
            if words[1] in json.loads(pathlib.Path(p).read_text("utf-8")).get("rcpt_tos", []):
                found.append(p[:-5] + ".eml")
        if "postfix" in peers:
            found += peers["postfix"].delivered(words[1])
        if found or time.monotonic() > deadline:
            break
        time.sleep(0.1)
    if len(found) != 1:
        return ["failed", "%d stored messages are for %s" % (len(found), words[1])]
    if words[0] == "stored":
        return found
    # check_message.py reads the message; the session facts are the record's.
    beside = pathlib.Path(found[0][:-4] + ".json")
    record = json.loads(beside.read_text("utf-8")) if beside.exists() else {}
    envelope = json.loads(pathlib.Path(words[2]).read_text("utf-8")).get("envelope", {})
    wrong = ["envelope %s: got %r, expected %r" % (k, record.get(k), v)
             for k, v in envelope.items() if record.get(k) != v]
    run = subprocess.run([sys.executable, CHECK_MESSAGE, found[0], words[2], words[1]],
                         capture_output=True, text=True, timeout=60)
    lines = wrong + (run.stdout + run.stderr).splitlines()
    return ["failed" if wrong or run.returncode else "ok"] + lines


def serve(folder, certs):
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    pathlib.Path(folder, "ntlm-users").write_text("\n".join(NTLM_USERS) + "\n")
    peers = {name: start(folder, certs) for name, start in PEERS}

    class Handler(socketserver.StreamRequestHandler):
        def handle(self):
            for raw in self.rfile:
                try:
                    lines = answer(folder, peers, raw.decode("utf-8", "replace").strip())
                except Exception as e:  # noqa: BLE001 - the test reads the reason
                    lines = ["failed", "%s: %s" % (type(e).__name__, e)]
                self.wfile.write(("\n".join(lines + ["."]) + "\n").encode("utf-8"))

    socketserver.ThreadingTCPServer.daemon_threads = True
    control = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=control.serve_forever, daemon=True).start()
    try:
        values = {"port." + name: peer.port() for name, peer in peers.items()}
        for peer in peers.values():
            values.update(getattr(peer, "values", dict)())
        values.update({"port.control": control.server_address[1], "account.user": ACCOUNT[0],
                       "account.password": ACCOUNT[1], "path.certs": certs,
                       "path.scratch": os.path.join(folder, "scratch")})
        pathlib.Path(folder, "peers.new").write_text("".join("%s=%s\n" % i for i in values.items()))
        os.replace(os.path.join(folder, "peers.new"), os.path.join(folder, "peers.txt"))
        print("peers: ready", values, flush=True)
        stop.wait(3600)
    finally:
        for peer in peers.values():
            getattr(peer, "stop", lambda: None)()


def stop_peers(folder):
    try:
        pid = int(pathlib.Path(folder, "peers.pid").read_text())
        os.remove(os.path.join(folder, "peers.pid"))
        if b"peers.py" not in pathlib.Path("/proc/%d/cmdline" % pid).read_bytes():
            return 0  # the number belongs to another process now
        os.kill(pid, signal.SIGTERM)
        for _ in range(100):
            time.sleep(0.05)
            os.kill(pid, 0)
        os.kill(pid, signal.SIGKILL)
    except (OSError, ValueError):
        pass  # gone already
    return 0


def start_peers(folder, certs):
    stop_peers(folder)
    if not os.path.exists(os.path.join(certs, "ca.pem")):
        make_certificates(certs)
    for stale in ("mail", "scratch"):
        shutil.rmtree(os.path.join(folder, stale), ignore_errors=True)
    os.makedirs(os.path.join(folder, "scratch"))
    ready = os.path.join(folder, "peers.txt")
    if os.path.exists(ready):
        os.remove(ready)
    # In a session of its own, writing to its log: the peers must not hold
    # the caller's output open, or CTest would wait for them.
    with open(os.path.join(folder, "peers.log"), "wb") as log:
        process = subprocess.Popen([sys.executable, os.path.abspath(__file__), "serve", "--dir",
                                    folder, certs], stdin=subprocess.DEVNULL, stdout=log,
                                   stderr=subprocess.STDOUT, start_new_session=True)
    pathlib.Path(folder, "peers.pid").write_text(str(process.pid))
    deadline = time.monotonic() + 120
    while not os.path.exists(ready) and process.poll() is None and time.monotonic() < deadline:
        time.sleep(0.1)
    if not os.path.exists(ready):
        sys.stderr.write(pathlib.Path(folder, "peers.log").read_text())
        stop_peers(folder)
        return 1
    sys.stdout.write(pathlib.Path(ready).read_text())
    return 0


if __name__ == "__main__":
    commands = {"certificates": lambda folder, _: make_certificates(folder),
                "start": start_peers, "stop": lambda folder, _: stop_peers(folder), "serve": serve}
    if len(sys.argv) not in (4, 5) or sys.argv[1] not in commands or sys.argv[2] != "--dir":
        sys.exit(__doc__)
    folder = os.path.abspath(sys.argv[3])
    os.makedirs(folder, exist_ok=True)
    # The peers read the certificates of the fixture that made them.
    certs = os.path.abspath(sys.argv[4]) if len(sys.argv) == 5 else os.path.join(folder, "certs")
    sys.exit(commands[sys.argv[1]](folder, certs) or 0)
