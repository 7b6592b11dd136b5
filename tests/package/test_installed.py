"""The Debian package on this machine, one step at a time, in the order scripts/package-test.sh
runs them: installed, played as the menu entry starts it, reinstalled over the site's edits,
upgraded unattended to the next release, removed, purged. Every step needs root and changes the
machine's packages; each class is one step.
"""
import os
import shlex
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import demo_network as fx  # noqa: E402
import test_install_rules as rules  # noqa: E402
from test_install_rules import PICTURES, read  # noqa: E402

BUILD = os.environ.get("CORVESSA_BUILD_DIR", os.path.join(fx.ROOT, "build"))
VERSION = os.environ.get("CORVESSA_VERSION", "")
DEB = os.environ.get("CORVESSA_DEB", "")
NEXT_DEB = os.environ.get("CORVESSA_NEXT_DEB", "")
NEXT_TREE = os.environ.get("CORVESSA_NEXT_TREE", "")
SHOTS = os.path.join(BUILD, "package-shots")
DESKTOP = "/usr/share/applications/corvessa.desktop"
SITE = "/etc/corvessa"
SHIPPED = "/usr/share/corvessa"
SETTINGS = os.path.join(SITE, "Quorvel.ini")
MADE = "/var/lib/corvessa/made-by-package"
EDIT = "; edited by the site\r\n[Default]\r\nMutiMode=1\r\nStorageServer1To6=10.20.30.40\r\n"
OWN_PICTURE = b"the site's own picture of channel 5"
OWN = os.path.join(SITE, "images", "channel05-1.jpg")
DROPPED = os.path.join(SITE, "images", "channel08-2.jpg")
PLUGIN_CACHE = "/usr/lib/x86_64-linux-gnu/vlc/plugins/plugins.dat"


def apt_get(*args):
    """apt-get as an unattended upgrade runs it: -y, no terminal, nothing on standard input, and
    no answer given in advance to any question dpkg might ask."""
    r = subprocess.run(["apt-get", "-y", "-q"] + list(args), capture_output=True, text=True,
                       timeout=600, stdin=subprocess.DEVNULL, start_new_session=True,
                       env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
    if r.returncode != 0:
        raise AssertionError("apt-get %s exited with %d:\n%s%s" % (
            " ".join(args), r.returncode, r.stdout, r.stderr))
    return r.stdout + r.stderr


def dpkg_query(field):
    r = subprocess.run(["dpkg-query", "-W", "-f=${%s}" % field, "corvessa"], capture_output=True,
                       text=True, timeout=30)
    return r.stdout if r.returncode == 0 else ""


def package_files():
    """The regular files and links the package installed (not the folders it shares)."""
    listing = subprocess.run(["dpkg", "-L", "corvessa"], capture_output=True, text=True,
                             check=True, timeout=30).stdout.split("\n")
    return sorted(p for p in listing if p.startswith("/") and
                  (os.path.islink(p) or not os.path.isdir(p)))


def site_folder():
    return rules.tree("/", [SITE])


class Installed(unittest.TestCase):
    def test_package_site_folder_and_menu_entry(self):
        self.assertEqual(dpkg_query("Status"), "install ok installed")
        self.assertEqual(dpkg_query("Version"), VERSION)
        # No conffile: nothing under /etc is the package's.
        self.assertEqual(dpkg_query("Conffiles").strip(), "")
        self.assertEqual([p for p in package_files() if p.startswith("/etc/")], [])
        depends = dpkg_query("Depends")
        for package in ("libvlc-bin", "vlc-plugin-base", "vlc-plugin-video-output",
                        "fonts-wqy-microhei", "libvlc5", "libqt6widgets6", "libcurl4"):
            self.assertIn(package, depends)
        # libvlc-bin's trigger wrote the plugin cache, so start-up does not scan every plugin.
        self.assertTrue(os.path.getsize(PLUGIN_CACHE) > 0)
        version = subprocess.run(["/usr/bin/quorvel", "--version"], capture_output=True,
                                 text=True, timeout=30)
        self.assertEqual(version.stdout, "Corvessa %s\n" % VERSION.rsplit("-", 1)[0])
        # Stripped, its symbols in corvessa-dbgsym.
        sections = subprocess.run(["readelf", "-S", "-W", "/usr/bin/quorvel"], capture_output=True,
                                  text=True, check=True, timeout=30).stdout
        self.assertNotIn(".debug_info", sections)
        self.assertNotIn(".symtab", sections)
        self.assertIn(".gnu_debuglink", sections)
        for path in ("/usr/share/man/man1/quorvel.1.gz",
                     "/usr/share/icons/hicolor/48x48/apps/corvessa.png"):
            self.assertTrue(os.path.exists(path), path)
        self.assertEqual(read(os.path.join(SHIPPED, "Quorvel.ini")),
                         read(os.path.join(fx.ROOT, "app", "Quorvel.ini")))

        # The site folder, made from what the package ships, every path noted for purge.
        self.assertEqual(site_folder(), {k: v for k, v in rules.MADE_ALL.items() if k != SITE[1:]})
        self.assertEqual(sorted(read(MADE).decode().split("\n")[:-1]),
                         sorted("/" + k for k in rules.MADE_ALL))
        for name in PICTURES:
            self.assertEqual(read(os.path.join(SITE, "images", name)),
                             read(os.path.join(fx.ROOT, "images", name)), name)

        entry = rules.desktop_entry(DESKTOP)
        self.assertEqual(shlex.split(entry["Exec"]), ["/usr/bin/quorvel"])
        self.assertEqual(entry["Path"], SITE)
        self.assertEqual(entry["StartupWMClass"], "quorvel")


class PlayFromMenuEntry(unittest.TestCase):
    def test_channel_plays_from_the_storage_server_with_the_shipped_settings(self):
        fixture = fx.Fixture(BUILD)
        self.addCleanup(fixture.stop)
        os.makedirs(SHOTS, exist_ok=True)
        fixture.start_storage_servers()
        fixture.start_hls([2])
        # As the menu entry starts it, on a desktop with a window manager.
        entry = rules.desktop_entry(DESKTOP)
        env = dict(os.environ, DISPLAY=fixture.start_display(),
                   DBUS_SESSION_BUS_ADDRESS="disabled:")
        for name in ("WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
            env.pop(name, None)
        app = fixture.spawn(shlex.split(entry["Exec"]), cwd=entry["Path"], env=env, stdout=None,
                            stderr=None)
        window = fixture.wait_window("Corvessa")
        wm_class = subprocess.run(["xprop", "-display", fixture.display, "-id", str(window),
                                   "WM_CLASS"], capture_output=True, text=True, timeout=30).stdout
        self.assertEqual(wm_class.split("=", 1)[1].strip(),
                         '"%s", "%s"' % (entry["StartupWMClass"], "quorvel"))
        fixture.click(window, *fx.centre(2))
        player = fixture.wait_window(" - " + fx.address(2, hls=True), timeout=60)
        fx.wait_for(lambda: fx.share_of_picture(fixture.screenshot(player)) > 0.5, 30,
                    "channel 2's picture")
        fixture.screenshot(player, os.path.join(SHOTS, "installed-channel-2.png"))
        fixture.key(player, "Escape")
        fixture.wait_no_window(" - " + fx.address(2, hls=True))
        fixture.key(window, "Escape")
        self.assertEqual(app.wait(10), 0)


def edit_the_site():
    with open(SETTINGS, "w", newline="") as f:
        f.write(EDIT)
    os.remove(OWN)
    with open(OWN, "wb") as f:
        f.write(OWN_PICTURE)
    os.remove(DROPPED)


class SiteSurvivesReinstall(unittest.TestCase):
    def test_reinstall_keeps_the_edited_settings_and_pictures(self):
        self.assertTrue(DEB, "CORVESSA_DEB names the package file")
        edit_the_site()
        before = site_folder()
        apt_get("install", "--reinstall", os.path.abspath(DEB))
        self.assertEqual(dpkg_query("Status"), "install ok installed")
        self.assertEqual(site_folder(), before)


class UnattendedUpgrade(unittest.TestCase):
    def test_upgrade_asks_nothing_keeps_the_site_and_brings_the_new_pictures(self):
        self.assertTrue(NEXT_DEB and NEXT_TREE, "CORVESSA_NEXT_DEB names the next release")
        next_version = subprocess.run(["dpkg-deb", "-f", NEXT_DEB, "Version"], capture_output=True,
                                      text=True, check=True, timeout=30).stdout.strip()
        shipped = os.path.join(NEXT_TREE, "usr/share/corvessa")
        # The next release changed what it owns: the documented defaults and a picture.
        self.assertNotEqual(read(os.path.join(shipped, "Quorvel.ini")),
                            read(os.path.join(SHIPPED, "Quorvel.ini")))
        changed = os.path.join(SITE, "images", "channel02-1.jpg")
        self.assertNotEqual(read(os.path.join(shipped, "images", "channel02-1.jpg")), read(changed))
        before = site_folder()

        out = apt_get("install", os.path.abspath(NEXT_DEB))
        self.assertNotIn("Configuration file", out)
        self.assertEqual(dpkg_query("Status"), "install ok installed")
        self.assertEqual(dpkg_query("Version"), next_version)
        self.assertEqual(site_folder(), before)
        # The pictures the site left as the package's are the new release's.
        for name in PICTURES:
            path = os.path.join(SITE, "images", name)
            if path in (OWN, DROPPED):
                continue
            self.assertEqual(read(path), read(os.path.join(shipped, "images", name)), name)
        self.assertEqual(read(os.path.join(SHIPPED, "Quorvel.ini")),
                         read(os.path.join(shipped, "Quorvel.ini")))


class Remove(unittest.TestCase):
    def test_remove_leaves_the_site_folder_as_it_was(self):
        files = package_files()
        self.assertIn("/usr/bin/quorvel", files)
        before = site_folder()
        apt_get("remove", "corvessa")
        # The package is kept as configuration until purged: postrm removes the site folder then.
        self.assertEqual(dpkg_query("Status"), "deinstall ok config-files")
        self.assertEqual([p for p in files if os.path.lexists(p)], [])
        self.assertEqual(site_folder(), before)


class Purge(unittest.TestCase):
    def test_purge_removes_what_the_package_made_and_nothing_the_site_added(self):
        self.assertTrue(os.path.exists(SETTINGS), "run after Remove")
        added = os.path.join(SITE, "images", "notes.txt")
        with open(added, "w") as f:
            f.write("the site's own file")
        try:
            apt_get("purge", "corvessa")
            self.assertIn(dpkg_query("Status"), ("", "unknown ok not-installed"))
            self.assertEqual(site_folder(), {"etc/corvessa/images": "folder",
                                             added[1:]: b"the site's own file"})
            self.assertFalse(os.path.lexists(os.path.dirname(MADE)))
        finally:
            # This machine is left as it was before the package came.
            if os.path.lexists(added):
                os.remove(added)
            for folder in (os.path.join(SITE, "images"), SITE):
                if os.path.isdir(folder) and not os.listdir(folder):
                    os.rmdir(folder)
        self.assertFalse(os.path.lexists(SITE))


if __name__ == "__main__":
    unittest.main()
