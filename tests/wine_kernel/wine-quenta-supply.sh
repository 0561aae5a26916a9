#!/usr/bin/env bash
# The kernel supply's DPCs and timers, checked from inside Wine's kernel: a check driver that
# imports them from ntoskrnl.exe, as Quenta does, gets them from the supply by the same import
# redirection (tests/wine_kernel/kernel_supply_check). scripts/test.sh runs this in its win64 part.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
: "${KIT_LINUX_BUILD:?}" "${KIT_WIN64_BUILD:?}"
# shellcheck source=../../scripts/wine-quenta-session.sh
source "$here/../../scripts/wine-quenta-session.sh"

quenta_wine_test_session quenta-supply || exit 1
started=$(date +%s%N)

original=$KIT_WIN64_BUILD/tests/wine_kernel/kernel_supply_check/kernel_supply_check.sys
image=$WINEPREFIX/drive_c/windows/system32/drivers/kernel_supply_check.sys
"$KIT_LINUX_BUILD/tools/pe_import_redirect/pe_import_redirect" "$original" "$image" wine_kernel_supply.sys \
  KeInitializeDpc KeInsertQueueDpc KeRemoveQueueDpc KeInitializeTimer KeSetTimer KeCancelTimer || exit 1
wine "$KIT_WIN64_BUILD/tests/wine_kernel/kernel_supply_report.exe" 'C:\windows\system32\drivers\kernel_supply_check.sys' \
  >"$work/report" 2>&1
status=$?
tr -d '\r' <"$work/report"
printf '    kernel supply checks: %s s\n' "$(awk -v ns=$(($(date +%s%N) - started)) 'BEGIN { printf "%.1f", ns / 1e9 }')"
if ((status != 0)); then
  echo "the kernel supply's checks failed ($status)"
  exit 1
fi
