#!/usr/bin/env bash
# Brovald's end-to-end scenarios with the x86_64 Windows build under Wine, each run repeated by
# the Linux build on the same inputs: both must end with the same status, print the same lines
# and write the same images (the Windows build ends its lines with CR LF).
# scripts/test.sh runs this inside its Wine session (WINEPREFIX set, wineserver running).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
: "${KIT_LINUX_BUILD:?}" "${KIT_WIN64_BUILD:?}" "${WINEPREFIX:?}"
exec "$here/e2e/run-scenarios.sh" wine "$@"
