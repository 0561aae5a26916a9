# shellcheck shell=bash
# await_line PID FILE PATTERN SECONDS: waits until FILE, the output of process PID, holds a line
# that PATTERN (a grep expression) matches. Returns 1 if PID ends first or SECONDS pass.
await_line() {
  local pid=$1 file=$2 pattern=$3 tries
  for ((tries = $4 * 100; tries > 0; --tries)); do
    grep -q -- "$pattern" "$file" 2>/dev/null && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.01
  done
  return 1
}
