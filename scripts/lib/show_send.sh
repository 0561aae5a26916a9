# shellcheck shell=bash
# show_send STATUS PC_FILE HANDSET_PATH: what a demo's send into the simulated handset did, from
# the files in $work: Zarnik's console (console.txt), its exit status, the handset's requests
# (transcript), its folders (handset/) and whether PC_FILE arrived whole as HANDSET_PATH.
show_send() {
  local status=$1 pc_file=$2 handset_path=$3
  # The progress percentage rewrites its line with carriage returns; here each value gets a line.
  tr '\r' '\n' <"$work/console.txt" | grep -v '^$'
  echo "exit status: $status"
  echo
  echo "--- what the handset was asked"
  grep -v '^AT ' "$work/transcript"
  echo
  echo "--- the handset's folders"
  (cd "$work/handset" && find . -mindepth 1 | sort | while read -r entry; do
    if [[ -d $entry ]]; then echo "${entry#./}/"; else echo "${entry#./}  $(stat -c %s "$entry") bytes"; fi
  done)
  cmp -s "$pc_file" "$work/handset/$handset_path" && echo "$handset_path matches the PC file"
  return 0
}
