#!/usr/bin/env python3
"""The CPU of the eight fast-channel-change receivers with no player (scripts/bench.sh
fastzap-cpu runs this inside the private namespace): the demo network's eight senders go, and
bench_fastzap_cpu receives all eight groups for --seconds and reports its own user + system time.
"""
import argparse
import json
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import demo_network as fx  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--seconds", type=int, default=30)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()

    fixture = fx.Fixture(args.build)
    out = os.path.join(args.build, "bench")
    os.makedirs(out, exist_ok=True)
    try:
        fixture.start_multicast()
        runs = []
        for _ in range(args.runs):
            r = subprocess.run([os.path.join(out, "bench_fastzap_cpu"), str(args.seconds)],
                                  capture_output=True, text=True, check=True,
                                  timeout=args.seconds + 60)
            result = json.loads(r.stdout)
            runs.append(result)
            rates = [c["kbit_per_s"] for c in result["channels"]]
            print("8 receivers, %.0f s: %.2f %% of one core (user %.2f s, system %.2f s); "
                  "%.0f to %.0f kbit/s a channel, all with a group of pictures: %s" % (
                      result["seconds"], result["cpu_percent_of_one_core"], result["user_s"],
                      result["system_s"], min(rates), max(rates),
                      all(c["has_gop"] for c in result["channels"])), flush=True)
        with open(os.path.join(out, "fastzap_cpu.json"), "w") as f:
            json.dump(runs, f, indent=1)
    finally:
        fixture.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
