#!/usr/bin/env python3
"""A headless libvlc 3 player on the fast-channel-change live source, against the same player
on the plain multicast address (scripts/bench.sh fastzap-latency runs this inside the private
namespace). For each set of libvlc media options it runs bench_fastzap_latency, which zaps
--zaps times at random moments of the keyframe interval, plays --play-ms each time, and reports
per zap: click to first decoded picture, how far behind live that picture and those of the last
second were (the time since the frame arrived from the network), the longest the picture stood
still, frames skipped, and how long libvlc_media_player_stop took after Cancel.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# (label, mode, media options)
SERIES = [
    ("plain address, :network-caching=100", "plain", [":network-caching=100"]),
    ("source, :no-ts-trust-pcr :demux=ts :avcodec-threads=1, libvlc's file caching",
     "fast", [":no-ts-trust-pcr", ":demux=ts", ":avcodec-threads=1"]),
    ("source, :no-ts-trust-pcr :demux=ts :avcodec-threads=1 :file-caching=300",
     "fast", [":no-ts-trust-pcr", ":demux=ts", ":avcodec-threads=1", ":file-caching=300"]),
    ("source, :no-ts-trust-pcr :demux=ts :avcodec-threads=1 :file-caching=100",
     "fast", [":no-ts-trust-pcr", ":demux=ts", ":avcodec-threads=1", ":file-caching=100"]),
    ("source, :demux=ts :avcodec-threads=1 :file-caching=100",
     "fast", [":demux=ts", ":avcodec-threads=1", ":file-caching=100"]),
]


def p95(values):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(0.95 * (len(ordered) - 1))))]


def summarise(zaps):
    shown = [z for z in zaps if z.get("pictures")]
    out = {"zaps": len(zaps), "with_pictures": len(shown),
           "fallbacks": sum(1 for z in zaps if z.get("fallback"))}
    for key in ("first_picture_ms", "first_behind_live_ms", "behind_live_last_second_ms",
                "longest_still_ms", "longest_still_after_500ms_ms", "pictures_per_s",
                "frames_skipped", "stop_ms"):
        values = [z[key] for z in shown if z.get(key) is not None]
        if values:
            out[key] = {"median": statistics.median(values), "p95": p95(values),
                        "max": max(values)}
    return out


def numbered_clip(out):
    """A 4 s clip muxed as the demo network's are, its frames numbered as the probe reads them."""
    clip = os.path.join(out, "fastzap-numbered.ts")
    if not os.path.exists(clip):
        numbered = ("format=yuv420p,geq=lum='if(lt(Y,40),if(mod(floor(N/pow(2,floor(X/20))),2),"
                    "235,16),lum(X,Y))':cb='if(lt(Y,40),128,cb(X,Y))':cr='if(lt(Y,40),128,"
                    "cr(X,Y))'")
        subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                        "testsrc2=size=320x180:rate=25," + numbered, "-t", "4",
                        "-c:v", "libx264", "-preset", "veryfast", "-tune", "zerolatency",
                        "-b:v", "1200k", "-g", "12", "-keyint_min", "12", "-sc_threshold", "0",
                        "-pix_fmt", "yuv420p", "-muxdelay", "0", "-muxpreload", "0",
                        "-f", "mpegts", clip + ".part"], check=True)
        os.replace(clip + ".part", clip)
    return clip


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--zaps", type=int, default=20)
    parser.add_argument("--play-ms", type=int, default=3000)
    parser.add_argument("--only", help="run only the series whose label contains one of these (comma-separated)")
    parser.add_argument("--sender", choices=("live", "loop", "both"), default="both",
                        help="live: encoded as it is sent; loop: a 4 s clip sent in a loop "
                        "with -c copy, as the demo network sends")
    args = parser.parse_args()

    probe = os.path.join(args.build, "bench", "bench_fastzap_latency")
    out = os.path.join(args.build, "bench")
    os.makedirs(out, exist_ok=True)
    senders = {"live": "live", "loop": numbered_clip(out)}
    results = {}
    for sender in (("live", "loop") if args.sender == "both" else (args.sender,)):
        for name, mode, options in SERIES:
            if args.only and not any(o in name for o in args.only.split(",")):
                continue
            label = "%s sender, %s" % (sender, name)
            r = subprocess.run([probe, mode, senders[sender], str(args.zaps), str(args.play_ms)] +
                               options, capture_output=True, text=True,
                               timeout=60 + args.zaps * (args.play_ms / 1000 + 3))
            zaps = [json.loads(line) for line in r.stdout.splitlines() if line.startswith("{")]
            s = summarise(zaps)
            results[label] = dict(s, options=options, samples=zaps)

            def m(key, what="median"):
                return s[key][what] if key in s else float("nan")
            print("%-50s first picture %4.0f ms (p95 %4.0f); behind live: first %4.0f, after %4.1f s "
                  "%4.0f ms; still <= %4.0f ms, after 0.5 s %4.0f ms (p95); %4.1f pictures/s; stop %3.0f ms (max); "
                  "%d/%d zaps showed pictures" % (
                      label, m("first_picture_ms"), m("first_picture_ms", "p95"),
                      m("first_behind_live_ms"), args.play_ms / 1000, m("behind_live_last_second_ms"),
                      m("longest_still_ms", "p95"), m("longest_still_after_500ms_ms", "p95"),
                      m("pictures_per_s"), m("stop_ms", "max"),
                      s["with_pictures"], s["zaps"]), flush=True)
    with open(os.path.join(out, "fastzap_latency.json"), "w") as f:
        json.dump(results, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
