#!/usr/bin/env bash
# Fails when a tracked C or C++ source differs from the style in .clang-format (the driver
# folders carry their own). Run with --fix to rewrite the files in place.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t sources < <(git ls-files '*.c' '*.cc' '*.cpp' '*.h' '*.hpp')
if [[ ${1:-} == --fix ]]; then
  clang-format -i "${sources[@]}"
else
  clang-format --dry-run -Werror "${sources[@]}"
  echo "format: ${#sources[@]} files follow .clang-format"
fi
