"""Corvessa end to end: the real program on the demo network, under Xvfb, driven by xdotool."""
import os
import random
import shutil
import statistics
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import demo_network as fx  # noqa: E402
from hostile_hls import HostileHls  # noqa: E402

BUILD = os.environ.get("CORVESSA_BUILD_DIR", os.path.join(fx.ROOT, "build"))
SHOTS = os.path.join(BUILD, "e2e-shots")


centre = fx.centre


def button_picture(channel, lit):
    """A button's picture as the program has it: images/channelNN-1.jpg, or -2 lit up."""
    path = os.path.join(fx.ROOT, "images", "channel%02d-%d.jpg" % (channel, 2 if lit else 1))
    ppm = subprocess.run(["convert", path, "-depth", "8", "ppm:-"], capture_output=True,
                         check=True).stdout
    return fx.parse_ppm(ppm)


def difference_at(shot, channel, expected):
    """Mean absolute difference per colour channel between button `channel`'s middle 180 x 180
    pixels in a shot of the channel window and a picture of that size."""
    assert expected[:2] == (180, 180)
    x, y = centre(channel)
    w, _, rgb = shot
    region = b"".join(rgb[3 * ((y + r) * w + x - 90):3 * ((y + r) * w + x + 90)]
                      for r in range(-90, 90))
    step = 5
    return sum(abs(region[i] - expected[2][i]) for i in range(0, len(region), step)) / (
        len(region) / step)


def shows(shot, channel, expected):
    return difference_at(shot, channel, expected) < 8


def pixels(shot, left, top, width, height):
    """Every other pixel of a region, each as (r, g, b), row by row."""
    w, _, rgb = shot
    for y in range(top, top + height, 2):
        for x in range(left, left + width, 2):
            p = 3 * (y * w + x)
            yield rgb[p], rgb[p + 1], rgb[p + 2]


def bright_pixels(shot, left, top, width, height):
    """How many pixels of a region are near white: the program's texts over the picture."""
    return sum(min(p) > 200 for p in pixels(shot, left, top, width, height))


def dim_share(shot, left, top, width, height):
    """The share of a region's pixels that are dim: under the panel's plate, which lets a third
    of the picture through, even the bars of full colour are."""
    dim = [max(p) < 120 for p in pixels(shot, left, top, width, height)]
    return sum(dim) / len(dim)


class UnansweredPort:
    """A listener whose accept queue is full: connection attempts get no answer at all,
    as with a host that is down."""

    def __init__(self, address, port):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((address, port))
        self.sock.listen(0)
        self.fillers = []
        for _ in range(16):
            c = socket.socket()
            c.setblocking(False)
            self.fillers.append(c)
            if c.connect_ex((address, port)) not in (0, 115):
                break
            try:
                fx.wait_for(lambda: c.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) == 0 and
                            self._connected(c), 0.2, "filler")
            except TimeoutError:
                return
        raise RuntimeError("could not fill the accept queue")

    def close(self):
        for c in self.fillers:
            c.close()
        self.sock.close()

    @staticmethod
    def _connected(c):
        try:
            c.getpeername()
            return True
        except OSError:
            return False


class EndToEnd(unittest.TestCase):
    def setUp(self):
        random.seed(self.id())  # the senders' staggered starts, the same on every run
        self.fixture = fx.Fixture(BUILD)
        self.addCleanup(self.fixture.stop)
        os.makedirs(SHOTS, exist_ok=True)

    def start(self, multicast):
        self.app = self.fixture.start_program(multicast)
        self.window = self.fixture.channel_window
        return self.window

    def click_channel(self, channel, double=False):
        # As a viewer would: once the channel window has its focus back from a window that has
        # just closed. On a loaded machine a click sent sooner can reach it while it still waits
        # on that window, and is lost.
        fx.wait_for(lambda: self.fixture.xdo("getactivewindow", check=False).strip() ==
                    str(self.window), 60, "the channel window to have the focus")
        if double:
            self.double_click("--window", self.window, *centre(channel))
        else:
            self.fixture.click(self.window, *centre(channel))

    def open_channel(self, channel, title, shot=None):
        """A click on the channel opens its window, titled `title`; given `shot`, it plays."""
        self.click_channel(channel)
        player = self.fixture.wait_window(title)
        if shot:
            self.assert_plays(player, shot)
        return player

    def double_click(self, *where):
        self.fixture.xdo("mousemove", *where)
        self.fixture.xdo("click", "--repeat", "2", "--delay", "60", "1")

    def double_click_channel(self, channel, title):
        """A double click opens one window of its own size: the second click does not reach the
        player as a double click on its picture (full screen)."""
        self.click_channel(channel, double=True)
        player = self.fixture.wait_window(title)
        time.sleep(0.5)  # a full screen that comes would have come by now
        self.assertEqual(self.fixture.geometry(player)[2:], (800, 600))
        return player

    def wait_grey(self, window, timeout, what):
        fx.wait_for(lambda: fx.share_of_colour(self.fixture.screenshot(window), fx.BACKGROUND)
                    > 0.9, timeout, what)

    def assert_plays(self, player, shot):
        fx.wait_for(lambda: fx.share_of_picture(self.fixture.screenshot(player)) > 0.5, 30,
                    "the stream's picture in " + shot)
        self.fixture.screenshot(player, os.path.join(SHOTS, shot))

    def escape(self, window):
        """Presses Escape in the window; returns when."""
        self.fixture.xdo("windowfocus", "--sync", window)
        pressed = time.monotonic()
        self.fixture.xdo("key", "--clearmodifiers", "Escape")
        return pressed

    def close(self, window, within=None):
        """Escape closes the window (in `within` seconds of the key, when given)."""
        pressed = self.escape(window)
        fx.wait_for(lambda: window not in self.fixture.windows(), 5, "the window to close",
                    interval=0.01)
        if within:
            self.assertLess(time.monotonic() - pressed, within, "closing the window")

    def quit(self, within=None):
        """Escape in the channel window ends the program, with status 0."""
        pressed = self.escape(self.window)
        self.assertEqual(self.app.wait(10), 0)
        if within:
            self.assertLess(time.monotonic() - pressed, within, "ending the program")

    def dismiss(self, box):
        """The message box is up beside the channel window, no player window; Return closes it."""
        self.assertEqual(sorted(self.fixture.windows()), sorted([self.window, box]),
                         "no player window")
        self.fixture.key(box, "Return")
        self.fixture.wait_no_window("提示")

    def relist(self, channel, url):
        """Storage server 1's channel list names `url` for `channel`; returns the list's path."""
        listing = os.path.join(self.fixture.www[1], "hls", "storage_tasks.json")
        with open(listing, "rb") as f:
            text = f.read().replace(fx.address(channel, hls=True).encode(), url)
        with open(listing, "wb") as f:
            f.write(text)
        return listing

    def start_logged(self, multicast, settings=None, args=("--verbose",), env=None):
        """The program with its standard error in a file, read back by told()."""
        self.log_path = os.path.join(self.fixture.work, "stderr-%d.log" % len(args))
        with open(self.log_path, "w") as log:
            self.app = self.fixture.start_program(
                multicast, site=self.fixture.site(multicast, settings), args=args, stderr=log,
                env=env)
        self.window = self.fixture.channel_window

    def told(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()


class Multicast(EndToEnd):
    def test_a_stream_that_stops_goes_grey_is_opened_again_and_closes_at_once(self):
        senders = self.fixture.start_multicast([3, 7])
        self.start(multicast=True)
        silent = self.open_channel(4, " - udp://@224.1.1.4:1234")  # nobody sends to group 4
        self.wait_grey(silent, 10, "the window's grey before any picture")
        self.fixture.screenshot(silent, os.path.join(SHOTS, "never-starts.png"))
        self.close(silent)

        player = self.open_channel(3, " - udp://@224.1.1.3:1234", "reopen-before.png")
        senders[0].kill()
        senders[0].wait()
        # With no new picture for 5 s the stream is closed, to be opened again after a wait;
        # the window is its grey meanwhile.
        self.wait_grey(player, 20, "the window's grey after the stall")
        self.assertIsNone(self.app.poll(), "the program is still running")
        sender = self.fixture.start_multicast([3])[0]
        self.assert_plays(player, "reopen-after.png")
        self.assertEqual(sorted(self.fixture.windows()), sorted([self.window, player]))

        sender.kill()  # mid-play again: closing does not wait on the stream
        sender.wait()
        time.sleep(3)  # libvlc's input is blocked reading a stream that sends nothing by now
        self.close(player, within=2.0)
        self.open_channel(7, " - udp://@224.1.1.7:1234", "multicast-channel-7-after-stop.png")


class ViewerKeys(EndToEnd):
    # Inside the info panel's plate in the top left of an 800 x 600 player, between its lines.
    PANEL = (24, 90, 200, 150)

    def test_keys_of_the_player_window_and_the_channel_window(self):
        """Digits and Page Down switch channels in one window, I shows and hides the panel of
        figures; a double click opens a fresh window; Return leaves the channel window be,
        Escape ends the program."""
        self.fixture.start_multicast([1, 2])
        self.start(multicast=True)
        self.fixture.key(self.window, "1")
        player = self.fixture.wait_window(" - udp://@224.1.1.1:1234")
        self.assert_plays(player, "keys-channel-1.png")
        self.fixture.key(player, "Next")  # Page Down
        fx.wait_for(lambda: self.fixture.name(player) == " - udp://@224.1.1.2:1234", 5,
                    "the title of channel 2")
        self.assert_plays(player, "keys-channel-2.png")
        self.assertLess(dim_share(self.fixture.screenshot(player), *self.PANEL), 0.3,
                        "the picture there, no plate")
        self.fixture.key(player, "i")
        fx.wait_for(lambda: dim_share(self.fixture.screenshot(player), *self.PANEL) > 0.6, 5,
                    "the panel's plate")
        self.fixture.screenshot(player, os.path.join(SHOTS, "panel-shown.png"))
        self.fixture.key(player, "i")
        fx.wait_for(lambda: dim_share(self.fixture.screenshot(player), *self.PANEL) < 0.3, 5,
                    "the panel to go")
        self.assertGreater(fx.share_of_picture(self.fixture.screenshot(player)), 0.5)
        self.fixture.key(player, "1")
        fx.wait_for(lambda: self.fixture.name(player) == " - udp://@224.1.1.1:1234", 5,
                    "the title of channel 1")
        self.close(player)

        second = self.double_click_channel(2, " - udp://@224.1.1.2:1234")
        self.assertNotEqual(player, second, "each click opens a fresh player window")
        self.assert_plays(second, "multicast-channel-2.png")
        self.close(second)
        self.fixture.key(self.window, "Return")
        time.sleep(0.3)  # give a wrongly closing window the time to go
        self.assertIn(self.window, self.fixture.windows("Corvessa"))
        self.assertIsNone(self.app.poll())
        self.quit()


class Pictures(EndToEnd):
    def test_channel_window_shows_the_pictures_and_lights_up_under_the_mouse(self):
        self.start(multicast=True)
        normal = {n: button_picture(n, lit=False) for n in range(1, 9)}
        lit = {n: button_picture(n, lit=True) for n in range(1, 9)}

        self.fixture.hover(self.window, 400, 500)  # below the buttons
        shot = self.fixture.screenshot(self.window, os.path.join(SHOTS, "channel-window.png"))
        for n in range(1, 9):
            self.assertLess(difference_at(shot, n, normal[n]), 8, "channel %d" % n)
            self.assertGreater(difference_at(shot, n, lit[n]), 20, "channel %d" % n)

        self.fixture.hover(self.window, *centre(3))
        shot = fx.wait_for(lambda: (lambda s: s if shows(s, 3, lit[3]) else None)(
            self.fixture.screenshot(self.window)), 5, "the hover picture of channel 3")
        self.fixture.screenshot(self.window, os.path.join(SHOTS, "channel-window-hover-3.png"))
        for n in (1, 2, 4, 5, 6, 7, 8):
            self.assertTrue(shows(shot, n, normal[n]), "channel %d" % n)

        self.fixture.hover(self.window, 400, 500)
        fx.wait_for(lambda: shows(self.fixture.screenshot(self.window), 3, normal[3]), 5,
                    "channel 3 back to its normal picture")

        # A player opened over the resting mouse and closed: the button under it lights up
        # without the mouse moving.
        self.fixture.hover(self.window, *centre(6))
        self.fixture.key(self.window, "1")
        self.close(self.fixture.wait_window(" - udp://@224.1.1.1:1234"))
        fx.wait_for(lambda: shows(self.fixture.screenshot(self.window), 6, lit[6]), 5,
                    "button 6 to light up without the mouse moving")


def process_figures(pid):
    """Open file descriptors, threads and resident memory (kB) of a process."""
    fds = len(os.listdir("/proc/%d/fd" % pid))
    with open("/proc/%d/status" % pid) as f:
        status = dict(line.split(":", 1) for line in f)
    return fds, int(status["Threads"]), int(status["VmRSS"].split()[0])


def assert_no_growth(test, figures, warm_up, what):
    """Judges a trend, not two samples. A player let go is still being torn down for a moment,
    which only ever adds threads and descriptors to a sample (threads swing between 6 and 12 from
    window to window): their floor is what a leak raises, so the lowest count of the first and
    of the last fifth after the warm-up must agree. Resident memory swings both ways: medians."""
    settled = figures[warm_up:]
    fifth = max(1, len(settled) // 5)
    first, last = settled[:fifth], settled[-fifth:]
    test.assertLessEqual(min(f[0] for f in last), min(f[0] for f in first) + 1,
                         "%s: file descriptors grew" % what)
    test.assertLessEqual(min(f[1] for f in last), min(f[1] for f in first) + 2,
                         "%s: threads grew" % what)
    test.assertLessEqual(statistics.median(f[2] for f in last) -
                         statistics.median(f[2] for f in first), 25 * 1024,
                         "%s: resident memory grew by over 25 MB" % what)


class Soak(EndToEnd):
    WINDOWS = int(os.environ.get("CORVESSA_SOAK_WINDOWS", "200"))
    WARM_UP = 5

    def test_player_windows_leave_nothing_behind(self):
        self.fixture.start_multicast()
        self.start(multicast=True)
        figures = []
        for i in range(self.WINDOWS):
            channel = i % 8 + 1
            player = self.open_channel(channel, " - udp://@224.1.1.%d:1234" % channel)
            fx.wait_for(lambda: fx.share_of_picture(self.fixture.screenshot(player)) > 0.5, 30,
                        "channel %d's picture, window %d" % (channel, i + 1))
            self.close(player)
            figures.append(process_figures(self.app.pid))
        warm, last = figures[self.WARM_UP - 1], figures[-1]
        report = os.path.join(BUILD, "soak.txt")
        with open(report, "w") as f:
            f.write("window fds threads rss_kB\n")
            for i, (fds, threads, rss) in enumerate(figures, 1):
                f.write("%d %d %d %d\n" % (i, fds, threads, rss))
        print("soak: after %d windows fds %d, threads %d, RSS %d kB; after %d: %d, %d, %d kB "
              "(figures in %s)" % ((self.WARM_UP,) + warm + (self.WINDOWS,) + last + (report,)))
        assert_no_growth(self, figures, self.WARM_UP, "player windows")


class StorageServers(EndToEnd):
    def test_channels_play_what_their_servers_list_and_verbose_tells_how(self):
        """A double click on channel 3 plays it; Page Down to channel 4, which is not served,
        reopens it; channel 8 plays from the second server. Without --verbose the program says
        nothing; with it, it tells each lookup, each play and each reopen."""
        self.fixture.start_storage_servers()
        self.fixture.start_hls([3, 8])
        runtime = tempfile.mkdtemp(prefix="corvessa-runtime-")
        self.addCleanup(shutil.rmtree, runtime, True)
        os.chmod(runtime, 0o700)
        for args in ((), ("--verbose",)):
            self.start_logged(False, args=args, env={"XDG_RUNTIME_DIR": runtime})
            player = self.double_click_channel(3, " - http://192.168.10.11/hls/ch3/index.m3u8")
            self.assert_plays(player, "storage-channel-3-%d.png" % len(args))
            self.fixture.key(player, "Next")  # Page Down
            fx.wait_for(lambda: self.fixture.name(player) ==
                        " - http://192.168.10.11/hls/ch4/index.m3u8", 10, "channel 4's title")
            if args:
                fx.wait_for(lambda: "opening it again" in self.told(), 15,
                            "channel 4's stop to be told")
            self.close(player)
            self.close(self.open_channel(8, " - http://192.168.10.12/hls/ch8/index.m3u8",
                                         "storage-channel-8-%d.png" % len(args)))
            self.quit()
            lines = self.told().splitlines()
            if not args:
                self.assertEqual(lines, [], "\n".join(lines))
        own = [line for line in lines if not line.startswith("libvlc ")]
        for n in (3, 8):
            address = fx.address(n, hls=True)
            self.assertIn("lookup of channel %d: storage server %s answered the probe in"
                          % (n, fx.server_for(n)), "\n".join(own))
            self.assertTrue(any(line.startswith("lookup of channel %d:" % n) and
                                line.endswith("; address " + address) for line in own), own)
            self.assertIn("play " + address, own)
        self.assertTrue(any(line.startswith("play http://192.168.10.11/hls/ch4/") for line in own),
                        own)
        self.assertTrue(any(line.startswith("stopped http://192.168.10.11/hls/ch4/index.m3u8 (")
                            and "opening it again in 1 s" in line for line in own), own)
        self.assertTrue(any(line.startswith("libvlc ") for line in lines), "libvlc's log")

    def test_server_that_is_down_is_told_after_two_seconds_and_only_on_a_click(self):
        down = UnansweredPort(fx.SERVERS[1], 80)
        self.addCleanup(down.close)
        self.fixture.start_storage_servers(up=(2,))
        self.fixture.start_hls([7])
        self.start(multicast=False)
        clicked = time.monotonic()
        self.fixture.click(self.window, *centre(1))
        box = self.fixture.wait_window("提示", timeout=30)
        elapsed = time.monotonic() - clicked
        self.assertGreater(elapsed, 1.9)
        self.assertLess(elapsed, 4.5)  # the probe's 2 s, not the list's 10 s stall limit
        self.dismiss(box)
        self.close(self.open_channel(7, " - http://192.168.10.12/hls/ch7/index.m3u8",
                                     "storage-channel-7-after-failure.png"))

        # The lookup made while the mouse rests on the button fails unseen; the click makes it
        # again and tells it, once.
        self.fixture.hover(self.window, *centre(1))
        time.sleep(3)  # the lookup made while resting has failed by now
        self.assertEqual(self.fixture.windows("提示"), [], "no box before the click")
        self.click_channel(1)
        self.dismiss(self.fixture.wait_window("提示", timeout=30))
        time.sleep(0.5)
        self.assertEqual(self.fixture.windows("提示"), [], "told once")


# The Motif hints' bits (Motif's MwmUtil.h): functions, then decorations.
MWM_RESIZE, MWM_MOVE, MWM_MINIMIZE, MWM_MAXIMIZE, MWM_CLOSE = 2, 4, 8, 16, 32
MWM_RESIZE_HANDLES, MWM_MENU, MWM_MINIMIZE_BUTTON, MWM_MAXIMIZE_BUTTON = 4, 16, 32, 64
RESIZING = {"_NET_WM_ACTION_RESIZE", "_NET_WM_ACTION_MAXIMIZE_HORZ", "_NET_WM_ACTION_MAXIMIZE_VERT"}


class Frames(EndToEnd):
    """Each window and box under openbox, read as the window manager reads it (xprop) and where
    its frame ended up (xwininfo, _NET_FRAME_EXTENTS).

    openbox keeps a minimize button on every dialog whatever its hints say, and offers maximize
    only to a window it may resize: the player window may be resized, in steps larger than the
    screen, so that no drag changes its size."""

    @staticmethod
    def orange_rect(shot):
        """Where a solid orange picture lies: (left, top, width, height) from the middle row and
        column of the window."""
        width, height, rgb = shot

        def orange(x, y):
            r, g, b = rgb[3 * (y * width + x):3 * (y * width + x) + 3]
            return r > 190 and 90 < g < 165 and b < 90
        rows = [y for y in range(height) if orange(width // 2, y)]
        cols = [x for x in range(width) if orange(x, height // 2)]
        if not rows or not cols:
            return None
        return cols[0], rows[0], cols[-1] - cols[0] + 1, rows[-1] - rows[0] + 1

    def xprop(self, *args):
        return subprocess.run(["xprop", "-notype"] + [str(a) for a in args], capture_output=True,
                              text=True, check=True, timeout=10,
                              env=dict(os.environ, DISPLAY=self.fixture.display)).stdout

    def prop(self, window, name):
        out = self.xprop("-id", window, name)
        _, _, value = out.strip().partition(" = ")
        if not value:
            _, _, value = out.strip().partition(": ")
        return value

    def actions(self, window):
        return {a.strip() for a in self.prop(window, "_NET_WM_ALLOWED_ACTIONS").split(",")}

    def motif(self, window):
        """(functions, decorations) of the window's Motif hints."""
        flags, functions, decorations = (int(v, 16) for v in
                                         self.prop(window, "_MOTIF_WM_HINTS").split(",")[:3])
        self.assertEqual(flags & 3, 3, "both functions and decorations are given")
        return functions, decorations

    def frame(self, window):
        """The frame's corner and size on the screen."""
        x, y, w, h = self.fixture.geometry(window)
        left, right, top, bottom = (int(v) for v in
                                    self.prop(window, "_NET_FRAME_EXTENTS").split(","))
        return x - left, y - top, w + left + right, h + top + bottom

    def assert_centred(self, window):
        """The frame's middle is the work area's (the first desktop's: the one shown)."""
        root = self.xprop("-root", "_NET_WORKAREA")
        ax, ay, aw, ah = (int(v) for v in root.split(" = ")[1].split(",")[:4])
        x, y, w, h = self.frame(window)
        self.assertLessEqual(abs((x + w / 2) - (ax + aw / 2)), 1, ((x, y, w, h), root))
        self.assertLessEqual(abs((y + h / 2) - (ay + ah / 2)), 1, ((x, y, w, h), root))

    def owner(self, window):
        return int(self.prop(window, "WM_TRANSIENT_FOR").split("#")[1], 16)

    def assert_box(self, box, functions):
        """A message box or the About box: transient for the channel window, fixed, no minimize
        or maximize asked for (its button's text alone: controls' PromptTest)."""
        self.assertEqual(self.owner(box), self.window)
        self.assertEqual(self.motif(box)[0], functions)
        self.assertFalse(self.motif(box)[1] & (MWM_MINIMIZE_BUTTON | MWM_MAXIMIZE_BUTTON |
                                               MWM_RESIZE_HANDLES))
        self.assertFalse(RESIZING & self.actions(box))

    def test_channel_window_about_box_and_message_box(self):
        self.fixture.start_storage_servers(up=())  # nothing answers: a click is refused at once
        self.start(multicast=False)
        functions, decorations = self.motif(self.window)
        self.assertEqual(functions, MWM_MOVE | MWM_MINIMIZE | MWM_CLOSE)
        self.assertEqual(decorations & (MWM_MAXIMIZE_BUTTON | MWM_RESIZE_HANDLES), 0)
        actions = self.actions(self.window)
        self.assertTrue({"_NET_WM_ACTION_MOVE", "_NET_WM_ACTION_MINIMIZE",
                         "_NET_WM_ACTION_CLOSE"} <= actions, actions)
        self.assertFalse(RESIZING & actions, actions)
        self.assert_centred(self.window)

        self.fixture.key(self.window, "alt+a")
        about = self.fixture.wait_window("关于 Corvessa")
        self.assert_box(about, MWM_MOVE)
        self.fixture.key(about, "Escape")
        self.fixture.wait_no_window("关于 Corvessa")

        self.click_channel(1)
        box = self.fixture.wait_window("提示")
        self.assert_box(box, MWM_MOVE | MWM_CLOSE)
        self.fixture.screenshot(box, os.path.join(SHOTS, "message-box.png"))
        self.dismiss(box)

    def test_player_window_maximizes_and_fills_the_screen_in_shape_but_no_drag_resizes_it(self):
        """The picture keeps the stream's shape, in the window and in full screen: here an
        anamorphic stream (720 x 576, samples 64:45, so 16:9) through the relay."""
        self.fixture.clips[1] = fx.encode_clip(
            os.path.join(BUILD, "e2e-media"), "orange-anamorphic", "color=c=0xE08030:size=720x576:"
            "rate=25", 100, ["-vf", "setsar=64/45", "-c:v", "libx264", "-preset", "ultrafast",
                             "-g", "12", "-pix_fmt", "yuv420p"])
        self.fixture.start_storage_servers()
        self.fixture.start_hls([1])
        self.start(multicast=False)
        player = self.open_channel(1, " - " + fx.address(1, hls=True), "shape-window.png")
        self.assertEqual(self.orange_rect(self.fixture.screenshot(player)), (0, 75, 800, 450))
        self.assertEqual(self.owner(player), self.window)
        functions, decorations = self.motif(player)
        self.assertEqual(functions & (MWM_MOVE | MWM_MINIMIZE | MWM_MAXIMIZE | MWM_CLOSE),
                         MWM_MOVE | MWM_MINIMIZE | MWM_MAXIMIZE | MWM_CLOSE)
        self.assertEqual(decorations & (MWM_MAXIMIZE_BUTTON | MWM_RESIZE_HANDLES),
                         MWM_MAXIMIZE_BUTTON)
        self.assertTrue({"_NET_WM_ACTION_MAXIMIZE_HORZ", "_NET_WM_ACTION_MAXIMIZE_VERT",
                         "_NET_WM_ACTION_FULLSCREEN"} <= self.actions(player))
        self.assert_centred(player)

        # Drag the frame's bottom right corner, and its right edge: the size never changes.
        x, y, w, h = self.frame(player)
        for start, step in (((x + w - 2, y + h - 2), (20, 16)), ((x + w - 1, y + h // 2), (25, 0))):
            self.fixture.xdo("mousemove", *start)
            self.fixture.xdo("mousedown", "1")
            for i in range(1, 6):
                self.fixture.xdo("mousemove", start[0] + step[0] * i, start[1] + step[1] * i)
                fx.wait_for(lambda: self.fixture.geometry(player)[2:] == (800, 600), 1,
                            "800 x 600 during the drag")
                self.assertEqual(self.fixture.geometry(player)[2:], (800, 600))
            self.fixture.xdo("mouseup", "1")
            self.assertEqual(self.fixture.geometry(player)[2:], (800, 600))

        x, y, w, h = self.fixture.geometry(player)
        self.double_click(x + 300, y - 8)  # the title bar
        fx.wait_for(lambda: self.fixture.geometry(player)[2] > 1200, 5, "maximized")
        self.assertIn("_NET_WM_STATE_MAXIMIZED_HORZ", self.prop(player, "_NET_WM_STATE"))
        x, y, w, h = self.fixture.geometry(player)
        self.double_click(x + 300, y - 8)
        fx.wait_for(lambda: self.fixture.geometry(player)[2:] == (800, 600), 5, "restored")

        self.fixture.key(player, "F11")
        fx.wait_for(lambda: self.fixture.geometry(player) == (0, 0, 1280, 1024), 5,
                    "full screen")
        # 1280 x 1024 screen: the next picture is made for it, 1280 x 720 in the middle.
        fx.wait_for(lambda: self.orange_rect(self.fixture.screenshot(player)) ==
                    (0, 152, 1280, 720), 5, "the picture to fill the screen's width")
        self.fixture.screenshot(player, os.path.join(SHOTS, "shape-full-screen.png"))
        self.fixture.key(player, "Escape")
        fx.wait_for(lambda: self.fixture.geometry(player)[2:] == (800, 600), 5,
                    "back from full screen")
        self.assert_centred(player)

        # From a maximized window, full screen goes back to the maximized window.
        x, y, w, h = self.fixture.geometry(player)
        self.double_click(x + 300, y - 8)
        fx.wait_for(lambda: self.fixture.geometry(player)[2] > 1200, 5, "maximized")
        self.fixture.key(player, "F11")
        fx.wait_for(lambda: self.fixture.geometry(player) == (0, 0, 1280, 1024), 5,
                    "full screen")
        self.fixture.key(player, "Escape")
        fx.wait_for(lambda: "_NET_WM_STATE_FULLSCREEN" not in self.prop(player, "_NET_WM_STATE"),
                    5, "out of full screen")
        self.assertIn("_NET_WM_STATE_MAXIMIZED_HORZ", self.prop(player, "_NET_WM_STATE"))
        self.assertGreater(self.fixture.geometry(player)[2], 1200)


class FastChannelChange(EndToEnd):
    """In multicast mode a channel starts from its buffered group of pictures."""

    def plays(self, address):
        """How the program said it played `address` last: "fast", "plain" or None."""
        ways = {"play %s from its buffered pictures" % address: "fast",
                "play %s" % address: "plain"}
        said = [ways[line] for line in self.told().split("\n") if line in ways]
        return said[-1] if said else None

    def test_a_channel_plays_from_its_buffer_and_without_one_or_turned_off_from_its_group(self):
        senders = self.fixture.start_multicast([2, 3])
        self.start_logged(multicast=True)
        time.sleep(1.5)  # a keyframe or two has come into every buffer
        player = self.open_channel(2, " - udp://@224.1.1.2:1234", "fast-channel-2.png")
        self.assertEqual(self.plays("udp://@224.1.1.2:1234"), "fast")
        self.close(player)

        senders[1].kill()  # channel 3's group falls silent: its buffer is the past
        senders[1].wait()
        time.sleep(1.5)  # silence is timed from the last datagram, whatever the load
        player = self.open_channel(3, " - udp://@224.1.1.3:1234")
        fx.wait_for(lambda: self.plays("udp://@224.1.1.3:1234"), 5, "the play")
        self.assertEqual(self.plays("udp://@224.1.1.3:1234"), "plain")
        self.fixture.start_multicast([3], stagger=0)  # the group comes back under the player
        self.assert_plays(player, "fallback-channel-3.png")
        self.close(player)
        self.quit()

        self.start_logged(multicast=True, settings={"FastChannelChange": 0})
        time.sleep(1.5)  # a buffer, were there one, would hold a keyframe or two by now
        self.open_channel(2, " - udp://@224.1.1.2:1234", "plain-channel-2.png")
        self.assertEqual(self.plays("udp://@224.1.1.2:1234"), "plain")


class Fallback(EndToEnd):
    """A multicast channel falls over to its storage server's stream and comes back; in
    storage-server mode, with Fallback=1, a channel the server cannot give plays its group."""

    HLS3 = "http://192.168.10.11/hls/ch3/index.m3u8"
    UDP3 = "udp://@224.1.1.3:1234"
    # The message line along the bottom of an 800 x 600 player, below a 16:9 picture.
    MESSAGE = (150, 530, 500, 60)
    # The status in the middle.
    STATUS = (150, 270, 500, 60)

    def said(self):
        # Found anywhere in a line: another writer's unfinished line on the same stderr may come
        # before it.
        return [line.split("on the picture: ", 1)[1] for line in self.told().split("\n")
                if "on the picture: " in line]

    def wait_title(self, player, address, timeout):
        fx.wait_for(lambda: self.fixture.name(player) == " - " + address, timeout,
                    "the title " + address)

    def message_shown(self, player):
        return bright_pixels(self.fixture.screenshot(player), *self.MESSAGE) > 40

    def test_silent_group_plays_the_storage_stream_and_its_return_switches_back(self):
        self.fixture.start_storage_servers()
        self.fixture.start_hls([3])
        self.start_logged(multicast=True)
        player = self.open_channel(3, " - " + self.UDP3)  # nobody sends to the group yet
        self.wait_title(player, self.HLS3, 10)
        fx.wait_for(lambda: self.message_shown(player), 3, "the message over the picture")
        self.assertEqual(self.said(), ["组播无信号，已改用存储服务器"])
        self.assert_plays(player, "fallback-storage-3.png")
        fx.wait_for(lambda: not self.message_shown(player), 5, "the message to go")

        sender = self.fixture.start_multicast([3], stagger=0)[0]
        started = time.monotonic()
        # The group must carry its pictures for 10 s before the window goes back to it; the
        # picture shows all along.
        while self.fixture.name(player) == " - " + self.HLS3:
            self.assertLess(time.monotonic() - started, 25, "the switch back")
            self.assertGreater(fx.share_of_picture(self.fixture.screenshot(player)), 0.5,
                               "a picture while the storage stream plays")
        self.assertGreater(time.monotonic() - started, 9.5, "ten seconds of the group first")
        self.assertGreater(fx.share_of_picture(self.fixture.screenshot(player)), 0.5,
                           "a picture right after the switch back")
        fx.wait_for(lambda: self.message_shown(player), 3, "the message of the return")
        self.assertEqual(self.said(), ["组播无信号，已改用存储服务器", "已恢复组播"],
                         self.told()[-3000:])  # how it came back, should this fail
        self.fixture.screenshot(player, os.path.join(SHOTS, "fallback-back-on-group-3.png"))
        # The window plays on with the player that came back: another channel from it is that
        # channel (nobody sends to group 4), not the group it came back to.
        self.fixture.key(player, "Next")  # Page Down
        self.wait_title(player, "udp://@224.1.1.4:1234", 5)
        # The title may change a moment before the window is painted again.
        fx.wait_for(lambda: fx.share_of_picture(self.fixture.screenshot(player)) < 0.1, 5,
                    "channel 3's picture to go")
        cleared = time.monotonic()
        while time.monotonic() - cleared < 1.5:
            self.assertLess(fx.share_of_picture(self.fixture.screenshot(player)), 0.1,
                            "a picture on channel 4, which nobody sends")
        self.fixture.key(player, "Prior")  # Page Up
        self.wait_title(player, self.UDP3, 5)
        self.assert_plays(player, "fallback-group-3-again.png")

        sender.kill()  # mid-play: the group falls silent again
        sender.wait()
        went = time.monotonic()
        self.wait_title(player, self.HLS3, 10)
        self.assertGreater(time.monotonic() - went, 1.5, "two seconds of silence first")
        self.assert_plays(player, "fallback-storage-again-3.png")
        self.close(player)

    def test_storage_server_down_as_well_leaves_the_window_as_it_was(self):
        down = UnansweredPort(fx.SERVERS[1], 80)  # the probe waits its 2 s, every time
        self.addCleanup(down.close)
        self.start_logged(multicast=True)
        player = self.open_channel(3, " - " + self.UDP3)
        # Past the stall watch's 5 s: the window counts down to the next reopen, as without the
        # fallback, and no box shows.
        fx.wait_for(lambda: bright_pixels(self.fixture.screenshot(player), *self.STATUS) > 40,
                    10, "the status in the middle")
        # Silent from 2 s, the probe's 2 s, the next try 5 s later and its 2 s.
        fx.wait_for(lambda: "asking again in 10000 ms" in self.told(), 20, "a second lookup")
        self.assertIn("asking again in 5000 ms", self.told())
        shot = self.fixture.screenshot(player, os.path.join(SHOTS, "fallback-nothing-plays.png"))
        self.assertGreater(fx.share_of_colour(shot, fx.BACKGROUND), 0.8, "nothing plays")
        self.assertGreater(bright_pixels(shot, *self.STATUS), 40, "the window says so")
        self.assertEqual(self.fixture.name(player), " - " + self.UDP3)
        self.assertEqual(self.fixture.windows("提示"), [], "no box")
        self.assertEqual(self.said(), [])
        # A lookup is under way or waiting: nothing holds up closing the window or the program.
        self.close(player, within=2.0)
        self.quit()

    def test_storage_mode_with_fallback_plays_the_group_of_a_channel_its_server_cannot_give(self):
        self.fixture.start_multicast([3])
        self.start_logged(multicast=False, settings={"Fallback": 1})  # no storage server up
        player = self.open_channel(3, " - " + self.UDP3, "storage-fallback-group-3.png")
        self.assertEqual(self.said(), ["存储服务器不可用，已改用组播"])
        self.assertEqual(self.fixture.windows("提示"), [], "no box")
        self.close(player)
        self.click_channel(4)  # nobody sends to group 4: the box, as without the fallback
        self.dismiss(self.fixture.wait_window("提示", timeout=10))

    def test_fallback_zero_keeps_a_silent_group(self):
        self.fixture.start_storage_servers()
        self.fixture.start_hls([3])
        self.start_logged(multicast=True, settings={"Fallback": 0})
        player = self.open_channel(3, " - " + self.UDP3)
        # The stall watch gives up on the group after 5 s: long past the 2 s of silence and the
        # storage server's quick answer that would have changed the source.
        fx.wait_for(lambda: "stopped " + self.UDP3 in self.told(), 15,
                    "the stall watch to stop the silent group")
        self.assertEqual(self.fixture.name(player), " - " + self.UDP3)
        self.assertEqual(self.said(), [])
        self.close(player)


class PreStart(EndToEnd):
    """A channel is prepared while the mouse rests on its button."""

    def test_a_click_plays_the_channel_clicked_never_the_one_rested_on(self):
        self.fixture.start_multicast([3, 5])
        self.start(multicast=True)
        self.fixture.hover(self.window, *centre(3))
        time.sleep(0.4)  # channel 3 is prepared by now
        self.fixture.click(self.window, *centre(5))
        player = self.fixture.wait_window(" - udp://@224.1.1.5:1234")
        self.assert_plays(player, "rested-on-3-clicked-5.png")
        self.assertEqual(self.fixture.windows(" - udp://@224.1.1.3:1234"), [])
        self.close(player)
        self.fixture.hover(self.window, *centre(3))
        time.sleep(0.4)
        self.click_channel(3)
        self.assert_plays(self.fixture.wait_window(" - udp://@224.1.1.3:1234"), "rested-on-3.png")

    def test_the_window_paints_while_a_lookup_waits_for_a_silent_server(self):
        down = HostileHls(fx.SERVERS[1], 80, self.fixture.work)
        down.freeze()  # the list is asked for and never sent: 10 s
        self.addCleanup(down.close)
        self.fixture.start_storage_servers(up=(2,))
        self.start(multicast=False)
        lit = button_picture(5, lit=True)
        self.fixture.click(self.window, *centre(1))
        self.fixture.hover(self.window, *centre(5))
        fx.wait_for(lambda: shows(self.fixture.screenshot(self.window), 5, lit), 5,
                    "button 5 to light up during the lookup")
        self.assertEqual(self.fixture.windows("提示"), [], "the lookup is still waiting")
        self.dismiss(self.fixture.wait_window("提示", timeout=30))

    def test_resting_and_leaving_two_hundred_times_leaves_nothing_behind(self):
        self.fixture.start_multicast()
        self.start(multicast=True)
        figures = []
        for i in range(200):
            self.fixture.hover(self.window, *centre(i % 8 + 1))
            time.sleep(0.25)  # rested: the channel is prepared and decoding
            self.fixture.hover(self.window, 400, 500)  # below the buttons: let go
            time.sleep(0.05)
            figures.append(process_figures(self.app.pid))
        warm, last = figures[9], figures[-1]
        print("rest and leave: after 10 fds %d, threads %d, RSS %d kB; after 200: %d, %d, %d kB"
              % (warm + last))
        assert_no_growth(self, figures, 10, "rest and leave")


class HostileSite(EndToEnd):
    """Lists and pictures that once froze or killed the program."""

    def test_an_address_of_six_megabytes_or_a_list_of_sixteen_mebibytes_is_no_address(self):
        self.fixture.start_storage_servers()
        listing = self.relist(3, b"http://192.168.10.11/LONG")
        with open(listing, "rb") as f:
            head, tail = f.read().split(b"LONG")
        for size in (len(head) + (6 << 20) + len(tail), 16 << 20):
            with open(listing, "wb") as f:
                f.write(head + b"a" * (size - len(head) - len(tail)) + tail)
            self.start(multicast=False)
            self.fixture.click(self.window, *centre(3))
            box = self.fixture.wait_window("提示", timeout=30)
            self.assertIsNone(self.app.poll(), "the program is running")
            self.dismiss(box)
            self.quit()

    def test_the_window_shows_whatever_lies_in_images(self):
        site = self.fixture.site(multicast=True)
        images = os.path.join(site, "images")
        os.unlink(images)
        os.makedirs(images)
        big = os.path.join(images, "channel02-1.jpg")
        subprocess.run(["convert", "-size", "5700x5700", "plasma:", "-quality", "20", big],
                       check=True)
        for n in range(2, 9):
            for k in (1, 2):
                name = os.path.join(images, "channel%02d-%d.jpg" % (n, k))
                if name != big:
                    os.link(big, name)
        os.mkfifo(os.path.join(images, "channel01-1.jpg"))
        os.mkfifo(os.path.join(images, "channel01-2.jpg"))
        started = time.monotonic()
        self.app = self.fixture.start_program(multicast=True, site=site)
        print("channel window with hostile pictures shown after %.2f s" %
              (time.monotonic() - started))
        self.assertLess(time.monotonic() - started, 10, "the channel window shows")
        self.window = self.fixture.channel_window
        self.fixture.start_multicast([1])
        self.open_channel(1, " - udp://@224.1.1.1:1234", "fifo-channel-1.png")


class StuckStreams(EndToEnd):
    """Storage servers that never answer, stop answering, drip, or send a segment that never
    ends."""

    def start_with(self, frozen=False, **hostile):
        self.fixture.start_storage_servers()
        self.fixture.start_hls([4, 7])
        folder = os.path.join(self.fixture.www[1], "hls", "ch4")
        self.server = HostileHls(fx.SERVERS[1], 8081, folder, **hostile)
        self.addCleanup(self.server.close)
        if frozen:
            self.server.freeze()
        url = self.server.url(fx.SERVERS[1])
        self.relist(4, url.encode())
        self.start(multicast=False)
        return self.open_channel(4, " - " + url)

    def finish(self, player):
        """Escape closes the player at once; the next channel plays; the program ends at once."""
        self.close(player, within=1.0)
        self.close(self.open_channel(7, " - http://192.168.10.12/hls/ch7/index.m3u8",
                                     "after-stuck-stream.png"))
        self.quit(within=5.0)

    def test_server_that_never_answers(self):
        player = self.start_with(frozen=True)
        fx.wait_for(lambda: self.server.held, 10, "the stream to connect to the silent server")
        time.sleep(1)  # the stream has been connecting for a second
        self.finish(player)

    def test_server_that_stops_answering_mid_play(self):
        player = self.start_with()
        self.assert_plays(player, "before-freeze.png")
        self.server.freeze()
        # Past the stall watch's 5 s: the stalled player is being let go, its stop stuck.
        self.wait_grey(player, 15, "the stalled stream to be let go")
        self.finish(player)

    def test_server_that_sends_slower_than_the_stream(self):
        player = self.start_with()
        self.assert_plays(player, "before-drip.png")
        self.server.drip(20000)  # bytes a second: a tenth of the stream's rate
        time.sleep(6)
        self.finish(player)

    def test_segment_that_never_ends(self):
        player = self.start_with(endless_source=self.fixture.clips[4])
        peak = 0
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            peak = max(peak, process_figures(self.app.pid)[2])
            time.sleep(0.2)
        print("resident memory with an endless segment, peak over 10 s: %d MB" % (peak // 1024))
        # AddressSanitizer holds freed memory back (256 MB by default) and adds its shadow, so
        # its build is held only to a bound that unchecked growth (1 GB in 10 s) still breaks.
        bound = 1024 if os.environ.get("CORVESSA_SANITIZED") == "1" else 400
        self.assertLess(peak, bound * 1024, "resident memory")
        self.finish(player)


if __name__ == "__main__":
    unittest.main()
