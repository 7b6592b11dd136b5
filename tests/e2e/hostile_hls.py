"""An HLS server that misbehaves the way real ones do, for the end-to-end tests and benchmarks.

It serves a live HLS folder (the one ffmpeg writes for a demo channel) and can be told, while a
viewer plays from it, to:
  freeze()        stop answering: responses in flight stop mid-body and new requests get no
                  answer, as when the server's process is stopped or a cable is pulled
  drip(rate)      send every segment at `rate` bytes a second, below the stream's bitrate
It can also be made, from the start, to list:
  endless         one segment that never ends, sent as fast as it is taken
  entries=N       a playlist of N entries
  listing=FILE    FILE as its playlist, with PORT replaced by its own port
and to send only the first N bytes of every segment and then hold the connection (stall_after).

Run as a program it serves FOLDER on loopback, prints "PORT <n>", then one line per event:
"REQUEST <path> via=<0|1>" for each request read (via=1 when it came through a proxy that says
so in a Via header) and "HELD <path>" each time freezing leaves a connection hanging ("-" when
its request was not read yet). It takes commands on its standard input, one a line: "freeze",
"drip <bytes a second>"; it ends when its standard input does.
  hostile_hls.py FOLDER [--endless CLIP] [--entries N] [--listing FILE] [--stall-after N]
"""
import argparse
import os
import socket
import socketserver
import sys
import threading
import time


class HostileHls:
    def __init__(self, address, port, folder, endless_source=None, entries=0, listing=None,
                 stall_after=None):
        self.folder = folder
        self.endless_source = endless_source
        self.entries = entries
        self.listing = listing
        self.stall_after = stall_after
        self.frozen = threading.Event()
        self.rate = None
        self.requests = []
        self.on_request = None  # called with (path, headers) for each request read
        self.on_hold = None     # called with the path of each connection left hanging
        self.held = []  # the connections left hanging
        owner = self

        class Handler(socketserver.BaseRequestHandler):
            def handle(self):
                owner._handle(self.request)

        class Server(socketserver.ThreadingTCPServer):
            allow_reuse_address = True
            daemon_threads = True
            request_queue_size = 64

        self.server = Server((address, port), Handler)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def url(self, address):
        return "http://%s:%d/index.m3u8" % (address, self.port)

    def freeze(self):
        self.frozen.set()

    def drip(self, rate):
        self.rate = rate

    def close(self):
        self.server.shutdown()
        self.server.server_close()
        for conn in self.held:
            try:
                conn.close()
            except OSError:
                pass

    # --- serving ------------------------------------------------------------------------------

    def _hold(self, conn, path="-"):
        """Keeps the connection open and says nothing more, for as long as the server lives."""
        self.held.append(conn)
        if self.on_hold:
            self.on_hold(path)
        while True:
            time.sleep(3600)

    def _handle(self, conn):
        data = b""
        while b"\r\n\r\n" not in data:
            if self.frozen.is_set():
                self._hold(conn)
            try:
                chunk = conn.recv(4096)
            except OSError:
                return
            if not chunk:
                return
            data += chunk
        head = data.split(b"\r\n\r\n", 1)[0].decode("latin-1").split("\r\n")
        path = head[0].split(" ")[1]
        self.requests.append(path)
        if self.on_request:
            headers = {}
            for line in head[1:]:
                name, _, value = line.partition(":")
                headers[name.strip().lower()] = value.strip()
            self.on_request(path, headers)
        if self.frozen.is_set():
            self._hold(conn, path)
        name = path.split("?", 1)[0].lstrip("/")
        if name == "index.m3u8":
            body = self._playlist()
            self._send(conn, body, "application/vnd.apple.mpegurl", pace=False, path=path)
        elif name == "endless.ts" and self.endless_source:
            self._send_endless(conn, path)
        else:
            try:
                with open(os.path.join(self.folder, os.path.basename(name)), "rb") as f:
                    body = f.read()
            except OSError:
                self._head(conn, 404, 0, "text/plain")
                return
            self._send(conn, body, "video/mp2t", pace=True, path=path)

    def _playlist(self):
        if self.listing:
            with open(self.listing, "rb") as f:
                return f.read().replace(b"PORT", str(self.port).encode())
        if self.endless_source:
            return ("#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:1\n"
                    "#EXT-X-MEDIA-SEQUENCE:0\n" +
                    "".join("#EXTINF:1.0,\nendless.ts?%d\n" % i for i in range(4))).encode()
        if self.entries:
            lines = ["#EXTM3U", "#EXT-X-VERSION:3", "#EXT-X-TARGETDURATION:1",
                     "#EXT-X-MEDIA-SEQUENCE:0"]
            lines += ["#EXTINF:1.0,\nseg%08d.ts" % i for i in range(self.entries)]
            return ("\n".join(lines) + "\n").encode()
        with open(os.path.join(self.folder, "index.m3u8"), "rb") as f:
            return f.read()

    def _head(self, conn, code, length, kind):
        head = "HTTP/1.1 %d X\r\nContent-Type: %s\r\nConnection: close\r\n" % (code, kind)
        if length is not None:
            head += "Content-Length: %d\r\n" % length
        conn.sendall((head + "\r\n").encode())

    def _send(self, conn, body, kind, pace, path="-"):
        try:
            self._head(conn, 200, len(body), kind)
            sent = 0
            while sent < len(body):
                if self.frozen.is_set() or (pace and self.stall_after is not None and
                                            sent >= self.stall_after):
                    self._hold(conn, path)
                step = 1316
                if pace and self.rate:
                    time.sleep(step / self.rate)
                conn.sendall(body[sent:sent + step])
                sent += step
        except OSError:
            pass
        finally:
            if not self.frozen.is_set():
                conn.close()

    def _send_endless(self, conn, path="-"):
        with open(self.endless_source, "rb") as f:
            clip = f.read()
        clip = clip[:len(clip) // 188 * 188]
        try:
            self._head(conn, 200, None, "video/mp2t")
            sent = 0
            while True:
                if self.frozen.is_set() or (self.stall_after is not None and
                                            sent >= self.stall_after):
                    self._hold(conn, path)
                conn.sendall(clip)
                sent += len(clip)
        except OSError:
            pass
        finally:
            conn.close()


def main(argv):
    parser = argparse.ArgumentParser(description="Serves a live HLS folder, badly on request.")
    parser.add_argument("folder")
    parser.add_argument("--endless", help="a TS clip to send, looped, as a segment without end")
    parser.add_argument("--entries", type=int, default=0, help="list this many entries")
    parser.add_argument("--listing", help="a playlist to serve, PORT standing for the port")
    parser.add_argument("--stall-after", type=int, help="send this much of a segment, then hold")
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args(argv)
    lock = threading.Lock()

    def say(line):
        with lock:
            sys.stdout.write(line + "\n")
            sys.stdout.flush()

    server = HostileHls(args.address, args.port, args.folder, args.endless, args.entries,
                        args.listing, args.stall_after)
    server.on_request = lambda path, headers: say(
        "REQUEST %s via=%d" % (path, 1 if "via" in headers else 0))
    server.on_hold = lambda path: say("HELD " + path)
    say("PORT %d" % server.port)
    for line in sys.stdin:
        command = line.split()
        if command == ["freeze"]:
            server.freeze()
        elif len(command) == 2 and command[0] == "drip":
            server.drip(float(command[1]))
    # Connections held open by a frozen server keep their threads: leave without waiting.
    sys.stdout.flush()
    os._exit(0)


if __name__ == "__main__":
    main(sys.argv[1:])
