"""Throwaway certificates for the whole-process TLS tests, made with the openssl command.

make_certificates(directory) writes a test authority, a server certificate for 127.0.0.1 and
localhost signed by it, the server's key, and a second authority that signed nothing. It
returns their paths and the server certificate's fingerprint in the form a pop3-client
fingerprint setting takes ("sha256:" and the hex SHA-256 of the certificate in DER).

    certs = tlscerts.make_certificates(tmp)
    # a server: certs.certificate_file, certs.key_file
    # a client: trusts certs.ca_file, or pins certs.fingerprint; certs.other_ca_file is wrong
"""

import collections
import hashlib
import os
import shutil
import ssl
import subprocess
import tempfile

Certificates = collections.namedtuple(
    "Certificates", "ca_file certificate_file key_file fingerprint other_ca_file")

# Extensions as a real authority and server certificate carry them, so that chain and name
# checks pass or fail for the reason a test means.
OPENSSL_CONFIG = """\
[req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[ca]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[server]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1,DNS:localhost
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
"""

# Elliptic-curve keys take milliseconds where RSA keys take a noticeable part of a second.
NEW_KEY = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-noenc", "-config", "openssl.cnf"]


def _openssl(directory, *arguments):
    subprocess.run(["openssl", *arguments], cwd=directory, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def fingerprint(certificate_file):
    """"sha256:" and the lower-case hex SHA-256 of the PEM certificate's DER encoding."""
    with open(certificate_file) as f:
        der = ssl.PEM_cert_to_DER_cert(f.read())
    return "sha256:" + hashlib.sha256(der).hexdigest()


def make_certificates(directory):
    """Writes the authorities, the server's certificate and key into directory (which must
    exist) and returns their paths."""
    with open(os.path.join(directory, "openssl.cnf"), "w") as f:
        f.write(OPENSSL_CONFIG)
    for ca in ("ca", "other-ca"):
        _openssl(directory, "req", "-x509", "-days", "3650", "-extensions", "ca",
                 "-subj", "/CN=Nerra test " + ca, *NEW_KEY, "-keyout", ca + ".key", "-out", ca + ".pem")
    _openssl(directory, "req", "-new", "-subj", "/CN=localhost", *NEW_KEY,
             "-keyout", "server.key", "-out", "server.csr")
    _openssl(directory, "x509", "-req", "-days", "3650", "-in", "server.csr", "-CA", "ca.pem",
             "-CAkey", "ca.key", "-set_serial", "2", "-extfile", "openssl.cnf", "-extensions", "server",
             "-out", "server.pem")
    path = lambda name: os.path.join(os.path.abspath(directory), name)
    return Certificates(ca_file=path("ca.pem"), certificate_file=path("server.pem"),
                        key_file=path("server.key"), fingerprint=fingerprint(path("server.pem")),
                        other_ca_file=path("other-ca.pem"))


class CertificatesOnce:
    """A test-class mixin: one CA and server certificate for all of the class's tests, in
    `certs`, in the scratch directory `certs_dir`."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.certs_dir = tempfile.mkdtemp(prefix="nerra-certs-")
        cls.certs = make_certificates(cls.certs_dir)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.certs_dir, ignore_errors=True)
        super().tearDownClass()
