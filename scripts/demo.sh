#!/usr/bin/env bash
# Runs the kit's main jobs on built-in examples, from a fresh machine: installs what is
# missing, builds the Linux release preset, then runs each part of scripts/demo.d in order.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release >/dev/null
export KIT_BUILD=$PWD/build/linux-release
for part in scripts/demo.d/*.sh; do
  printf '\n=== %s\n' "$(sed -n 's/^# Demo: //p' "$part" | head -n 1)"
  bash "$part"
done
