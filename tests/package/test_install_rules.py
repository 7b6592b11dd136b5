"""What `cmake --install` puts in place, into folders of the test's own: the menu entry with the
paths of the prefix given at install time, the site folder that a second install leaves alone,
the icons, the AppStream data, the changelog and the manual page; and what the package's
maintainer scripts do to a site folder, run in a root of the test's own (DPKG_ROOT). Needs no
root and no display."""
import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import demo_network as fx  # noqa: E402

BUILD = os.environ.get("CORVESSA_BUILD_DIR", os.path.join(fx.ROOT, "build"))
VERSION = os.environ.get("CORVESSA_VERSION", "")
PACKAGE_VERSION = os.environ.get("CORVESSA_PACKAGE_VERSION", "")
PICTURES = ["channel%02d-%d.jpg" % (n, k) for n in range(1, 9) for k in (1, 2)]
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
                entry.setdefault(key, value)
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

    def test_a_staged_install_for_a_package_ships_the_defaults_and_makes_no_site_folder(self):
        stage = os.path.join(self.root, "stage")
        install("/usr", destdir=stage)
        entry = desktop_entry(os.path.join(stage, "usr/share/applications/corvessa.desktop"))
        self.assertEqual((entry["Exec"], entry["Path"]), ("/usr/bin/quorvel", "/etc/corvessa"))
        shipped = os.path.join(stage, "usr/share/corvessa")
        self.assertEqual(read(os.path.join(shipped, "Quorvel.ini")),
                         read(os.path.join(fx.ROOT, "app", "Quorvel.ini")))
        self.assertEqual(read(os.path.join(shipped, "site", "Quorvel.ini")),
                         read(os.path.join(fx.ROOT, "app", "site", "Quorvel.ini")))
        self.assertEqual(sorted(os.listdir(os.path.join(shipped, "images"))), PICTURES)
        self.assertFalse(os.path.exists(os.path.join(stage, "etc")))
        self.assertFalse(os.path.exists(os.path.join(stage, "usr/etc")))

    def test_a_second_install_keeps_the_sites_settings_and_pictures(self):
        prefix = os.path.join(self.root, "site")
        install(prefix)
        site = os.path.join(prefix, "etc", "corvessa")
        self.assertEqual(read(os.path.join(site, "Quorvel.ini")),
                         read(os.path.join(fx.ROOT, "app", "site", "Quorvel.ini")))
        for name in PICTURES:
            self.assertEqual(os.readlink(os.path.join(site, "images", name)),
                             os.path.join(prefix, "share", "corvessa", "images", name))
        edited = b"[Default]\r\nMutiMode=1\r\nStorageServer1To6=10.1.2.3\r\n"
        with open(os.path.join(site, "Quorvel.ini"), "wb") as f:
            f.write(edited)
        picture = os.path.join(site, "images", "channel03-1.jpg")
        os.remove(picture)
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

    def test_appstream_data_and_changelog_tell_the_same_releases_newest_this_one(self):
        prefix = os.path.join(self.root, "metainfo")
        install(prefix)
        path = os.path.join(prefix, "share", "metainfo", "org.corvessa.player.metainfo.xml")
        r = subprocess.run(["appstreamcli", "validate", "--no-net", path], capture_output=True,
                           text=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        with open(path, encoding="utf-8") as f:
            text = f.read()
        self.assertIn('<launchable type="desktop-id">corvessa.desktop</launchable>', text)
        releases = re.findall(r'<release version="([^"]+)" date="([^"]+)">\s*<description>', text)

        changelog = os.path.join(prefix, "share", "doc", "corvessa", "changelog.Debian.gz")
        with gzip.open(changelog, "rt", encoding="utf-8") as f:
            entries = re.findall(r"^corvessa \(([^)]+)\)", f.read(), re.MULTILINE)
        # dpkg reads every entry as written: the format is right.
        parsed = subprocess.run(["dpkg-parsechangelog", "-l", changelog, "--all"],
                                capture_output=True, text=True, check=True, timeout=30)
        self.assertEqual(re.findall(r"^ corvessa \(([^)]+)\)", parsed.stdout, re.MULTILINE),
                         entries)
        self.assertTrue(PACKAGE_VERSION.startswith(VERSION + "-"), PACKAGE_VERSION)
        self.assertEqual(entries[0], PACKAGE_VERSION)
        self.assertEqual([version for version, _ in releases], entries)
        self.assertEqual(len(set(entries)), len(entries), "one entry per release")

    def test_manual_page_is_the_help_text(self):
        prefix = os.path.join(self.root, "man")
        install(prefix)
        with gzip.open(os.path.join(prefix, "share", "man", "man1", "quorvel.1.gz"), "rt") as f:
            page = f.read()
        self.assertIn(".TH QUORVEL \"1\"", page)
        self.assertIn(VERSION, page)
        for words in ("FastChannelChange", "PreStart", "MutiMode", "StorageServer7To8",
                      "NetworkCaching", "\\-\\-verbose", "Page Up", "/etc/corvessa/Quorvel.ini",
                      "double click a channel", "Escape, close box",
                      "close it and return to the channels", "/usr/share/corvessa/Quorvel.ini"):
            self.assertIn(words, page)
        help_text = subprocess.run([os.path.join(BUILD, "quorvel"), "--help"],
                                   capture_output=True, text=True, timeout=30).stdout
        self.assertIn("play channels straight from their multicast groups", help_text)
        self.assertIn("play channels straight from their multicast groups", page)

        # Every text gives the eight demo channels' cost as the one figure measured (and the
        # README a site's: eight 6 Mbit/s channels).
        texts = {"manual": page, "--help": help_text}
        for name in ("README.md", "app/Quorvel.ini"):
            with open(os.path.join(fx.ROOT, name), encoding="utf-8") as f:
                texts[name] = f.read()
        for name, text in texts.items():
            figures = set(re.findall(r"(\d+(?:\.\d+)?) Mbit/s", text.replace("\n", " ")))
            self.assertIn("10.6", figures, name)
            self.assertLessEqual(figures, {"10.6", "1.3"} | ({"48", "6"} if name == "README.md"
                                                             else set()), name)


def run_script(name, root, *args):
    r = subprocess.run(["sh", os.path.join(fx.ROOT, "packaging", name)] + list(args),
                       capture_output=True, text=True, timeout=60,
                       env=dict(os.environ, DPKG_ROOT=root))
    if r.returncode != 0:
        raise AssertionError("%s %s failed:\n%s%s" % (name, " ".join(args), r.stdout, r.stderr))


def tree(root, tops=("etc", "var/lib", "srv")):
    """Every path under root's /etc, /var/lib and /srv (or `tops`): a link as '-> target', a file
    with its bytes, a folder as 'folder'."""
    found = {}
    for top in tops:
        for folder, dirs, files in os.walk(os.path.join(root, top)):
            for name in dirs + files:
                path = os.path.join(folder, name)
                key = os.path.relpath(path, root)
                if os.path.islink(path):
                    found[key] = "-> " + os.readlink(path)
                elif os.path.isfile(path):
                    found[key] = read(path)
                else:
                    found[key] = "folder"
    return found


def make(root, paths):
    """Makes in root the paths given as tree() gives them."""
    for key, value in sorted(paths.items()):
        path = os.path.join(root, key)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if value == "folder":
            os.makedirs(path, exist_ok=True)
        elif isinstance(value, str):
            os.symlink(value[len("-> "):], path)
        else:
            with open(path, "wb") as f:
                f.write(value)


SITE_FILE = read(os.path.join(fx.ROOT, "app", "site", "Quorvel.ini"))
MADE_ALL = {"etc/corvessa": "folder", "etc/corvessa/Quorvel.ini": SITE_FILE,
            "etc/corvessa/images": "folder",
            **{"etc/corvessa/images/" + n: "-> /usr/share/corvessa/images/" + n for n in PICTURES}}
# The site's settings and one picture, put in place before the package came.
OWN_SITE = {"etc/corvessa": "folder", "etc/corvessa/Quorvel.ini": b"[Default]\nMutiMode=1\n",
            "etc/corvessa/images": "folder", "etc/corvessa/images/channel04-2.jpg": b"own"}
# (the site before the first configuration, what that configuration adds to it)
FIRST_INSTALLS = [
    ({}, MADE_ALL),
    (OWN_SITE, {k: v for k, v in MADE_ALL.items() if k not in OWN_SITE}),
    # images/ a link to a folder of the site's own: nothing is made in it.
    ({"etc/corvessa": "folder", "etc/corvessa/images": "-> ../../srv/pictures",
      "srv/pictures": "folder"}, {"etc/corvessa/Quorvel.ini": SITE_FILE}),
    # The site folder a link to one not there yet (a share not mounted): nothing is made.
    ({"etc/corvessa": "-> ../srv/corvessa"}, {}),
]


class MaintainerScripts(unittest.TestCase):
    """postinst and postrm in a root of the test's own, holding what the package ships."""

    def make_root(self):
        self.root = tempfile.mkdtemp(prefix="corvessa-dpkg-root-")
        self.addCleanup(shutil.rmtree, self.root, True)
        stage = os.path.join(self.root, "stage")
        install("/usr", destdir=stage)
        for folder in ("etc", "var/lib"):
            os.makedirs(os.path.join(self.root, folder))
        shutil.move(os.path.join(stage, "usr"), os.path.join(self.root, "usr"))
        shutil.rmtree(stage)

    def site(self):
        return {k: v for k, v in tree(self.root).items() if not k.startswith("var/")}

    def test_first_configuration_makes_only_what_is_missing_and_purge_removes_only_that(self):
        for before, added in FIRST_INSTALLS:
            with self.subTest(before=sorted(before)):
                self.make_root()
                make(self.root, before)
                run_script("postinst", self.root, "configure", "")
                self.assertEqual(self.site(), {**before, **added})
                run_script("postrm", self.root, "remove")
                self.assertEqual(self.site(), {**before, **added})
                run_script("postrm", self.root, "purge")
                self.assertEqual(tree(self.root), before)

    def test_later_configurations_bring_back_nothing_the_site_deleted(self):
        self.make_root()
        run_script("postinst", self.root, "configure", "")
        os.remove(os.path.join(self.root, "etc/corvessa/Quorvel.ini"))
        os.remove(os.path.join(self.root, "etc/corvessa/images/channel01-1.jpg"))
        os.remove(os.path.join(self.root, "etc/corvessa/images/channel02-2.jpg"))
        left = tree(self.root)
        for previous in ("1.0.0.1-1", "1.0.0.1"):  # a reinstall; an upgrade
            run_script("postinst", self.root, "configure", previous)
            self.assertEqual(tree(self.root), left)
        # The site folder itself comes back, empty, for the menu entry to start in.
        shutil.rmtree(os.path.join(self.root, "etc/corvessa"))
        run_script("postinst", self.root, "configure", "1.0.0.1-1")
        self.assertEqual(self.site(), {"etc/corvessa": "folder"})
        run_script("postrm", self.root, "purge")
        self.assertEqual(tree(self.root), {})


if __name__ == "__main__":
    unittest.main()
