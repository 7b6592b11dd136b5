#!/usr/bin/env bash
# Builds the Debian package and proves it on this machine, step by step:
#   lintian; apt-get install; a channel of the demo network played by the installed program,
#   started as its menu entry starts it (inside the private network namespace, under Xvfb and
#   openbox); a reinstall that keeps the site's edited settings; remove; purge.
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
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
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

export CORVESSA_BUILD_DIR=$build CORVESSA_VERSION=$version CORVESSA_DEB=$deb PYTHONDONTWRITEBYTECODE=1
run_step() { (cd "$root/tests/package" && timeout "$1" "${@:2}"); }

step "install with apt-get"
DEBIAN_FRONTEND=noninteractive timeout 600 apt-get install -y -q "$deb"
run_step 120 python3 -m unittest -v test_installed.Installed

step "play a channel with the installed program, started as its menu entry starts it"
run_step 300 "$root/scripts/in-netns.sh" python3 -m unittest -v test_installed.PlayFromMenuEntry

step "edit /etc/corvessa/Quorvel.ini, reinstall, the edit is kept"
run_step 600 python3 -m unittest -v test_installed.SettingsSurviveReinstall

step "remove: only the conffiles are left"
run_step 600 python3 -m unittest -v test_installed.Remove

step "purge: the conffiles are gone"
run_step 600 python3 -m unittest -v test_installed.Purge
