# Shared by the end-to-end runners (sourced): failure counting and the loop over scenarios.
# A runner defines its scenarios as shell functions "scenario_<name>" (no other function may
# carry that prefix: every one of them is taken for a scenario) and may define:
#   skip_scenario NAME  true when this mode does not run NAME
#   before_scenario     after $work is made, before the scenario (extra folders, state)
#   after_scenario      after the scenario, before its result is judged (stop helpers)
# A scenario sets elapsed_ms when it times a run.

failures=0
failed_checks=0

say_fail() {
  echo "    FAIL: $*"
  failed_checks=$((failed_checks + 1))
}

# every_scenario: the names of all scenario functions defined so far.
every_scenario() {
  declare -F | sed -n 's/^declare -f scenario_//p'
}

# run_scenarios TAG NAME...: runs each scenario in a fresh folder $work (with $work/pc), keeps
# the folder of a failed one, and exits 1 when any failed.
run_scenarios() {
  local tag=$1 name
  shift
  for name in "$@"; do
    if declare -F skip_scenario >/dev/null && skip_scenario "$name"; then
      continue
    fi
    work=$(mktemp -d "${TMPDIR:-/tmp}/$tag.XXXXXX")
    mkdir -p "$work/pc"
    failed_checks=0
    exit_status=
    elapsed_ms=0
    if declare -F before_scenario >/dev/null; then before_scenario; fi
    "scenario_$name"
    if declare -F after_scenario >/dev/null; then after_scenario; fi
    if ((failed_checks == 0)); then
      printf 'PASS %s (%s ms)\n' "$name" "$elapsed_ms"
      rm -rf "$work"
    else
      printf 'FAIL %s (kept %s)\n' "$name" "$work"
      failures=$((failures + 1))
    fi
  done
  if ((failures > 0)); then
    echo "$failures scenario(s) failed"
    exit 1
  fi
}
