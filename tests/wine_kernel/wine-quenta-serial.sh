#!/usr/bin/env bash
# The Win32 serial calls of Wine's kernel32 (GetCommState/SetCommState, time-outs, WaitCommEvent
# with a mask change, purge, ClearCommError, the device-error latch after a failed or stalled
# transfer) against our Quenta.sys under Wine's kernel, on a handset plugged into the test USB bus
# and served by the simulated handset (scripts/wine-quenta-session.sh; the cases are in
# serial_api_cases.cpp). The driver hosts trace their dispatch of requests (trace+ntoskrnl) into the
# session log, from which the check counts the requests each case sent. scripts/test.sh runs this
# in its win64 part; tests/usb_path/serial_api_check_test.cpp runs the same cases through our own
# kernel32 layer.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
: "${KIT_LINUX_BUILD:?}" "${KIT_WIN64_BUILD:?}"
# shellcheck source=../../scripts/wine-quenta-session.sh
source "$here/../../scripts/wine-quenta-session.sh"
# shellcheck source=../../scripts/lib/simulated_handset.sh
source "$here/../../scripts/lib/simulated_handset.sh"

QUENTA_WINEDEBUG=-all,+debugstr,err+plugplay,trace+ntoskrnl quenta_wine_test_session quenta-serial || exit 1
number=7
failures=0

# run_cases [FAULT] CASE...: a fresh handset as COM7 (with FAULT armed on its transfers), then the
# cases, each on a port opened anew.
run_cases() {
  local fault=
  if [[ $1 == fault\ * ]]; then
    fault=$1
    shift
  fi
  local started=$(date +%s%N) line
  rm -rf "$work/handset" "$work/sim.out" "$work/check.out"
  mkdir -p "$work/handset"
  if start_handset "$KIT_LINUX_BUILD/tools/handset_sim/handset_sim" "$work/sim.out" --root "$work/handset" &&
    quenta_wine_plug "$number" "$slave" && { [[ -z $fault ]] || quenta_wine_command "$number" "$fault"; }; then
    # The session log, where the driver hosts' trace lands, as the check opens it (drive Z:).
    wine "$KIT_WIN64_BUILD/tests/wine_kernel/serial_api_check.exe" "\\\\.\\COM$number" "Z:${work//\//\\}\\session.log" "$@" \
      >"$work/check.out" 2>&1
    quenta_wine_unplug "$number" || failures=$((failures + 1))
  else
    echo "FAIL ${*}: the handset did not become COM$number"
    failures=$((failures + 1))
  fi
  stop_handset
  # Each case prints "ok CASE" or "FAIL CASE: ...", then its requests; a case without its "ok"
  # line (the check ended early) fails too.
  local passed=0 failed=0
  while IFS= read -r line; do
    echo "$line"
    if [[ $line == ok\ * ]]; then
      passed=$((passed + 1))
    elif [[ $line != \ \ \ \ requests:* ]]; then
      failed=$((failed + 1))
    fi
  done < <(tr -d '\r' <"$work/check.out" 2>/dev/null)
  if ((passed + failed < $#)); then
    echo "FAIL $*: only $passed of $# cases passed"
    failed=$((failed + 1))
  fi
  failures=$((failures + failed))
  printf '    %s: %s s\n' "$*" "$(awk -v ns=$(($(date +%s%N) - started)) 'BEGIN { printf "%.1f", ns / 1e9 }')"
}

run_cases comm_state comm_state_order dcb_round_trip timeouts read_timeouts overlapped_read_timeout wait_mask_change purge clear_comm_error
run_cases "fault fail in 0" device_error_latch
run_cases "fault stall out 0" stalled_write

if ((failures > 0)); then
  echo "the drivers' debugger output:"
  quenta_wine_driver_output | tail -n 40 | sed 's/^/    /'
  echo "$failures serial check(s) failed"
  exit 1
fi
