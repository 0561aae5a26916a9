# shellcheck shell=bash
# make_work_dir [keep-on-failure]: makes the scratch folder $work for a script and removes it when
# the script exits, after stopping the simulated handset if one still runs
# (simulated_handset.sh); with keep-on-failure a script that counted $failures keeps it and says
# where. Source this file.
make_work_dir() {
  work=$(mktemp -d)
  keep_work_on_failure=${1:-}
  trap remove_work_dir EXIT
}

remove_work_dir() {
  if declare -F stop_handset >/dev/null; then stop_handset; fi
  if [[ $keep_work_on_failure == keep-on-failure && ${failures:-0} -gt 0 ]]; then
    echo "kept $work"
  else
    rm -rf "$work"
  fi
}
