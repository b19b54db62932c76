#!/usr/bin/python3
"""The Linux-side peers of the Windows tests under Wine: windows_peers.py start|stop --dir FOLDER

start makes the test certificates, starts the peers on 127.0.0.1 in a process
of its own (away from CTest's output; its log is FOLDER/peers.log), writes
their ports and accounts to FOLDER/peers.txt (key=value) and returns; they
live until stop, or an hour. good, wrongname, expired, untrusted (self-signed),
partialchain (an intermediate CA's leaf alone) and fullchain (with the
intermediate) are the capture server with that certificate; ntlm is
ntlm_smtpd.py; partialrecord and stopreading misbehave after STARTTLS (below).
The control port answers one request a line with lines ending in ".":
"check MARKER EXPECTED.json" (the stored message read back by
check_message.py, and EXPECTED's "envelope" against its record), "said PEER
TEXT" (yes/no: a line of that peer's output holds TEXT), "commands PEER" (the
lines of that hostile peer's last connection, then "closed" once closed).
"""

import datetime
import glob
import ipaddress
import itertools
import json
import os
import shutil
import signal
import socket
import socketserver
import ssl
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.dirname(os.path.dirname(HERE))
CAPTURE_SERVER = os.path.join(os.path.dirname(TESTS), "tools", "capture-server", "capture-server.py")
CHECK_MESSAGE = os.path.join(TESTS, "integration", "send", "check_message.py")
HOLD_S = 3
ACCOUNT = ("wine-user", "Wine-pass 7")
NTLM_ACCOUNT = ("SMTPMAIL", "winetester", "Ntlm-pass 8")
SMTP_PEERS = ("good", "wrongname", "expired", "untrusted", "partialchain", "fullchain")


def make_certificates(folder):
    """{peer: (certificate, key)} as PEM files, and the test CA as ca.der."""
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

    os.makedirs(folder, exist_ok=True)
    now = datetime.datetime.now(datetime.timezone.utc)
    serials = itertools.count(1)
    local = [x509.DNSName("localhost"), x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]

    def make(cn, issuer=None, days=(-1, 825), san=local, ca=False):  # certificate, key
        key = ec.generate_private_key(ec.SECP256R1())
        subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, cn)])
        signer, signer_key = issuer or (None, key)
        b = (x509.CertificateBuilder().subject_name(subject)
             .issuer_name(signer.subject if signer else subject).public_key(key.public_key())
             .serial_number(next(serials))
             .not_valid_before(now + datetime.timedelta(days=days[0]))
             .not_valid_after(now + datetime.timedelta(days=days[1]))
             .add_extension(x509.BasicConstraints(ca=ca, path_length=None), True))
        if not ca:
            b = b.add_extension(x509.SubjectAlternativeName(san), False).add_extension(
                x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), False)
        return b.sign(signer_key, hashes.SHA256()), key

    def write(name, made, *chain):
        pem = serialization.Encoding.PEM
        files = [os.path.join(folder, name + suffix) for suffix in (".pem", ".key")]
        with open(files[0], "wb") as f:
            f.write(b"".join(c.public_bytes(pem) for c in (made[0],) + chain))
        with open(files[1], "wb") as f:
            f.write(made[1].private_bytes(pem, serialization.PrivateFormat.PKCS8,
                                          serialization.NoEncryption()))
        return files

    ca = make("SMTP Mail Test CA", ca=True, days=(-1, 3650))
    with open(os.path.join(folder, "ca.der"), "wb") as f:
        f.write(ca[0].public_bytes(serialization.Encoding.DER))
    intermediate = make("SMTP Mail Test Intermediate CA", ca, ca=True)
    chained = make("localhost", intermediate)
    return {"good": write("good", make("localhost", ca)),
            "wrongname": write("wrongname", make("wrong.example.com", ca,
                                                 san=[x509.DNSName("wrong.example.com")])),
            "expired": write("expired", make("localhost", ca, days=(-30, -1))),
            "untrusted": write("untrusted", make("localhost")),
            "partialchain": write("partialchain", chained),
            "fullchain": write("fullchain", chained, intermediate[0])}


class Program:
    """A peer program that names its port in its "listening on" line."""

    def __init__(self, *argv):
        self.lines = []
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
            self.lines.append(line)

    def said(self, text):
        return ["yes" if any(text in line for line in list(self.lines)) else "no"]


class Hostile:
    """STARTTLS, then half a TLS record for the EHLO reply and silence
    (partialrecord), or after DATA nothing read for HOLD_S (stopreading)."""

    def __init__(self, mode, cert, key):
        self.mode, self.lines, self.closed = mode, [], threading.Event()
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(cert, key)
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

    def report(self):
        closed = self.closed.wait(10)
        return list(self.lines) + (["closed"] if closed else [])


def answer(folder, peers, request):
    words = request.split(" ", 2)
    if words[0] == "said" and len(words) == 3 and words[1] in peers:
        return peers[words[1]].said(words[2])
    if words[0] == "commands" and len(words) == 2 and words[1] in peers:
        return peers[words[1]].report()
    if words[0] != "check" or len(words) != 3:
        return ["unknown request: %s" % request]
    found = [p for p in sorted(glob.glob(os.path.join(folder, "mail", "*", "*.json")))
             if words[1] in open(p, encoding="utf-8").read()]
    if not found:
        return ["failed", "no stored message holds %s" % words[1]]
    # check_message.py reads the message; the session facts are the record's.
    with open(words[2], encoding="utf-8") as f, open(found[0], encoding="utf-8") as g:
        envelope, record = json.load(f).get("envelope", {}), json.load(g)
    wrong = ["envelope %s: got %r, expected %r" % (k, record.get(k), v)
             for k, v in envelope.items() if record.get(k) != v]
    run = subprocess.run([sys.executable, CHECK_MESSAGE, found[0][:-5] + ".eml", words[2]],
                         capture_output=True, text=True, timeout=60)
    lines = wrong + (run.stdout + run.stderr).splitlines()
    return ["failed" if wrong or run.returncode else "ok"] + lines


def serve(folder):
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    certs = make_certificates(os.path.join(folder, "certs"))
    with open(os.path.join(folder, "ntlm-users"), "w") as f:
        f.write("%s:%s:%s\n" % NTLM_ACCOUNT)
    peers = {name: Program(CAPTURE_SERVER, "--dir", os.path.join(folder, "mail", name),
                           "--cert", certs[name][0], "--key", certs[name][1],
                           "--user", ACCOUNT[0], "--password", ACCOUNT[1])
             for name in SMTP_PEERS}
    peers["ntlm"] = Program(os.path.join(TESTS, "support", "ntlm_smtpd.py"),
                            "--users", os.path.join(folder, "ntlm-users"))
    peers.update((mode, Hostile(mode, *certs["good"])) for mode in ("partialrecord", "stopreading"))

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
        values.update({"port.control": control.server_address[1], "account.user": ACCOUNT[0],
                       "account.password": ACCOUNT[1], "ntlm.domain": NTLM_ACCOUNT[0],
                       "ntlm.user": NTLM_ACCOUNT[1], "ntlm.password": NTLM_ACCOUNT[2],
                       "path.ca_der": os.path.join(folder, "certs", "ca.der"),
                       "path.scratch": os.path.join(folder, "scratch")})
        with open(os.path.join(folder, "peers.new"), "w") as f:
            f.writelines("%s=%s\n" % item for item in values.items())
        os.replace(os.path.join(folder, "peers.new"), os.path.join(folder, "peers.txt"))
        print("windows-peers: ready", values, flush=True)
        stop.wait(3600)
    finally:
        for peer in peers.values():
            if isinstance(peer, Program):
                peer.process.terminate()


def stop_peers(folder):
    try:
        with open(os.path.join(folder, "peers.pid")) as f:
            pid = int(f.read())
        os.remove(os.path.join(folder, "peers.pid"))
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            if b"windows_peers.py" not in f.read():
                return 0  # the number belongs to another process now
        os.kill(pid, signal.SIGTERM)
        for _ in range(100):
            time.sleep(0.05)
            os.kill(pid, 0)
        os.kill(pid, signal.SIGKILL)
    except (OSError, ValueError):
        pass  # gone already
    return 0


def start_peers(folder):
    stop_peers(folder)
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
                                    folder], stdin=subprocess.DEVNULL, stdout=log,
                                   stderr=subprocess.STDOUT, start_new_session=True)
    with open(os.path.join(folder, "peers.pid"), "w") as f:
        f.write(str(process.pid))
    deadline = time.monotonic() + 120
    while not os.path.exists(ready) and process.poll() is None and time.monotonic() < deadline:
        time.sleep(0.1)
    if not os.path.exists(ready):
        with open(os.path.join(folder, "peers.log")) as f:
            sys.stderr.write(f.read())
        stop_peers(folder)
        return 1
    with open(ready) as f:
        sys.stdout.write(f.read())
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 4 or sys.argv[1] not in ("start", "stop", "serve") or sys.argv[2] != "--dir":
        sys.exit(__doc__)
    folder = os.path.abspath(sys.argv[3])
    os.makedirs(folder, exist_ok=True)
    sys.exit({"start": start_peers, "stop": stop_peers, "serve": serve}[sys.argv[1]](folder))
