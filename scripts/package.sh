#!/usr/bin/env bash
# Builds the Debian package build/package/corvessa_<version>_amd64.deb (and its -dbgsym .ddeb)
# from the ordinary build folder ./build (or $CORVESSA_BUILD_DIR): only the program and its
# manual page are built for it, the tests are not.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVESSA_BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
cmake -S "$root" --preset default -B "$build" >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target quorvel corvessa_docs
rm -rf "$build/package"
# The package preset names the generator; the folders follow $CORVESSA_BUILD_DIR.
(cd "$root" && cpack --preset package --config "$build/CPackConfig.cmake" -B "$build/package")

# CPack 3.25 writes its staging path into the symbols package's md5sums and gives it no
# documentation folder. Rebuild it the way Debian's own -dbgsym packages are: paths relative to
# the root, and /usr/share/doc/corvessa-dbgsym a link to the program's.
for ddeb in "$build"/package/*-dbgsym_*.ddeb; do
  tree=$(mktemp -d)
  dpkg-deb -R "$ddeb" "$tree"
  (cd "$tree" && find usr -type f -print0 | sort -z | xargs -0 md5sum >DEBIAN/md5sums)
  find "$tree/usr/lib/debug" -type f -exec chmod 0644 {} +
  mkdir -p "$tree/usr/share/doc"
  ln -s corvessa "$tree/usr/share/doc/corvessa-dbgsym"
  dpkg-deb --root-owner-group -Zxz -b "$tree" "$ddeb" >/dev/null
  rm -rf "$tree"
done
ls "$build"/package/*.deb "$build"/package/*.ddeb
