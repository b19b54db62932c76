#!/usr/bin/python3
"""Writes the test certificates into OUTDIR (made if missing).

The same set as tests/support/TestCertificates.h makes for the C++ tests:
ca.pem/ca.key, server.pem/.key ("localhost", SAN DNS:localhost and
IP:127.0.0.1), wrongname.pem/.key ("wrong.example.com"), expired.pem/.key,
selfsigned.pem/.key, clientonly.pem/.key (client authentication only) and
client.pem (certificate and key of "SMTP Mail Test Client").

Usage: /usr/bin/python3 tests/support/make-test-certs.py OUTDIR
Also importable: make_test_certs(outdir) returns a dict of name -> path.
"""
import datetime
import ipaddress
import os
import sys

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID


def _key():
    return ec.generate_private_key(ec.SECP256R1())


def _name(cn):
    return x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, "SMTP Mail Tests"),
                      x509.NameAttribute(NameOID.COMMON_NAME, cn)])


def _cert(cn, key, issuer_cert, issuer_key, days_from, days_to, serial, ca=False, san=None, eku=None):
    now = datetime.datetime.now(datetime.timezone.utc)
    subject = _name(cn)
    usage = dict.fromkeys(("digital_signature", "content_commitment", "key_encipherment",
                           "data_encipherment", "key_agreement", "key_cert_sign", "crl_sign",
                           "encipher_only", "decipher_only"), False)
    usage.update({"key_cert_sign": True, "crl_sign": True} if ca else
                 {"digital_signature": True, "key_encipherment": True})
    builder = (x509.CertificateBuilder()
               .subject_name(subject)
               .issuer_name(issuer_cert.subject if issuer_cert is not None else subject)
               .public_key(key.public_key())
               .serial_number(serial)
               .not_valid_before(now + datetime.timedelta(days=days_from))
               .not_valid_after(now + datetime.timedelta(days=days_to))
               .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
               .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True)
               .add_extension(x509.KeyUsage(**usage), critical=True))
    if issuer_cert is not None:
        builder = builder.add_extension(
            x509.AuthorityKeyIdentifier.from_issuer_public_key(issuer_key.public_key()), critical=False)
    if eku is not None:
        builder = builder.add_extension(x509.ExtendedKeyUsage([eku]), critical=False)
    if san is not None:
        builder = builder.add_extension(x509.SubjectAlternativeName(san), critical=False)
    return builder.sign(issuer_key if issuer_key is not None else key, hashes.SHA256())


def _write(path, cert=None, key=None):
    data = b""
    if cert is not None:
        data += cert.public_bytes(serialization.Encoding.PEM)
    if key is not None:
        data += key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                  serialization.NoEncryption())
    with open(path, "wb") as f:
        f.write(data)


def make_test_certs(outdir):
    os.makedirs(outdir, exist_ok=True)
    paths = {}

    def write(name, cert, key, together=False):
        for suffix, parts in (((".pem", (cert, key)),) if together else
                              ((".pem", (cert, None)), (".key", (None, key)))):
            paths[name + suffix] = os.path.join(outdir, name + suffix)
            _write(paths[name + suffix], *parts)

    ca_key = _key()
    ca = _cert("SMTP Mail Test CA", ca_key, None, None, -1, 3650, 1, ca=True)
    write("ca", ca, ca_key)
    server_san = [x509.DNSName("localhost"), x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]
    leaves = [
        ("server", "localhost", False, -1, 825, server_san, ExtendedKeyUsageOID.SERVER_AUTH),
        ("wrongname", "wrong.example.com", False, -1, 825, [x509.DNSName("wrong.example.com")],
         ExtendedKeyUsageOID.SERVER_AUTH),
        ("expired", "localhost", False, -30, -1, server_san, ExtendedKeyUsageOID.SERVER_AUTH),
        ("selfsigned", "localhost", True, -1, 825, server_san, ExtendedKeyUsageOID.SERVER_AUTH),
        ("clientonly", "localhost", False, -1, 825, server_san, ExtendedKeyUsageOID.CLIENT_AUTH),
        ("client", "SMTP Mail Test Client", False, -1, 825, None, ExtendedKeyUsageOID.CLIENT_AUTH),
    ]
    for serial, (name, cn, self_signed, days_from, days_to, san, eku) in enumerate(leaves, 2):
        key = _key()
        cert = _cert(cn, key, None if self_signed else ca, None if self_signed else ca_key,
                     days_from, days_to, serial, san=san, eku=eku)
        write(name, cert, key, together=name == "client")
    return paths


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: make-test-certs.py OUTDIR\n")
        return 2
    for path in sorted(make_test_certs(argv[1]).values()):
        print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
