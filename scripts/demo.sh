#!/usr/bin/env bash
# Runs the kit's main jobs on built-in examples, from a fresh machine: installs what is
# missing, builds the Linux release preset, then runs each part of scripts/demo.d in order.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/release_build.sh
for part in scripts/demo.d/*.sh; do
  printf '\n=== %s\n' "$(sed -n 's/^# Demo: //p' "$part" | head -n 1)"
  bash "$part"
done
