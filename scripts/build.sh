#!/usr/bin/env bash
# Configures and builds Corvessa into ./build (or $CORVESSA_BUILD_DIR), with the default preset
# of CMakePresets.json. Extra arguments go to the configure step (e.g. -DCORVESSA_BUILD_BENCH=ON).
#   CORVESSA_PRESET=sanitizers    the clang build with sanitizers and fuzzers
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVESSA_BUILD_DIR:-$root/build}
preset=${CORVESSA_PRESET:-default}
cmake -S "$root" --preset "$preset" -B "$build" "$@" >/dev/null
cmake --build "$build" --parallel "$(nproc)"
