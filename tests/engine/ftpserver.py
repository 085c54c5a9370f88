#!/usr/bin/python3
"""Small FTP server for the upload tests.

usage: ftpserver.py [--banner=TEXT] [--sessions] [--host=::1] [--idle=SECONDS] [--per-address=N]
                    [--lifetime=SECONDS]
                    ROOT USER PASSWORD [THROTTLE_BYTES_PER_SEC [PORT]]

Listens on 127.0.0.1 (or ::1 with --host=::1) on PORT (default: a free port), prints "PORT <n>" on standard output
once it accepts connections, and serves until it is killed or its lifetime
ends. With a throttle, uploads are received at about that rate (for
cancelling a running upload).
Passive mode is refused: uploads must come in active mode.
--banner=TEXT greets with TEXT (line breaks in it become reply lines; a long
text makes a multi-line reply). --sessions prints "OPEN <n>" and "CLOSED <n>"
(n: sessions open now), "LOGIN <user>" and "FAILED <user>" as they happen.
--idle=SECONDS closes a session idle that long ("421 ... timed out"), as
player and home servers do after a short while; --per-address=N refuses a
session beyond N from one client address ("421 Too many connections").
--lifetime=SECONDS ends the server by itself after that long.
"""
import sys
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer


class ActiveOnlyHandler(FTPHandler):
    report_sessions = False
    open_sessions = 0

    def ftp_PASV(self, line):
        self.respond("502 Passive mode not offered.")

    def ftp_EPSV(self, line):
        self.respond("502 Passive mode not offered.")

    def report(self, text):
        if self.report_sessions:
            print(text, flush=True)

    def on_connect(self):
        ActiveOnlyHandler.open_sessions += 1
        self.report("OPEN %d" % ActiveOnlyHandler.open_sessions)

    def on_disconnect(self):
        ActiveOnlyHandler.open_sessions -= 1
        self.report("CLOSED %d" % ActiveOnlyHandler.open_sessions)

    def on_login(self, username):
        self.report("LOGIN %s" % username)

    def on_login_failed(self, username, password):
        self.report("FAILED %s" % username)


def main():
    options = [a for a in sys.argv[1:] if a.startswith("--")]
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    root, user, password = args[0:3]
    throttle = int(args[3]) if len(args) > 3 else 0
    wanted_port = int(args[4]) if len(args) > 4 else 0

    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")

    handler = ActiveOnlyHandler
    if throttle > 0:
        dtp = ThrottledDTPHandler
        dtp.read_limit = throttle
        dtp.write_limit = 0
        handler.dtp_handler = dtp
    else:
        handler.dtp_handler = DTPHandler
    handler.authorizer = authorizer
    handler.permit_foreign_addresses = False
    handler.auth_failed_timeout = 0.2
    host = "127.0.0.1"
    max_per_address = 0
    lifetime = 0
    for option in options:
        if option == "--host=::1":
            host = "::1"
        elif option.startswith("--banner="):
            handler.banner = option[len("--banner="):].replace("\r\n", "\n").replace("\n", "\r\n")
        elif option == "--sessions":
            handler.report_sessions = True
        elif option.startswith("--idle="):
            handler.timeout = float(option[len("--idle="):])
        elif option.startswith("--lifetime="):
            lifetime = float(option[len("--lifetime="):])
        elif option.startswith("--per-address="):
            max_per_address = int(option[len("--per-address="):])

    server = FTPServer((host, wanted_port), handler)
    server.max_cons_per_ip = max_per_address
    port = server.socket.getsockname()[1]
    print("PORT %d" % port, flush=True)
    if lifetime <= 0:
        server.serve_forever()
        return
    deadline = time.monotonic() + lifetime
    while time.monotonic() < deadline:
        server.serve_forever(timeout=0.5, blocking=False, handle_exit=False)
    server.close_all()


if __name__ == "__main__":
    main()
