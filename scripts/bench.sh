#!/usr/bin/env bash
# Builds the benchmarks and runs one of them; docs/performance.md explains each.
#   scripts/bench.sh scan       channel-list scan throughput (Google Benchmark)
#   scripts/bench.sh zap        click to first picture, program and bare libvlc baseline
#   scripts/bench.sh startup    start-up time and resident memory, program and baseline
#   scripts/bench.sh jitter     a stream with 20 ms of network jitter, against one without
#   scripts/bench.sh fastzap-cpu      CPU of the eight fast-channel-change receivers, no player
#   scripts/bench.sh fastzap-latency  a headless libvlc player on the fast-channel-change source:
#                                     first picture, how far behind live, libvlc options compared
# Extra arguments go to the benchmark (e.g. scripts/bench.sh zap --count 60).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVESSA_BUILD_DIR:-$root/build}
what=${1:?"which benchmark: scan, zap, startup, jitter, fastzap-cpu or fastzap-latency"}
shift

"$root/scripts/install-deps.sh"
CORVESSA_BUILD_DIR=$build "$root/scripts/build.sh" -DCORVESSA_BUILD_BENCH=ON

case $what in
  scan) exec "$build/bench/bench_scan" "$@" ;;
  zap|startup|jitter)
    exec "$root/scripts/in-netns.sh" python3 "$root/bench/run.py" "$what" --build "$build" "$@" ;;
  fastzap-cpu)
    exec "$root/scripts/in-netns.sh" python3 "$root/bench/fastzap_cpu.py" --build "$build" "$@" ;;
  fastzap-latency)
    exec "$root/scripts/in-netns.sh" python3 "$root/bench/fastzap_latency.py" --build "$build" "$@" ;;
  *) echo "unknown benchmark: $what" >&2; exit 2 ;;
esac
