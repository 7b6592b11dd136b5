#!/usr/bin/env bash
# Sets everything up and runs the whole test suite inside the private test network: the format
# check, the ordinary build and its tests, the Debian package (built, checked with lintian, and as
# root installed, played, upgraded unattended, reinstalled, removed and purged:
# scripts/package-test.sh), then a build with AddressSanitizer and UndefinedBehaviorSanitizer
# (clang), which runs the unit tests again with the end-to-end runs that hand memory between
# threads (label memory), replays each fuzzer's committed corpus and lets each explore for a
# bounded time from a fixed seed (scripts/fuzz.sh explores longer, at random). Extra arguments go
# to CTest; the tests carry the labels unit, e2e, soak, memory, fuzz and package (e.g. -L unit).
#   CORVESSA_SKIP_PACKAGE=1      no package steps
#   CORVESSA_SKIP_SANITIZERS=1   no sanitizer build
#   CORVESSA_FUZZ_SECONDS=N      how long each fuzzer explores (default 12)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVESSA_BUILD_DIR:-$root/build}
sanitize_build=${CORVESSA_SANITIZE_BUILD_DIR:-$root/build-asan}

"$root/scripts/install-deps.sh"

echo "== Format (clang-format)"
"$root/scripts/check-format.sh"

echo "== Build and test"
CORVESSA_BUILD_DIR=$build "$root/scripts/build.sh"
"$root/scripts/in-netns.sh" ctest --test-dir "$build" --output-on-failure -j2 "$@"

if [[ "${CORVESSA_SKIP_PACKAGE:-}" != 1 ]]; then
  echo "== Debian package"
  CORVESSA_BUILD_DIR=$build "$root/scripts/package-test.sh"
fi

if [[ "${CORVESSA_SKIP_SANITIZERS:-}" == 1 ]]; then
  exit 0
fi

echo "== Sanitizer build and test, fuzzers"
CORVESSA_PRESET=sanitizers CORVESSA_BUILD_DIR=$sanitize_build "$root/scripts/build.sh" \
  -DCORVESSA_FUZZ_SECONDS="${CORVESSA_FUZZ_SECONDS:-12}"
"$root/scripts/in-netns.sh" ctest --test-dir "$sanitize_build" --output-on-failure -j2 \
  -L '^(unit|fuzz|memory)$' "$@"
