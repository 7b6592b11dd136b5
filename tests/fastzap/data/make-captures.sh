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
# H.264 as the demo network sends it (no B-frames), with AAC audio. The PMT lists the audio
# first, with its language descriptor, as many broadcast encoders do; the PIDs stay those of the
# other captures (video 0x100, audio 0x101).
ffmpeg "${common[@]}" -f lavfi -i "sine=frequency=440:sample_rate=48000" -t 2.4 -map 1:a -map 0:v \
  -c:v libx264 -preset veryfast -tune zerolatency -g 12 -keyint_min 12 -sc_threshold 0 \
  -pix_fmt yuv420p -c:a aac -b:a 64k -metadata:s:a:0 language=eng \
  -streamid 0:0x101 -streamid 1:0x100 "${mux[@]}" h264-audio.ts
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
# H.265 as x265 makes it by default: open groups of pictures, each keyframe a CRA picture with a
# leading (RASL) picture that refers to the group before. Cut at the second keyframe, so that the
# stream starts with a CRA as a channel joined in its middle does, and every keyframe is one.
small=(-nostdin -loglevel error -y -f lavfi -i "testsrc2=size=192x108:rate=25")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
ffmpeg "${small[@]}" -t 2.88 -c:v libx265 -preset veryfast \
  -x265-params "keyint=12:min-keyint=12:scenecut=0:log-level=error" -pix_fmt yuv420p \
  "${mux[@]}" "$scratch/open.ts"
second=$(ffprobe -v error -select_streams v:0 -show_entries packet=pos,flags -of csv=p=0 \
  "$scratch/open.ts" | grep K | sed -n 2p | cut -d, -f1)
tail -c +$((second + 1)) "$scratch/open.ts" |
  ffmpeg -nostdin -loglevel error -y -f mpegts -i - -c copy "${mux[@]}" h265-open-gop.ts
# H.264 from an encoder that sends its SPS and PPS once, before the first keyframe only: 2 s groups
# of pictures, B-frames, access unit delimiters (which also keep ffmpeg's muxer from putting the
# parameter sets back in front of each keyframe). The first group is taken whole, the rest with
# the parameter sets filtered out, and the two muxed again as one stream.
ffmpeg "${small[@]}" -t 6.4 -c:v libx264 -preset veryfast -crf 30 -g 50 -keyint_min 50 \
  -sc_threshold 0 -x264-params aud=1 -pix_fmt yuv420p "${mux[@]}" "$scratch/full.ts"
copy=(-nostdin -loglevel error -y -copyts)
ffmpeg "${copy[@]}" -i "$scratch/full.ts" -c copy -frames:v 50 "${mux[@]}" "$scratch/head.ts"
ffmpeg "${copy[@]}" -i "$scratch/full.ts" -c copy \
  -bsf:v "noise=drop=lt(n\\,50),filter_units=remove_types=7|8" "${mux[@]}" "$scratch/tail.ts"
cat "$scratch/head.ts" "$scratch/tail.ts" |
  ffmpeg "${copy[@]}" -f mpegts -i - -c copy "${mux[@]}" h264-2s-headers-once.ts
