#!/usr/bin/env bash
# Quenta's read path (direct mode and from the ring) and write path on the deterministic kernel
# emulation, each against a memcpy of the same bytes in the same process.
set -euo pipefail
"$KIT_BUILD/bench/quenta_throughput/quenta_throughput"
