#!/usr/bin/env bash
# Builds the Debian package and proves it on this machine, step by step:
#   lintian; apt-get install; a channel of the demo network played by the installed program,
#   started as its menu entry starts it (inside the private network namespace, under Xvfb and
#   openbox); a reinstall that keeps the site's edited settings and pictures; an unattended
#   upgrade to the next release, made from this one with a higher version, changed documented
#   settings and a changed picture; remove; purge.
# The install steps need root and change the machine's packages: CI machines are fresh and run
# as root. Elsewhere, and where corvessa is already installed, they are skipped with a message.
#   CORVESSA_PACKAGE_TEST=replace   run them even over an installed corvessa (its site settings
#                                   are lost)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVESSA_BUILD_DIR:-$root/build}

step() { printf '\n== Package: %s\n' "$*"; }

step "build the package"
CORVESSA_BUILD_DIR=$build "$root/scripts/package.sh"
version=$(dpkg-parsechangelog -l "$build/packaging/changelog" -S Version)
deb=$build/package/corvessa_${version}_amd64.deb
test -f "$deb"

step "lintian"
# --fail-on error: a warning is reported but does not fail the step.
timeout 600 lintian --fail-on error --display-level '>=warning' "$deb" "$build"/package/*.ddeb
echo "lintian: no errors"

if ((EUID != 0)); then
  step "install steps skipped: they need root (apt-get, /etc/corvessa); CI runs them"
  exit 0
fi
if dpkg-query -W -f='${Status}' corvessa 2>/dev/null | grep -q ' installed$' &&
  [[ "${CORVESSA_PACKAGE_TEST:-}" != replace ]]; then
  step "install steps skipped: corvessa is installed here, and they would replace its site" \
    "settings (CORVESSA_PACKAGE_TEST=replace runs them anyway)"
  exit 0
fi

step "the next release, made from this one: a higher version, a default and a picture changed"
# What a release changes in what the package owns; everything else is this release's.
next_version=${version%-*}-$((${version##*-} + 1))
next_deb=$build/package/next/corvessa_${next_version}_amd64.deb
tree=$build/package/next/tree
rm -rf "$build/package/next"
mkdir -p "$build/package/next"
dpkg-deb -R "$deb" "$tree"
sed -i 's/^;NetworkCaching=100$/;NetworkCaching=200/' "$tree/usr/share/corvessa/Quorvel.ini"
printf '; A line the next release added.\n' >>"$tree/usr/share/corvessa/Quorvel.ini"
convert "$tree/usr/share/corvessa/images/channel02-1.jpg" -negate \
  "$tree/usr/share/corvessa/images/channel02-1.jpg"
sed -i "s/^Version: .*/Version: $next_version/" "$tree/DEBIAN/control"
(cd "$tree" && find usr -type f -print0 | sort -z | xargs -0 md5sum >DEBIAN/md5sums)
dpkg-deb --root-owner-group -Zxz -b "$tree" "$next_deb" >/dev/null
dpkg-deb -f "$next_deb" Version

export CORVESSA_BUILD_DIR=$build CORVESSA_VERSION=$version CORVESSA_DEB=$deb \
  CORVESSA_NEXT_DEB=$next_deb CORVESSA_NEXT_TREE=$tree PYTHONDONTWRITEBYTECODE=1
run_step() { (cd "$root/tests/package" && timeout "$1" "${@:2}"); }

step "install with apt-get"
DEBIAN_FRONTEND=noninteractive timeout 600 apt-get install -y -q "$deb" </dev/null
run_step 120 python3 -m unittest -v test_installed.Installed

step "play a channel with the installed program, started as its menu entry starts it"
run_step 300 "$root/scripts/in-netns.sh" python3 -m unittest -v test_installed.PlayFromMenuEntry

step "edit /etc/corvessa/Quorvel.ini, replace a picture, delete one; reinstall keeps it all"
run_step 600 python3 -m unittest -v test_installed.SiteSurvivesReinstall

step "upgrade to the next release with apt-get -y, no terminal: no question, the site's kept"
run_step 600 python3 -m unittest -v test_installed.UnattendedUpgrade

step "remove: the site folder is left as it was"
run_step 600 python3 -m unittest -v test_installed.Remove

step "purge: what the package made is gone, what the site added stays"
run_step 600 python3 -m unittest -v test_installed.Purge
