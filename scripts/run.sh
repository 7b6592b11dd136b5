#!/usr/bin/env bash
# Sets everything up and runs Corvessa on the demo network: two storage servers and eight
# channels, inside a private network namespace so that nothing reaches the real network.
# On a desktop the program opens on your display; without one it runs under Xvfb and saves
# screenshots. Pass --multicast to play straight from the multicast groups, --site-like for
# channels as a site's encoders send them (720p and 1080p, B-frames, about 6 Mbit/s).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVESSA_BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
CORVESSA_BUILD_DIR=$build "$root/scripts/build.sh"
exec "$root/scripts/in-netns.sh" python3 "$root/scripts/demo_network.py" --build "$build" "$@"
