#!/usr/bin/env python3
"""The demo network and display Corvessa is tried on, for the demo and the end-to-end tests.

Runs only inside the private network namespace that scripts/in-netns.sh makes: the two
storage servers answer on port 80 of 192.168.10.11 and 192.168.10.12, each serving its channel
list and its channels as live HLS; ffmpeg sends every channel to its multicast group; Xvfb (or
the user's own display) shows the program, and xdotool drives it.
"""
import argparse
import contextlib
import fcntl
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FONT = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc"
SERVERS = {1: "192.168.10.11", 2: "192.168.10.12"}
BACKGROUND = (0x3A, 0x3A, 0x3A)

# The demo clips: 4 s at 25 frames a second, a keyframe every 12 frames (0.48 s), sent in a loop.
FRAME_RATE = 25
CLIP_FRAMES = 100
KEYFRAME_FRAMES = 12
KEYFRAME_INTERVAL = KEYFRAME_FRAMES / FRAME_RATE
# Every picture carries its frame number (0 to 99, counted from the clip's start) in a band along
# its bottom edge, read back from the screen by the benchmarks: sixteen blocks of 40 x 24 pixels,
# block i white when bit i of the number is set, block 8 + i white when it is not, so that a
# picture without the band, or half of one picture and half of the next, does not read as a
# number.
CLIP_SIZE = (640, 360)
BAND_TOP = 336
BAND_HEIGHT = 24
BAND_BITS = 8
BLOCK_WIDTH = 40

# Site-like channels (--site-like): what a site's encoders send. 720p with a keyframe every second
# on channels 1 to 4, 1080p with one every two seconds on channels 5 to 8; x264 with B-frames at
# about 6 Mbit/s, and sound (MPEG audio layer II). Their pictures carry a noise that keeps the
# encoder at its rate, as camera pictures do, and the frame-number band at the same place
# relative to the picture as the demo clips'. Each clip lasts 6 s, a whole number of keyframe
# intervals, of pictures (150) and of audio frames (250 of 24 ms), so that a loop joins up
# exactly; scripts/loop_sender.py sends it endlessly with its timeline carried on.
SITE_CLIP_SECONDS = 6
SITE_PROFILES = {
    "720p": {"size": (1280, 720), "keyframe_frames": 25, "channels": (1, 2, 3, 4)},
    "1080p": {"size": (1920, 1080), "keyframe_frames": 50, "channels": (5, 6, 7, 8)},
}
SITE_RATE = "6M"


def server_for(channel):
    return SERVERS[2] if channel > 6 else SERVERS[1]


def centre(channel):
    """Where channel `channel`'s button sits in the channel window."""
    left = (16, 212, 408, 604)[(channel - 1) % 4]
    top = 14 if channel <= 4 else 210
    return left + 90, top + 90


def address(channel, hls):
    """The stream address the program plays for a channel of the demo network."""
    if not hls:
        return "udp://@224.1.1.%d:1234" % channel
    return "http://%s/hls/ch%d/index.m3u8" % (server_for(channel), channel)


def require_private_network():
    """Refuses to go on anywhere but inside the test namespace."""
    for address in SERVERS.values():
        s = socket.socket()
        try:
            s.bind((address, 0))
        except OSError:
            raise RuntimeError("not inside the Corvessa test network: run this through "
                               "scripts/in-netns.sh") from None
        finally:
            s.close()


def wait_for(condition, timeout, what, interval=0.02):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError("timed out waiting for " + what)
        time.sleep(interval)


def frame_number_band(scale=1):
    """The drawbox filters that draw a picture's frame number (see BAND_TOP), for a picture
    `scale` times as large as the demo clips'."""
    top, height, width = BAND_TOP * scale, BAND_HEIGHT * scale, BLOCK_WIDTH * scale
    boxes = ["drawbox=x=0:y=%d:w=%d:h=%d:color=black:t=fill" % (top, CLIP_SIZE[0] * scale,
                                                                  height)]
    for bit in range(BAND_BITS):
        for block, value in ((bit, 1), (BAND_BITS + bit, 0)):
            boxes.append("drawbox=x=%d:y=%d:w=%d:h=%d:color=white:t=fill:"
                         "enable='eq(mod(floor(n/%d),2),%d)'" % (
                             block * width, top, width, height, 1 << bit, value))
    return boxes


def site_profile(channel):
    """The name of the site-like profile a channel carries with --site-like."""
    return next(name for name, p in SITE_PROFILES.items() if channel in p["channels"])


def encode_site_clip(cache, channel):
    """Channel `channel`'s site-like clip (SITE_PROFILES), encoded once into `cache`."""
    profile = SITE_PROFILES[site_profile(channel)]
    width, height = profile["size"]
    scale = width // CLIP_SIZE[0]
    keyframes = profile["keyframe_frames"]
    name = "site%d-%dp-%dk.ts" % (channel, height, keyframes)
    os.makedirs(cache, exist_ok=True)
    clip = os.path.join(cache, name)
    with open(os.path.join(cache, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.exists(clip):
            return clip
        text = "drawtext=fontfile=%s:text='频道 %d':fontsize=%d:fontcolor=white:" \
               "box=1:boxcolor=black@0.6:x=(w-tw)/2:y=(h-th)/2" % (FONT, channel, 110 * scale)
        subprocess.run(
            ["ffmpeg", "-nostdin", "-loglevel", "error", "-y",
             "-f", "lavfi", "-i", "testsrc2=size=%dx%d:rate=%d" % (width, height, FRAME_RATE),
             "-f", "lavfi", "-i", "sine=frequency=%d:sample_rate=48000:duration=%d" % (
                 300 + 50 * channel, SITE_CLIP_SECONDS),
             "-t", str(SITE_CLIP_SECONDS),
             "-vf", ",".join(["noise=alls=10:allf=t", text] + frame_number_band(scale)),
             "-c:v", "libx264", "-preset", "veryfast", "-profile:v", "high",
             "-b:v", SITE_RATE, "-maxrate", SITE_RATE, "-bufsize", "3M",
             "-g", str(keyframes), "-keyint_min", str(keyframes), "-sc_threshold", "0",
             "-bf", "3", "-pix_fmt", "yuv420p",
             "-c:a", "mp2", "-b:a", "128k", "-ac", "2",
             "-muxdelay", "0", "-muxpreload", "0", "-f", "mpegts", clip + ".part"],
            check=True)
        os.replace(clip + ".part", clip)
    return clip


def encode_clips(cache):
    """One short H.264 clip per channel, its number drawn large over a test pattern, its frame
    number along the bottom edge.

    Encoded once and sent on a loop with -c copy: sixteen live encoders do not fit two cores.
    A keyframe every 0.48 s lets a viewer join quickly.
    """
    os.makedirs(cache, exist_ok=True)
    with open(os.path.join(cache, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        for n in range(1, 9):
            clip = os.path.join(cache, "channel%d-numbered.ts" % n)
            if os.path.exists(clip):
                continue
            text = "drawtext=fontfile=%s:text='频道 %d':fontsize=110:fontcolor=white:" \
                   "box=1:boxcolor=black@0.6:x=(w-tw)/2:y=(h-th)/2" % (FONT, n)
            subprocess.run(
                ["ffmpeg", "-nostdin", "-loglevel", "error", "-y",
                 "-f", "lavfi", "-i", "testsrc2=size=640x360:rate=25",
                 "-frames:v", str(CLIP_FRAMES), "-vf", ",".join([text] + frame_number_band()),
                 "-c:v", "libx264", "-preset", "veryfast", "-tune", "zerolatency",
                 "-g", str(KEYFRAME_FRAMES), "-keyint_min", str(KEYFRAME_FRAMES),
                 "-sc_threshold", "0", "-pix_fmt", "yuv420p",
                 "-muxdelay", "0", "-muxpreload", "0", "-f", "mpegts", clip + ".part"],
                check=True)
            os.replace(clip + ".part", clip)
    return {n: os.path.join(cache, "channel%d-numbered.ts" % n) for n in range(1, 9)}


def encode_clip(cache, name, source, frames, options):
    """A clip for tests and benchmarks, encoded once into `cache` and kept: `source` is an lavfi
    source (e.g. "testsrc2=size=1920x1080:rate=25"), `options` ffmpeg's output options (codec,
    rate, keyframes). Returns its path."""
    os.makedirs(cache, exist_ok=True)
    clip = os.path.join(cache, name + ".ts")
    with open(os.path.join(cache, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(clip):
            subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi",
                            "-i", source, "-frames:v", str(frames)] + list(options) +
                           ["-muxdelay", "0", "-muxpreload", "0", "-f", "mpegts", clip + ".part"],
                           check=True)
            os.replace(clip + ".part", clip)
    return clip


def channel_list(server, channels, line_break):
    """A channel list laid out as the storage servers write it: the URL is each record's last
    value, followed by its closing quote, a line break and the record's "}"."""
    records = []
    for n in channels:
        records.append(line_break.join([
            "{",
            '"task": "频道%d",' % n,
            '"source": "udp://224.1.1.%d:1234",' % n,
            '"url": "http://%s/hls/ch%d/index.m3u8"' % (server, n),
            "}"]))
    return ("[" + line_break + ("," + line_break).join(records) + line_break + "]" +
            line_break).encode("utf-8")


class Fixture:
    def __init__(self, build_dir, workdir=None, display=None, site_like=False):
        """`site_like`: the channels send site-like streams (SITE_PROFILES) rather than the demo
        clips."""
        require_private_network()
        self.build_dir = os.path.abspath(build_dir)
        self.program = os.path.join(self.build_dir, "quorvel")
        self.work = workdir or tempfile.mkdtemp(prefix="corvessa-")
        self.own_work = workdir is None  # removed by stop(): recorded segments add up fast
        self.processes = []
        self.display = display
        self.site_like = site_like
        self.media = os.path.join(self.build_dir, "e2e-media")
        self.clips = encode_clips(self.media)
        self.www = {k: os.path.join(self.work, "www%d" % k) for k in SERVERS}
        self.storage = {}

    # --- the network -------------------------------------------------------------------------

    def spawn(self, args, **kwargs):
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        kwargs.setdefault("stdout", subprocess.DEVNULL)
        kwargs.setdefault("stderr", subprocess.DEVNULL)
        p = subprocess.Popen(args, start_new_session=True, **kwargs)
        self.processes.append(p)
        return p

    def start_storage_servers(self, up=(1, 2)):
        for k, address in SERVERS.items():
            www = self.www[k]
            os.makedirs(os.path.join(www, "hls"), exist_ok=True)
            channels = [7, 8] if k == 2 else [1, 2, 3, 4, 5, 6]
            with open(os.path.join(www, "hls", "storage_tasks.json"), "wb") as f:
                f.write(channel_list(address, channels, "\r\n" if k == 1 else "\n"))
        for k in up:
            self.start_storage_server(k)

    def start_storage_server(self, k):
        """Serves storage server `k`'s folder (its channel list and HLS streams) on port 80."""
        self.storage[k] = self.spawn([sys.executable, "-m", "http.server", "80", "--bind",
                                      SERVERS[k], "--directory", self.www[k]])
        wait_for(lambda: self._listening(SERVERS[k], 80), 10, "storage server %d" % k)

    def stop_storage_server(self, k):
        """Stops storage server `k`'s HTTP server; its HLS senders go on writing its folder."""
        server = self.storage.pop(k)
        server.kill()
        server.wait()

    @staticmethod
    def _listening(address, port):
        with contextlib.closing(socket.socket()) as s:
            s.settimeout(0.2)
            return s.connect_ex((address, port)) == 0

    def _spawn_sender(self, args, stagger, rng):
        """Starts a sender after a random delay of up to `stagger` seconds, so that the channels'
        keyframes (and loop points) do not all fall at the same moments, as they would not at a
        site. The process is the sender itself from the start (sh execs it), so killing it
        works at once, during the delay too."""
        delay = (rng or random).uniform(0, stagger) if stagger > 0 else 0
        if delay <= 0:
            return self.spawn(args)
        return self.spawn(["sh", "-c", 'sleep "$0" && exec "$@"', "%.3f" % delay] + args)

    def start_multicast(self, channels=range(1, 9), stagger=KEYFRAME_INTERVAL, rng=None):
        """Sends each channel's clip to its group in a loop; each sender starts up to `stagger`
        seconds late (random, from `rng` if given). Site-like channels start at once, each at a
        random moment of its clip."""
        if self.site_like:
            return [self.spawn([sys.executable, os.path.join(ROOT, "scripts", "loop_sender.py"),
                                encode_site_clip(self.media, n), "224.1.1.%d:1234" % n,
                                "--offset", "%.3f" % (rng or random).uniform(0, SITE_CLIP_SECONDS)])
                    for n in channels]
        senders = []
        for n in channels:
            senders.append(self._spawn_sender(
                ["ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-stream_loop", "-1",
                 "-i", self.clips[n], "-c", "copy", "-f", "mpegts",
                 "udp://224.1.1.%d:1234?pkt_size=1316&ttl=1" % n], stagger, rng))
        return senders

    def start_hls(self, channels=range(1, 9), stagger=KEYFRAME_INTERVAL, rng=None):
        """Each channel as live HLS on its storage server. Site-like channels are recorded from
        their multicast groups, as a site's storage servers do (start_multicast first)."""
        for n in channels:
            out = os.path.join(self.www[2 if n > 6 else 1], "hls", "ch%d" % n)
            os.makedirs(out, exist_ok=True)
            segments = ["-c", "copy", "-f", "hls", "-hls_time", "1", "-hls_list_size", "6",
                        "-hls_flags", "delete_segments",
                        "-hls_segment_filename", os.path.join(out, "seg%05d.ts"),
                        os.path.join(out, "index.m3u8")]
            if self.site_like:
                self.spawn(["ffmpeg", "-nostdin", "-loglevel", "error", "-i",
                            "udp://@224.1.1.%d:1234?fifo_size=1000000" % n] + segments)
                continue
            self._spawn_sender(
                ["ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-stream_loop", "-1",
                 "-i", self.clips[n]] + segments, stagger, rng)
        for n in channels:
            playlist = os.path.join(self.www[2 if n > 6 else 1], "hls", "ch%d" % n, "index.m3u8")
            wait_for(lambda: os.path.exists(playlist), 15, "HLS playlist of channel %d" % n)

    # --- the display and the program ---------------------------------------------------------

    def start_display(self):
        """Xvfb with openbox managing its windows, as a viewer's desktop has a window manager: it
        frames, places and focuses windows, and decides what maximize and full screen do."""
        if not self.display:
            self.display = self.new_display()
        return self.display

    def new_display(self, size=(1280, 1024)):
        """Another Xvfb with its own openbox, e.g. for a second program beside the first."""
        r, w = os.pipe()
        self.spawn(["Xvfb", "-displayfd", str(w), "-screen", "0", "%dx%dx24" % size, "-nolisten",
                    "tcp", "-noreset"], pass_fds=(w,))
        os.close(w)
        with os.fdopen(r) as f:
            display = ":" + f.readline().strip()
        env = dict(os.environ, DISPLAY=display)
        self.spawn(["openbox", "--sm-disable"], env=env)
        wait_for(lambda: "window id" in subprocess.run(
            ["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], capture_output=True, text=True,
            env=env).stdout, 10, "the window manager")
        return display

    def site(self, multicast, settings=None):
        """A working folder for the program: its settings file and its pictures. `settings`:
        more keys for the [Default] section of its Quorvel.ini."""
        site = os.path.join(self.work, "site")
        os.makedirs(site, exist_ok=True)
        with open(os.path.join(site, "Quorvel.ini"), "w") as f:
            f.write("[Default]\r\nMutiMode=%d\r\n" % (1 if multicast else 0))
            for key, value in (settings or {}).items():
                f.write("%s=%s\r\n" % (key, value))
        images = os.path.join(site, "images")
        if not os.path.exists(images):
            os.symlink(os.path.join(ROOT, "images"), images)
        return site

    def start_program(self, multicast, env=None, site=None, args=(), stderr=None):
        # No session bus in the test network: keep libvlc from trying to start one.
        environment = dict(os.environ, DISPLAY=self.start_display(), QT_QPA_PLATFORM="xcb",
                           DBUS_SESSION_BUS_ADDRESS="disabled:")
        environment.pop("WAYLAND_DISPLAY", None)
        environment.update(env or {})
        self.app = self.spawn([self.program] + list(args), cwd=site or self.site(multicast),
                              env=environment, stdout=None, stderr=stderr)
        # However loaded the machine, the window comes unless the program has died: wait on
        # both, with a limit far beyond any start-up (half a second when the machine is idle).
        app = self.app
        self.channel_window = wait_for(
            lambda: (self.windows("Corvessa") or [None])[0] or app.poll() is not None, 90,
            "a window titled 'Corvessa'")
        if app.poll() is not None:
            raise RuntimeError("the program ended (%s) before its window showed" % app.returncode)
        return self.app

    # --- xdotool -----------------------------------------------------------------------------

    def xdo(self, *args, check=True):
        r = subprocess.run(["xdotool"] + [str(a) for a in args], capture_output=True, text=True,
                           env=dict(os.environ, DISPLAY=self.display))
        if check and r.returncode != 0:
            raise RuntimeError("xdotool %s: %s" % (" ".join(map(str, args)), r.stderr))
        return r.stdout

    def windows(self, title=None):
        """The visible windows, or those whose title is exactly `title`. Titles are compared
        here rather than by xdotool's regular expressions, which stumble over Chinese."""
        out = self.xdo("search", "--onlyvisible", "--name", ".", check=False)
        found = [int(w) for w in out.split()]
        if title is None:
            return found
        return [w for w in found if self.xdo("getwindowname", w, check=False).rstrip("\n") == title]

    def wait_window(self, title, timeout=60):
        return wait_for(lambda: (self.windows(title) or [None])[0], timeout,
                        "a window titled " + repr(title))

    def wait_no_window(self, title, timeout=5):
        wait_for(lambda: not self.windows(title), timeout, "no window titled " + repr(title))

    def click(self, window, x, y):
        self.xdo("mousemove", "--window", window, x, y)
        self.xdo("click", "1")

    def hover(self, window, x, y):
        self.xdo("mousemove", "--window", window, x, y)

    def key(self, window, key):
        self.xdo("windowfocus", "--sync", window)
        self.xdo("key", "--clearmodifiers", key)

    def name(self, window):
        return self.xdo("getwindowname", window).rstrip("\n")

    def geometry(self, window):
        """Where the window's inside is on the screen, and its size. Under a reparenting window
        manager xdotool reports the frame's position wrongly; xwininfo's absolute corner is
        right."""
        out = subprocess.run(["xwininfo", "-id", str(window)], capture_output=True, text=True,
                             check=True, env=dict(os.environ, DISPLAY=self.display)).stdout
        values = {}
        for line in out.splitlines():
            key, _, value = line.strip().partition(":")
            values[key] = value.strip()
        return tuple(int(values[k]) for k in ("Absolute upper-left X", "Absolute upper-left Y",
                                               "Width", "Height"))

    def screenshot(self, window, path=None):
        """The window's pixels as seen on screen, children (libvlc's video) included:
        (width, height, rgb bytes)."""
        x, y, w, h = self.geometry(window)
        ppm = subprocess.run(["import", "-display", self.display, "-window", "root", "-crop",
                              "%dx%d+%d+%d" % (w, h, x, y), "-depth", "8", "ppm:-"],
                             capture_output=True, check=True).stdout
        if path:
            subprocess.run(["convert", "ppm:-", path], input=ppm, check=True)
        return parse_ppm(ppm)

    def stop(self):
        for p in reversed(self.processes):
            if p.poll() is None:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(p.pid, signal.SIGTERM)
        # One grace for all: an ffmpeg recorder blocked on a silent group may never see its
        # SIGTERM, and eight of them waited out one after the other took 40 s.
        deadline = time.monotonic() + 5
        for p in self.processes:
            try:
                p.wait(max(0.0, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                os.killpg(p.pid, signal.SIGKILL)
                p.wait()
        if self.own_work:
            shutil.rmtree(self.work, ignore_errors=True)


def parse_ppm(data):
    parts = []
    i = 0
    while len(parts) < 4:
        while data[i:i + 1].isspace():
            i += 1
        j = i
        while not data[j:j + 1].isspace():
            j += 1
        parts.append(data[i:j])
        i = j
    width, height = int(parts[1]), int(parts[2])
    return width, height, data[i + 1:i + 1 + width * height * 3]


def share_of_picture(image, tolerance=12):
    """The share of pixels that are neither the windows' dark grey nor black: how much of the
    window a picture covers (libvlc fills its video window with black before the first frame)."""
    width, height, rgb = image
    step = 7  # every 7th pixel is plenty and keeps this fast
    total = other = 0
    for p in range(0, width * height, step):
        r, g, b = rgb[3 * p], rgb[3 * p + 1], rgb[3 * p + 2]
        total += 1
        if (abs(r - BACKGROUND[0]) + abs(g - BACKGROUND[1]) + abs(b - BACKGROUND[2]) > tolerance
                and r + g + b > tolerance):
            other += 1
    return other / max(total, 1)


def share_of_colour(image, colour, tolerance=6):
    """The share of pixels within `tolerance` (per channel) of `colour`: tells the windows' dark
    grey from black, which share_of_picture counts alike."""
    width, height, rgb = image
    step = 7
    total = hits = 0
    for p in range(0, width * height, step):
        total += 1
        if (abs(rgb[3 * p] - colour[0]) <= tolerance and abs(rgb[3 * p + 1] - colour[1]) <= tolerance
                and abs(rgb[3 * p + 2] - colour[2]) <= tolerance):
            hits += 1
    return hits / max(total, 1)


def demo(argv):
    parser = argparse.ArgumentParser(description="Runs Corvessa on the demo network.")
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--multicast", action="store_true",
                        help="play straight from the multicast groups (MutiMode=1)")
    parser.add_argument("--site-like", action="store_true",
                        help="channels as a site's encoders send them: 720p (channels 1 to 4) and "
                        "1080p (5 to 8) at about 6 Mbit/s, with B-frames and sound")
    parser.add_argument("--shots", default=os.path.join(ROOT, "build", "demo"),
                        help="where screenshots go when there is no display")
    args = parser.parse_args(argv)

    user_display = os.environ.get("DISPLAY") or None
    fixture = Fixture(args.build, display=user_display, site_like=args.site_like)
    try:
        print("Starting the demo network: two storage servers, eight channels...", flush=True)
        fixture.start_storage_servers()
        fixture.start_multicast()
        fixture.start_hls()
        app = fixture.start_program(args.multicast)
        if user_display:
            print("Corvessa is running on your display. Close its window to end the demo.")
            app.wait()
            return 0
        os.makedirs(args.shots, exist_ok=True)
        channels = os.path.join(args.shots, "channel-window.png")
        fixture.hover(fixture.channel_window, 300, 100)
        time.sleep(0.3)  # let the hover picture show for the screenshot
        fixture.screenshot(fixture.channel_window, channels)
        fixture.click(fixture.channel_window, *centre(2))
        player = fixture.wait_window(" - " + address(2, hls=not args.multicast), timeout=10)
        wait_for(lambda: share_of_picture(fixture.screenshot(player)) > 0.5, 20,
                 "the first picture")
        playing = os.path.join(args.shots, "playing-channel-2.png")
        fixture.screenshot(player, playing)
        print("No display here, so Corvessa ran under Xvfb. Screenshots:")
        print("  channel window:  " + channels)
        print("  playing channel: " + playing + "  (" + fixture.name(player) + ")")
        fixture.key(player, "Escape")
        fixture.key(fixture.channel_window, "Escape")
        app.wait(10)
        return 0
    finally:
        fixture.stop()


if __name__ == "__main__":
    sys.exit(demo(sys.argv[1:]))
