#!/usr/bin/env python3
"""Relays a UDP stream to a multicast group, delaying every packet by a random 0 to JITTER ms
while keeping their order, as a busy LAN switch might.

  jitter_relay.py LISTEN-PORT GROUP PORT JITTER-MS
"""
import heapq
import random
import socket
import sys
import threading
import time

listen_port, group, port, jitter = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), float(sys.argv[4])
inbound = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
inbound.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
inbound.bind(("127.0.0.1", listen_port))
outbound = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
outbound.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)

queue = []
ready = threading.Condition()
sequence = 0
last_due = 0.0


def send():
    while True:
        with ready:
            while not queue:
                ready.wait()
            due, _, packet = queue[0]
            wait = due - time.monotonic()
            if wait > 0:
                ready.wait(wait)
                continue
            heapq.heappop(queue)
        outbound.sendto(packet, (group, port))


threading.Thread(target=send, daemon=True).start()
while True:
    packet = inbound.recv(65536)
    # Each packet leaves after a random delay, never before the one ahead of it.
    due = max(time.monotonic() + random.uniform(0, jitter / 1000.0), last_due)
    last_due = due
    with ready:
        heapq.heappush(queue, (due, sequence, packet))
        sequence += 1
        ready.notify()
