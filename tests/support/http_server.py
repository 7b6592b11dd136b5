#!/usr/bin/env python3
"""A loopback HTTP server with the faults a storage server can show.

Prints "PORT <n>" once it listens, then "REQUEST <method> <path>" for every request it reads.
Modes:
  serve FILE          200 with FILE's bytes (Content-Length set)
  status CODE FILE    CODE with FILE's bytes
  reset N FILE        headers promising FILE, N bytes of it, then a TCP reset
  stall N FILE        headers promising FILE, N bytes of it, then silence until killed
  endless             200 without Content-Length and bytes forever, as fast as they are taken
  trickle             200 and one byte every 0.2 s, forever
  silent              accept, read the request, never answer
  close               accept and close at once, before reading anything
"""
import socket
import socketserver
import struct
import sys
import threading
import time

mode = sys.argv[1]
args = sys.argv[2:]
host = "127.0.0.1"
port = 0
if "--bind" in args:
    i = args.index("--bind")
    host, port = args[i + 1], int(args[i + 2])
    del args[i:i + 3]
out_lock = threading.Lock()


def say(line):
    with out_lock:
        sys.stdout.write(line + "\n")
        sys.stdout.flush()


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


class Handler(socketserver.BaseRequestHandler):
    def read_request(self):
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = self.request.recv(4096)
            if not chunk:
                return None
            data += chunk
        line = data.split(b"\r\n", 1)[0].decode("latin-1")
        parts = line.split(" ")
        say("REQUEST %s %s" % (parts[0], parts[1] if len(parts) > 1 else ""))
        return line

    def headers(self, code, length=None):
        h = "HTTP/1.1 %d X\r\nContent-Type: application/json\r\nConnection: close\r\n" % code
        if length is not None:
            h += "Content-Length: %d\r\n" % length
        return (h + "\r\n").encode()

    def handle(self):
        s = self.request
        if mode == "close":
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            return
        if self.read_request() is None:
            return
        try:
            if mode == "serve":
                body = read_file(args[0])
                s.sendall(self.headers(200, len(body)) + body)
            elif mode == "status":
                body = read_file(args[1])
                s.sendall(self.headers(int(args[0]), len(body)) + body)
            elif mode in ("reset", "stall"):
                n, body = int(args[0]), read_file(args[1])
                s.sendall(self.headers(200, len(body)) + body[:n])
                if mode == "reset":
                    time.sleep(0.1)
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    return
                while True:
                    time.sleep(1)
            elif mode == "endless":
                s.sendall(self.headers(200))
                chunk = b"x" * 65536
                while True:
                    s.sendall(chunk)
            elif mode == "trickle":
                s.sendall(self.headers(200))
                while True:
                    s.sendall(b"x")
                    time.sleep(0.2)
            elif mode == "silent":
                while s.recv(4096):
                    pass
        except OSError:
            pass


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    # socketserver listens with a backlog of 5: a burst of clients beyond it has its connections
    # dropped and retried a second or more later, which a 2 s probe reads as a dead server.
    request_queue_size = 64


server = Server((host, port), Handler)
say("PORT %d" % server.server_address[1])
server.serve_forever()
