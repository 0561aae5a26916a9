# shellcheck shell=bash
# Starting and stopping the simulated handset from a script (demo parts, benchmarks, package
# tests). Source it, with work_dir.sh, whose cleanup stops a handset left running.
# shellcheck source=await_line.sh
source "$(dirname "${BASH_SOURCE[0]}")/await_line.sh"
sim_pid=

# start_handset PROGRAM OUT ARG...: starts PROGRAM (a handset_sim) with ARG..., its output in
# OUT and its errors in OUT.err, and waits (30 s at most) for the device it prints first, left
# in $slave. Returns 1, with the handset's errors on stderr, if none came.
start_handset() {
  local program=$1 out=$2
  shift 2
  "$program" "$@" >"$out" 2>"$out.err" &
  sim_pid=$!
  await_line "$sim_pid" "$out" . 30
  slave=$(head -n 1 "$out")
  if [[ -z $slave ]]; then
    echo "the simulated handset did not start: $(cat "$out.err")" >&2
    return 1
  fi
}

# stop_handset: ends the handset start_handset started, if it runs.
stop_handset() {
  if [[ -n ${sim_pid:-} ]]; then
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
  fi
  sim_pid=
  return 0
}
