#!/usr/bin/env bash
# Sets everything up and runs the whole test suite inside the private test network.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVESSA_BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
CORVESSA_BUILD_DIR=$build "$root/scripts/build.sh"
"$root/scripts/in-netns.sh" ctest --test-dir "$build" --output-on-failure -j2 "$@"
