"""Local SMTP server for the error-report tests.

Usage: smtp_server.py <mail folder> <user> <password> <delay seconds> [tls]
Prints the port it listens on (127.0.0.1), then serves until stdin closes. Logins are checked
against <user>/<password>; mail is refused without a login. With "tls" the server offers
STARTTLS with a self-signed certificate for 127.0.0.1, written to <mail folder>/server-cert.pem
before the port is printed, and takes logins only over TLS. Each mail is written to the folder as
JSON with the envelope sender, recipients, message text and whether it came over TLS; the reply
to DATA is delayed by <delay> seconds.
"""
import asyncio
import datetime
import ipaddress
import json
import os
import socket
import ssl
import sys

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult

folder, user, password, delay = sys.argv[1], sys.argv[2], sys.argv[3], float(sys.argv[4])
use_tls = len(sys.argv) > 5 and sys.argv[5] == "tls"


class Handler:
    count = 0

    async def handle_DATA(self, server, session, envelope):
        await asyncio.sleep(delay)
        Handler.count += 1
        path = os.path.join(folder, "mail%d.json" % Handler.count)
        with open(path + ".tmp", "w", encoding="utf-8") as f:
            json.dump({"from": envelope.mail_from, "to": envelope.rcpt_tos,
                       "data": envelope.content.decode("utf-8", "replace"),
                       "tls": session.ssl is not None}, f)
        os.rename(path + ".tmp", path)
        return "250 Message accepted"


def check_login(server, session, envelope, mechanism, auth_data):
    ok = auth_data.login == user.encode() and auth_data.password == password.encode()
    return AuthResult(success=ok, handled=False)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def tls_context():
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "127.0.0.1")])
    now = datetime.datetime.utcnow()
    cert = (x509.CertificateBuilder().subject_name(name).issuer_name(name)
            .public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(days=1))
            .not_valid_after(now + datetime.timedelta(days=1))
            .add_extension(x509.SubjectAlternativeName(
                [x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]), critical=False)
            .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
            .sign(key, hashes.SHA256()))
    cert_file = os.path.join(folder, "server-cert.pem")
    key_file = os.path.join(folder, "server-key.pem")
    with open(cert_file, "wb") as f:
        f.write(cert.public_bytes(serialization.Encoding.PEM))
    with open(key_file, "wb") as f:
        f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                  serialization.NoEncryption()))
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(cert_file, key_file)
    return context


port = free_port()
options = {"tls_context": tls_context(), "auth_require_tls": True} if use_tls else \
    {"auth_require_tls": False}
controller = Controller(Handler(), hostname="127.0.0.1", port=port, authenticator=check_login,
                        auth_required=True, **options)
controller.start()
print(port, flush=True)
sys.stdin.read()
controller.stop()
