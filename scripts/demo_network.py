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


def encode_clips(cache):
    """One short H.264 clip per channel, its number drawn large over a test pattern.

    Encoded once and sent on a loop with -c copy: sixteen live encoders do not fit two cores.
    A keyframe every 0.5 s lets a viewer join quickly.
    """
    os.makedirs(cache, exist_ok=True)
    with open(os.path.join(cache, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        for n in range(1, 9):
            clip = os.path.join(cache, "channel%d.ts" % n)
            if os.path.exists(clip):
                continue
            text = "drawtext=fontfile=%s:text='频道 %d':fontsize=110:fontcolor=white:" \
                   "box=1:boxcolor=black@0.6:x=(w-tw)/2:y=(h-th)/2" % (FONT, n)
            subprocess.run(
                ["ffmpeg", "-nostdin", "-loglevel", "error", "-y",
                 "-f", "lavfi", "-i", "testsrc2=size=640x360:rate=25",
                 "-t", "4", "-vf", text,
                 "-c:v", "libx264", "-preset", "veryfast", "-tune", "zerolatency",
                 "-g", "12", "-keyint_min", "12", "-sc_threshold", "0", "-pix_fmt", "yuv420p",
                 "-muxdelay", "0", "-muxpreload", "0", "-f", "mpegts", clip + ".part"],
                check=True)
            os.replace(clip + ".part", clip)
    return {n: os.path.join(cache, "channel%d.ts" % n) for n in range(1, 9)}


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
    def __init__(self, build_dir, workdir=None, display=None):
        require_private_network()
        self.build_dir = os.path.abspath(build_dir)
        self.program = os.path.join(self.build_dir, "quorvel")
        self.work = workdir or tempfile.mkdtemp(prefix="corvessa-")
        self.processes = []
        self.display = display
        self.clips = encode_clips(os.path.join(self.build_dir, "e2e-media"))
        self.www = {k: os.path.join(self.work, "www%d" % k) for k in SERVERS}

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
            if k in up:
                self.spawn([sys.executable, "-m", "http.server", "80", "--bind", address,
                            "--directory", www])
        for k in up:
            wait_for(lambda: self._listening(SERVERS[k], 80), 10, "storage server %d" % k)

    @staticmethod
    def _listening(address, port):
        with contextlib.closing(socket.socket()) as s:
            s.settimeout(0.2)
            return s.connect_ex((address, port)) == 0

    def start_multicast(self, channels=range(1, 9)):
        senders = []
        for n in channels:
            senders.append(self.spawn(["ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-stream_loop", "-1",
                        "-i", self.clips[n], "-c", "copy", "-f", "mpegts",
                        "udp://224.1.1.%d:1234?pkt_size=1316&ttl=1" % n]))
        return senders

    def start_hls(self, channels=range(1, 9)):
        for n in channels:
            out = os.path.join(self.www[2 if n > 6 else 1], "hls", "ch%d" % n)
            os.makedirs(out, exist_ok=True)
            self.spawn(["ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-stream_loop", "-1",
                        "-i", self.clips[n], "-c", "copy", "-f", "hls", "-hls_time", "1",
                        "-hls_list_size", "6", "-hls_flags", "delete_segments",
                        "-hls_segment_filename", os.path.join(out, "seg%05d.ts"),
                        os.path.join(out, "index.m3u8")])
        for n in channels:
            playlist = os.path.join(self.www[2 if n > 6 else 1], "hls", "ch%d" % n, "index.m3u8")
            wait_for(lambda: os.path.exists(playlist), 15, "HLS playlist of channel %d" % n)

    # --- the display and the program ---------------------------------------------------------

    def start_display(self):
        """Xvfb with openbox managing its windows, as a viewer's desktop has a window manager: it
        frames, places and focuses windows, and decides what maximize and full screen do."""
        if self.display:
            return self.display
        r, w = os.pipe()
        self.spawn(["Xvfb", "-displayfd", str(w), "-screen", "0", "1280x1024x24", "-nolisten",
                    "tcp", "-noreset"], pass_fds=(w,))
        os.close(w)
        with os.fdopen(r) as f:
            self.display = ":" + f.readline().strip()
        env = dict(os.environ, DISPLAY=self.display)
        self.spawn(["openbox", "--sm-disable"], env=env)
        wait_for(lambda: "window id" in subprocess.run(
            ["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], capture_output=True, text=True,
            env=env).stdout, 10, "the window manager")
        return self.display

    def site(self, multicast):
        """A working folder for the program: its settings file and its pictures."""
        site = os.path.join(self.work, "site")
        os.makedirs(site, exist_ok=True)
        with open(os.path.join(site, "Quorvel.ini"), "w") as f:
            f.write("[Default]\r\nMutiMode=%d\r\n" % (1 if multicast else 0))
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
        self.channel_window = self.wait_window("Corvessa")
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

    def wait_window(self, title, timeout=15):
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
        for p in self.processes:
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                os.killpg(p.pid, signal.SIGKILL)
                p.wait()


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
    parser.add_argument("--shots", default=os.path.join(ROOT, "build", "demo"),
                        help="where screenshots go when there is no display")
    args = parser.parse_args(argv)

    user_display = os.environ.get("DISPLAY") or None
    fixture = Fixture(args.build, display=user_display)
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
