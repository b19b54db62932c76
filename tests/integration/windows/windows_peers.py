#!/usr/bin/python3
"""The Linux-side peers of the Windows integration tests, which run under Wine.

    windows_peers.py start --dir FOLDER
    windows_peers.py stop --dir FOLDER

start makes the test certificates in FOLDER/certs, starts every peer on 127.0.0.1, writes FOLDER/peers.ini naming
them, and returns. The peers live on in a process of their own, away from the
caller's output (theirs goes to FOLDER/peers.log), until stop, or for an hour
at most; a second start replaces them. These are CTest's fixture steps, so
that the Windows test programs share one set of peers.

Peers (section [ports] of peers.ini):
  good, wrongname, expired, untrusted   the capture server (tools/capture-server)
                       with STARTTLS (the certificate of that name; untrusted is
                       self-signed) and AUTH PLAIN and LOGIN for the [account]
  partialchain, fullchain   the same with a certificate of the intermediate CA,
                       sent alone or with the intermediate
  ntlm                 ntlm_smtpd.py: AUTH NTLM for the [ntlm] account
  partialrecord        STARTTLS, then half of the TLS record of the EHLO reply
                       and silence
  stopreading          STARTTLS, AUTH PLAIN, then after DATA nothing read for
                       [hostile] hold_ms
  control              requests of the tests, one line each, answered by lines
                       that end with a line ".":
    check MARKER EXPECTED.json   the message whose envelope holds MARKER, read
                         back with check_message.py, and the session facts of
                         its record that EXPECTED.json lists under "envelope"
                         (tls, auth_user): "ok" or "failed" and why
    said PEER TEXT       "yes" when a line of that peer's output holds TEXT
    commands PEER        the command lines of that hostile peer's last connection,
                         then "closed" once the client has closed it
Section [paths]: the CA (ca, PEM; ca_der, DER), the good peer's certificate
(server_der) and a scratch folder that both sides see.
"""

import argparse
import configparser
import datetime
import ipaddress
import itertools
import json
import os
import signal
import socket
import socketserver
import ssl
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SUPPORT = os.path.normpath(os.path.join(HERE, "..", "..", "support"))
CAPTURE_SERVER = os.path.normpath(os.path.join(HERE, "..", "..", "..", "tools", "capture-server",
                                              "capture-server.py"))
CHECK_MESSAGE = os.path.normpath(os.path.join(HERE, "..", "send", "check_message.py"))
LIFETIME_S = 3600
HOLD_MS = 3000
ACCOUNT = ("wine-user", "Wine-pass 7")
NTLM_ACCOUNT = ("SMTPMAIL", "winetester", "Ntlm-pass 8")
SMTP_PEERS = ("good", "wrongname", "expired", "untrusted", "partialchain", "fullchain")


def log(*parts):
    print("windows-peers:", *parts, flush=True)


# ----- certificates ------------------------------------------------------------

def make_certificates(folder):
    """NAME.pem with its key in NAME.key: the test CA ("ca"), each SMTP peer's
    certificate, and a leaf of an intermediate CA that partialchain sends alone
    and fullchain with the intermediate. Returns {peer: (pem, key)}."""
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

    os.makedirs(folder, exist_ok=True)
    now = datetime.datetime.now(datetime.timezone.utc)
    local = [x509.DNSName("localhost"), x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]
    serials = itertools.count(1)

    def make(cn, issuer=None, days=(-1, 825), san=local, ca=False):
        key = ec.generate_private_key(ec.SECP256R1())
        subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, cn)])
        signer, signer_key = issuer or (None, key)
        usage = dict.fromkeys(("content_commitment", "data_encipherment", "key_agreement",
                               "encipher_only", "decipher_only"), False)
        usage.update(digital_signature=not ca, key_encipherment=not ca, key_cert_sign=ca,
                     crl_sign=ca)
        b = (x509.CertificateBuilder().subject_name(subject)
             .issuer_name(signer.subject if signer else subject).public_key(key.public_key())
             .serial_number(next(serials))
             .not_valid_before(now + datetime.timedelta(days=days[0]))
             .not_valid_after(now + datetime.timedelta(days=days[1]))
             .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), False)
             .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(
                 signer_key.public_key()), False)
             .add_extension(x509.BasicConstraints(ca=ca, path_length=None), True)
             .add_extension(x509.KeyUsage(**usage), True))
        if not ca:
            b = b.add_extension(x509.SubjectAlternativeName(san), False).add_extension(
                x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), False)
        return b.sign(signer_key, hashes.SHA256()), key

    def write(name, made, *chain):
        pem = serialization.Encoding.PEM
        with open(os.path.join(folder, name + ".pem"), "wb") as f:
            f.write(b"".join(c.public_bytes(pem) for c in (made[0],) + chain))
        with open(os.path.join(folder, name + ".key"), "wb") as f:
            f.write(made[1].private_bytes(pem, serialization.PrivateFormat.PKCS8,
                                          serialization.NoEncryption()))
        return os.path.join(folder, name + ".pem"), os.path.join(folder, name + ".key")

    ca = make("SMTP Mail Test CA", ca=True, days=(-1, 3650))
    intermediate = make("SMTP Mail Test Intermediate CA", ca, ca=True)
    chained = make("localhost", intermediate)
    good = make("localhost", ca)
    paths = {"ca": write("ca", ca), "good": write("good", good),
             "wrongname": write("wrongname", make("wrong.example.com", ca,
                                                  san=[x509.DNSName("wrong.example.com")])),
             "expired": write("expired", make("localhost", ca, days=(-30, -1))),
             "untrusted": write("untrusted", make("localhost")),
             "partialchain": write("partialchain", chained),
             "fullchain": write("fullchain", chained, intermediate[0])}
    for name, cert in (("ca", ca[0]), ("server", good[0])):
        with open(os.path.join(folder, name + ".der"), "wb") as f:
            f.write(cert.public_bytes(serialization.Encoding.DER))
    return paths


# ----- peers that are programs of their own -------------------------------------

class Program:
    """A peer program; its output is kept, its "listening on" line names its port."""

    def __init__(self, name, argv):
        self.name = name
        self.lines = []
        self.lock = threading.Lock()
        self.process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True)

    def port(self):
        line = "listening"
        while line and "listening on " not in line:
            line = self.process.stdout.readline()
        if not line:
            raise RuntimeError("%s did not start" % self.name)
        threading.Thread(target=self._collect, daemon=True).start()
        return int(line.rsplit(" ", 1)[1])

    def _collect(self):
        for line in self.process.stdout:
            with self.lock:
                self.lines.append(line.rstrip("\n"))

    def said(self, text):
        with self.lock:
            return any(text in line for line in self.lines)

    def stop(self):
        try:
            self.process.terminate()
            self.process.wait(5)
        except (OSError, subprocess.TimeoutExpired):
            self.process.kill()


# ----- servers that misbehave over TLS ------------------------------------------

class Connection:
    """One client connection: plain lines until STARTTLS, TLS records after it."""

    def __init__(self, sock, context):
        self.sock = sock
        self.context = context
        self.tls = None
        self.incoming = self.outgoing = None
        self.plain = b""

    def _fill(self):
        data = self.sock.recv(65536)
        if not data:
            raise EOFError()
        if self.tls is None:
            self.plain += data
            return
        self.incoming.write(data)
        while True:
            try:
                self.plain += self.tls.read(65536)
            except (ssl.SSLWantReadError, ssl.SSLZeroReturnError):
                return

    def line(self):
        while b"\r\n" not in self.plain:
            self._fill()
        line, self.plain = self.plain.split(b"\r\n", 1)
        return line.decode("utf-8", "replace")

    def records(self, text):
        """The TLS records that carry text, not yet sent."""
        self.tls.write(text.encode("ascii"))
        return self.outgoing.read()

    def send(self, text):
        self.sock.sendall(self.records(text) if self.tls else text.encode("ascii"))

    def start_tls(self):
        self.incoming, self.outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        self.tls = self.context.wrap_bio(self.incoming, self.outgoing, server_side=True)
        while True:
            try:
                self.tls.do_handshake()
                self.sock.sendall(self.outgoing.read())
                return
            except ssl.SSLWantReadError:
                self.sock.sendall(self.outgoing.read())
                data = self.sock.recv(65536)
                if not data:
                    raise EOFError()
                self.incoming.write(data)


class HostileTlsServer:
    """Plays one misbehaviour per connection and records the client's commands."""

    def __init__(self, name, mode, cert, key):
        self.name = name
        self.mode = mode
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(cert, key)
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.lock = threading.Condition()
        self.commands = []
        self.closed = True
        threading.Thread(target=self._accept, daemon=True).start()

    def port(self):
        return self.listener.getsockname()[1]

    def _accept(self):
        while True:
            sock, _ = self.listener.accept()
            with self.lock:
                self.commands, self.closed = [], False
            threading.Thread(target=self._serve, args=(sock,), daemon=True).start()

    def _record(self, line):
        with self.lock:
            self.commands.append(line)

    def _serve(self, sock):
        sock.settimeout(60)
        c = Connection(sock, self.context)
        try:
            c.send("220 hostile.test ESMTP\r\n")
            while True:
                line = c.line()
                self._record(line)
                verb = line.split(" ", 1)[0].upper()
                if verb == "EHLO" and c.tls is None:
                    c.send("250-hostile.test\r\n250-STARTTLS\r\n250 AUTH PLAIN\r\n")
                elif verb == "STARTTLS":
                    c.send("220 go ahead\r\n")
                    c.start_tls()
                elif verb == "EHLO" and self.mode == "partialrecord":
                    records = c.records("250-hostile.test\r\n250 AUTH PLAIN\r\n")
                    sock.sendall(records[:len(records) // 2])
                    break
                elif verb == "EHLO":
                    c.send("250-hostile.test\r\n250 AUTH PLAIN\r\n")
                elif verb == "AUTH":
                    if len(line.split()) < 3:
                        c.send("334 \r\n")
                        self._record(c.line())
                    c.send("235 2.7.0 ok\r\n")
                elif verb == "DATA":
                    c.send("354 go ahead\r\n")
                    time.sleep(HOLD_MS / 1000.0)  # the client's writes fill the connection
                    break
                elif verb == "QUIT":
                    c.send("221 bye\r\n")
                    break
                else:
                    c.send("250 ok\r\n")
            while True:  # whatever the client still says, until it closes
                self._record(c.line())
        except (EOFError, OSError, ssl.SSLError):
            pass
        finally:
            sock.close()
            with self.lock:
                self.closed = True
                self.lock.notify_all()

    def report(self):
        with self.lock:
            self.lock.wait_for(lambda: self.closed, timeout=10)
            return list(self.commands) + (["closed"] if self.closed else [])


# ----- the control port ---------------------------------------------------------

class Peers:
    def __init__(self, folder):
        self.folder = folder
        self.programs = {}
        self.hostile = {}

    def find_message(self, marker):
        for peer in SMTP_PEERS:
            mail = os.path.join(self.folder, "mail", peer)
            for name in sorted(os.listdir(mail)) if os.path.isdir(mail) else []:
                if not name.endswith(".json"):
                    continue
                path = os.path.join(mail, name)
                with open(path, encoding="utf-8") as f:
                    if marker in f.read():
                        return path[:-len(".json")]
        return None

    def answer(self, request):
        words = request.split(" ", 2)
        if words[0] == "check" and len(words) == 3:
            base = self.find_message(words[1])
            if base is None:
                return ["failed", "no stored message holds %s" % words[1]]
            # check_message.py reads the message; the session facts are here.
            with open(words[2], encoding="utf-8") as f:
                envelope = json.load(f).get("envelope", {})
            with open(base + ".json", encoding="utf-8") as f:
                record = json.load(f)
            wrong = ["envelope %s: got %r, expected %r" % (k, record.get(k), v)
                     for k, v in envelope.items() if record.get(k) != v]
            if wrong:
                return ["failed"] + wrong
            run = subprocess.run([sys.executable, CHECK_MESSAGE, base + ".eml", words[2]], capture_output=True, text=True, timeout=60)
            return ["ok" if run.returncode == 0 else "failed"] + \
                (run.stdout + run.stderr).splitlines()
        if words[0] == "said" and len(words) == 3 and words[1] in self.programs:
            return ["yes" if self.programs[words[1]].said(words[2]) else "no"]
        if words[0] == "commands" and len(words) == 2 and words[1] in self.hostile:
            return self.hostile[words[1]].report()
        return ["unknown request: %s" % request]


def control_server(peers):
    class Handler(socketserver.StreamRequestHandler):
        def handle(self):
            for raw in self.rfile:
                request = raw.decode("utf-8", "replace").strip()
                try:
                    lines = peers.answer(request)
                except Exception as e:  # noqa: BLE001 - the test reads the reason
                    lines = ["failed", "%s: %s" % (type(e).__name__, e)]
                self.wfile.write(("\n".join(lines + ["."]) + "\n").encode("utf-8"))
                self.wfile.flush()

    socketserver.ThreadingTCPServer.daemon_threads = True
    server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


# ----- start and stop -----------------------------------------------------------

def serve(folder, ready_fd):
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    certs = make_certificates(os.path.join(folder, "certs"))
    peers = Peers(folder)
    for name in SMTP_PEERS:
        cert, key = certs[name]
        peers.programs[name] = Program(name, [
            sys.executable, CAPTURE_SERVER, "--dir", os.path.join(folder, "mail", name),
            "--cert", cert, "--key", key, "--user", ACCOUNT[0], "--password", ACCOUNT[1]])
    users = os.path.join(folder, "ntlm-users")
    with open(users, "w") as f:
        f.write("%s:%s:%s\n" % NTLM_ACCOUNT)
    peers.programs["ntlm"] = Program("ntlm", [
        sys.executable, os.path.join(SUPPORT, "ntlm_smtpd.py"), "--users", users])
    for mode in ("partialrecord", "stopreading"):
        peers.hostile[mode] = HostileTlsServer(mode, mode, *certs["good"])

    ini = configparser.ConfigParser()
    ini.optionxform = str
    ini["ports"] = {name: str(p.port()) for name, p in peers.programs.items()}
    ini["ports"].update({name: str(h.port()) for name, h in peers.hostile.items()})
    ini["ports"]["control"] = str(control_server(peers).server_address[1])
    ini["account"] = {"user": ACCOUNT[0], "password": ACCOUNT[1]}
    ini["ntlm"] = {"domain": NTLM_ACCOUNT[0], "user": NTLM_ACCOUNT[1],
                   "password": NTLM_ACCOUNT[2]}
    ini["hostile"] = {"hold_ms": str(HOLD_MS)}
    scratch = os.path.join(folder, "scratch")
    os.makedirs(scratch, exist_ok=True)
    ini["paths"] = {"ca": certs["ca"][0], "ca_der": os.path.join(folder, "certs", "ca.der"),
                    "server_der": os.path.join(folder, "certs", "server.der"),
                    "scratch": scratch}
    with open(os.path.join(folder, "peers.ini.new"), "w") as f:
        ini.write(f)
    os.replace(os.path.join(folder, "peers.ini.new"), os.path.join(folder, "peers.ini"))
    log("ready:", dict(ini["ports"]))
    os.write(ready_fd, b"ready\n")
    os.close(ready_fd)

    stop.wait(LIFETIME_S)
    log("stopping")
    for program in peers.programs.values():
        program.stop()


def pid_file(folder):
    return os.path.join(folder, "peers.pid")


def stop_peers(folder):
    try:
        with open(pid_file(folder)) as f:
            pid = int(f.read())
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            ours = b"windows_peers.py" in f.read()
    except (OSError, ValueError):
        ours = False
    if not ours:  # gone already, or the number belongs to another process now
        if os.path.exists(pid_file(folder)):
            os.remove(pid_file(folder))
        return 0
    try:
        os.kill(pid, signal.SIGTERM)
        for _ in range(200):
            time.sleep(0.05)
            os.kill(pid, 0)
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    os.remove(pid_file(folder))
    return 0


def start_peers(folder):
    stop_peers(folder)
    os.makedirs(folder, exist_ok=True)
    for stale in ("peers.ini",):
        if os.path.exists(os.path.join(folder, stale)):
            os.remove(os.path.join(folder, stale))
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        # The peers must not hold the caller's output open: CTest would wait for them.
        os.close(read_end)
        os.setsid()
        logfile = os.open(os.path.join(folder, "peers.log"), os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
        nothing = os.open(os.devnull, os.O_RDONLY)
        os.dup2(nothing, 0)
        os.dup2(logfile, 1)
        os.dup2(logfile, 2)
        os.closerange(3, write_end)
        os.closerange(write_end + 1, 1024)
        sys.stdout = os.fdopen(1, "w")
        try:
            serve(folder, write_end)
        except BaseException as e:  # noqa: BLE001 - the log says why
            log("failed:", type(e).__name__, e)
        finally:
            os._exit(0)
    os.close(write_end)
    with open(pid_file(folder), "w") as f:
        f.write(str(pid))
    with os.fdopen(read_end) as ready:
        answer = ready.readline()
    if answer != "ready\n":
        with open(os.path.join(folder, "peers.log")) as f:
            sys.stderr.write(f.read())
        stop_peers(folder)
        return 1
    with open(os.path.join(folder, "peers.ini")) as f:
        sys.stdout.write(f.read())
    return 0


def main(argv):
    p = argparse.ArgumentParser(prog="windows_peers.py", description=__doc__.split("\n")[0])
    p.add_argument("action", choices=("start", "stop"))
    p.add_argument("--dir", required=True, help="folder of the peers' files")
    a = p.parse_args(argv)
    folder = os.path.abspath(a.dir)
    return start_peers(folder) if a.action == "start" else stop_peers(folder)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
