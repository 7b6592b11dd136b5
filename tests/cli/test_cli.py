"""The program's command line and its answer when there is no display to show windows on.

Runs the built program; the display cases need no display at all, and the one that starts the
program for real uses a private Xvfb. Run through CTest inside scripts/in-netns.sh.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import demo_network as fx  # noqa: E402

BUILD = os.environ.get("CORVESSA_BUILD_DIR", os.path.join(fx.ROOT, "build"))
PROGRAM = os.path.join(BUILD, "quorvel")
VERSION = os.environ.get("CORVESSA_VERSION", "")


def environment(**values):
    """The test's environment without any display, plus `values`."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_SESSION_TYPE")}
    env["DBUS_SESSION_BUS_ADDRESS"] = "disabled:"
    env.update(values)
    return env


def run(*args, env=None, cwd=None):
    return subprocess.run([PROGRAM] + list(args), capture_output=True, text=True, timeout=30,
                          env=env or environment(), cwd=cwd)


def unused_display():
    """An X11 display number no server listens on, in this namespace or in /tmp/.X11-unix."""
    for n in range(190, 400):
        if not os.path.exists("/tmp/.X11-unix/X%d" % n) and not os.path.exists("/tmp/.X%d-lock" % n):
            return ":%d" % n
    raise RuntimeError("no free display number")


class Options(unittest.TestCase):
    def test_version_comes_from_the_build(self):
        self.assertTrue(VERSION, "CTest passes the project's version")
        r = run("--version")
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "Corvessa %s\n" % VERSION, ""))

    def test_libcurl_is_not_loaded_at_start_nor_shadowed(self):
        """libcurl and the thirty libraries it needs wait for the first lookup (lazycurl/);
        the program's stand-ins for its functions are its own, never libcurl's."""
        dynamic = subprocess.run(["readelf", "-d", "-W", PROGRAM], capture_output=True,
                                 text=True, check=True, timeout=30).stdout
        self.assertIn("libvlc.so", dynamic)
        self.assertNotIn("libcurl", dynamic)
        loaded = run("--version", env=environment(LD_DEBUG="files")).stderr
        self.assertIn("libQt6Core.so", loaded)
        self.assertNotIn("libcurl", loaded)
        exported = subprocess.run(["nm", "-D", "--defined-only", PROGRAM], capture_output=True,
                                  text=True, check=True, timeout=30).stdout
        self.assertNotIn(" curl_", exported)

    def test_help_lists_options_keys_and_every_setting(self):
        long, short = run("--help"), run("-h")
        self.assertEqual((long.returncode, short.returncode), (0, 0))
        self.assertEqual(long.stdout, short.stdout)
        self.assertTrue(long.stdout.startswith("Usage: quorvel "))
        for words in ("--verbose", "--version", "F11", "Page Up", "Alt+A", "MutiMode=",
                      "StorageServer1To6=", "StorageServer7To8=", "NetworkCaching=",
                      "FastChannelChange=", "PreStart=", "Fallback=", "images/channelNN-1.jpg"):
            self.assertIn(words, long.stdout)

    def test_unknown_options_and_arguments_print_the_usage_and_fail_with_two(self):
        for args in (["--bogus"], ["-x"], ["--verbose", "--fullscreen"], ["channel3"],
                     ["--help=yes"], ["--help", "--bogus"]):
            with self.subTest(args=args):
                r = run(*args)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertEqual(r.stdout, "")
                self.assertIn("Usage: quorvel [--help] [--version] [--verbose]", r.stderr)
                self.assertTrue(r.stderr.startswith("quorvel: "), r.stderr)
        # An unknown option wins over --help (the usage, status 2, above), and is named.
        self.assertIn("'bogus'", run("--help", "--bogus").stderr)


class NoDisplay(unittest.TestCase):
    def assert_one_line(self, env, *words):
        r = run(env=env)
        self.assertEqual(r.returncode, 1, r.stderr)
        lines = r.stderr.splitlines()
        self.assertEqual(len(lines), 1, r.stderr)
        self.assertTrue(lines[0].startswith("quorvel: no display: "), lines[0])
        self.assertNotIn("Reinstalling", r.stderr)
        for w in words:
            self.assertIn(w, lines[0])

    def test_no_display_nor_wayland_and_platforms_that_show_nothing(self):
        self.assert_one_line(environment(), "set DISPLAY")
        for platform in ("offscreen", "minimal"):
            with self.subTest(platform=platform):
                self.assert_one_line(environment(QT_QPA_PLATFORM=platform, DISPLAY=":0"),
                                     '"%s"' % platform)

    def test_display_that_no_server_answers(self):
        display = unused_display()
        self.assert_one_line(environment(DISPLAY=display), 'X11 display "%s"' % display)

    def test_wayland_that_cannot_start(self):
        # Qt tries its default platform and cannot start it: the program turns Qt's abort into
        # its own line (with --verbose, Qt's own messages are shown too).
        self.assert_one_line(environment(WAYLAND_DISPLAY="corvessa-test-no-such-socket"),
                             'Wayland display "corvessa-test-no-such-socket"')


class RealDisplay(unittest.TestCase):
    def spawn(self, args, **kwargs):
        p = subprocess.Popen(args, **kwargs)
        self.addCleanup(p.wait, 10)
        self.addCleanup(p.kill)
        return p

    def test_verbose_start_on_a_display_goes_past_the_display_check(self):
        r, w = os.pipe()
        self.spawn(["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x768x24", "-nolisten",
                    "tcp"], pass_fds=(w,), stderr=subprocess.DEVNULL)
        os.close(w)
        with os.fdopen(r) as f:
            display = ":" + f.readline().strip()
        site = tempfile.mkdtemp(prefix="corvessa-cli-")
        self.addCleanup(shutil.rmtree, site, True)
        with open(os.path.join(site, "Quorvel.ini"), "w") as f:
            f.write("[Default]\r\nMutiMode=1\r\n")
        program = self.spawn([PROGRAM, "--verbose"], cwd=site, env=environment(DISPLAY=display),
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        seen = []
        for line in program.stderr:  # bounded by CTest's timeout
            seen.append(line)
            if line.startswith("quorvel: Qt platform "):
                break
        self.assertIsNone(program.poll(), "".join(seen))
        self.assertEqual(seen[-1].strip(), "quorvel: Qt platform xcb", "".join(seen))


if __name__ == "__main__":
    unittest.main()
