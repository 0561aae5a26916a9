#!/usr/bin/env bash
# Runs Zarnik end to end against the simulated handset over a pseudo-terminal.
#   run-scenarios.sh native [scenario...]   the Linux build        (KIT_LINUX_BUILD)
#   run-scenarios.sh wine [scenario...]     the x86_64 Windows build under Wine (KIT_WIN64_BUILD,
#                                           with the simulator and the modem-line shim of
#                                           KIT_LINUX_BUILD; WINEPREFIX and a wineserver set up)
#   run-scenarios.sh quenta [scenario...]   the same Zarnik.exe with its COM port served by our
#                                           Quenta.sys under Wine's kernel, on a handset plugged
#                                           into the test USB bus (scripts/wine-quenta-session.sh)
#   run-scenarios.sh usb [scenario...]      zarnik_via_quenta: Zarnik's Win32 port layer over Quenta on
#                                           the emulated kernel, the handset's cable going to the
#                                           simulator's pseudo-terminal (KIT_LINUX_BUILD)
# Without names it runs every scenario of scenarios.sh that the mode supports.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mode=${1:?mode: native, wine, quenta or usb}
shift
linux_build=${KIT_LINUX_BUILD:?KIT_LINUX_BUILD must name the Linux build}
sim_exe=$linux_build/tools/handset_sim/handset_sim
port=5

# shellcheck source=scenarios.sh
source "$here/scenarios.sh"

# shellcheck source=../../support/scenario_runner.sh
source "$here/../../support/scenario_runner.sh"
# shellcheck source=../../../scripts/lib/simulated_handset.sh
source "$here/../../../scripts/lib/simulated_handset.sh"
slave=
# Commands for the test USB bus's relay once the handset is plugged in (quenta mode).
bus_commands=()

# --- set-up helpers used by the scenarios

# sim [handset_sim options]: starts the handset for this scenario.
sim() {
  # A scenario may start a second handset: the first one's port must not be taken for it.
  rm -f "$work/sim.out"
  # A loaded machine can take seconds to start it: start_handset waits while it lives, up to 30 s.
  start_handset "$sim_exe" "$work/sim.out" --root "$work/handset" --transcript "$work/transcript" \
    --raw-transcript "$work/raw" "$@" 2>/dev/null ||
    say_fail "the simulator did not start: $(cat "$work/sim.out.err")"
}

# handset_file PATH TEXT: a file the handset holds before the run.
handset_file() {
  mkdir -p "$(dirname "$work/handset/$1")"
  printf '%s' "$2" >"$work/handset/$1"
}

# local_file NAME SIZE: a PC file of SIZE bytes of a recognisable pattern.
local_file() {
  head -c "$2" /dev/urandom | od -An -tx1 | tr -d ' \n' | head -c "$2" >"$work/pc/$1"
}

# zarnik ARGS...: runs Zarnik on the handset's port; zarnik_bare ARGS... without the port.
zarnik() {
  zarnik_bare "$port" "$@"
}

zarnik_bare() {
  local started=$(date +%s%N)
  run_zarnik_in "$work/pc" "$port" "$slave" "$@" >"$work/stdout.raw" 2>"$work/stderr"
  exit_status=$?
  elapsed_ms=$((($(date +%s%N) - started) / 1000000))
  tr -d '\r' <"$work/stdout.raw" >"$work/stdout"
  stop_handset
}

# run_zarnik_in DIR PORT SLAVE ARGS...: one Zarnik run in DIR with COM<PORT> on SLAVE.
run_zarnik_in() {
  local dir=$1 number=$2 device=$3
  shift 3
  if [[ $mode == quenta ]]; then
    run_zarnik_on_quenta "$dir" "$number" "$device" "$@"
  elif [[ $mode == wine ]]; then
    [[ -n $device ]] && ln -sfn "$device" "$WINEPREFIX/dosdevices/com$number"
    (cd "$dir" && LD_PRELOAD=$linux_build/tools/pty_modem_shim/pty_modem_shim.so \
      wine "$KIT_WIN64_BUILD/obex_tool/Zarnik.exe" "$@")
  elif [[ $mode == usb ]]; then
    (cd "$dir" && env "COM$number=$device" "$linux_build/tools/zarnik_via_quenta/zarnik_via_quenta" "$@")
  else
    (cd "$dir" && env "COM$number=$device" "$linux_build/obex_tool/Zarnik" "$@")
  fi
}

# The handset on SLAVE is plugged into the test USB bus and becomes COM<PORT> through Quenta; it is
# pulled out again after the run. Problems of the harness go to $work/harness (judged afterwards).
run_zarnik_on_quenta() {
  local dir=$1 number=$2 device=$3 status command plugged=
  shift 3
  if [[ -n $device ]]; then
    if quenta_wine_plug "$number" "$device" 2>>"$work/harness"; then
      plugged=1
      for command in "${bus_commands[@]}"; do
        quenta_wine_command "$number" "$command" 2>>"$work/harness"
      done
    fi
  fi
  (cd "$dir" && wine "$KIT_WIN64_BUILD/obex_tool/Zarnik.exe" "$@")
  status=$?
  [[ -z $plugged ]] || quenta_wine_unplug "$number" 2>>"$work/harness"
  return $status
}

# --- checks
# (A log goes to grep -q through a process substitution: in a pipeline, grep's early exit could
# fail the writer with SIGPIPE, which pipefail reports as the pipeline's status.)

expect_exit() {
  [[ $exit_status == "$1" ]] || say_fail "exit status $exit_status, expected $1; stdout: $(head -c 400 "$work/stdout")"
}

# expect_requests <<'END' ... END: the OBEX requests of the transcript (AT lines left out).
expect_requests() {
  local expected actual
  expected=$(cat)
  actual=$(grep -v '^AT ' "$work/transcript" 2>/dev/null)
  [[ $actual == "$expected" ]] || say_fail "requests differ:$(diff <(echo "$expected") <(echo "$actual") | sed 's/^/      /')"
}

# expect_request LINE: the transcript holds this request line.
expect_request() {
  grep -qxF -- "$1" "$work/transcript" 2>/dev/null || say_fail "no request line '$1'"
}

expect_at_lines() {
  local expected actual
  expected=$(cat)
  actual=$(grep '^AT ' "$work/transcript" 2>/dev/null)
  [[ $actual == "$expected" ]] || say_fail "AT lines differ:$(diff <(echo "$expected") <(echo "$actual") | sed 's/^/      /')"
}

expect_stdout_has() {
  grep -qF -- "$1" "$work/stdout" || say_fail "stdout lacks '$1': $(head -c 400 "$work/stdout")"
}

expect_log_has() {
  grep -qF -- "$1" < <(tr -d '\r' <"$work/pc/Zarnik.log") || say_fail "Zarnik.log lacks '$1'"
}

expect_log_lacks() {
  ! grep -qF -- "$1" < <(tr -d '\r' <"$work/pc/Zarnik.log") || say_fail "Zarnik.log has '$1'"
}

expect_port_log_has() {
  grep -qxF -- "$1" < <(tr -d '\r' <"$work/pc/ObexCom.log") || say_fail "ObexCom.log lacks the line '$1'"
}

expect_port_log_lacks() {
  ! grep -qF -- "$1" < <(tr -d '\r' <"$work/pc/ObexCom.log") || say_fail "ObexCom.log has '$1'"
}

# expect_port_log_last LINE: the port log ends with this line.
expect_port_log_last() {
  local last
  last=$(tr -d '\r' <"$work/pc/ObexCom.log" | tail -n 1)
  [[ $last == "$1" ]] || say_fail "ObexCom.log ends with '$last', expected '$1'"
}

# expect_port_log_received_ends BYTES: ObexCom.log ends with a receive, and the bytes received
# since the last request (the Data of its receive lines, joined) end with BYTES as the log writes
# them. When the machine is loaded, a late tail of the previous reply may precede the answer, and
# the answer may come in more than one read; the client skips such stray bytes and joins the
# pieces, and the log shows both.
expect_port_log_received_ends() {
  local last received
  last=$(tr -d '\r' <"$work/pc/ObexCom.log" | tail -n 1)
  received=$(tr -d '\r' <"$work/pc/ObexCom.log" | awk '
    /^ObexSend  dataLen:/ { received = "" }
    /^ObexRecv exit section / { sub(/.* Data:/, ""); received = received $0 }
    END { printf "%s", received }')
  [[ $last == "ObexRecv exit section "* ]] || say_fail "ObexCom.log ends with '$last', expected a receive"
  [[ $received == *"$1" ]] || say_fail "the bytes received after the last request, '$received', do not end with '$1'"
}

# expect_handset_file PATH LOCAL: the handset holds PATH with the content of the PC file LOCAL.
expect_handset_file() {
  cmp -s "$work/handset/$1" "$work/pc/$2" || say_fail "handset file $1 differs from $2"
}

expect_no_handset_file() {
  [[ ! -e $work/handset/$1 ]] || say_fail "handset file $1 should not exist"
}

# expect_raw_transcript FILE: every request and answer byte for byte.
expect_raw_transcript() {
  diff -q "$1" "$work/raw" >/dev/null || say_fail "raw transcript differs:$(diff "$1" "$work/raw" | head -n 8 | cut -c1-160 | sed 's/^/      /')"
}

# --- the run

skip_scenario() {
  if [[ $mode != quenta && " ${quenta_only[*]} " == *" $1 "* ]]; then
    return 0
  fi
  case $mode in
    native) false ;;
    usb) [[ " ${pty_only[*]} " == *" $1 "* ]] ;;
    *) [[ " ${native_only[*]} " == *" $1 "* ]] ;;
  esac
}

before_scenario() {
  mkdir -p "$work/handset"
  slave=
  port=5
  bus_commands=()
  if [[ $mode == quenta ]]; then
    scenario_started=$(date +%s%N)
    driver_lines=$(quenta_wine_driver_output | wc -l)
  fi
}

after_scenario() {
  stop_handset
  if [[ $mode == quenta ]]; then
    # The drivers' debugger output of this scenario stays with it, for a failed one.
    quenta_wine_driver_output | tail -n +$((driver_lines + 1)) >"$work/QuentaDebug.log"
    # Whole: a shell's notice of a killed relay alone can fill a few hundred characters.
    if [[ -s $work/harness ]]; then
      say_fail "harness: $(head -c 4000 "$work/harness")"
    fi
    printf '    %s: %s s with plugging in and pulling out\n' "$name" \
      "$(awk -v ns=$(($(date +%s%N) - scenario_started)) 'BEGIN { printf "%.1f", ns / 1e9 }')"
  fi
}

if [[ $mode == quenta ]]; then
  : "${KIT_WIN64_BUILD:?KIT_WIN64_BUILD must name the x86_64 Windows build}"
  # shellcheck source=../../../scripts/wine-quenta-session.sh
  source "$here/../../../scripts/wine-quenta-session.sh"
  session_log=$(mktemp "${TMPDIR:-/tmp}/quenta-session.XXXXXX")
  trap 'quenta_wine_stop; rm -f "$session_log"' EXIT
  quenta_wine_start "$session_log" || exit 1
fi

names=("$@")
if ((${#names[@]} == 0)); then
  mapfile -t names < <(every_scenario)
fi
run_scenarios zarnik-e2e "${names[@]}"
