#!/usr/bin/env python3
"""Corvessa's benchmarks as a viewer feels them, on the demo network inside the private namespace
(scripts/bench.sh runs this). docs/performance.md explains the method and holds the figures.

  zap      click to first picture, multicast and HLS: the program and a bare libvlc baseline,
           each on its own display, taking turns click by click. --rest MS (or MIN-MAX): the
           pointer rests on the button that long (random in the range) before the click.
  live     after a click on a multicast channel: first picture, when motion becomes smooth, how
           far behind live the picture runs, and libvlc's "too late" messages (from --verbose)
  cpu      the program idle in multicast mode with eight senders: its CPU, fast channel change
           on against FastChannelChange=0, taking turns
  warmup   the program against another build of it (--other, e.g. one without the warm-up):
           idle memory and the first zap after start-up, taking turns
  startup  process start to the channel window shown; resident memory idle and after 60 s
  fallback a multicast channel's group falls silent mid-play and comes back: to the storage
           stream's picture, back to the group, the stand-still at each change; the program
           with its fallback against Fallback=0, taking turns (--rounds)
  jitter   a stream with 20 ms of network jitter: does the picture ever stand still?
  pictures start-up with the sixteen costliest pictures the bounds allow, against the shipped
           ones: to the channel window, to channel 1's and channel 8's pictures; peak memory
  play     the cost of playing one multicast channel: the program and bare libvlc (its own video
           output, the same options), taking turns in random order, in the window and in full
           screen, per stream; CPU of the whole process, resident memory, libvlc's counters of
           pictures decoded, shown and lost (--stats-seconds: one long run each at the end)

Every moment that could fall in step with the streams is random: the senders start at random
offsets over a whole clip (so channels' keyframes and loop points are spread), and every click
comes after a random wait spread over two keyframe intervals. --seed repeats a run's choices.
"""
import argparse
import bisect
import json
import math
import os
import random
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import demo_network as fx  # noqa: E402


centre, address = fx.centre, fx.address
CLIP_SECONDS = fx.CLIP_FRAMES / fx.FRAME_RATE
FRAME_TICKS = 90000 // fx.FRAME_RATE
# The picture stands still for longer than this: no longer smooth motion (2.5 frames).
STILL_MS = 100
# Pictures a B-frame stream may send ahead of their turn to be shown (x264's pyramids reorder up
# to four).
REORDER_FRAMES = 8
# libvlc's messages that say pictures came too late for their time, or the clock slipped.
LATE_MESSAGES = ("picture is too late to be displayed", "picture might be displayed late",
                 "is called too late", "late video", "late frames")


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(share * (len(ordered) - 1))))]


def summary(values):
    ordered = sorted(values)
    return {"n": len(values), "median": statistics.median(values),
            "p95": percentile(values, 0.95), "max": ordered[-1], "min": ordered[0]}


def fmt(s):
    return "median %.0f ms, p95 %.0f, max %.0f, min %.0f (n=%d)" % (
        s["median"], s["p95"], s["max"], s["min"], s["n"])


def parse_rest(text):
    """"0", "300" or "150-600": the range (in ms) the pointer's rest is drawn from."""
    low, _, high = text.partition("-")
    return int(low), int(high or low)


class Running:
    """A program or the baseline started on a display."""

    def __init__(self, which, process, display):
        self.which, self.process, self.display = which, process, display

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


class Tap:
    """bench_tap on some channels: when each of their pictures arrived from the network."""

    def __init__(self, bench, channels):
        self.site_like = bench.fixture.site_like
        self.path = os.path.join(bench.out, "tap-%d.txt" % os.getpid())
        self.file = open(self.path, "w")
        self.process = bench.fixture.spawn(
            [os.path.join(bench.build, "bench", "bench_tap")] + [str(c) for c in channels],
            stdout=self.file)

    def arrivals(self):
        """Per channel: [(arrival_ns, frame number in the clip, keyframe)] in arrival order."""
        self.file.flush()
        per_channel = {}
        with open(self.path) as f:
            for line in f:
                parts = line.split()
                if len(parts) != 5:
                    continue
                channel, arrival, stamp, key, pts = (int(p) for p in parts)
                per_channel.setdefault(channel, []).append((arrival, stamp, key == 1, pts))
        if self.site_like:
            return {channel: self.site_numbers(rows) for channel, rows in per_channel.items()}
        out = {}
        for channel, rows in per_channel.items():
            numbered = self.demo_numbers(channel, [(a, s, k) for a, s, k, _ in rows])
            if numbered is not None:
                out[channel] = numbered
        return out

    @staticmethod
    def site_numbers(rows):
        """scripts/loop_sender.py moves a site-like clip's timeline so that its first picture is
        presented at a whole number of clip lengths: a picture's number is its presentation time
        within the clip. (With B-frames the pictures come in decode order.)"""
        length = fx.SITE_CLIP_SECONDS * 90000
        return [(a, (pts % length) // FRAME_TICKS, k) for a, _, k, pts in rows if pts >= 0]

    @staticmethod
    def demo_numbers(channel, rows):
        """The demo clips carry no B-frames and are sent in a loop that starts each loop's
        timestamps afresh, so a frame's number is its count of frames since the loop began,
        modulo the clip's length; a loop begins with the keyframe that follows the clip's last,
        short group of pictures (100 frames, a keyframe every 12: the last group has 4)."""
        first = rows[0][1]
        indexed = [(a, round(((s - first) & ((1 << 33) - 1)) / FRAME_TICKS), k) for a, s, k in rows]
        keys = [i for _, i, k in indexed if k]
        short = fx.CLIP_FRAMES % fx.KEYFRAME_FRAMES
        starts = [b for a, b in zip(keys, keys[1:]) if b - a == short]
        if not starts:
            return None
        start = starts[0]
        if any((i - start) % fx.CLIP_FRAMES % fx.KEYFRAME_FRAMES for i in keys):
            raise RuntimeError("channel %d: keyframes off the clip's pattern; cannot number "
                               "its frames" % channel)
        return [(a, (i - start) % fx.CLIP_FRAMES, k) for a, i, k in indexed]

    def keyframe_check(self):
        """Site-like channels: whether every keyframe the tap saw came flagged exactly one
        keyframe interval after the last (a keyframe without its random-access flag, or one
        missing, shows as a longer gap)."""
        seen = regular = 0  # pairs of successive keyframes, and those one interval apart
        for channel, rows in self.arrivals().items():
            interval = fx.SITE_PROFILES[fx.site_profile(channel)]["keyframe_frames"]
            clip = fx.SITE_CLIP_SECONDS * fx.FRAME_RATE
            keys = [n for _, n, k in rows if k]
            seen += max(len(keys) - 1, 0)
            regular += sum(1 for a, b in zip(keys, keys[1:]) if (b - a) % clip == interval)
        return seen, regular

    def stop(self):
        self.process.terminate()
        self.process.wait(10)
        self.file.close()


class Bench:
    def __init__(self, build, seed, site_like=False):
        self.build = os.path.abspath(build)
        self.fixture = fx.Fixture(build, site_like=site_like)
        self.site_like = site_like
        self.clip_frames = fx.SITE_CLIP_SECONDS * fx.FRAME_RATE if site_like else fx.CLIP_FRAMES
        self.out = os.path.join(self.build, "bench")
        os.makedirs(self.out, exist_ok=True)
        self.seed = seed
        self.rng = random.Random(seed)
        print("seed %d" % seed, flush=True)

    def env(self, display):
        return dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb",
                    DBUS_SESSION_BUS_ADDRESS="disabled:")

    def start_network(self, hls=True):
        """The storage servers, and every channel on multicast (and HLS), each sender starting
        at a random moment of a whole clip."""
        self.fixture.start_storage_servers()
        self.fixture.start_multicast(stagger=CLIP_SECONDS, rng=self.rng)
        if hls:
            self.fixture.start_hls(stagger=CLIP_SECONDS, rng=self.rng)
        if self.site_like:
            # The senders start at once, each at a random moment of its clip; two keyframe
            # intervals and every receiver has a group.
            time.sleep(2 * self.keyframe_interval(5) + 1)
        else:
            time.sleep(CLIP_SECONDS + 1)  # every sender has started, and the receivers have a group

    def keyframe_interval(self, channel):
        """Seconds between the keyframes of a channel's stream."""
        if self.site_like:
            return fx.SITE_PROFILES[fx.site_profile(channel)]["keyframe_frames"] / fx.FRAME_RATE
        return fx.KEYFRAME_INTERVAL

    def kind(self, channel):
        """What a channel carries, for figures given per kind: a site-like profile, or "demo"."""
        return fx.site_profile(channel) if self.site_like else "demo"

    def launch(self, which, hls, display, program=None, settings=None, args=(), stderr=None,
               settle=0.5):
        """Starts the program (or the baseline) on `display` and waits for its channel window."""
        if which == "baseline":
            argv, cwd = [os.path.join(self.build, "bench", "bare_player"),
                         "hls" if hls else "multicast"] + list(args), None
        else:
            argv = [program or os.path.join(self.build, "quorvel")] + list(args)
            cwd = self.fixture.site(multicast=not hls, settings=settings)
        process = subprocess.Popen(argv, cwd=cwd, env=self.env(display), stdout=subprocess.DEVNULL,
                                   stderr=stderr or subprocess.DEVNULL, start_new_session=True)
        self.fixture.processes.append(process)
        self.probe(display, "shown", str(time.monotonic_ns()), "Corvessa", "-1", "-1", "20000")
        time.sleep(settle)  # let start-up work (pictures, libvlc) settle before the first click
        return Running(which, process, display)

    def probe(self, display, *args):
        r = subprocess.run([os.path.join(self.build, "bench", "zapprobe")] + [str(a) for a in args],
                           capture_output=True, text=True, env=self.env(display), timeout=60)
        if r.returncode != 0:
            raise RuntimeError("zapprobe %s: %s" % (" ".join(map(str, args)), r.stderr.strip()))
        return r.stdout

    def random_wait(self, channel):
        """A wait before a click spread over two keyframe intervals of the channel clicked, so
        that clicks fall at every moment of the streams' keyframe cycle alike."""
        time.sleep(0.3 + self.rng.uniform(0, 2 * self.keyframe_interval(channel)))

    def zap_once(self, running, channel, hls, rest=(0, 0), follow=0.0):
        self.random_wait(channel)
        rest_ms = self.rng.randint(*rest) if rest[1] > 0 else 0
        x, y = centre(channel)
        result = json.loads(self.probe(running.display, "zap", "Corvessa", x, y,
                                       " - " + address(channel, hls), 15000, rest_ms, follow))
        result.update(channel=channel, rest_ms=rest_ms, load=os.getloadavg()[0])
        return result

    def channels(self):
        """Channels in random order, every channel once in each eight."""
        while True:
            order = list(range(1, 9))
            self.rng.shuffle(order)
            yield from order

    # --- zap -----------------------------------------------------------------------------------

    def zap(self, count, rest, per_launch=10, streams=("multicast", "hls")):
        """Program and baseline run side by side, each on its own display, and take turns click
        by click (which goes first in a pair is random), on the same channel, so that drift in
        the streams or the machine falls on both alike. Both are started again every
        `per_launch` clicks: each launch's first click is a first after start-up, and counts."""
        self.start_network(hls="hls" in streams)
        tap = Tap(self, range(1, 9))
        displays = {"program": self.fixture.start_display(), "baseline": self.fixture.new_display()}
        results = {"seed": self.seed, "rest_ms": list(rest)}
        channels = self.channels()
        try:
            for stream in streams:
                hls = stream == "hls"
                samples = {"baseline": [], "program": []}
                for turn in range(math.ceil(count / per_launch)):
                    order = ["baseline", "program"]
                    self.rng.shuffle(order)
                    running = {w: self.launch(w, hls, displays[w]) for w in order}
                    for i in range(min(per_launch, count - turn * per_launch)):
                        channel = next(channels)
                        self.rng.shuffle(order)
                        for which in order:
                            z = self.zap_once(running[which], channel, hls, rest)
                            z["first_after_start"] = i == 0
                            samples[which].append(z)
                    for r in running.values():
                        r.stop()
                for which in ("baseline", "program"):
                    times = [z["first_ms"] for z in samples[which]]
                    firsts = [z["first_ms"] for z in samples[which] if z["first_after_start"]]
                    s = dict(summary(times), first_after_start=firsts, samples=samples[which])
                    results["%s/%s" % (stream, which)] = s
                    print("%-9s %-8s %s; first after start-up %s ms" % (
                        stream, which, fmt(s), ", ".join("%.0f" % f for f in firsts)), flush=True)
                    # What lay beneath the new window, seen on screen between its map and its
                    # first picture (zapprobe).
                    beneath = [z["beneath_ms"] for z in samples[which] if z["beneath_samples"]]
                    s["beneath"] = {"clicks": len(beneath), "max_ms": max(beneath, default=0)}
                    print("%-9s %-8s what lay beneath the window shown after its map: %d of %d "
                          "clicks, up to %.0f ms" % (stream, which, len(beneath), len(times),
                                                     max(beneath, default=0)), flush=True)
                ratio = (results[stream + "/program"]["median"] /
                         results[stream + "/baseline"]["median"])
                results[stream + "/ratio"] = ratio
                if self.site_like:
                    for kind in fx.SITE_PROFILES:
                        for which in ("baseline", "program"):
                            mine = [z["first_ms"] for z in samples[which]
                                    if self.kind(z["channel"]) == kind]
                            if mine:
                                results["%s/%s/%s" % (stream, kind, which)] = summary(mine)
                                print("%-9s %-5s %-8s %s" % (stream, kind, which,
                                                             fmt(summary(mine))), flush=True)
                loads = [z["load"] for w in samples for z in samples[w]]
                print("%-9s program / baseline median: %.2f; one-minute load during the series "
                      "%.1f to %.1f" % (stream, ratio, min(loads), max(loads)), flush=True)
            if "multicast" in streams:
                results["multicast/keyframe_phase"] = self.keyframe_phases(
                    tap, results["multicast/program"]["samples"] +
                    results["multicast/baseline"]["samples"])
            if self.site_like:
                seen, regular = tap.keyframe_check()
                results["keyframes"] = {"pairs": seen, "one_interval_apart": regular}
                print("keyframes the tap saw: %d pairs in a row, %d of them one interval apart" % (
                    seen, regular), flush=True)
        finally:
            tap.stop()
        name = "zap%s%s-%s.json" % ("-rest" if rest[1] > 0 else "",
                                    "-site" if self.site_like else "", "-".join(streams))
        with open(os.path.join(self.out, name), "w") as f:
            json.dump(results, f, indent=1)
        return results

    def keyframe_phases(self, tap, zaps):
        """For each multicast click, the wait from the click to its channel's next keyframe, as
        a share of the channel's keyframe interval: spread evenly over 0 to 1 if the clicks are
        not in step with the streams."""
        arrivals = tap.arrivals()
        shares = []
        for z in zaps:
            keys = [a for a, _, k in arrivals.get(z["channel"], []) if k and a >= z["click_ns"]]
            if keys:
                z["keyframe_wait_ms"] = (keys[0] - z["click_ns"]) / 1e6
                shares.append(z["keyframe_wait_ms"] / 1000 / self.keyframe_interval(z["channel"]))
        if not shares:
            return {}
        quartiles = [percentile(shares, q) for q in (0.1, 0.25, 0.5, 0.75, 0.9)]
        print("clicks to the channel's next keyframe, in keyframe intervals: 10/25/50/75/90 %% at "
              "%s (n=%d); even spread: 0.10/0.25/0.50/0.75/0.90" % (
                  "/".join("%.2f" % q for q in quartiles), len(shares)), flush=True)
        return {"n": len(shares), "percentiles_10_25_50_75_90": quartiles}

    # --- live ----------------------------------------------------------------------------------

    def live(self, count, follow, with_baseline):
        """Clicks on multicast channels and follows the frame numbers on screen for `follow`
        seconds; a tap notes when each frame arrived. The program runs with --verbose, its
        standard error (libvlc's log) going to a file that is read for "too late" messages."""
        self.start_network(hls=False)
        tap = Tap(self, range(1, 9))
        displays = {"program": self.fixture.start_display(), "baseline": self.fixture.new_display()}
        log_path = os.path.join(self.out, "live-verbose.log")
        who = ["program"] + (["baseline"] if with_baseline else [])
        samples = {w: [] for w in who}
        try:
            with open(log_path, "w") as log:
                running = {"program": self.launch("program", False, displays["program"],
                                                  args=["--verbose"], stderr=log)}
                if with_baseline:
                    running["baseline"] = self.launch("baseline", False, displays["baseline"])
                channels = self.channels()
                for _ in range(count):
                    channel = next(channels)
                    order = list(who)
                    self.rng.shuffle(order)
                    for which in order:
                        log.flush()
                        before = os.path.getsize(log_path)
                        z = self.zap_once(running[which], channel, False, follow=follow)
                        if which == "program":
                            z["log"] = (before, os.path.getsize(log_path))
                        samples[which].append(z)
                for r in running.values():
                    r.stop()
            arrivals = tap.arrivals()
            tap_check = tap.keyframe_check() if self.site_like else None
        finally:
            tap.stop()
        with open(log_path, errors="replace") as f:
            log_text = f.read()
        results = {"seed": self.seed, "follow_s": follow}
        if self.site_like:
            seen, regular = tap_check
            results["keyframes"] = {"pairs": seen, "one_interval_apart": regular}
            print("keyframes the tap saw: %d pairs in a row, %d of them one interval apart" % (
                seen, regular), flush=True)
        for which in who:
            zaps = [dict(z, **self.motion(z, arrivals.get(z["channel"], []), self.clip_frames))
                    for z in samples[which]]
            for z in zaps:
                if "log" in z:
                    lines = log_text[z["log"][0]:z["log"][1]].splitlines()
                    z["late_messages"] = sum(1 for line in lines
                                             if any(m in line for m in LATE_MESSAGES))
                z.pop("frames", None)
            kinds = sorted({self.kind(z["channel"]) for z in zaps})
            for kind in kinds:
                label = which if not self.site_like else "%s/%s" % (which, kind)
                mine = [z for z in zaps if self.kind(z["channel"]) == kind]
                results[label] = {"samples": mine}
                for key in ("first_ms", "smooth_after_ms", "jump_max_ms", "jump_at_ms",
                            "jump_seen_max_ms", "jumps_unseen",
                            "first_behind_ms",
                            "behind_at_1s_ms", "behind_after_1s_max_ms", "behind_ms",
                            "behind_max_ms", "in_order_behind_at_1s_ms",
                            "in_order_behind_after_1s_max_ms", "in_order_behind_ms", "rate",
                            "skipped", "late_messages"):
                    values = [z[key] for z in mine if z.get(key) is not None]
                    if values:
                        results[label][key] = summary(values)
                print(self.live_line(label, results[label], len(mine)), flush=True)
        with open(os.path.join(self.out, "live%s.json" % ("-site" if self.site_like else "")),
                  "w") as f:
            json.dump(results, f, indent=1)
        return results

    @staticmethod
    def live_line(which, r, n):
        def m(key, what="median"):
            return r[key][what] if key in r else float("nan")
        return ("%-14s first picture %.0f ms (p95 %.0f, max %.0f); smooth %.0f ms after it (p95 "
                "%.0f, max %.0f); largest jump forward %.0f ms (max %.0f), %.0f ms after the first "
                "picture; seen whole by the probe: max %.0f ms, %d jumps over two frames across "
                "a moment it did not read (max %.0f a click); behind live: first "
                "picture %.0f ms, 1 s later %.0f ms (p95 %.0f, max %.0f), worst after that %.0f "
                "ms (max %.0f), settled %.0f ms (p95 %.0f), worst moment %.0f; behind the moment "
                "each picture could be shown in order: 1 s later %.0f ms (p95 %.0f, max %.0f), "
                "worst after that %.0f ms (max %.0f), settled %.0f ms; %.1f pictures/s, "
                "%.0f frames skipped (max %.0f); \"too late\" messages %.0f a zap (max %.0f), "
                "n=%d" % (
                    which, m("first_ms"), m("first_ms", "p95"), m("first_ms", "max"),
                    m("smooth_after_ms"), m("smooth_after_ms", "p95"), m("smooth_after_ms", "max"),
                    m("jump_max_ms"), m("jump_max_ms", "max"), m("jump_at_ms"),
                    m("jump_seen_max_ms", "max"),
                    sum(z.get("jumps_unseen", 0) for z in r.get("samples", [])),
                    m("jumps_unseen", "max"),
                    m("first_behind_ms"),
                    m("behind_at_1s_ms"), m("behind_at_1s_ms", "p95"),
                    m("behind_at_1s_ms", "max"), m("behind_after_1s_max_ms"),
                    m("behind_after_1s_max_ms", "max"), m("behind_ms"), m("behind_ms", "p95"),
                    m("behind_max_ms", "max"), m("in_order_behind_at_1s_ms"),
                    m("in_order_behind_at_1s_ms", "p95"), m("in_order_behind_at_1s_ms", "max"),
                    m("in_order_behind_after_1s_max_ms"),
                    m("in_order_behind_after_1s_max_ms", "max"), m("in_order_behind_ms"),
                    m("rate"), m("skipped"), m("skipped", "max"),
                    m("late_messages"), m("late_messages", "max"), n))

    @staticmethod
    def motion(zap, arrivals, clip_frames):
        """From the frame numbers seen on screen: when motion became smooth (from then on the
        picture never stood still for over STILL_MS), the largest jump forward between two
        pictures shown one after the other (in the clip's time: one frame is 40 ms), and how far
        behind live each picture was (from its frame's arrival to its showing): the first, the
        one on screen 1 s after it, the worst after that, and over the last 2 s."""
        frames = zap["frames"]
        if len(frames) < 2:
            return {}
        first_at = zap["click_ns"] + zap["first_ms"] * 1e6
        shown = [(t, n) for t, n in frames if t >= first_at - 50e6] or frames
        smooth_from = shown[0][0]
        for (t0, _), (t1, _) in zip(shown, shown[1:]):
            if (t1 - t0) / 1e6 > STILL_MS:
                smooth_from = t1
        end = shown[-1][0]
        settled = [(t, n) for t, n in shown if t >= end - 2e9]
        rate = (len(settled) - 1) / ((settled[-1][0] - settled[0][0]) / 1e9) \
            if len(settled) > 1 and settled[-1][0] > settled[0][0] else None
        steps = [(n1 - n0) % clip_frames for (_, n0), (_, n1) in zip(shown, shown[1:])]
        # A step across a moment the probe did not read the screen may hold a picture it never
        # saw: such steps are counted apart, and the largest jump is also given without them.
        blind = zap.get("blind", [])
        unseen = [any(a < t1 and b > t0 for a, b in blind)
                  for (t0, _), (t1, _) in zip(shown, shown[1:])]
        skipped = sum(step - 1 for step in steps if step > 0)
        frame_ms = 1000 / fx.FRAME_RATE

        by_number = {}
        for a, number, _ in arrivals:
            by_number.setdefault(number, []).append(a)

        def arrived(n, t):
            """When picture n last arrived, at or before t."""
            times = by_number.get(n % clip_frames, [])
            i = bisect.bisect_right(times, t)
            return times[i - 1] if i else None

        def showable(n, t):
            """When picture n could first be shown in order: with B-frames, a picture is sent
            ahead of the ones shown before it, and waits for them at any player."""
            a = arrived(n, t)
            if a is None:
                return None
            before = (arrived(m, t) for m in range(n - REORDER_FRAMES, n))
            return max([a] + [b for b in before if b is not None and b >= a - 1e9])

        def lag_figures(since, prefix):
            moments = [since(n, t) for t, n in shown]
            lags = [(t - m) / 1e6 if m is not None else None
                    for (t, _), m in zip(shown, moments)]
            settled_lags = [lag for (t, _), lag in zip(shown, lags) if lag is not None and
                            t >= end - 2e9]
            one_second = shown[0][0] + 1e9
            at_1s = [lag for (t, _), lag in zip(shown, lags)
                     if t <= one_second and lag is not None]
            after_1s = [lag for (t, _), lag in zip(shown, lags)
                        if t > one_second and lag is not None]
            return {prefix + "first_behind_ms": lags[0],
                    prefix + "behind_at_1s_ms": at_1s[-1] if at_1s else None,
                    prefix + "behind_after_1s_max_ms": max(after_1s, default=None),
                    prefix + "behind_ms": statistics.median(settled_lags) if settled_lags else None,
                    prefix + "behind_max_ms": max((lag for lag in lags if lag is not None),
                                                  default=None)}
        # Where the largest jump fell, after the first picture: in the catch-up, at its end, or
        # later, when the stream plays at its own pace.
        worst = max(range(len(steps)), key=lambda i: steps[i], default=None)
        if worst is not None and steps[worst] <= 1:
            worst = None  # no jump at all
        return {"smooth_after_ms": (smooth_from - shown[0][0]) / 1e6,
                "jump_at_ms": (shown[worst + 1][0] - shown[0][0]) / 1e6 if worst is not None
                else None,
                "smooth_in_time": end - smooth_from >= 1e9,
                "jump_max_ms": max(steps, default=0) * frame_ms,
                "jump_seen_max_ms": max((step for step, u in zip(steps, unseen) if not u),
                                        default=0) * frame_ms,
                "jumps_unseen": sum(1 for step, u in zip(steps, unseen) if u and step > 2),
                **lag_figures(arrived, ""), **lag_figures(showable, "in_order_"),
                "rate": rate, "skipped": skipped, "pictures": len(shown)}

    # --- fallback ------------------------------------------------------------------------------

    def fallback(self, rounds):
        """A multicast channel whose group falls silent mid-play and comes back, in the program
        with its fallback (the default) and with Fallback=0 (as before it, the fair baseline: the
        same program, the same stream, the same reconnects), taking turns in random order. The
        sender is stopped at a random moment and started again 7 s later; zapprobe follows the
        frame numbers on screen all along."""
        self.fixture.start_storage_servers()
        senders = dict(zip(range(1, 9), self.fixture.start_multicast(stagger=CLIP_SECONDS,
                                                                     rng=self.rng)))
        self.fixture.start_hls(stagger=CLIP_SECONDS, rng=self.rng)
        time.sleep(CLIP_SECONDS + 1)
        variants = {"fallback": None, "Fallback=0": {"Fallback": 0}}
        running = {name: self.launch("program", False, self.fixture.start_display() if i == 0
                                     else self.fixture.new_display(), settings=settings)
                   for i, (name, settings) in enumerate(variants.items())}
        samples = {name: [] for name in variants}
        silent_for, follow = 7.0, 26.0
        try:
            for _ in range(rounds):
                order = list(variants)
                self.rng.shuffle(order)
                for name in order:
                    channel = self.rng.randint(1, 8)
                    x, y = centre(channel)
                    probe = subprocess.Popen(
                        [os.path.join(self.build, "bench", "zapprobe"), "zap", "Corvessa",
                         str(x), str(y), " - " + address(channel, False), "15000", "0",
                         str(follow)], stdout=subprocess.PIPE, text=True,
                        env=self.env(running[name].display))
                    time.sleep(3 + self.rng.uniform(0, 2 * fx.KEYFRAME_INTERVAL))
                    senders[channel].kill()
                    senders[channel].wait()
                    silent_ns = time.monotonic_ns()
                    time.sleep(silent_for)
                    senders[channel] = self.fixture.start_multicast([channel], stagger=0)[0]
                    back_ns = time.monotonic_ns()
                    out, _ = probe.communicate(timeout=follow + 30)
                    if probe.returncode != 0:
                        raise RuntimeError("zapprobe failed on channel %d" % channel)
                    z = json.loads(out)
                    z.update(self.fallback_times(z["frames"], silent_ns, back_ns),
                             channel=channel, load=os.getloadavg()[0])
                    z.pop("frames")
                    samples[name].append(z)
                    print("%-10s channel %d: %s" % (name, channel, json.dumps(
                        {k: v for k, v in z.items() if k.endswith("_ms") or k == "gap_frames"})),
                          flush=True)
                    time.sleep(1)
        finally:
            for r in running.values():
                r.stop()
        results = {"seed": self.seed}
        for name in variants:
            results[name] = {"samples": samples[name]}
            for key in ("to_picture_ms", "still_ms", "back_ms", "gap_ms", "gap_frames"):
                values = [z[key] for z in samples[name] if z.get(key) is not None]
                if values:
                    results[name][key] = summary(values)
                    line = fmt(results[name][key])
                    if key == "gap_frames":
                        line = line.replace(" ms,", " frames,", 1)
                    print("%-10s %-13s %s" % (name, key, line), flush=True)
        with open(os.path.join(self.out, "fallback.json"), "w") as f:
            json.dump(results, f, indent=1)
        return results

    @staticmethod
    def fallback_times(frames, silent_ns, back_ns):
        """From the frame numbers on screen: the picture's longest stand-still after the group
        fell silent and when it ended (the storage stream's first picture, or with Fallback=0
        the group's after its return); after the group's return, the first jump in the numbers
        (another stream's pictures: the switch back to the group) and the stand-still before
        it, in milliseconds and in frame times beyond the one a picture stands anyway."""
        out = {}
        during = [(t, n) for t, n in frames if t >= silent_ns]
        before = [(t, n) for t, n in frames if t < silent_ns][-1:]
        steps = list(zip(before + during, during))
        if steps:
            (t0, _), (t1, _) = max(steps, key=lambda s: s[1][0] - s[0][0])
            out["still_ms"] = (t1 - t0) / 1e6
            out["to_picture_ms"] = (t1 - silent_ns) / 1e6
        for (t0, n0), (t1, n1) in zip(frames, frames[1:]):
            if t1 > back_ns and (n1 - n0) % fx.CLIP_FRAMES > 3:
                out["back_ms"] = (t1 - back_ns) / 1e6
                out["gap_ms"] = (t1 - t0) / 1e6
                out["gap_frames"] = max(0, round((t1 - t0) / 1e6 / (1000 / fx.FRAME_RATE)) - 1)
                break
        return out

    # --- cpu -----------------------------------------------------------------------------------

    @staticmethod
    def cpu_seconds(pid):
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def cpu(self, runs, seconds):
        """The program idle in multicast mode with the eight senders going: the CPU time it used
        (all threads, /proc/PID/stat) over `seconds`, with fast channel change on (its eight
        receivers) and off (FastChannelChange=0), taking turns."""
        self.start_network(hls=False)
        display = self.fixture.start_display()
        results = {"seed": self.seed, "seconds": seconds}
        shares = {"on": [], "off": []}
        for turn in range(runs):
            order = ["on", "off"]
            self.rng.shuffle(order)
            for mode in order:
                running = self.launch("program", False, display, settle=3,
                                      settings={"FastChannelChange": 1 if mode == "on" else 0})
                before = self.cpu_seconds(running.process.pid)
                t0 = time.monotonic()
                time.sleep(seconds)
                used = self.cpu_seconds(running.process.pid) - before
                share = 100 * used / (time.monotonic() - t0)
                shares[mode].append(share)
                running.stop()
                print("fast channel change %-3s: %.2f %% of one core over %d s" % (
                    mode, share, seconds), flush=True)
        for mode in ("on", "off"):
            results[mode] = {"percent_of_one_core": shares[mode],
                             "median": statistics.median(shares[mode])}
        print("median: on %.2f %%, off %.2f %%, the receivers %.2f %%" % (
            results["on"]["median"], results["off"]["median"],
            results["on"]["median"] - results["off"]["median"]), flush=True)
        with open(os.path.join(self.out, "cpu.json"), "w") as f:
            json.dump(results, f, indent=1)
        return results

    # --- warmup --------------------------------------------------------------------------------

    @staticmethod
    def resident_kb(pid, field="VmRSS"):
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
        return 0

    def warmup(self, other, launches, streams=("multicast", "hls")):
        """This build's program against `other` (a program built otherwise, e.g. without the
        warm-up), taking turns: each launch waits 3 s (the warm-up ends within 2 s), notes the
        resident memory, then zaps twice: the first zap after start-up, and a second for
        comparison."""
        self.start_network(hls="hls" in streams)
        display = self.fixture.start_display()
        programs = {"this": os.path.join(self.build, "quorvel"), "other": os.path.abspath(other)}
        results = {"seed": self.seed, "other": programs["other"]}
        channels = self.channels()
        for stream in streams:
            hls = stream == "hls"
            rows = {k: [] for k in programs}
            for _ in range(launches):
                order = list(programs)
                self.rng.shuffle(order)
                for which in order:
                    running = self.launch("program", hls, display, program=programs[which],
                                          settle=3)
                    rss = self.resident_kb(running.process.pid)
                    first = self.zap_once(running, next(channels), hls)["first_ms"]
                    second = self.zap_once(running, next(channels), hls)["first_ms"]
                    running.stop()
                    rows[which].append({"idle_rss_kb": rss, "first_ms": first,
                                        "second_ms": second})
            for which in programs:
                r = rows[which]
                entry = {"samples": r}
                for key in ("idle_rss_kb", "first_ms", "second_ms"):
                    entry[key] = summary([x[key] for x in r])
                results["%s/%s" % (stream, which)] = entry
                print("%-9s %-5s idle RSS %.1f MB (median); first zap after start-up %s; second "
                      "zap %s" % (stream, which, entry["idle_rss_kb"]["median"] / 1024,
                                  fmt(entry["first_ms"]), fmt(entry["second_ms"])), flush=True)
        with open(os.path.join(self.out, "warmup.json"), "w") as f:
            json.dump(results, f, indent=1)
        return results

    # --- play ----------------------------------------------------------------------------------

    # The streams the play benchmark knows by name; any other name is taken as a clip's path.
    PLAY_STREAMS = {
        "360p": None,  # the demo network's clip of channel 1: 640 x 360, about 1.3 Mbit/s
        "1080p": ("testsrc2=size=1920x1080:rate=25", 250,
                  ["-c:v", "libx264", "-preset", "veryfast", "-b:v", "6M", "-maxrate", "6M",
                   "-bufsize", "6M", "-g", "50", "-keyint_min", "50", "-sc_threshold", "0",
                   "-bf", "0", "-pix_fmt", "yuv420p"]),
    }
    # Site-like streams (scripts/demo_network.py), by the channel whose clip they send: with
    # B-frames, so sent by scripts/loop_sender.py rather than in an ffmpeg loop.
    SITE_STREAMS = {"720p-site": 1, "1080p-site": 5}
    # What the program gives libvlc for a plain multicast address (FastChannelChange=0), handed
    # to the baseline too: the same caching, the same software decoding, the same quiet log.
    BARE_OPTIONS = [":network-caching=100", ":avcodec-hw=none"]

    def play_clip(self, name):
        if name == "360p":
            return self.fixture.clips[1]
        if name in self.SITE_STREAMS:
            return fx.encode_site_clip(self.fixture.media, self.SITE_STREAMS[name])
        if name in self.PLAY_STREAMS:
            source, frames, options = self.PLAY_STREAMS[name]
            return fx.encode_clip(os.path.join(self.build, "e2e-media"), "bench-" + name,
                                  source, frames, options)
        return os.path.abspath(name)

    def play_once(self, who, display, screen, full, seconds, log_path):
        """Starts `who` ("baseline", or a program variant: its Quorvel.ini keys), opens channel 1,
        waits for its picture, goes full screen if asked, lets it settle, then measures its CPU
        time over `seconds` and its resident memory; closes the window for libvlc's counters."""
        env = self.env(display)
        with open(log_path, "w") as log:
            if who == "baseline":
                argv, cwd = [os.path.join(self.build, "bench", "bare_player"), "multicast"] + \
                    self.BARE_OPTIONS + self.bare_extra, None
            else:
                settings = dict(self.play_variants[who])
                program = settings.pop("program", os.path.join(self.build, "quorvel"))
                argv, cwd = [program, "--verbose"], \
                    self.fixture.site(multicast=True, settings=settings)
            if who == "baseline" and self.bare_without_gl:
                # libvlc prefers its OpenGL output, which Mesa renders on the processor here;
                # without a GL driver it takes its plain X11 output (xcb_x11).
                env = dict(env, LIBGL_DRIVERS_PATH="/nonexistent", __EGL_VENDOR_LIBRARY_DIRS="/nonexistent")
            process = subprocess.Popen(argv, cwd=cwd, env=env, stdout=log, stderr=log,
                                       start_new_session=True)
            self.fixture.processes.append(process)
            saved = self.fixture.display
            self.fixture.display = display  # the xdotool helpers act on this display
            try:
                self.probe(display, "shown", str(time.monotonic_ns()), "Corvessa", "-1", "-1",
                           "20000")
                time.sleep(0.5)
                channel_window = self.fixture.windows("Corvessa")[0]
                try:
                    self.fixture.click(channel_window, *centre(1))
                    title = " - " + address(1, False)
                    player = self.fixture.wait_window(title)
                    fx.wait_for(lambda: fx.share_of_picture(self.fixture.screenshot(player)) > 0.3,
                                30, "the picture")
                    if full:
                        self.fixture.key(player, "F11")
                        fx.wait_for(lambda: self.fixture.geometry(player)[2:] == screen, 10,
                                    "full screen")
                    # Settle, and start at a random moment of the stream's frames.
                    time.sleep(2 + self.rng.uniform(0, 1))
                    load = os.getloadavg()[0]
                    perf = None
                    if self.perf_dir:
                        # A profile of this run (perf's sampling costs the process a little).
                        perf = subprocess.Popen(
                            ["perf", "record", "-g", "-F", "499", "-p", str(process.pid), "-o",
                             os.path.join(self.perf_dir, "%s-%s.data" % (
                                 who, "full" if full else "window")), "--", "sleep",
                             str(seconds)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                    before = self.cpu_seconds(process.pid)
                    t0 = time.monotonic()
                    time.sleep(seconds)
                    used = self.cpu_seconds(process.pid) - before
                    elapsed = time.monotonic() - t0
                    rss = self.resident_kb(process.pid)
                    if perf:
                        perf.wait(30)
                    for _ in range(2 if full and who != "baseline" else 1):
                        self.fixture.key(player, "Escape")  # the program leaves full screen first
                    self.fixture.wait_no_window(title, 10)
                finally:
                    time.sleep(0.5)
            finally:
                self.fixture.display = saved
                if process.poll() is None:
                    process.terminate()
                process.wait(10)
        stats = self.play_stats(log_path)
        return {"cpu_percent": 100 * used / elapsed, "rss_kb": rss, "load": load, **stats}

    @staticmethod
    def play_stats(log_path):
        """libvlc's picture counters as the program (--verbose) or the baseline told them."""
        with open(log_path, errors="replace") as f:
            for line in f:
                line = line.strip()
                if line.startswith("stats decoded="):
                    v = dict(part.split("=") for part in line.split()[1:])
                    return {"decoded": int(v["decoded"]), "shown": int(v["displayed"]),
                            "lost": int(v["lost"])}
                if line.startswith("played ") and "pictures decoded" in line:
                    numbers = [int(w) for w in line.replace(",", " ").split() if w.isdigit()]
                    return {"decoded": numbers[-3], "shown": numbers[-2], "lost": numbers[-1]}
        return {}

    def play(self, streams, rounds, seconds, stats_seconds, variants, bare_extra=(), perf_dir=None,
             bare_without_gl=False):
        """Each stream is sent to channel 1's group in a loop. Every round runs each player
        (the baseline and each program variant) in the window and in full screen, in an order
        drawn afresh, on a display of full HD."""
        screen = (1920, 1080)
        display = self.fixture.new_display(screen)
        self.play_variants = variants
        self.bare_extra = list(bare_extra)
        self.perf_dir = perf_dir
        self.bare_without_gl = bare_without_gl
        results_note = "baseline options: %s" % " ".join(self.BARE_OPTIONS + self.bare_extra)
        print(results_note, flush=True)
        who = ["baseline"] + list(variants)
        results = {"seed": self.seed, "seconds": seconds, "variants": variants,
                   "baseline_options": self.BARE_OPTIONS + self.bare_extra}
        logs = os.path.join(self.out, "play-logs")
        os.makedirs(logs, exist_ok=True)
        for stream in streams:
            clip = self.play_clip(stream)
            if stream in self.SITE_STREAMS:
                sender = self.fixture.spawn(
                    [sys.executable, os.path.join(ROOT, "scripts", "loop_sender.py"), clip,
                     "224.1.1.1:1234", "--offset", "%.3f" % self.rng.uniform(0, 6)])
            else:
                sender = self.fixture.spawn(
                    ["ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-stream_loop", "-1", "-i",
                     clip, "-c", "copy", "-f", "mpegts",
                     "udp://224.1.1.1:1234?pkt_size=1316&ttl=1"])
            time.sleep(2)
            rows = {(w, full): [] for w in who for full in (False, True)}
            for turn in range(rounds):
                runs = [(w, full) for w in who for full in (False, True)]
                self.rng.shuffle(runs)
                for w, full in runs:
                    r = self.play_once(w, display, screen, full, seconds,
                                       os.path.join(logs, "%s-%s-%d.log" % (stream, w, turn)))
                    rows[(w, full)].append(r)
                    print("%-6s %-10s %-11s CPU %5.1f %% of a core, RSS %6.1f MB, load %.2f, "
                          "pictures %s" % (stream, w, "full screen" if full else "window",
                                           r["cpu_percent"], r["rss_kb"] / 1024, r["load"],
                                           {k: r.get(k) for k in ("decoded", "shown", "lost")}),
                          flush=True)
            entry = {}
            for (w, full), r in rows.items():
                key = "%s/%s" % (w, "full" if full else "window")
                entry[key] = {"samples": r,
                              "cpu_percent": statistics.median(x["cpu_percent"] for x in r),
                              "rss_kb": statistics.median(x["rss_kb"] for x in r)}
            for w in variants:
                for mode in ("window", "full"):
                    entry["%s/%s/cpu_ratio" % (w, mode)] = (
                        entry["%s/%s" % (w, mode)]["cpu_percent"] /
                        entry["baseline/%s" % mode]["cpu_percent"])
                    entry["%s/%s/rss_ratio" % (w, mode)] = (
                        entry["%s/%s" % (w, mode)]["rss_kb"] / entry["baseline/%s" % mode]["rss_kb"])
                entry["%s/full_over_window" % w] = (entry["%s/full" % w]["cpu_percent"] /
                                                    entry["%s/window" % w]["cpu_percent"])
                print("%-6s %-10s CPU window %.1f %% (%.2f x bare), full screen %.1f %% (%.2f x "
                      "bare, %.2f x its window); RSS %.1f MB (%.2f x bare)" % (
                          stream, w, entry["%s/window" % w]["cpu_percent"],
                          entry["%s/window/cpu_ratio" % w], entry["%s/full" % w]["cpu_percent"],
                          entry["%s/full/cpu_ratio" % w], entry["%s/full_over_window" % w],
                          entry["%s/window" % w]["rss_kb"] / 1024,
                          entry["%s/window/rss_ratio" % w]), flush=True)
            print("%-6s baseline   CPU window %.1f %%, full screen %.1f %%; RSS %.1f MB" % (
                stream, entry["baseline/window"]["cpu_percent"],
                entry["baseline/full"]["cpu_percent"],
                entry["baseline/window"]["rss_kb"] / 1024), flush=True)
            if stats_seconds > 0:
                order = list(who)
                self.rng.shuffle(order)
                for w in order:
                    r = self.play_once(w, display, screen, True, stats_seconds,
                                       os.path.join(logs, "%s-%s-long.log" % (stream, w)))
                    entry["%s/long" % w] = r
                    print("%-6s %-10s %d s in full screen: %s pictures decoded, %s shown, %s lost;"
                          " CPU %.1f %%" % (stream, w, stats_seconds, r.get("decoded"),
                                            r.get("shown"), r.get("lost"), r["cpu_percent"]),
                          flush=True)
            sender.terminate()
            sender.wait(10)
            results[stream] = entry
        with open(os.path.join(self.out, "play.json"), "w") as f:
            json.dump(results, f, indent=1)
        return results

    # --- jitter and startup --------------------------------------------------------------------

    def jitter(self, seconds, jitter_ms):
        """Channel 1 through a relay that adds up to `jitter_ms` of jitter, against channel 2
        sent straight: how often the picture changed and the longest it stood still."""
        self.fixture.spawn([sys.executable, os.path.join(ROOT, "bench", "jitter_relay.py"), "6001",
                            "224.1.1.1", "1234", str(jitter_ms)])
        self.fixture.spawn(["ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-stream_loop", "-1",
                            "-i", self.fixture.clips[1], "-c", "copy", "-f", "mpegts",
                            "udp://127.0.0.1:6001?pkt_size=1316"])
        self.fixture.start_multicast([2])
        display = self.fixture.start_display()
        running = self.launch("program", False, display)
        results = {}
        for channel, label in ((1, "%d ms jitter" % jitter_ms), (2, "no jitter")):
            x, y = centre(channel)
            self.fixture.click(self.fixture.windows("Corvessa")[0], x, y)
            title = " - " + address(channel, False)
            player = self.fixture.wait_window(title)
            fx.wait_for(lambda: fx.share_of_picture(self.fixture.screenshot(player)) > 0.5, 20,
                        "the picture")
            changes, longest, stills = self.probe(display, "watch", title, seconds).split()
            results[label] = {"changes_per_second": int(changes) / seconds,
                              "longest_still_ms": float(longest), "stills_over_150_ms": int(stills)}
            print("%-13s picture changed %.1f times a second; longest still %.0f ms; "
                  "%s stills over 150 ms in %d s" % (label, int(changes) / seconds, float(longest),
                                                     stills, seconds), flush=True)
            self.fixture.key(player, "Escape")
            self.fixture.wait_no_window(title)
        running.stop()
        with open(os.path.join(self.out, "jitter.json"), "w") as f:
            json.dump(results, f, indent=1)
        return results

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
        display = self.fixture.start_display()
        results = {}
        for label, images in (("shipped", os.path.join(ROOT, "images")), ("worst", worst)):
            site = self.picture_site(label, images)
            figures = {"window": [], "channel1": [], "peak_kb": [], "rss_kb": []}
            for _ in range(runs):
                t0 = time.monotonic_ns()
                process = subprocess.Popen([os.path.join(self.build, "quorvel")], cwd=site,
                                           env=self.env(display), stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL, start_new_session=True)
                self.fixture.processes.append(process)
                figures["window"].append(float(self.probe(display, "shown", t0, "Corvessa", -1,
                                                          -1, 20000)))
                x, y = centre(1)
                figures["channel1"].append(float(self.probe(display, "shown", t0, "Corvessa", x,
                                                            y, 60000)))
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

    def startup(self, runs, play_seconds, other=None):
        """Program and baseline (and `other`, another build's program, if given) started in
        turns (in random order each round): the
        time from just before the process starts to its channel window shown, the CPU time it
        had used by then (all threads) and its resident memory 2 s later. The last start of
        each then plays channel 1 for `play_seconds`, for the memory of a playing channel."""
        self.fixture.start_multicast([1], stagger=CLIP_SECONDS, rng=self.rng)
        display = self.fixture.start_display()
        env = self.env(display)
        programs = {"baseline": [os.path.join(self.build, "bench", "bare_player"), "multicast"],
                    "program": [os.path.join(self.build, "quorvel")]}
        if other:
            programs["other"] = [os.path.abspath(other)]
        rows = {which: [] for which in programs}
        playing = {}
        for turn in range(runs):
            order = list(programs)
            self.rng.shuffle(order)
            for which in order:
                args = programs[which]
                cwd = None if which == "baseline" else self.fixture.site(multicast=True)
                t0 = time.monotonic_ns()
                process = subprocess.Popen(args, cwd=cwd, env=env, stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL, start_new_session=True)
                self.fixture.processes.append(process)
                # The program is shown when channel 1's picture is on screen; the baseline has
                # no pictures, so when its window is mapped.
                x, y = ("-1", "-1") if which == "baseline" else ("30", "100")
                shown = float(self.probe(display, "shown", str(t0), "Corvessa", x, y, "20000"))
                cpu = self.cpu_seconds(process.pid) * 1000
                time.sleep(2)
                rows[which].append({"shown_ms": shown, "cpu_ms": cpu,
                                    "idle_rss_kb": self.resident_kb(process.pid)})
                if turn == runs - 1 and play_seconds > 0:
                    x1, y1 = centre(1)
                    subprocess.run(["xdotool", "search", "--name", "^Corvessa$", "mousemove",
                                    "--window", "%1", str(x1), str(y1), "click", "1"], env=env)
                    time.sleep(play_seconds)
                    playing[which] = self.resident_kb(process.pid)
                process.terminate()
                process.wait(10)
        results = {"seed": self.seed, "other": programs.get("other")}
        for which in programs:
            r = rows[which]
            results[which] = dict(summary([x["shown_ms"] for x in r]), samples=r,
                                  cpu_ms=summary([x["cpu_ms"] for x in r]),
                                  idle_rss_kb=summary([x["idle_rss_kb"] for x in r]),
                                  playing_rss_kb=playing.get(which))
            print("%-9s start %s; CPU used by then: median %.0f ms; RSS idle %.1f MB (median), "
                  "after %d s playing %.1f MB" % (
                      which, fmt(results[which]), results[which]["cpu_ms"]["median"],
                      results[which]["idle_rss_kb"]["median"] / 1024, play_seconds,
                      (playing.get(which) or 0) / 1024), flush=True)
        with open(os.path.join(self.out, "startup.json"), "w") as f:
            json.dump(results, f, indent=1)
        return results


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("what", choices=("zap", "live", "cpu", "warmup", "startup", "jitter",
                                         "pictures", "play", "fallback", "try"))
    parser.add_argument("--play-stream", action="append", dest="play_streams",
                        help="with play: 360p, 1080p, 720p-site, 1080p-site (site-like: B-frames, "
                        "sound) or a clip's path (repeatable; default 360p and 1080p)")
    parser.add_argument("--site-like", action="store_true",
                        help="with zap, live and cpu: the channels as a site's encoders send them "
                        "(720p with 1 s groups on channels 1 to 4, 1080p with 2 s groups on 5 to "
                        "8, B-frames, about 6 Mbit/s, sound); figures per kind")
    parser.add_argument("--rounds", type=int, default=3, help="with play and fallback: rounds")
    parser.add_argument("--bare-x11", action="store_true",
                        help="with play: the baseline without a GL driver, so that libvlc uses its "
                        "plain X11 output rather than OpenGL rendered by Mesa on the processor")
    parser.add_argument("--perf", help="with play: a folder for a perf profile of every run "
                        "(perf record -g; the last round's is kept)")
    parser.add_argument("--bare-option", action="append", default=[], dest="bare_options",
                        help="with play: one more option for the baseline, e.g. --vout=xcb_x11")
    parser.add_argument("--stats-seconds", type=int, default=60,
                        help="with play: one long full-screen run each at the end (0: none)")
    parser.add_argument("--variant", action="append", dest="variants",
                        help="with play: a program variant as NAME=KEY:VALUE,KEY:VALUE (Quorvel.ini "
                        "keys, and program:PATH for another build's quorvel); default: program "
                        "(the defaults) and plain (FastChannelChange=0)")
    parser.add_argument("--option", action="append", default=[], dest="options",
                        help="with try: a per-media option for the baseline, e.g. :network-caching=300")
    parser.add_argument("--hls", action="store_true", help="with try: the HLS streams")
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--seed", type=int, default=None, help="repeat a run's random choices")
    parser.add_argument("--count", type=int, default=40, help="zaps per series")
    parser.add_argument("--per-launch", type=int, default=10,
                        help="with zap: zaps before the programs are started again")
    parser.add_argument("--rest", default="0",
                        help="with zap: ms the pointer rests on the button before the click, "
                        "or a range MIN-MAX to draw each rest from, e.g. 150-600")
    parser.add_argument("--stream", choices=("multicast", "hls", "both"), default="both",
                        help="with zap and warmup: which streams")
    parser.add_argument("--follow", type=float, default=4.0,
                        help="with live: seconds the pictures are followed after each click")
    parser.add_argument("--baseline", action="store_true",
                        help="with live: the baseline too, taking turns with the program")
    parser.add_argument("--other", help="with warmup and startup: another build's quorvel")
    parser.add_argument("--launches", type=int, default=10,
                        help="with warmup: launches of each program per stream")
    parser.add_argument("--runs", type=int, default=10,
                        help="with startup: start-ups per program; with cpu: runs each way")
    parser.add_argument("--seconds", type=int, default=30, help="with cpu: seconds a run")
    parser.add_argument("--play", type=int, default=60, help="seconds of playback for memory")
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1 << 31)
    streams = ("multicast", "hls") if args.stream == "both" else (args.stream,)
    bench = Bench(args.build, seed, args.site_like)
    # Other work on the machine spreads every wall-clock figure: say how busy it was.
    print("load average (1, 5, 15 min) at the start: %.2f %.2f %.2f" % os.getloadavg(), flush=True)
    try:
        if args.what == "zap":
            bench.zap(args.count, parse_rest(args.rest), args.per_launch, streams)
        elif args.what == "live":
            bench.live(args.count, args.follow, args.baseline)
        elif args.what == "cpu":
            bench.cpu(args.runs, args.seconds)
        elif args.what == "warmup":
            if not args.other:
                parser.error("warmup needs --other PATH-TO-QUORVEL")
            bench.warmup(args.other, args.launches, streams)
        elif args.what == "fallback":
            bench.fallback(args.rounds)
        elif args.what == "jitter":
            bench.jitter(20, 20)
        elif args.what == "pictures":
            bench.pictures(args.runs)
        elif args.what == "play":
            variants = {"program": {}, "plain": {"FastChannelChange": 0}}
            if args.variants:
                variants = {}
                for variant in args.variants:
                    name, _, keys = variant.partition("=")
                    variants[name] = dict(k.split(":", 1) for k in keys.split(",") if k)
            bench.play(args.play_streams or ["360p", "1080p"], args.rounds,
                       args.seconds if args.seconds != 30 else 12, args.stats_seconds, variants,
                       args.bare_options, args.perf, args.bare_x11)
        elif args.what == "try":
            bench.start_network()
            display = bench.fixture.start_display()
            running = bench.launch("baseline", args.hls, display, args=args.options)
            channels = bench.channels()
            times = [bench.zap_once(running, next(channels), args.hls)["first_ms"]
                     for _ in range(args.count)]
            running.stop()
            print(fmt(summary(times)))
        else:
            bench.startup(args.runs, args.play, args.other)
    finally:
        bench.fixture.stop()
        print("load average (1, 5, 15 min) at the end: %.2f %.2f %.2f" % os.getloadavg(),
              flush=True)


if __name__ == "__main__":
    main()
