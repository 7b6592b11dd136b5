#!/usr/bin/env bash
# Fails when a C++ file tracked by git is not formatted as .clang-format says, and shows how.
#   scripts/check-format.sh --fix   formats them in place instead
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
mapfile -d '' files < <(git ls-files -z -- '*.cpp' '*.h')
if ((${#files[@]} == 0)); then
  echo "check-format: no C++ files tracked by git" >&2
  exit 1
fi
if [[ "${1:-}" == --fix ]]; then
  clang-format -i "${files[@]}"
  exit 0
fi
if ! clang-format --dry-run --Werror "${files[@]}"; then
  echo "check-format: the files above are not formatted; scripts/check-format.sh --fix formats them" >&2
  exit 1
fi
echo "check-format: ${#files[@]} files formatted as .clang-format says"
