#!/usr/bin/env bash
# The end-to-end scenarios with the x86_64 Windows build of Zarnik under Wine, its COM port
# mapped to the simulated handset's pseudo-terminal and the modem-line shim preloaded.
# scripts/test.sh runs this inside its Wine session (WINEPREFIX set, wineserver running).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
: "${KIT_LINUX_BUILD:?}" "${KIT_WIN64_BUILD:?}" "${WINEPREFIX:?}"
exec "$here/e2e/run-scenarios.sh" wine "$@"
