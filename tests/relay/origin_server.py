#!/usr/bin/env python3
"""A loopback HTTP server standing in for a storage server, for the relay's tests.

  origin_server.py FOLDER

Prints "PORT <n>" once it listens, then "REQUEST <method> <raw target> via=<0|1>" for every
request (via=1 when it came through a proxy that says so in a Via header).
Every response has a Content-Length and closes the connection.
  /<file>[?type=T][&gzip=1]  FOLDER/<file>; Content-Type T, else by extension (.m3u8 as a
                       playlist); gzip=1 sends it gzip-compressed (as a body, not an encoding);
                       a Range header (bytes=A-B, A-, -N) gets 206 and Content-Range, or 416
  /redirect/<code>?to=<location>   <code> with that Location (relative or absolute); without
                       "to", the Location is the request's own path, so the redirects never end
  /status/<code>       <code> with the body "status <code>\\n"
  /echo                200, the request's headers as the body, one "name: value" a line
"""
import gzip
import os
import socketserver
import sys
import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler

folder = sys.argv[1]
out_lock = threading.Lock()
TYPES = {".m3u8": "application/vnd.apple.mpegurl", ".ts": "video/mp2t", ".txt": "text/plain"}


def say(line):
    with out_lock:
        sys.stdout.write(line + "\n")
        sys.stdout.flush()


def byte_range(header, size):
    """(first, last) for a single "bytes=" range, None for no range, False when unsatisfiable."""
    if not header or not header.startswith("bytes="):
        return None
    first, _, last = header[6:].partition("-")
    if first == "":
        n = int(last)
        return (max(size - n, 0), size - 1) if n > 0 and size > 0 else False
    first = int(first)
    last = int(last) if last else size - 1
    if first >= size or last < first:
        return False
    return first, min(last, size - 1)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self, code, body=b"", kind="text/plain", extra=()):
        self.send_response(code)
        if kind:
            self.send_header("Content-Type", kind)
        for name, value in extra:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)
        self.close_connection = True

    def do_HEAD(self):
        self.do_GET()

    def do_GET(self):
        say("REQUEST %s %s via=%d" % (self.command, self.path, 1 if self.headers.get("Via") else 0))
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query)
        parts = url.path.split("/")
        if url.path == "/echo":
            body = "".join("%s: %s\n" % (k.lower(), v) for k, v in self.headers.items())
            return self.answer(200, body.encode("latin-1"))
        if len(parts) == 3 and parts[1] == "redirect":
            to = query.get("to", [self.path])[0]
            return self.answer(int(parts[2]), b"moved\n", extra=[("Location", to)])
        if len(parts) == 3 and parts[1] == "status":
            return self.answer(int(parts[2]), ("status %s\n" % parts[2]).encode())
        name = urllib.parse.unquote(url.path.lstrip("/"))
        path = os.path.join(folder, name)
        if ".." in name.split("/") or not os.path.isfile(path):
            return self.answer(404, b"not found\n")
        with open(path, "rb") as f:
            body = f.read()
        if query.get("gzip"):
            body = gzip.compress(body)
        kind = query.get("type", [TYPES.get(os.path.splitext(name)[1], "application/octet-stream")])[0]
        wanted = byte_range(self.headers.get("Range"), len(body))
        if wanted is False:
            return self.answer(416, b"", kind, [("Content-Range", "bytes */%d" % len(body))])
        if wanted:
            first, last = wanted
            return self.answer(206, body[first:last + 1], kind,
                               [("Content-Range", "bytes %d-%d/%d" % (first, last, len(body)))])
        return self.answer(200, body, kind)


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    # socketserver listens with a backlog of 5: a burst of clients beyond it has its connections
    # dropped and retried a second or more later, which a 2 s probe reads as a dead server.
    request_queue_size = 64


server = Server(("127.0.0.1", 0), Handler)
say("PORT %d" % server.server_address[1])
server.serve_forever()
