#!/usr/bin/env python3
"""Corvessa's benchmarks as a viewer feels them, each against a bare libvlc baseline in the same
run, on the demo network inside the private namespace (scripts/bench.sh runs this).

  zap      click to first picture: multicast and HLS, program and baseline
  startup  process start to the channel window shown; resident memory idle and after 60 s
  jitter   a stream with 20 ms of network jitter: does the picture ever stand still?
  pictures start-up with the sixteen costliest pictures the bounds allow, against the shipped
           ones: to the channel window, to channel 1's and channel 8's pictures; peak memory
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import demo_network as fx  # noqa: E402


centre, address = fx.centre, fx.address


def summary(values):
    ordered = sorted(values)
    p95 = ordered[min(len(ordered) - 1, int(round(0.95 * (len(ordered) - 1))))]
    return {"n": len(values), "first": values[0], "median": statistics.median(values),
            "p95": p95, "max": ordered[-1], "min": ordered[0]}


class Bench:
    def __init__(self, build):
        self.build = build
        self.fixture = fx.Fixture(build)
        self.out = os.path.join(build, "bench")
        os.makedirs(self.out, exist_ok=True)

    def env(self):
        return dict(os.environ, DISPLAY=self.fixture.start_display(), QT_QPA_PLATFORM="xcb",
                    DBUS_SESSION_BUS_ADDRESS="disabled:")

    def launch(self, which, hls, options=()):
        """Starts the program (or the baseline) and waits for its channel window."""
        if which == "program":
            site = self.fixture.site(multicast=not hls)
            args, cwd = [os.path.join(self.build, "quorvel")], site
        else:
            args, cwd = [os.path.join(self.build, "bench", "bare_player"),
                         "hls" if hls else "multicast"] + list(options), None
        process = subprocess.Popen(args, cwd=cwd, env=self.env(), stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, start_new_session=True)
        self.fixture.processes.append(process)
        self.probe("shown", str(time.monotonic_ns()), "Corvessa", "-1", "-1", "20000")
        time.sleep(0.5)  # let start-up work (pictures, libvlc) settle before the first click
        return process

    def probe(self, *args):
        r = subprocess.run([os.path.join(self.build, "bench", "zapprobe")] + list(args),
                           capture_output=True, text=True, env=self.env(), timeout=60)
        if r.returncode != 0:
            raise RuntimeError("zapprobe %s: %s" % (" ".join(args), r.stderr.strip()))
        return float(r.stdout)

    def zaps(self, which, hls, count, options=()):
        process = self.launch(which, hls, options)
        times = []
        for i in range(count):
            channel = i % 8 + 1
            x, y = centre(channel)
            times.append(self.probe("zap", "Corvessa", str(x), str(y),
                                    " - " + address(channel, hls), "15000"))
            time.sleep(0.2)
        process.terminate()
        process.wait(10)
        return times

    def zap(self, count, per_launch=10):
        """Program and baseline take turns, ten zaps a launch, so that any drift in the streams
        or the machine falls on both alike. Each launch's first zap is a first after start-up."""
        self.fixture.start_storage_servers()
        self.fixture.start_multicast()
        self.fixture.start_hls()
        results = {}
        for hls in (False, True):
            stream = "hls" if hls else "multicast"
            samples = {"baseline": [], "program": []}
            firsts = {"baseline": [], "program": []}
            for turn in range(max(1, count // per_launch)):
                order = ("baseline", "program") if turn % 2 == 0 else ("program", "baseline")
                for which in order:
                    times = self.zaps(which, hls, per_launch)
                    firsts[which].append(times[0])
                    samples[which] += times
            for which in ("baseline", "program"):
                s = dict(summary(samples[which]), samples=samples[which],
                         first_after_start=firsts[which], first=max(firsts[which]))
                results["%s/%s" % (stream, which)] = s
                print("%-10s %-9s %s; first after start-up %s ms" % (
                    stream, which, fmt(s), ", ".join("%.0f" % f for f in firsts[which])), flush=True)
            ratio = (results[stream + "/program"]["median"] / results[stream + "/baseline"]["median"])
            results[stream + "/ratio"] = ratio
            print("%-10s program / baseline median: %.3f" % (stream, ratio), flush=True)
        with open(os.path.join(self.out, "zap.json"), "w") as f:
            json.dump(results, f, indent=1)
        return results

    def jitter(self, seconds, jitter_ms):
        """Channel 1 through a relay that adds up to `jitter_ms` of jitter, against channel 2
        sent straight: how often the picture changed and the longest it stood still."""
        self.fixture.spawn([sys.executable, os.path.join(ROOT, "bench", "jitter_relay.py"), "6001",
                            "224.1.1.1", "1234", str(jitter_ms)])
        self.fixture.spawn(["ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-stream_loop", "-1",
                            "-i", self.fixture.clips[1], "-c", "copy", "-f", "mpegts",
                            "udp://127.0.0.1:6001?pkt_size=1316"])
        self.fixture.start_multicast([2])
        process = self.launch("program", hls=False)
        results = {}
        for channel, label in ((1, "%d ms jitter" % jitter_ms), (2, "no jitter")):
            x, y = centre(channel)
            self.fixture.click(self.fixture.windows("Corvessa")[0], x, y)
            title = " - " + address(channel, False)
            player = self.fixture.wait_window(title)
            fx.wait_for(lambda: fx.share_of_picture(self.fixture.screenshot(player)) > 0.5, 20,
                        "the picture")
            r = subprocess.run([os.path.join(self.build, "bench", "zapprobe"), "watch", title,
                                str(seconds)], capture_output=True, text=True, env=self.env())
            changes, longest, stills = r.stdout.split()
            results[label] = {"changes_per_second": int(changes) / seconds,
                              "longest_still_ms": float(longest), "stills_over_150_ms": int(stills)}
            print("%-13s picture changed %.1f times a second; longest still %.0f ms; "
                  "%s stills over 150 ms in %d s" % (label, int(changes) / seconds, float(longest),
                                                     stills, seconds), flush=True)
            self.fixture.key(player, "Escape")
            self.fixture.wait_no_window(title)
        process.terminate()
        process.wait(10)
        with open(os.path.join(self.out, "jitter.json"), "w") as f:
            json.dump(results, f, indent=1)
        return results

    def resident_kb(self, pid, field="VmRSS"):
        for line in open("/proc/%d/status" % pid):
            if line.startswith(field + ":"):
                return int(line.split()[1])
        return 0

    def picture_site(self, label, images):
        site = os.path.join(self.fixture.work, "site-" + label)
        os.makedirs(site, exist_ok=True)
        with open(os.path.join(site, "Quorvel.ini"), "w") as f:
            f.write("[Default]\r\nMutiMode=1\r\n")
        link = os.path.join(site, "images")
        if not os.path.islink(link):
            os.symlink(images, link)
        return site

    def pictures(self, runs):
        """The program started over the sixteen costliest pictures the bounds allow (written by
        bench_pictures) and over the shipped ones: process start to the channel window mapped,
        to channel 1's picture, the first decoded (at 4096 x 4096 it covers the other buttons'
        places too, so it is the only one a pixel can tell); the process's peak and resident
        memory 20 s after start, when all sixteen have long been decoded."""
        worst = os.path.join(self.out, "worst-pictures")
        if not os.path.exists(os.path.join(worst, "channel08-2.jpg")):
            subprocess.run([os.path.join(self.build, "bench", "bench_pictures"), "--write-pictures",
                            worst], check=True, env=dict(os.environ, QT_QPA_PLATFORM="offscreen"))
        results = {}
        for label, images in (("shipped", os.path.join(ROOT, "images")), ("worst", worst)):
            site = self.picture_site(label, images)
            figures = {"window": [], "channel1": [], "peak_kb": [], "rss_kb": []}
            for _ in range(runs):
                t0 = time.monotonic_ns()
                process = subprocess.Popen([os.path.join(self.build, "quorvel")], cwd=site,
                                           env=self.env(), stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL, start_new_session=True)
                self.fixture.processes.append(process)
                figures["window"].append(self.probe("shown", str(t0), "Corvessa", "-1", "-1",
                                                    "20000"))
                x, y = centre(1)
                figures["channel1"].append(self.probe("shown", str(t0), "Corvessa", str(x),
                                                      str(y), "60000"))
                time.sleep(max(0.0, 20 - (time.monotonic_ns() - t0) / 1e9))
                figures["peak_kb"].append(self.resident_kb(process.pid, "VmHWM"))
                figures["rss_kb"].append(self.resident_kb(process.pid))
                process.terminate()
                process.wait(10)
            results[label] = {k: dict(summary(v), samples=v) for k, v in figures.items()}
            print("%-8s window %s; channel 1's picture %s; peak %.0f MB, resident %.0f MB" % (
                label, fmt(results[label]["window"]), fmt(results[label]["channel1"]),
                max(figures["peak_kb"]) / 1024, statistics.median(figures["rss_kb"]) / 1024),
                flush=True)
        with open(os.path.join(self.out, "pictures.json"), "w") as f:
            json.dump(results, f, indent=1)
        return results

    def startup(self, runs, play_seconds):
        self.fixture.start_multicast([1])
        results = {}
        for which in ("baseline", "program"):
            times = []
            for _ in range(runs):
                args = ([os.path.join(self.build, "quorvel")] if which == "program" else
                        [os.path.join(self.build, "bench", "bare_player"), "multicast"])
                cwd = self.fixture.site(multicast=True) if which == "program" else None
                env = self.env()
                t0 = time.monotonic_ns()
                process = subprocess.Popen(args, cwd=cwd, env=env, stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL, start_new_session=True)
                self.fixture.processes.append(process)
                # The program is shown when channel 1's picture is on screen; the baseline has
                # no pictures, so when its window is mapped.
                x, y = ("30", "100") if which == "program" else ("-1", "-1")
                times.append(self.probe("shown", str(t0), "Corvessa", x, y, "20000"))
                idle_rss = None
                if len(times) == runs:
                    time.sleep(2)
                    idle_rss = self.resident_kb(process.pid)
                    x1, y1 = centre(1)
                    subprocess.run(["xdotool", "search", "--name", "^Corvessa$", "mousemove",
                                    "--window", "%1", str(x1), str(y1), "click", "1"], env=env)
                    time.sleep(play_seconds)
                    playing_rss = self.resident_kb(process.pid)
                process.terminate()
                process.wait(10)
            results[which] = dict(summary(times), samples=times, idle_rss_kb=idle_rss,
                                  playing_rss_kb=playing_rss)
            print("%-9s start %s; RSS idle %.1f MB, after %d s playing %.1f MB" % (
                which, fmt(results[which]), idle_rss / 1024, play_seconds, playing_rss / 1024),
                flush=True)
        with open(os.path.join(self.out, "startup.json"), "w") as f:
            json.dump(results, f, indent=1)
        return results


def fmt(s):
    return "median %.0f ms, p95 %.0f, max %.0f (n=%d)" % (s["median"], s["p95"], s["max"], s["n"])


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("what", choices=("zap", "startup", "jitter", "pictures", "try"))
    parser.add_argument("--option", action="append", default=[], dest="options",
                        help="with try: a per-media option for the baseline, e.g. :network-caching=300")
    parser.add_argument("--hls", action="store_true", help="with try: the HLS streams")
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--count", type=int, default=30, help="zaps per series")
    parser.add_argument("--runs", type=int, default=10, help="start-ups per program")
    parser.add_argument("--play", type=int, default=60, help="seconds of playback for memory")
    args = parser.parse_args()
    bench = Bench(args.build)
    try:
        if args.what == "zap":
            bench.zap(args.count)
        elif args.what == "jitter":
            bench.jitter(20, 20)
        elif args.what == "pictures":
            bench.pictures(args.runs)
        elif args.what == "try":
            bench.fixture.start_storage_servers()
            bench.fixture.start_multicast()
            bench.fixture.start_hls()
            print(fmt(summary(bench.zaps("baseline", args.hls, args.count, args.options))))
        else:
            bench.startup(args.runs, args.play)
    finally:
        bench.fixture.stop()


if __name__ == "__main__":
    main()
