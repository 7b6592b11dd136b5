#!/usr/bin/env bash
# Builds the benchmarks and runs one of them; docs/performance.md explains each.
#   scripts/bench.sh scan       channel-list scan throughput (Google Benchmark)
#   scripts/bench.sh zap        click to first picture, program and bare libvlc baseline taking
#                               turns, multicast and HLS; --rest 150-600: the pointer rests on
#                               the button a random 150 to 600 ms before each click
#   scripts/bench.sh live       after a click on a multicast channel: first picture to smooth
#                               motion, how far behind live, libvlc's "too late" messages
#   scripts/bench.sh cpu        the program idle in multicast mode with eight senders, fast
#                               channel change on and off
#   scripts/bench.sh warmup --other PATH   idle memory and first zap after start-up, this
#                               program against another build of it (e.g. without the warm-up)
#   scripts/bench.sh startup    start-up time and resident memory, program and baseline taking
#                               turns (--other PATH: another build of the program as well)
#   scripts/bench.sh play       the cost of playing a channel: program and bare libvlc taking
#                               turns, in the window and in full screen, 640 x 360 and 1080p
#                               (--play-stream PATH for another clip): CPU, memory, lost pictures
#   scripts/bench.sh scale      one picture's conversion to the window's size, per libswscale
#                               filter (Google Benchmark)
#   scripts/bench.sh fallback   a multicast group falls silent mid-play and comes back: to the
#                               storage stream's picture and back, the stand-still at each
#                               change; against Fallback=0, taking turns (--rounds N)
#   scripts/bench.sh jitter     a stream with 20 ms of network jitter, against one without
#   scripts/bench.sh stuck      storage servers that freeze or never end a segment: close time,
#                               exit time, resident memory
#   scripts/bench.sh fastzap-cpu      CPU of the eight fast-channel-change receivers, no player
#   scripts/bench.sh fastzap-latency  a headless libvlc player on the fast-channel-change source:
#                                     first picture, how far behind live, libvlc options compared
#   scripts/bench.sh pictures   the sixteen costliest pictures the bounds allow (Google Benchmark)
#   scripts/bench.sh picture-startup
#                               the program started over those pictures, and over the shipped ones
#   --site-like (zap, live)     the channels as a site's encoders send them: 720p with 1 s groups on
#                               channels 1 to 4, 1080p with 2 s groups on 5 to 8, B-frames, about
#                               6 Mbit/s, sound; play takes them as --play-stream 720p-site or
#                               1080p-site
# Extra arguments go to the benchmark (e.g. scripts/bench.sh zap --count 60 --seed 7;
# python3 bench/run.py --help lists them).
#   CORVESSA_BENCH_NO_PLUGIN_CACHE=1   run with libvlc's plugin cache (plugins.dat) moved aside, as
#                                      on a machine without libvlc-bin; needs root, and puts the
#                                      cache back afterwards
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVESSA_BUILD_DIR:-$root/build}
what=${1:?"which benchmark: scan, scale, zap, live, cpu, warmup, startup, play, jitter, fallback, stuck, pictures, picture-startup, fastzap-cpu or fastzap-latency"}
shift

"$root/scripts/install-deps.sh"
CORVESSA_BUILD_DIR=$build "$root/scripts/build.sh" -DCORVESSA_BUILD_BENCH=ON

if [[ "${CORVESSA_BENCH_NO_PLUGIN_CACHE:-}" == 1 ]]; then
  listing=$(dpkg -L vlc-plugin-base)
  cache=$(grep -m1 -o '^.*/vlc/plugins/' <<<"$listing")plugins.dat
  [[ -f "$cache" ]] || { echo "bench: no plugin cache at $cache" >&2; exit 1; }
  mv "$cache" "$cache.bench-aside"
  trap 'mv "$cache.bench-aside" "$cache"' EXIT
  echo "bench: libvlc's plugin cache moved aside for this run ($cache)"
fi

case $what in
  scan) "$build/bench/bench_scan" "$@" ;;
  scale) "$build/bench/bench_scale" "$@" ;;
  pictures)
    # One process per benchmark, so that each peak memory figure is that benchmark's own.
    for name in ChannelWindowCanShow AllPicturesArrived OnePicture OnePictureUncapped \
      OversizedRefused OversizedUncapped ManyScansRefused ManyScansUncapped; do
      "$build/bench/bench_pictures" --benchmark_filter="^$name/" "$@"
    done ;;
  zap|live|cpu|warmup|startup|play|jitter|fallback)
    "$root/scripts/in-netns.sh" python3 "$root/bench/run.py" "$what" --build "$build" "$@" ;;
  picture-startup)
    "$root/scripts/in-netns.sh" python3 "$root/bench/run.py" pictures --build "$build" "$@" ;;
  stuck)
    "$root/scripts/in-netns.sh" python3 "$root/bench/stuck.py" --build "$build" "$@" ;;
  fastzap-cpu)
    "$root/scripts/in-netns.sh" python3 "$root/bench/fastzap_cpu.py" --build "$build" "$@" ;;
  fastzap-latency)
    "$root/scripts/in-netns.sh" python3 "$root/bench/fastzap_latency.py" --build "$build" "$@" ;;
  *) echo "unknown benchmark: $what" >&2; exit 2 ;;
esac
