#!/usr/bin/python3
"""Small FTP server for the upload tests.

usage: ftpserver.py ROOT USER PASSWORD [THROTTLE_BYTES_PER_SEC [PORT]]

Listens on 127.0.0.1 on PORT (default: a free port), prints "PORT <n>" on standard output
once it accepts connections, and serves until it is killed. With a throttle,
uploads are received at about that rate (for cancelling a running upload).
Passive mode is refused: uploads must come in active mode.
"""
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer


class ActiveOnlyHandler(FTPHandler):
    def ftp_PASV(self, line):
        self.respond("502 Passive mode not offered.")

    def ftp_EPSV(self, line):
        self.respond("502 Passive mode not offered.")


def main():
    root, user, password = sys.argv[1:4]
    throttle = int(sys.argv[4]) if len(sys.argv) > 4 else 0
    wanted_port = int(sys.argv[5]) if len(sys.argv) > 5 else 0

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

    server = FTPServer(("127.0.0.1", wanted_port), handler)
    port = server.socket.getsockname()[1]
    print("PORT %d" % port, flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
