#!/usr/bin/env bash
# Makes the small transport streams the fast-channel-change tests read. They are committed; run
# this again only to change them. 320 x 180, 25 frames a second, a keyframe every 12 frames,
# muxed as the demo network's senders mux (-muxdelay 0 -muxpreload 0).
set -euo pipefail
cd "$(dirname "$0")"
common=(-nostdin -loglevel error -y -f lavfi -i "testsrc2=size=320x180:rate=25" -t 2.4)
mux=(-muxdelay 0 -muxpreload 0 -f mpegts)

# H.264 with B-frames (decode and presentation times differ), no audio.
ffmpeg "${common[@]}" -c:v libx264 -preset veryfast -g 12 -keyint_min 12 -sc_threshold 0 \
  -pix_fmt yuv420p "${mux[@]}" h264.ts
# H.264 as the demo network sends it (no B-frames), with AAC audio.
ffmpeg "${common[@]}" -f lavfi -i "sine=frequency=440:sample_rate=48000" -t 2.4 \
  -c:v libx264 -preset veryfast -tune zerolatency -g 12 -keyint_min 12 -sc_threshold 0 \
  -pix_fmt yuv420p -c:a aac -b:a 64k "${mux[@]}" h264-audio.ts
# H.265, closed groups of pictures, parameter sets before every keyframe.
ffmpeg "${common[@]}" -c:v libx265 -preset veryfast \
  -x265-params "keyint=12:min-keyint=12:scenecut=0:open-gop=0:repeat-headers=1:log-level=error" \
  -pix_fmt yuv420p "${mux[@]}" h265.ts
# MPEG-2 video.
ffmpeg "${common[@]}" -c:v mpeg2video -g 12 -b:v 400k "${mux[@]}" mpeg2.ts
# The same program as h264.ts laid out differently: its PMT on another PID, its video on another
# PID. Appended to h264.ts, it is a PAT that moves the PMT.
ffmpeg "${common[@]}" -c:v libx264 -preset veryfast -g 12 -keyint_min 12 -sc_threshold 0 \
  -pix_fmt yuv420p -mpegts_pmt_start_pid 0x1100 -mpegts_start_pid 0x0200 "${mux[@]}" h264-moved.ts
# H.264 with one extra keyframe (frame 15, 0.6 s), as a scene cut brings: an interval of three
# frames between two of twelve.
ffmpeg "${common[@]}" -c:v libx264 -preset veryfast -g 12 -keyint_min 12 -sc_threshold 0 \
  -force_key_frames 0.6 -pix_fmt yuv420p "${mux[@]}" h264-extra-keyframe.ts
