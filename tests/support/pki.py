"""A throw-away PKI for the TLS tests: a CA, certificates it signs, and the
odd ones out (another CA, an expired certificate), written as PEM files."""
import datetime
import ipaddress
import os

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID


def _key():
    return ec.generate_private_key(ec.SECP256R1())


def _name(common_name):
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name)])


def _pem_key(key):
    return key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                             serialization.NoEncryption())


def _pem_cert(cert):
    return cert.public_bytes(serialization.Encoding.PEM)


class Authority:
    def __init__(self, common_name):
        self.key = _key()
        now = datetime.datetime.now(datetime.timezone.utc)
        self.cert = (
            x509.CertificateBuilder()
            .subject_name(_name(common_name)).issuer_name(_name(common_name))
            .public_key(self.key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(days=1))
            .not_valid_after(now + datetime.timedelta(days=30))
            .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
            .add_extension(x509.KeyUsage(
                digital_signature=True, key_cert_sign=True, crl_sign=True,
                content_commitment=False, key_encipherment=False, data_encipherment=False,
                key_agreement=False, encipher_only=False, decipher_only=False), critical=True)
            .sign(self.key, hashes.SHA256()))

    def issue(self, common_name, server, expired=False):
        """(certificate PEM, key PEM) for a server (localhost, 127.0.0.1) or a client."""
        key = _key()
        now = datetime.datetime.now(datetime.timezone.utc)
        if expired:
            start, end = now - datetime.timedelta(days=30), now - datetime.timedelta(days=1)
        else:
            start, end = now - datetime.timedelta(days=1), now + datetime.timedelta(days=30)
        usage = x509.oid.ExtendedKeyUsageOID.SERVER_AUTH if server else \
            x509.oid.ExtendedKeyUsageOID.CLIENT_AUTH
        builder = (
            x509.CertificateBuilder()
            .subject_name(_name(common_name)).issuer_name(self.cert.subject)
            .public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(start).not_valid_after(end)
            .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
            .add_extension(x509.ExtendedKeyUsage([usage]), critical=False))
        if server:
            builder = builder.add_extension(x509.SubjectAlternativeName([
                x509.DNSName("localhost"), x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]),
                critical=False)
        return _pem_cert(builder.sign(self.key, hashes.SHA256())), _pem_key(key)


class Pki:
    """PEM files in `folder`: ca.pem, server.pem/.key, client.pem/.key,
    other-ca.pem, other-client.pem/.key (signed by the other CA),
    expired.pem/.key (a server certificate of the right CA, out of date)."""

    def __init__(self, folder):
        self.folder = str(folder)
        ca = Authority("sorvane test CA")
        other = Authority("another CA")
        self._write("ca.pem", _pem_cert(ca.cert))
        self._write("other-ca.pem", _pem_cert(other.cert))
        for name, (cert, key) in (
                ("server", ca.issue("localhost", server=True)),
                ("client", ca.issue("a client", server=False)),
                ("other-client", other.issue("a stranger", server=False)),
                ("expired", ca.issue("localhost", server=True, expired=True))):
            self._write(name + ".pem", cert)
            self._write(name + ".key", key)

    def _write(self, name, data):
        with open(os.path.join(self.folder, name), "wb") as f:
            f.write(data)

    def path(self, name):
        return os.path.join(self.folder, name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()
