"""Local SMTP server for the error-report tests.

Usage: smtp_server.py <mail folder> <user> <password> <delay seconds>
Prints the port it listens on (127.0.0.1), then serves until stdin closes. Logins are checked
against <user>/<password> over the plain connection; mail is refused without a login. Each mail
is written to the folder as JSON with the envelope sender, recipients and message text; the
reply to DATA is delayed by <delay> seconds.
"""
import asyncio
import json
import os
import socket
import sys

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult

folder, user, password, delay = sys.argv[1], sys.argv[2], sys.argv[3], float(sys.argv[4])


class Handler:
    count = 0

    async def handle_DATA(self, server, session, envelope):
        await asyncio.sleep(delay)
        Handler.count += 1
        path = os.path.join(folder, "mail%d.json" % Handler.count)
        with open(path + ".tmp", "w", encoding="utf-8") as f:
            json.dump({"from": envelope.mail_from, "to": envelope.rcpt_tos,
                       "data": envelope.content.decode("utf-8", "replace")}, f)
        os.rename(path + ".tmp", path)
        return "250 Message accepted"


def check_login(server, session, envelope, mechanism, auth_data):
    ok = auth_data.login == user.encode() and auth_data.password == password.encode()
    return AuthResult(success=ok, handled=False)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


port = free_port()
controller = Controller(Handler(), hostname="127.0.0.1", port=port, authenticator=check_login,
                        auth_require_tls=False, auth_required=True)
controller.start()
print(port, flush=True)
sys.stdin.read()
controller.stop()
