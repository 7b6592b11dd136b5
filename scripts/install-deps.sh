#!/usr/bin/env bash
# Installs every Debian package Corvessa needs to build, run and test.
# Only what is missing is installed, so a second run costs nothing.
set -euo pipefail

packages=(
  # build
  build-essential cmake pkg-config ninja-build
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libvlc-dev vlc-plugin-base vlc-plugin-video-output
  # the pictures' conversion to the window's size and colours, in one pass
  libswscale-dev
  # libvlc's plugin cache (plugins.dat), written by this package's trigger: without it every
  # start scans all the plugins
  libvlc-bin
  libcurl4-openssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev libx11-dev libxtst-dev libxcb1-dev
  clang clang-format clang-tidy libclang-rt-14-dev
  # the Debian package, its manual page and icons, and their checks
  dpkg-dev file binutils help2man librsvg2-bin lintian appstream desktop-file-utils
  # run and test
  xvfb xauth xdotool x11-utils openbox ffmpeg python3 iproute2 util-linux
  fonts-wqy-microhei imagemagick
)

missing=()
for p in "${packages[@]}"; do
  if [[ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" != "install ok installed" ]]; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if ((EUID != 0)); then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
