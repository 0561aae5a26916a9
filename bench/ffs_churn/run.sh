#!/usr/bin/env bash
# FFS churn: 2000 file writes of 1-20 KiB replacing one another on a 4 MiB image (data reclaim and
# inode reclaim run many times), against one 4 MiB image read+write of the image layer in the same
# process. Prints operations per second, flash bytes programmed per user byte, erase counts per
# block and the ratio; target: ratio <= 1.
#   KIT_BUILD=build/linux-release bash bench/ffs_churn/run.sh     (or scripts/bench.sh ffs_churn)
#   KIT_BENCH_RUNS=9 ... for more runs (default 5)
set -euo pipefail
# The working copy announces itself on every run of the reference; only the figures are shown.
"${KIT_BUILD:?KIT_BUILD must name a linux-release build}/bench/ffs_churn/ffs_churn" "${KIT_BENCH_RUNS:-5}" | grep -v "^Info:Create Mapping"
