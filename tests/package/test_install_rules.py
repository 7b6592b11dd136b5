"""What `cmake --install` puts in place, into folders of the test's own: the menu entry with the
paths of the prefix given at install time, the site folder that a second install leaves alone,
the icons, the AppStream data and the manual page. Needs no root and no display."""
import gzip
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import demo_network as fx  # noqa: E402

BUILD = os.environ.get("CORVESSA_BUILD_DIR", os.path.join(fx.ROOT, "build"))
VERSION = os.environ.get("CORVESSA_VERSION", "")
ICON_SIZES = (16, 24, 32, 48, 64, 128, 256)


def install(prefix, destdir=None):
    env = dict(os.environ)
    if destdir:
        env["DESTDIR"] = destdir
    r = subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix], capture_output=True,
                       text=True, timeout=120, env=env)
    if r.returncode != 0:
        raise AssertionError("cmake --install failed:\n" + r.stdout + r.stderr)
    return r.stdout


def read(path):
    with open(path, "rb") as f:
        return f.read()


def desktop_entry(path):
    entry = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            if "=" in line and not line.startswith("#"):
                key, value = line.rstrip("\n").split("=", 1)
                entry[key] = value
    return entry


def png_info(path):
    """(width, height, colour type) from a PNG's header; colour type 6 is RGB with alpha."""
    with open(path, "rb") as f:
        head = f.read(26)
    assert head[:8] == b"\x89PNG\r\n\x1a\n", path
    return int.from_bytes(head[16:20], "big"), int.from_bytes(head[20:24], "big"), head[25]


def corner_alphas(path):
    """The alpha of the four corner pixels, 0 (clear) to 255 (opaque)."""
    out = subprocess.run(["convert", path, "-depth", "8", "-alpha", "extract", "gray:-"],
                         capture_output=True, check=True, timeout=30).stdout
    width, height, _ = png_info(path)
    return [out[y * width + x] for x, y in ((0, 0), (width - 1, 0), (0, height - 1),
                                            (width - 1, height - 1))]


class InstallRules(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="corvessa-install-")
        self.addCleanup(shutil.rmtree, self.root, True)

    def test_menu_entry_carries_the_paths_of_the_prefix_given_at_install(self):
        for name in ("one", "two"):  # the same build, installed to two prefixes
            prefix = os.path.join(self.root, name)
            install(prefix)
            path = os.path.join(prefix, "share", "applications", "corvessa.desktop")
            entry = desktop_entry(path)
            self.assertEqual(entry["Exec"], os.path.join(prefix, "bin", "quorvel"))
            self.assertEqual(entry["Path"], os.path.join(prefix, "etc", "corvessa"))
            self.assertTrue(os.access(entry["Exec"], os.X_OK))
            self.assertTrue(os.path.isfile(os.path.join(entry["Path"], "Quorvel.ini")))
            self.assertEqual(entry["StartupWMClass"], "quorvel")
            self.assertEqual(entry["Icon"], "corvessa")
            r = subprocess.run(["desktop-file-validate", path], capture_output=True, text=True,
                               timeout=30)
            self.assertEqual((r.returncode, r.stdout + r.stderr), (0, ""))

    def test_prefix_usr_puts_the_site_folder_in_etc(self):
        stage = os.path.join(self.root, "stage")
        install("/usr", destdir=stage)
        entry = desktop_entry(os.path.join(stage, "usr/share/applications/corvessa.desktop"))
        self.assertEqual((entry["Exec"], entry["Path"]), ("/usr/bin/quorvel", "/etc/corvessa"))
        self.assertTrue(os.path.isfile(os.path.join(stage, "etc/corvessa/Quorvel.ini")))
        self.assertEqual(len(os.listdir(os.path.join(stage, "etc/corvessa/images"))), 16)
        self.assertFalse(os.path.exists(os.path.join(stage, "usr/etc")))
        self.assertFalse(os.path.exists(os.path.join(stage, "usr/share/corvessa")))

    def test_a_second_install_keeps_the_sites_settings_and_pictures(self):
        prefix = os.path.join(self.root, "site")
        install(prefix)
        site = os.path.join(prefix, "etc", "corvessa")
        self.assertEqual(read(os.path.join(site, "Quorvel.ini")),
                         read(os.path.join(fx.ROOT, "app", "Quorvel.ini")))
        edited = b"[Default]\r\nMutiMode=1\r\nStorageServer1To6=10.1.2.3\r\n"
        with open(os.path.join(site, "Quorvel.ini"), "wb") as f:
            f.write(edited)
        picture = os.path.join(site, "images", "channel03-1.jpg")
        with open(picture, "wb") as f:
            f.write(b"the site's own picture")
        os.remove(os.path.join(site, "images", "channel08-2.jpg"))

        out = install(prefix)
        self.assertEqual(read(os.path.join(site, "Quorvel.ini")), edited)
        self.assertEqual(read(picture), b"the site's own picture")
        self.assertFalse(os.path.exists(os.path.join(site, "images", "channel08-2.jpg")))
        self.assertIn("Kept the site's settings", out)
        self.assertIn("Kept the site's pictures", out)

    def test_icons_have_every_size_with_clear_corners(self):
        prefix = os.path.join(self.root, "icons")
        install(prefix)
        hicolor = os.path.join(prefix, "share", "icons", "hicolor")
        for size in ICON_SIZES:
            with self.subTest(size=size):
                path = os.path.join(hicolor, "%dx%d" % (size, size), "apps", "corvessa.png")
                self.assertEqual(png_info(path), (size, size, 6))
                self.assertTrue(all(a < 8 for a in corner_alphas(path)), corner_alphas(path))
        with open(os.path.join(hicolor, "scalable", "apps", "corvessa.svg")) as f:
            self.assertIn("<svg", f.read())
        # The window icon is built from the same 16 and 32 pixel files.
        for size in (16, 32):
            path = os.path.join(fx.ROOT, "app", "icons", "corvessa-%d.png" % size)
            self.assertEqual(png_info(path)[2], 6, path)
            self.assertTrue(all(a < 8 for a in corner_alphas(path)), path)

    def test_appstream_data_is_valid_and_names_this_version(self):
        prefix = os.path.join(self.root, "metainfo")
        install(prefix)
        path = os.path.join(prefix, "share", "metainfo", "org.corvessa.player.metainfo.xml")
        r = subprocess.run(["appstreamcli", "validate", "--no-net", path], capture_output=True,
                           text=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertTrue(VERSION)
        with open(path, encoding="utf-8") as f:
            text = f.read()
        self.assertIn('<release version="%s"' % VERSION, text)
        self.assertIn('<launchable type="desktop-id">corvessa.desktop</launchable>', text)

    def test_manual_page_is_the_help_text(self):
        prefix = os.path.join(self.root, "man")
        install(prefix)
        with gzip.open(os.path.join(prefix, "share", "man", "man1", "quorvel.1.gz"), "rt") as f:
            page = f.read()
        self.assertIn(".TH QUORVEL \"1\"", page)
        self.assertIn(VERSION, page)
        for words in ("FastChannelChange", "PreStart", "MutiMode", "StorageServer7To8",
                      "NetworkCaching", "\\-\\-verbose", "Page Up", "/etc/corvessa/Quorvel.ini"):
            self.assertIn(words, page)
        help_text = subprocess.run([os.path.join(BUILD, "quorvel"), "--help"],
                                   capture_output=True, text=True, timeout=30).stdout
        self.assertIn("play channels straight from their multicast groups", help_text)
        self.assertIn("play channels straight from their multicast groups", page)


if __name__ == "__main__":
    unittest.main()
