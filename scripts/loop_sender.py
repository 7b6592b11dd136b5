#!/usr/bin/env python3
"""Sends an MPEG transport-stream clip endlessly as one unbroken live stream.

  loop_sender.py CLIP HOST:PORT [--offset SECONDS]
      sends CLIP to HOST:PORT (a multicast group, ttl 1) in datagrams of seven packets, paced by
      the clip's PCR, starting SECONDS into it.
  loop_sender.py --check CLIP [--loops N]
      checks what the sender makes of CLIP over N loops, without sending it.
  loop_sender.py --capture HOST:PORT --seconds S
      joins the group for S seconds and checks what arrives.

ffmpeg's -stream_loop starts every loop's timestamps afresh and loses the random-access flag of
the first keyframe of each loop when the clip has B-frames. This sender instead carries the
clip's timeline on: on every loop each PCR, PTS and DTS moves on by the clip's length and each
PID's continuity counter by its packet count, so the stream never jumps back, and every keyframe
keeps the flag the muxer gave it. It changes nothing else.

Timestamps are moved so that the clip's first picture has a presentation time that is a whole
number of clip lengths: picture N of the clip then always has the time N frames after one, and a
tap can tell a picture's number from its timestamp alone.

The clip must hold one program whose video PES carry PTS, be muxed without a delay between the
PCR and the DTS (ffmpeg's -muxdelay 0), and have audio, if any, exactly as long as its video.
"""
import argparse
import socket
import struct
import sys
import time

PACKET = 188
PER_DATAGRAM = 7
TICKS = 90000
WRAP = 1 << 33
PCR_PID_ANY = -1


def read_stamp(b, at):
    """A PES time stamp: 33 bits spread over five bytes around marker bits."""
    return (((b[at] >> 1) & 7) << 30 | b[at + 1] << 22 | (b[at + 2] >> 1) << 15 |
            b[at + 3] << 7 | b[at + 4] >> 1)


def write_stamp(b, at, value):
    value %= WRAP
    b[at] = (b[at] & 0xF0) | ((value >> 29) & 0x0E) | 1
    b[at + 1] = (value >> 22) & 0xFF
    b[at + 2] = ((value >> 14) & 0xFE) | 1
    b[at + 3] = (value >> 7) & 0xFF
    b[at + 4] = ((value << 1) & 0xFE) | 1


def read_pcr(b, at):
    """The 33-bit base of a PCR (90 kHz); the 27 MHz extension is left as it is."""
    return b[at] << 25 | b[at + 1] << 17 | b[at + 2] << 9 | b[at + 3] << 1 | b[at + 4] >> 7


def write_pcr(b, at, base):
    base %= WRAP
    b[at] = (base >> 25) & 0xFF
    b[at + 1] = (base >> 17) & 0xFF
    b[at + 2] = (base >> 9) & 0xFF
    b[at + 3] = (base >> 1) & 0xFF
    b[at + 4] = ((base << 7) & 0x80) | (b[at + 4] & 0x7F)


class Packet:
    """What one packet carries that the sender or the check cares about."""
    __slots__ = ("pid", "payload", "start", "counter", "random_access", "discontinuity", "pcr_at",
                 "pts_at", "dts_at", "payload_at")

    def __init__(self, b, base):
        if b[base] != 0x47:
            raise ValueError("lost sync at byte %d" % base)
        self.pid = (b[base + 1] & 0x1F) << 8 | b[base + 2]
        control = (b[base + 3] >> 4) & 3
        self.payload = bool(control & 1)
        self.start = bool(b[base + 1] & 0x40) and self.payload
        self.counter = b[base + 3] & 0x0F
        self.random_access = self.discontinuity = False
        self.pcr_at = self.pts_at = self.dts_at = None
        at = base + 4
        if control & 2:
            length = b[at]
            if length > 0:
                flags = b[at + 1]
                self.discontinuity = bool(flags & 0x80)
                self.random_access = bool(flags & 0x40)
                if flags & 0x10 and length >= 7:
                    self.pcr_at = at + 2
            at += 1 + length
        self.payload_at = at
        end = base + PACKET
        if self.start and at + 9 <= end and b[at:at + 3] == b"\0\0\1":
            flags = b[at + 7] >> 6
            if flags & 2 and at + 14 <= end:
                self.pts_at = at + 9
            if flags == 3 and at + 19 <= end:
                self.dts_at = at + 14


def parse(data):
    if len(data) % PACKET:
        raise ValueError("not a whole number of %d-byte packets" % PACKET)
    return [Packet(data, i) for i in range(0, len(data), PACKET)]


def video_pid(data, packets):
    """The PID of the first H.264, H.265 or MPEG-2 video stream of the first PMT."""
    pmt_pid = None
    for p in packets:
        if p.pid == 0 and p.start:
            at = p.payload_at + 1 + data[p.payload_at]
            pmt_pid = (data[at + 10] & 0x1F) << 8 | data[at + 11]
            break
    for p in packets:
        if p.pid == pmt_pid and p.start:
            at = p.payload_at + 1 + data[p.payload_at]
            length = (data[at + 1] & 0x0F) << 8 | data[at + 2]
            end = at + 3 + length - 4
            at += 12 + ((data[at + 10] & 0x0F) << 8 | data[at + 11])
            while at + 5 <= end:
                kind, pid = data[at], (data[at + 1] & 0x1F) << 8 | data[at + 2]
                if kind in (0x02, 0x1B, 0x24):
                    return pid, kind
                at += 5 + ((data[at + 3] & 0x0F) << 8 | data[at + 4])
    raise ValueError("no video stream in the clip's PMT")


class Clip:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = bytes(f.read())
        self.packets = parse(self.data)
        self.video, self.codec = video_pid(self.data, self.packets)
        pts = sorted({read_stamp(self.data, p.pts_at) for p in self.packets
                      if p.pid == self.video and p.pts_at is not None})
        if len(pts) < 2:
            raise ValueError("the clip's video has fewer than two pictures")
        self.frame_ticks = min(b - a for a, b in zip(pts, pts[1:]))
        # One loop lasts the clip's pictures, the last one included.
        self.length = pts[-1] - pts[0] + self.frame_ticks
        self.pictures = self.length // self.frame_ticks
        # Moved so that the clip's first picture falls on a whole number of loops.
        self.shift = (-pts[0]) % self.length
        self.counts = {}
        for p in self.packets:
            if p.payload:
                self.counts[p.pid] = self.counts.get(p.pid, 0) + 1
        # Pacing: the clip's packets at the times their PCR says, each packet between two PCRs
        # that differ at its share of the time between them.
        knots = []
        for i, p in enumerate(self.packets):
            if p.pcr_at is not None:
                value = read_pcr(self.data, p.pcr_at)
                if not knots or value > knots[-1][1]:
                    knots.append((i, value))
        if len(knots) < 2:
            raise ValueError("the clip carries fewer than two PCRs")
        self.first_pcr = knots[0][1]
        knots.append((len(self.packets) + knots[0][0], knots[0][1] + self.length))
        self.times = [0.0] * len(self.packets)
        for (i0, v0), (i1, v1) in zip(knots, knots[1:]):
            for i in range(i0, i1):
                self.times[i % len(self.packets)] = ((v0 + (v1 - v0) * (i - i0) / (i1 - i0) -
                                                      self.first_pcr) / TICKS)
        # Packets before the first PCR belong to the end of the previous loop.
        for i in range(knots[0][0]):
            self.times[i] -= self.length / TICKS

    @property
    def seconds(self):
        return self.length / TICKS

    def loop(self, k):
        """The clip's bytes as its k-th loop (from 0): timestamps and counters carried on."""
        b = bytearray(self.data)
        move = self.shift + k * self.length
        for i, p in enumerate(self.packets):
            base = i * PACKET
            if p.pcr_at is not None:
                write_pcr(b, p.pcr_at, read_pcr(b, p.pcr_at) + move)
            if p.pts_at is not None:
                write_stamp(b, p.pts_at, read_stamp(b, p.pts_at) + move)
            if p.dts_at is not None:
                write_stamp(b, p.dts_at, read_stamp(b, p.dts_at) + move)
            step = (k * self.counts.get(p.pid, 0)) % 16
            if step:
                b[base + 3] = (b[base + 3] & 0xF0) | ((p.counter + step) & 0x0F)
        return bytes(b)


def send(clip, host, port, offset):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4 << 20)
    count = len(clip.packets)
    start = 0
    while start < count and clip.times[start] < offset:
        start += PER_DATAGRAM
    start = min(start, count - 1)
    origin = time.monotonic() - clip.times[start]
    k = 0
    data = clip.loop(0)
    following = clip.loop(1)
    i = start
    while True:
        due = origin + k * clip.seconds + clip.times[i]
        wait = due - time.monotonic()
        if wait > 0:
            time.sleep(wait)
        end = min(i + PER_DATAGRAM, count)
        sock.sendto(data[i * PACKET:end * PACKET], (host, port))
        i = end
        if i == count:
            k += 1
            i = 0
            data = following
            following = clip.loop(k + 1)


# --- the check -----------------------------------------------------------------------------------

def keyframe_in(payload, codec):
    """Whether a PES payload holds a picture a decoder can start from."""
    at = 0
    while True:
        at = payload.find(b"\0\0\1", at)
        if at < 0 or at + 3 >= len(payload):
            return False
        code = payload[at + 3]
        if codec == 0x1B and code & 0x1F == 5:
            return True
        if codec == 0x24 and 16 <= (code >> 1) & 0x3F <= 21:
            return True
        if codec == 0x02 and code == 0xB3:
            return True
        at += 3


def check(data):
    """What a receiver would find wrong with a stream: keyframes without the random-access flag,
    the flag on other pictures, timestamps that do not move on by one picture at a time (decode
    order), continuity counters that skip. Returns a summary with a list of problems."""
    packets = parse(data)
    video, codec = video_pid(data, packets)
    problems = []
    last_counter = {}
    pes = []  # [random-access flag, dts, payload]
    last_pcr = None
    for i, p in enumerate(packets):
        if p.payload and not p.discontinuity:
            before = last_counter.get(p.pid)
            if before is not None and p.counter != (before + 1) % 16:
                problems.append("PID %d: continuity %d after %d at packet %d" % (
                    p.pid, p.counter, before, i))
        if p.payload:
            last_counter[p.pid] = p.counter
        if p.pcr_at is not None:
            pcr = read_pcr(data, p.pcr_at)
            if last_pcr is not None and (pcr - last_pcr) % WRAP > TICKS:
                problems.append("PCR jumps from %d to %d at packet %d" % (last_pcr, pcr, i))
            last_pcr = pcr
        if p.pid != video:
            continue
        if p.start:
            stamp = p.dts_at if p.dts_at is not None else p.pts_at
            pes.append([p.random_access, read_stamp(data, stamp) if stamp else None,
                        bytearray()])
        elif p.random_access and pes:
            pes[-1][0] = True
        if pes:
            if p.payload:
                pes[-1][2] += data[p.payload_at:(i + 1) * PACKET]
    keyframes = flagged = 0
    steps = set()
    # The last PES may be cut short by the capture's end.
    for n, (flag, dts, payload) in enumerate(pes[:-1]):
        key = keyframe_in(bytes(payload), codec)
        keyframes += key
        flagged += flag
        if key and not flag:
            problems.append("keyframe without the random-access flag (picture %d)" % n)
        if flag and not key:
            problems.append("random-access flag on a picture that is no keyframe (%d)" % n)
        if n > 0 and dts is not None and pes[n - 1][1] is not None:
            steps.add((dts - pes[n - 1][1]) % WRAP)
    if len(steps) > 1:
        problems.append("decode times move by %s ticks, not by one picture" % sorted(steps))
    return {"pictures": max(len(pes) - 1, 0), "keyframes": keyframes, "flagged": flagged,
            "problems": problems}


def capture(host, port, seconds):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    sock.bind((host, port))
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                    struct.pack("4s4s", socket.inet_aton(host), socket.inet_aton("0.0.0.0")))
    sock.settimeout(1.0)
    chunks = []
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            chunks.append(sock.recv(65536))
        except socket.timeout:
            continue
    sock.close()
    data = b"".join(chunks)
    # Start at the first PAT, so that the PMT is known before the video.
    first = next((i for i in range(0, len(data), PACKET)
                  if data[i + 1] & 0x5F == 0x40 and data[i + 2] == 0), 0)
    return data[first:]


def address_of(text):
    host, _, port = text.rpartition(":")
    return host.lstrip("@"), int(port)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("clip", nargs="?")
    parser.add_argument("address", nargs="?", help="HOST:PORT")
    parser.add_argument("--offset", type=float, default=0.0,
                        help="seconds into the clip to start from")
    parser.add_argument("--check", action="store_true", help="check the loops; send nothing")
    parser.add_argument("--loops", type=int, default=3)
    parser.add_argument("--capture", metavar="HOST:PORT", help="check what a group carries")
    parser.add_argument("--seconds", type=float, default=10)
    args = parser.parse_args(argv)
    if args.capture:
        result = check(capture(*address_of(args.capture), args.seconds))
    elif args.check:
        clip = Clip(args.clip)
        result = check(b"".join(clip.loop(k) for k in range(args.loops)))
    else:
        if not args.clip or not args.address:
            parser.error("CLIP and HOST:PORT are needed to send")
        clip = Clip(args.clip)
        try:
            send(clip, *address_of(args.address), args.offset % clip.seconds)
        except KeyboardInterrupt:
            return 0
        return 0
    print("%d pictures, %d keyframes, %d flagged; %s" % (
        result["pictures"], result["keyframes"], result["flagged"],
        "; ".join(result["problems"][:5]) or "no problems"))
    return 1 if result["problems"] else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
