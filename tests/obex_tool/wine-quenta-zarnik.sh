#!/usr/bin/env bash
# The end-to-end scenarios with the x86_64 Windows build of Zarnik under Wine and its COM port
# served by our Quenta.sys under Wine's kernel, on a handset plugged into the test USB bus whose
# USB side is the simulated handset (scripts/wine-quenta-session.sh). scripts/test.sh runs this in
# its win64 part; the session uses its own cached prefix, not the run's.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
: "${KIT_LINUX_BUILD:?}" "${KIT_WIN64_BUILD:?}"
exec "$here/e2e/run-scenarios.sh" quenta "$@"
