#!/usr/bin/env bash
# Longer, random fuzzing than the test suite's: each fuzzer explores from its committed corpus
# with a seed of its own (printed, so a run can be repeated), for a while, one after the other.
#   scripts/fuzz.sh [SECONDS_EACH] [FUZZER...]      default: 600 s each, every fuzzer
#   CORVESSA_FUZZ_SEED=N                             a chosen seed instead of a random one
# The sanitizer build (build-asan) is made first if needed. What each fuzzer finds stays in
# build-asan/fuzz/long/<fuzzer>/: a failing input as crash-*, leak-*, timeout-* or oom-*. Mend the
# fault, then add the input to fuzz/corpus/<its corpus>/ as found-<what it is>, where the suite
# replays it on every run. New inputs that widen coverage are left in .../corpus; merge the best
# of them into the committed corpus with -merge=1 if they are worth keeping.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVESSA_SANITIZE_BUILD_DIR:-$root/build-asan}
seconds=${1:-600}
shift || true

"$root/scripts/install-deps.sh"
CORVESSA_PRESET=sanitizers CORVESSA_BUILD_DIR=$build "$root/scripts/build.sh"

declare -A corpus=([scan_fuzzer]=scan [profile_fuzzer]=profile [picture_fuzzer]=picture
  [playlist_fuzzer]=playlist [shape_fuzzer]=shape [catchup_fuzzer]=catchup)
fuzzers=("$@")
if ((${#fuzzers[@]} == 0)); then
  for f in "${!corpus[@]}"; do
    [[ -x $build/fuzz/$f ]] && fuzzers+=("$f")
  done
fi

failed=0
for f in "${fuzzers[@]}"; do
  seed=${CORVESSA_FUZZ_SEED:-$((RANDOM * 32768 + RANDOM))}
  out=$build/fuzz/long/$f
  mkdir -p "$out/corpus"
  echo "== $f: $seconds s, seed $seed, finds in $out"
  if ! QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=quarantine_size_mb=32 \
    "$build/fuzz/$f" -seed="$seed" -max_total_time="$seconds" -timeout=25 \
    -rss_limit_mb=2048 -malloc_limit_mb=512 -print_final_stats=1 -artifact_prefix="$out/" \
    "$out/corpus" "$root/fuzz/corpus/${corpus[$f]}"; then
    echo "== $f found a failing input (seed $seed): $(ls "$out" | grep -E '^(crash|leak|timeout|oom)-' | tr '\n' ' ')"
    failed=1
  fi
done
exit "$failed"
