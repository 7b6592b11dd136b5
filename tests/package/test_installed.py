"""The Debian package on this machine, one step at a time, in the order scripts/package-test.sh
runs them: installed, played as the menu entry starts it, reinstalled over the site's edits,
removed, purged. Every step needs root and changes the machine's packages; each class is one step.
"""
import os
import shlex
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import demo_network as fx  # noqa: E402

BUILD = os.environ.get("CORVESSA_BUILD_DIR", os.path.join(fx.ROOT, "build"))
VERSION = os.environ.get("CORVESSA_VERSION", "")
DEB = os.environ.get("CORVESSA_DEB", "")
SHOTS = os.path.join(BUILD, "package-shots")
DESKTOP = "/usr/share/applications/corvessa.desktop"
SITE = "/etc/corvessa"
SETTINGS = os.path.join(SITE, "Quorvel.ini")
EDIT = "; edited by the site\r\n[Default]\r\nMutiMode=1\r\nStorageServer1To6=10.20.30.40\r\n"
OWN_PICTURE = b"the site's own picture of channel 5"
PLUGIN_CACHE = "/usr/lib/x86_64-linux-gnu/vlc/plugins/plugins.dat"


def apt_get(*args):
    r = subprocess.run(["apt-get", "-y", "-q", "-o", "Dpkg::Options::=--force-confdef",
                        "-o", "Dpkg::Options::=--force-confold"] + list(args),
                       capture_output=True, text=True, timeout=600,
                       env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
    if r.returncode != 0:
        raise AssertionError("apt-get %s failed:\n%s%s" % (" ".join(args), r.stdout, r.stderr))
    return r.stdout


def dpkg_query(field):
    r = subprocess.run(["dpkg-query", "-W", "-f=${%s}" % field, "corvessa"], capture_output=True,
                       text=True, timeout=30)
    return r.stdout if r.returncode == 0 else ""


def conffiles():
    """The package's conffiles, as dpkg recorded them."""
    return sorted(line.split()[0] for line in dpkg_query("Conffiles").splitlines() if line.strip())


def package_files():
    """The regular files and links the package installed (not the folders it shares)."""
    listing = subprocess.run(["dpkg", "-L", "corvessa"], capture_output=True, text=True,
                             check=True, timeout=30).stdout.split("\n")
    return sorted(p for p in listing if p.startswith("/") and
                  (os.path.islink(p) or not os.path.isdir(p)))


def desktop_entry():
    entry = {}
    with open(DESKTOP, encoding="utf-8") as f:
        for line in f:
            if "=" in line:
                key, value = line.rstrip("\n").split("=", 1)
                entry.setdefault(key, value)
    return entry


def read(path):
    with open(path, "rb") as f:
        return f.read()


class Installed(unittest.TestCase):
    def test_package_is_installed_with_its_conffiles_and_a_stripped_program(self):
        self.assertEqual(dpkg_query("Status"), "install ok installed")
        self.assertEqual(dpkg_query("Version"), VERSION)
        self.assertIn(SETTINGS, conffiles())
        self.assertEqual(len([c for c in conffiles() if c.startswith(SITE + "/images/")]), 16)
        version = subprocess.run(["/usr/bin/quorvel", "--version"], capture_output=True,
                                 text=True, timeout=30)
        self.assertEqual(version.stdout, "Corvessa %s\n" % VERSION)
        sections = subprocess.run(["readelf", "-S", "-W", "/usr/bin/quorvel"], capture_output=True,
                                  text=True, check=True, timeout=30).stdout
        self.assertNotIn(".debug_info", sections)
        self.assertNotIn(".symtab", sections)
        self.assertIn(".gnu_debuglink", sections)
        self.assertTrue(os.path.exists("/usr/share/man/man1/quorvel.1.gz"))

    def test_what_playback_loads_at_run_time_is_there(self):
        depends = dpkg_query("Depends")
        for package in ("libvlc-bin", "vlc-plugin-base", "vlc-plugin-video-output",
                        "fonts-wqy-microhei", "libvlc5", "libqt6widgets6"):
            self.assertIn(package, depends)
        # libvlc-bin's trigger wrote the plugin cache, so start-up does not scan every plugin.
        self.assertTrue(os.path.getsize(PLUGIN_CACHE) > 0)

    def test_menu_entry_starts_the_program_in_the_site_folder(self):
        entry = desktop_entry()
        self.assertEqual(shlex.split(entry["Exec"]), ["/usr/bin/quorvel"])
        self.assertEqual(entry["Path"], SITE)
        self.assertEqual(entry["StartupWMClass"], "quorvel")
        self.assertTrue(os.path.exists("/usr/share/icons/hicolor/48x48/apps/corvessa.png"))


class MenuEntryFixture(fx.Fixture):
    """The demo network, with the installed program started as the menu entry starts it and a
    window manager on the display, as on a desktop."""

    def start_display(self):
        if self.display:
            return self.display
        display = super().start_display()
        self.spawn(["openbox", "--sm-disable"], env=dict(os.environ, DISPLAY=display))
        # Openbox has taken over once it names itself on the root window.
        fx.wait_for(lambda: "window id" in subprocess.run(
            ["xprop", "-root", "-display", display, "_NET_SUPPORTING_WM_CHECK"],
            capture_output=True, text=True).stdout, 10, "openbox")
        return display

    def start_program(self, multicast=False, env=None, site=None):
        entry = desktop_entry()
        environment = dict(os.environ, DISPLAY=self.start_display(),
                           DBUS_SESSION_BUS_ADDRESS="disabled:")
        for name in ("WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
            environment.pop(name, None)
        self.app = self.spawn(shlex.split(entry["Exec"]), cwd=entry["Path"], env=environment,
                              stdout=None, stderr=None)
        self.channel_window = self.wait_window("Corvessa")
        return self.app


class PlayFromMenuEntry(unittest.TestCase):
    def test_channel_plays_from_the_storage_server_with_the_shipped_settings(self):
        fixture = MenuEntryFixture(BUILD)
        self.addCleanup(fixture.stop)
        os.makedirs(SHOTS, exist_ok=True)
        fixture.start_storage_servers()
        fixture.start_hls([2])
        fixture.start_program()
        window = fixture.channel_window
        wm_class = subprocess.run(["xprop", "-display", fixture.display, "-id", str(window),
                                   "WM_CLASS"], capture_output=True, text=True, timeout=30).stdout
        self.assertEqual(wm_class.split("=", 1)[1].strip(),
                         '"%s", "%s"' % (desktop_entry()["StartupWMClass"], "quorvel"))
        fixture.click(window, *fx.centre(2))
        player = fixture.wait_window(" - " + fx.address(2, hls=True), timeout=15)
        fx.wait_for(lambda: fx.share_of_picture(fixture.screenshot(player)) > 0.5, 30,
                    "channel 2's picture")
        fixture.screenshot(player, os.path.join(SHOTS, "installed-channel-2.png"))
        fixture.key(player, "Escape")
        fixture.wait_no_window(" - " + fx.address(2, hls=True))
        fixture.key(window, "Escape")
        self.assertEqual(fixture.app.wait(10), 0)


class SettingsSurviveReinstall(unittest.TestCase):
    def test_reinstall_keeps_the_edited_settings_and_pictures(self):
        self.assertTrue(DEB, "CORVESSA_DEB names the package file")
        with open(SETTINGS, "w", newline="") as f:
            f.write(EDIT)
        picture = os.path.join(SITE, "images", "channel05-1.jpg")
        with open(picture, "wb") as f:
            f.write(OWN_PICTURE)
        dropped = os.path.join(SITE, "images", "channel08-2.jpg")
        os.remove(dropped)
        apt_get("install", "--reinstall", os.path.abspath(DEB))
        self.assertEqual(dpkg_query("Status"), "install ok installed")
        self.assertEqual(read(SETTINGS).decode(), EDIT)
        self.assertEqual(read(picture), OWN_PICTURE)
        self.assertFalse(os.path.exists(dropped), "a picture the site deleted came back")
        # A picture the site did not touch is still the package's.
        self.assertEqual(read(os.path.join(SITE, "images", "channel01-1.jpg")),
                         read(os.path.join(fx.ROOT, "images", "channel01-1.jpg")))


class Remove(unittest.TestCase):
    def test_remove_leaves_only_the_conffiles(self):
        kept = conffiles()
        files = package_files()
        self.assertIn("/usr/bin/quorvel", files)
        apt_get("remove", "corvessa")
        self.assertEqual(dpkg_query("Status"), "deinstall ok config-files")
        left = [p for p in files if os.path.lexists(p)]
        self.assertEqual(left, [p for p in kept if os.path.lexists(p)])
        self.assertIn(SETTINGS, left)
        self.assertEqual(read(SETTINGS).decode(), EDIT)


class Purge(unittest.TestCase):
    def test_purge_removes_the_conffiles_and_the_site_folder(self):
        self.assertTrue(conffiles() or os.path.exists(SETTINGS), "run after Remove")
        apt_get("purge", "corvessa")
        self.assertIn(dpkg_query("Status"), ("", "unknown ok not-installed"))
        self.assertFalse(os.path.lexists(SITE),
                         "left behind: %s" % (os.listdir(SITE) if os.path.isdir(SITE) else SITE))


if __name__ == "__main__":
    unittest.main()
