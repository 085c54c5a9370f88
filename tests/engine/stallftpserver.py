#!/usr/bin/python3
"""FTP servers that hang, for the upload queue's time limits.

usage: stallftpserver.py stall|silent [READ_BYTES]

Listens on 127.0.0.1 on a free port and prints "PORT <n>" once it accepts
connections. "stall" logs anyone in, accepts STOR over an active data
connection, reads READ_BYTES (default 262144) of the upload, prints
"READ <n>" and then stops reading without closing anything. "silent" accepts
connections and never says a word. Serves until it is killed.
"""
import socket
import sys
import threading
import time


def hold_forever(*sockets):
    while True:
        time.sleep(3600)


def stall_session(conn, read_bytes):
    f = conn.makefile("rwb", buffering=0)

    def reply(text):
        f.write((text + "\r\n").encode())

    reply("220 stall server ready")
    data_addr = None
    while True:
        line = f.readline()
        if not line:
            return
        command, _, arg = line.decode(errors="replace").strip().partition(" ")
        command = command.upper()
        if command == "USER":
            reply("331 password please")
        elif command == "PASS":
            reply("230 logged in")
        elif command == "PWD":
            reply('257 "/"')
        elif command in ("TYPE", "CWD", "MODE", "STRU"):
            reply("200 ok")
        elif command == "EPRT":
            parts = arg.split(arg[0])
            data_addr = (parts[2], int(parts[3]))
            reply("200 EPRT ok")
        elif command == "PORT":
            n = [int(x) for x in arg.split(",")]
            data_addr = ("%d.%d.%d.%d" % tuple(n[:4]), n[4] * 256 + n[5])
            reply("200 PORT ok")
        elif command == "STOR" and data_addr:
            reply("150 send it")
            data = socket.create_connection(data_addr)
            got = 0
            while got < read_bytes:
                chunk = data.recv(min(65536, read_bytes - got))
                if not chunk:
                    break
                got += len(chunk)
            print("READ %d" % got, flush=True)
            hold_forever(data, conn)
        else:
            reply("502 not offered")


def main():
    mode = sys.argv[1]
    read_bytes = int(sys.argv[2]) if len(sys.argv) > 2 else 262144
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", 0))
    server.listen(8)
    print("PORT %d" % server.getsockname()[1], flush=True)
    held = []
    while True:
        conn, _ = server.accept()
        if mode == "silent":
            held.append(conn)
        else:
            threading.Thread(target=stall_session, args=(conn, read_bytes), daemon=True).start()


if __name__ == "__main__":
    main()
