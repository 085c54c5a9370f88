#!/usr/bin/python3
"""FTP servers that misbehave, for the login test and the upload checks.

usage: hostileftpserver.py [--host=ADDRESS] MODE

Listens on ADDRESS (default 127.0.0.1; loopback only) on a free port, prints
"PORT <n>" once it accepts connections, serves at most 8 connections and ends
by itself after 60 s. Modes:

  flood-greeting   endless "220-" continuation lines as the greeting
  flood-user       greets, then answers USER with endless "331-" lines
  flood-120        greets, then answers USER with endless "120" replies
  endless-line     greets with one line that never ends
  silent           accepts and never says a word
  drip             sends its greeting one byte a second
  no-line-end      greets with "220 ready" and no line end, then nothing
  cut-data         takes 131072 bytes of an upload, closes the data
                   connection, replies 226
  reset-data       as cut-data, but resets the data connection
  keep-half        takes a whole upload, keeps half of it, replies 226
  no-size          takes a whole upload, keeps it, refuses SIZE
  size-junk        takes a whole upload, keeps half of it, answers SIZE
                   with "213 abc"; size-negative with "213 -1", size-huge
                   with a number past 64 bits, size-multiline with a
                   two-line 213 reply holding the size kept
  mute-after-size  takes a whole upload, keeps it, answers SIZE, then
                   prints "UNANSWERED <command>" for each command after it
                   and says nothing more
  stall            takes 262144 bytes of an upload, prints "READ <n>" and
                   then stops reading without closing anything

A flood ends when the peer goes ("CUT <bytes sent>") or after 20 s or 256 MiB
("DONE <bytes sent>"). An upload mode prints "STORED <name> <bytes kept>".
"""
import socket
import sys
import threading
import time

LIFETIME = 60.0
MAX_CONNECTIONS = 8
FLOOD_SECONDS = 20.0
FLOOD_BYTES = 256 * 1024 * 1024
CUT_AT = 131072
STALL_AT = 262144
# The SIZE replies of the size-* modes ("%d": the bytes kept).
SIZE_REPLIES = {
    "size-junk": "213 abc",
    "size-negative": "213 -1",
    "size-huge": "213 99999999999999999999999",
    "size-multiline": "213-size follows\r\n213 %d",
}


def say(text):
    print(text, flush=True)


def flood(conn, line):
    chunk = line * (65536 // len(line))
    sent = 0
    started = time.monotonic()
    try:
        while time.monotonic() - started < FLOOD_SECONDS and sent < FLOOD_BYTES:
            conn.sendall(chunk)
            sent += len(chunk)
    except OSError:
        say("CUT %d" % sent)
        return
    say("DONE %d" % sent)


def receive_upload(data, limit=None):
    got = bytearray()
    while limit is None or len(got) < limit:
        chunk = data.recv(65536 if limit is None else min(65536, limit - len(got)))
        if not chunk:
            break
        got += chunk
    return bytes(got)


def upload_session(conn, mode):
    f = conn.makefile("rwb", buffering=0)
    files = {}

    def reply(text):
        f.write((text + "\r\n").encode())

    reply("220 upload checker ready")
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
            if mode == "stall":
                say("READ %d" % len(receive_upload(data, STALL_AT)))
                time.sleep(LIFETIME)
                return
            if mode in ("cut-data", "reset-data"):
                kept = receive_upload(data, CUT_AT)
                if mode == "reset-data":
                    data.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            else:
                kept = receive_upload(data)
                if mode == "keep-half" or mode in SIZE_REPLIES:
                    kept = kept[: len(kept) // 2]
            data.close()
            data_addr = None
            files[arg] = len(kept)
            say("STORED %s %d" % (arg, len(kept)))
            reply("226 transfer complete")
        elif command == "SIZE" and mode in SIZE_REPLIES and arg in files:
            reply(SIZE_REPLIES[mode].replace("%d", str(files[arg])))
        elif command == "SIZE" and mode != "no-size" and arg in files:
            reply("213 %d" % files[arg])
            if mode == "mute-after-size":
                while True:
                    line = f.readline()
                    if not line:
                        return
                    say("UNANSWERED %s" % line.decode(errors="replace").strip())
        elif command == "QUIT":
            reply("221 bye")
            return
        else:
            reply("502 not offered")


def session(conn, mode):
    try:
        if mode == "flood-greeting":
            flood(conn, b"220-welcome, and welcome again\r\n")
        elif mode in ("flood-user", "flood-120"):
            conn.sendall(b"220 ready\r\n")
            f = conn.makefile("rb", buffering=0)
            while True:
                line = f.readline()
                if not line:
                    return
                if line.upper().startswith(b"USER"):
                    flood(conn, b"331-tell me more\r\n" if mode == "flood-user" else b"120 wait a moment\r\n")
                    return
                conn.sendall(b"502 not offered\r\n")
        elif mode == "endless-line":
            flood(conn, b"x" * 64)
        elif mode == "drip":
            for byte in b"220 hello, slowly\r\n":
                conn.sendall(bytes([byte]))
                time.sleep(1.0)
        elif mode == "no-line-end":
            conn.sendall(b"220 ready")
        elif mode != "silent":
            upload_session(conn, mode)
            return
        # Hold the connection open, saying nothing more, until the peer goes.
        conn.settimeout(LIFETIME)
        while conn.recv(65536):
            pass
    except OSError:
        pass
    finally:
        conn.close()


def main():
    options = [a for a in sys.argv[1:] if a.startswith("--")]
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    host = "127.0.0.1"
    for option in options:
        if option.startswith("--host="):
            host = option[len("--host="):]
    if host not in ("127.0.0.1", "::1"):
        sys.exit("loopback only")
    mode = args[0]
    server = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind((host, 0))
    server.listen(MAX_CONNECTIONS)
    say("PORT %d" % server.getsockname()[1])
    deadline = time.monotonic() + LIFETIME
    accepted = 0
    while accepted < MAX_CONNECTIONS and time.monotonic() < deadline:
        server.settimeout(max(0.1, deadline - time.monotonic()))
        try:
            conn, _ = server.accept()
        except socket.timeout:
            break
        accepted += 1
        threading.Thread(target=session, args=(conn, mode), daemon=True).start()
    # Open sessions may run on until the lifetime ends.
    while time.monotonic() < deadline and threading.active_count() > 1:
        time.sleep(0.2)


if __name__ == "__main__":
    main()
