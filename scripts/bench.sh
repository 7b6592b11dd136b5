#!/usr/bin/env bash
# Builds the benchmarks and runs one of them; docs/performance.md explains each.
#   scripts/bench.sh scan       channel-list scan throughput (Google Benchmark)
#   scripts/bench.sh zap        click to first picture, program and bare libvlc baseline
#   scripts/bench.sh startup    start-up time and resident memory, program and baseline
#   scripts/bench.sh jitter     a stream with 20 ms of network jitter, against one without
#   scripts/bench.sh pictures   the sixteen costliest pictures the bounds allow (Google Benchmark)
#   scripts/bench.sh picture-startup
#                               the program started over those pictures, and over the shipped ones
# Extra arguments go to the benchmark (e.g. scripts/bench.sh zap --count 60).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVESSA_BUILD_DIR:-$root/build}
what=${1:?"which benchmark: scan, zap, startup, jitter, pictures or picture-startup"}
shift

"$root/scripts/install-deps.sh"
CORVESSA_BUILD_DIR=$build "$root/scripts/build.sh" -DCORVESSA_BUILD_BENCH=ON

case $what in
  scan) exec "$build/bench/bench_scan" "$@" ;;
  pictures)
    # One process per benchmark, so that each peak memory figure is that benchmark's own.
    for name in ChannelWindowCanShow AllPicturesArrived OnePicture OnePictureUncapped \
      OversizedRefused OversizedUncapped ManyScansRefused ManyScansUncapped; do
      "$build/bench/bench_pictures" --benchmark_filter="^$name/" "$@"
    done ;;
  zap|startup|jitter)
    exec "$root/scripts/in-netns.sh" python3 "$root/bench/run.py" "$what" --build "$build" "$@" ;;
  picture-startup)
    exec "$root/scripts/in-netns.sh" python3 "$root/bench/run.py" pictures --build "$build" "$@" ;;
  *) echo "unknown benchmark: $what" >&2; exit 2 ;;
esac
