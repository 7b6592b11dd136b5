#!/usr/bin/env python3
"""Corvessa against storage servers that misbehave, measured as a viewer would see it, inside the
private namespace (scripts/bench.sh stuck runs this):

  close     a server stops answering mid-play; once the player has been let go by the stall
            watch, how long Escape takes to close the window, and the program to end
  endless   a segment that never ends: the program's resident memory over --seconds
  playlist  a playlist of 3,000,000 entries: the program's resident memory over --seconds

Results go to build/bench/stuck.json.
"""
import argparse
import json
import os
import statistics
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import demo_network as fx  # noqa: E402
from hostile_hls import HostileHls  # noqa: E402


def resident_mb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


class Run:
    """One program on the demo network with channel 4 served by a hostile server."""

    def __init__(self, build, **hostile):
        self.fixture = fx.Fixture(build)
        f = self.fixture
        f.start_storage_servers()
        f.start_hls([4])
        folder = os.path.join(f.www[1], "hls", "ch4")
        if hostile.pop("endless", False):
            hostile["endless_source"] = f.clips[4]
        self.server = HostileHls(fx.SERVERS[1], 8081, folder, **hostile)
        self.url = self.server.url(fx.SERVERS[1])
        listing = os.path.join(f.www[1], "hls", "storage_tasks.json")
        with open(listing, "rb") as file:
            text = file.read().replace(b"http://192.168.10.11/hls/ch4/index.m3u8",
                                       self.url.encode())
        with open(listing, "wb") as file:
            file.write(text)
        self.app = f.start_program(False)
        f.click(f.channel_window, *fx.centre(4))
        self.player = f.wait_window(" - " + self.url)

    def close(self):
        self.server.close()
        self.fixture.stop()


def measure_close(build, runs):
    closes, exits = [], []
    for _ in range(runs):
        run = Run(build)
        f = run.fixture
        try:
            fx.wait_for(lambda: fx.share_of_picture(f.screenshot(run.player)) > 0.5, 30,
                        "the picture")
            run.server.freeze()
            fx.wait_for(lambda: fx.share_of_colour(f.screenshot(run.player), fx.BACKGROUND)
                        > 0.9, 20, "the stalled player to be let go")
            f.xdo("windowfocus", "--sync", run.player)
            t0 = time.monotonic()
            f.xdo("key", "Escape")
            fx.wait_for(lambda: run.player not in f.windows(), 10, "the close", interval=0.005)
            closes.append((time.monotonic() - t0) * 1000)
            f.xdo("windowfocus", "--sync", f.channel_window)
            t0 = time.monotonic()
            f.xdo("key", "Escape")
            run.app.wait(10)
            exits.append((time.monotonic() - t0) * 1000)
        finally:
            run.close()
        print("close %.0f ms, exit %.0f ms" % (closes[-1], exits[-1]), flush=True)
    return {"close_ms": closes, "exit_ms": exits, "close_median_ms": statistics.median(closes),
            "close_max_ms": max(closes), "exit_median_ms": statistics.median(exits),
            "exit_max_ms": max(exits)}


def measure_memory(build, seconds, **hostile):
    run = Run(build, **hostile)
    samples = []
    try:
        start = time.monotonic()
        while time.monotonic() - start < seconds:
            samples.append(round(resident_mb(run.app.pid), 1))
            time.sleep(1)
        alive = run.app.poll() is None
    finally:
        run.close()
    print("resident memory over %d s: start %.0f MB, peak %.0f MB, end %.0f MB; %s" % (
        seconds, samples[0], max(samples), samples[-1],
        "still running" if alive else "the program ended"), flush=True)
    return {"samples_mb": samples, "peak_mb": max(samples), "end_mb": samples[-1],
            "still_running": alive}


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("what", nargs="*", help="close, endless, playlist (default: all three)")
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--runs", type=int, default=5, help="with close: how many times")
    parser.add_argument("--seconds", type=int, default=60, help="with endless and playlist")
    args = parser.parse_args()
    unknown = set(args.what) - {"close", "endless", "playlist"}
    if unknown:
        parser.error("unknown: " + ", ".join(sorted(unknown)))
    results = {}
    for what in args.what or ["close", "endless", "playlist"]:
        print("== " + what, flush=True)
        if what == "close":
            results[what] = measure_close(args.build, args.runs)
        elif what == "endless":
            results[what] = measure_memory(args.build, args.seconds, endless=True)
        else:
            results[what] = measure_memory(args.build, args.seconds, entries=3000000)
    out = os.path.join(args.build, "bench")
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "stuck.json"), "w") as f:
        json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
