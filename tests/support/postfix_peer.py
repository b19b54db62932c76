"""A private Postfix instance, a peer of peers.py: its own configuration, queue
and log in FOLDER/postfix, on a loopback port; STARTTLS with the test
certificates, then Cyrus SASL from a sasldb (PLAIN, LOGIN, CRAM-MD5); HELO
names, 8-bit data and MIME encodings checked strictly; every address of
example.org and marker.example.org delivered into one Maildir, each copy
with its Delivered-To line. It needs root: where it cannot run, values()
says why (postfix.skip), which with CI=true is a failure of the start.
"""

import glob
import os
import pathlib
import shutil
import socket
import subprocess
import time

ACCOUNT = ("sender@example.org", "Postfix-pass 9")
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
virtual_mailbox_domains = example.org, marker.example.org
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
cleanup unix n - n - 0 cleanup
qmgr unix n - n 300 1 qmgr
tlsmgr unix - - n 1000? 1 tlsmgr
rewrite unix - - n - - trivial-rewrite
bounce unix - - n - 0 bounce
defer unix - - n - 0 bounce
trace unix - - n - 0 bounce
proxymap unix - - n - - proxymap
error unix - - n - - error
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
    plugins = {os.path.basename(p) for p in
               glob.glob("/usr/lib/*/sasl2/*") + glob.glob("/usr/lib/sasl2/*")}
    for plugin in ("libplain.so", "liblogin.so", "libcrammd5.so", "libsasldb.so"):
        if plugin not in plugins:
            return "the SASL plugin %s is missing (Debian package libsasl2-modules)" % plugin


def write(path, data, mode=0o644):
    with open(path, "w") as f:
        f.write(data)
    os.chmod(path, mode)


class Postfix:
    def __init__(self, folder, certs):
        self.dir, self.port_ = os.path.join(folder, "postfix"), 0
        self.skip = missing()
        if self.skip is not None:
            if os.environ.get("CI") == "true":
                raise RuntimeError(self.skip)
            return
        shutil.rmtree(self.dir, ignore_errors=True)
        for sub in ("etc/sasl", "queue", "data", "mail"):
            os.makedirs(os.path.join(self.dir, sub))
        os.chmod(self.dir, 0o755)  # the daemons run as postfix and nobody
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port_ = s.getsockname()[1]
        for name, mode in (("server.pem", 0o644), ("server.key", 0o600)):
            shutil.copy(os.path.join(certs, name), os.path.join(self.dir, name))
            os.chmod(os.path.join(self.dir, name), mode)
        shutil.chown(os.path.join(self.dir, "data"), "postfix")
        os.chown(os.path.join(self.dir, "mail"), MAILBOX_UID, MAILBOX_UID)
        etc = os.path.join(self.dir, "etc")
        write(os.path.join(etc, "main.cf"), MAIN_CF.format(dir=self.dir, uid=MAILBOX_UID))
        write(os.path.join(etc, "master.cf"), MASTER_CF.format(port=self.port_))
        write(os.path.join(etc, "mailboxes"), "@example.org all/\n@marker.example.org all/\n")
        write(os.path.join(etc, "sasl", "smtpd.conf"), SMTPD_CONF.format(dir=self.dir))
        user, realm = ACCOUNT[0].split("@")
        subprocess.run([SASLPASSWD, "-c", "-p", "-f", os.path.join(self.dir, "sasldb2"), "-u",
                        realm, user], input=ACCOUNT[1], text=True, check=True, timeout=60)
        shutil.chown(os.path.join(self.dir, "sasldb2"), "postfix")
        started = self._postfix("start")
        deadline = time.monotonic() + 60
        while started.returncode == 0 and not self._answers() and time.monotonic() < deadline:
            time.sleep(0.2)
        if started.returncode != 0 or not self._answers():
            self.stop()
            with open(os.path.join(self.dir, "maillog")) as f:
                raise RuntimeError("Postfix did not start:\n" + f.read())

    def _postfix(self, command):
        return subprocess.run([POSTFIX, "-c", os.path.join(self.dir, "etc"), command],
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=120)

    def _answers(self):
        """Whether it greets; a polite client leaves no complaint in the log."""
        try:
            with socket.create_connection(("127.0.0.1", self.port_), timeout=5) as s:
                if s.recv(512).startswith(b"220"):
                    s.sendall(b"QUIT\r\n")
                    return s.recv(512).startswith(b"221")
        except OSError:
            pass
        return False

    def port(self):
        return self.port_

    def values(self):
        if self.skip is not None:
            return {"postfix.skip": self.skip}
        return {"postfix.user": ACCOUNT[0], "postfix.password": ACCOUNT[1],
                "postfix.log": os.path.join(self.dir, "maillog")}

    def delivered(self, recipient):
        """The delivered copies for that envelope recipient."""
        line = b"\nDelivered-To: " + recipient.encode() + b"\n"
        return [p for p in sorted(glob.glob(os.path.join(self.dir, "mail", "all", "new", "*")))
                if line in pathlib.Path(p).read_bytes()[:4096]]

    def stop(self):
        if not self.port_:
            return
        try:
            with open(os.path.join(self.dir, "queue", "pid", "master.pid")) as f:
                master = int(f.read())
        except (OSError, ValueError):
            return  # never started
        self._postfix("stop")
        for _ in range(100):  # its daemons go with it
            if not os.path.exists("/proc/%d" % master):
                break
            time.sleep(0.1)
