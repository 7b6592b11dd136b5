#!/usr/bin/env bash
# The five-frame clip Corvessa plays unseen at start, so that the first channel opened does not
# wait for libvlc to load its demuxer, decoder and video output. The result is committed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
ffmpeg -nostdin -loglevel error -y -f lavfi -i "testsrc2=size=64x36:rate=25" -t 0.2 \
  -c:v libx264 -preset veryfast -pix_fmt yuv420p -g 5 -muxdelay 0 -muxpreload 0 \
  -f mpegts "$root/playback/warmup.ts"
