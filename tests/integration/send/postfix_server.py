#!/usr/bin/python3
"""A private Postfix instance for the send tests: postfix_server.py start|stop --dir FOLDER

Its own configuration, queue and log in FOLDER, on a loopback port: STARTTLS,
then Cyrus SASL from a sasldb (PLAIN, LOGIN, CRAM-MD5); HELO names, 8-bit data
and MIME encodings checked strictly; a Maildir FOLDER/mail/NAME/ for each
mailbox of example.org. start writes FOLDER/postfix.txt (key=value: port, ca,
user, password, mail, log), or skip=REASON where it cannot run (no root, a tool
missing), which with CI=true is a failure.
"""

import datetime
import ipaddress
import os
import shutil
import socket
import subprocess
import sys
import time

ACCOUNT = ("sender@example.org", "Postfix-pass 9")
MAILBOXES = ("sender", "to", "bcc", "miljoe")
POSTFIX, SASLPASSWD = "/usr/sbin/postfix", "/usr/sbin/saslpasswd2"
MAILBOX_UID = 65534  # nobody owns the delivered mail

MAIN_CF = """\
compatibility_level = 3.6
queue_directory = {dir}/queue
data_directory = {dir}/data
maillog_file = {dir}/maillog
maillog_file_prefixes = {dir}
myhostname = mail.example.test
mydestination =
alias_maps =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
virtual_mailbox_domains = example.org
virtual_mailbox_base = {dir}/mail
virtual_mailbox_limit = 0
virtual_mailbox_maps = texthash:{dir}/etc/mailboxes
virtual_uid_maps = static:{uid}
virtual_gid_maps = static:{uid}
smtpd_helo_required = yes
smtpd_helo_restrictions = reject_invalid_helo_hostname, reject_non_fqdn_helo_hostname
smtpd_relay_restrictions = permit_sasl_authenticated, reject_unauth_destination
strict_rfc821_envelopes = yes
strict_8bitmime = yes
strict_mime_encoding_domain = yes
smtpd_tls_security_level = may
smtpd_tls_cert_file = {dir}/server.pem
smtpd_tls_key_file = {dir}/server.key
smtpd_tls_auth_only = yes
smtpd_sasl_auth_enable = yes
smtpd_sasl_local_domain = example.org
"""

# Nothing chrooted: the daemons read the folder's files where they are.
MASTER_CF = """\
127.0.0.1:{port} inet n - n - - smtpd
pickup unix n - n 60 1 pickup
cleanup unix n - n - 0 cleanup
qmgr unix n - n 300 1 qmgr
tlsmgr unix - - n 1000? 1 tlsmgr
rewrite unix - - n - - trivial-rewrite
bounce unix - - n - 0 bounce
defer unix - - n - 0 bounce
trace unix - - n - 0 bounce
flush unix n - n 1000? 0 flush
proxymap unix - - n - - proxymap
error unix - - n - - error
retry unix - - n - - error
virtual unix - n n - - virtual
anvil unix - - n - 1 anvil
postlog unix-dgram n - n - 1 postlogd
"""

# Debian's Postfix reads it from the sasl folder of its configuration.
SMTPD_CONF = """\
pwcheck_method: auxprop
auxprop_plugin: sasldb
sasldb_path: {dir}/sasldb2
mech_list: PLAIN LOGIN CRAM-MD5
"""


def missing():
    """Why the instance cannot run here, or None."""
    if os.geteuid() != 0:
        return "a private Postfix instance needs root"
    for tool in (POSTFIX, SASLPASSWD):
        if not os.access(tool, os.X_OK):
            return "%s is missing (Debian packages postfix, sasl2-bin)" % tool
    plugins = subprocess.run(["/bin/sh", "-c", "ls /usr/lib/*/sasl2 /usr/lib/sasl2"],
                             capture_output=True, text=True).stdout.split()
    for plugin in ("libplain.so", "liblogin.so", "libcrammd5.so", "libsasldb.so"):
        if plugin not in plugins:
            return "the SASL plugin %s is missing (Debian package libsasl2-modules)" % plugin
    try:
        import cryptography  # noqa: F401  (the test CA)
    except ImportError:
        return "Python's cryptography is missing (Debian package python3-cryptography)"
    return None


def make_certificates(folder):
    """The test CA (ca.pem) and its server certificate for localhost and 127.0.0.1."""
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    now = datetime.datetime.now(datetime.timezone.utc)
    keys = [ec.generate_private_key(ec.SECP256R1()) for _ in range(2)]
    names = [x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, cn)])
             for cn in ("Postfix Test CA", "localhost")]
    made = []
    for i, extension in enumerate((x509.BasicConstraints(ca=True, path_length=None),
                                   x509.SubjectAlternativeName([x509.DNSName("localhost"),
                                       x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]))):
        made.append(x509.CertificateBuilder().subject_name(names[i]).issuer_name(names[0])
                    .public_key(keys[i].public_key()).serial_number(x509.random_serial_number())
                    .not_valid_before(now - datetime.timedelta(days=1))
                    .not_valid_after(now + datetime.timedelta(days=30))
                    .add_extension(extension, i == 0).sign(keys[0], hashes.SHA256()))
    pem = serialization.Encoding.PEM
    for name, data in (("ca.pem", made[0].public_bytes(pem)),
                       ("server.pem", made[1].public_bytes(pem)),
                       ("server.key", keys[1].private_bytes(pem, serialization.PrivateFormat.PKCS8,
                                                            serialization.NoEncryption()))):
        write(os.path.join(folder, name), data, 0o600 if name.endswith(".key") else 0o644)


def write(path, data, mode=0o644):
    with open(path, "wb" if isinstance(data, bytes) else "w") as f:
        f.write(data)
    os.chmod(path, mode)


def postfix(folder, command):
    return subprocess.run([POSTFIX, "-c", os.path.join(folder, "etc"), command],
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)


def answers(port):
    """Whether the instance greets; a polite client leaves no complaint in the log."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
            if s.recv(512).startswith(b"220"):
                s.sendall(b"QUIT\r\n")
                return s.recv(512).startswith(b"221")
    except OSError:
        pass
    return False


def start(folder):
    stop(folder)
    shutil.rmtree(folder, ignore_errors=True)
    for sub in ("etc/sasl", "queue", "data", "mail"):
        os.makedirs(os.path.join(folder, sub))
    os.chmod(folder, 0o755)  # the daemons run as postfix and nobody
    reason = missing()
    if reason is not None:
        write(os.path.join(folder, "postfix.txt"), "skip=%s\n" % reason)
        print("postfix-server: skipped: " + reason)
        return 1 if os.environ.get("CI") == "true" else 0
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    make_certificates(folder)
    shutil.chown(os.path.join(folder, "data"), "postfix")
    os.chown(os.path.join(folder, "mail"), MAILBOX_UID, MAILBOX_UID)
    write(os.path.join(folder, "etc", "main.cf"), MAIN_CF.format(dir=folder, uid=MAILBOX_UID))
    write(os.path.join(folder, "etc", "master.cf"), MASTER_CF.format(port=port))
    write(os.path.join(folder, "etc", "mailboxes"),
          "".join("%s@example.org %s/\n" % (box, box) for box in MAILBOXES))
    write(os.path.join(folder, "etc", "sasl", "smtpd.conf"), SMTPD_CONF.format(dir=folder))
    user, realm = ACCOUNT[0].split("@")
    subprocess.run([SASLPASSWD, "-c", "-p", "-f", os.path.join(folder, "sasldb2"), "-u", realm,
                    user], input=ACCOUNT[1], text=True, check=True, timeout=60)
    shutil.chown(os.path.join(folder, "sasldb2"), "postfix")
    started = postfix(folder, "start")
    deadline = time.monotonic() + 60
    while started.returncode == 0 and not answers(port) and time.monotonic() < deadline:
        time.sleep(0.2)
    if started.returncode != 0 or not answers(port):
        with open(os.path.join(folder, "maillog")) as f:
            sys.stderr.write(f.read())
        stop(folder)
        return 1
    values = {"port": port, "ca": os.path.join(folder, "ca.pem"), "user": ACCOUNT[0],
              "password": ACCOUNT[1], "mail": os.path.join(folder, "mail"),
              "log": os.path.join(folder, "maillog")}
    write(os.path.join(folder, "postfix.txt"), "".join("%s=%s\n" % v for v in values.items()))
    print("postfix-server: ready", values)
    return 0


def stop(folder):
    try:
        with open(os.path.join(folder, "queue", "pid", "master.pid")) as f:
            master = int(f.read())
    except (OSError, ValueError):
        return 0  # never started
    postfix(folder, "stop")
    for _ in range(100):  # its daemons go with it
        if not os.path.exists("/proc/%d" % master):
            break
        time.sleep(0.1)
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 4 or sys.argv[1] not in ("start", "stop") or sys.argv[2] != "--dir":
        sys.exit(__doc__)
    sys.exit({"start": start, "stop": stop}[sys.argv[1]](os.path.abspath(sys.argv[3])))
