#!/usr/bin/env bash
# Runs the benchmarks: builds the Linux release preset, then each bench/<name>/run.sh (or only
# the names given). Every benchmark prints its figures and a ratio against a reference run made
# in the same script.
#   scripts/bench.sh [name...]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/release_build.sh
names=("$@")
if ((${#names[@]} == 0)); then
  for run in bench/*/run.sh; do
    [[ -f $run ]] && names+=("$(basename "$(dirname "$run")")")
  done
fi
# Figures copied into a note should say what they were measured on: the commit, and how busy the
# machine was (other builds on a shared machine stretch wall times far more than processor times).
for name in "${names[@]}"; do
  printf '\n=== bench: %s (commit %s, %d processors, load average %s)\n' "$name" \
    "$(git rev-parse --short HEAD 2>/dev/null || echo unknown)" "$(nproc)" "$(cut -d' ' -f1-3 /proc/loadavg)"
  bash "bench/$name/run.sh"
done
