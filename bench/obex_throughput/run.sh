#!/usr/bin/env bash
# Zarnik's throughput against the simulated handset at 115200 baud and over a bare pty.
set -euo pipefail
"$KIT_BUILD/bench/obex_throughput/obex_throughput"
