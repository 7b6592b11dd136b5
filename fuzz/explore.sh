#!/usr/bin/env bash
# explore.sh SCRATCH FUZZER [libFuzzer flags...] -- SEED_FOLDER...
# Runs FUZZER over the seed folders with its new inputs going to a SCRATCH folder that is emptied
# first, so the seed folders stay as committed and every run starts from the same inputs. An
# input that fails is written into SCRATCH, whose path is printed.
set -euo pipefail
scratch=$1 fuzzer=$2
shift 2
flags=()
while (($#)) && [[ $1 != -- ]]; do
  flags+=("$1")
  shift
done
shift
rm -rf "$scratch"
mkdir -p "$scratch/corpus"
status=0
"$fuzzer" "${flags[@]}" -artifact_prefix="$scratch/" "$scratch/corpus" "$@" || status=$?
if ((status != 0)); then
  echo "explore: the failing input is in $scratch (see crash-*, leak-*, timeout-*, oom-*)" >&2
fi
exit "$status"
