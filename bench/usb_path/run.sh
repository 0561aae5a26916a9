#!/usr/bin/env bash
# Zarnik over USB against the direct build: the same file sent into handset_sim by zarnik_via_quenta
# (Zarnik's Win32 port layer, Quenta on the emulated kernel, the handset's cable to the
# simulator's pseudo-terminal) and by the Linux Zarnik over the bare pseudo-terminal, with the
# simulator pacing its line at 115200 baud and unpaced. A run's rate is the file's size over the
# time between the console lines that begin and end its send, stamped as they arrive.
# Goals: paced, zarnik_via_quenta at least 0.95 of the line rate with 0x2000 packets; unpaced, at
# least 0.8 of the direct build's rate.
set -euo pipefail
build=${KIT_BUILD:?KIT_BUILD must name the Linux release build}
sim_exe=$build/tools/handset_sim/handset_sim
direct=$build/obex_tool/Zarnik
usb=$build/tools/zarnik_via_quenta/zarnik_via_quenta
paced_size=$((200 * 1024))
unpaced_size=$((4 * 1024 * 1024))
line_rate=11520 # bytes per second at 115200 baud: start, 8 data and stop bit

source "$(dirname "$0")/../../scripts/lib/work_dir.sh"
source "$(dirname "$0")/../../scripts/lib/simulated_handset.sh"
make_work_dir

# send_rate PROGRAM BAUD SIZE: prints the bytes per second of one file's send (BAUD 0: unpaced).
send_rate() {
  local program=$1 baud=$2 size=$3 run
  run=$(mktemp -d "$work/run.XXXXXX")
  mkdir -p "$run/pc" "$run/handset"
  head -c "$size" /dev/urandom >"$run/pc/file.bin"
  local pacing=()
  ((baud > 0)) && pacing=(--baud "$baud")
  start_handset "$sim_exe" "$run/sim.out" --root "$run/handset" "${pacing[@]}" || exit 1
  local begin="" end=""
  # The console's lines are flushed as they are printed; each is stamped when it arrives.
  while IFS= read -r line; do
    case $line in
      "Now begin send file:"*) begin=$EPOCHREALTIME ;;
      "End send file:"*) end=$EPOCHREALTIME ;;
    esac
  done < <(cd "$run/pc" && COM5=$slave "$program" 5 Bench/file.bin file.bin)
  stop_handset
  if [[ -z $begin || -z $end ]] || ! cmp -s "$run/pc/file.bin" "$run/handset/Bench/file.bin"; then
    echo "usb_path: $(basename "$program") did not send the file whole" >&2
    exit 1
  fi
  awk -v size="$size" -v begin="$begin" -v end="$end" 'BEGIN { printf "%.0f\n", size / (end - begin) }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

paced_direct=$(send_rate "$direct" 115200 "$paced_size")
paced_usb=$(send_rate "$usb" 115200 "$paced_size")
free_direct=$(send_rate "$direct" 0 "$unpaced_size")
free_usb=$(send_rate "$usb" 0 "$unpaced_size")

printf 'paced at 115200 baud (line rate %d bytes/s), %d-byte file, max packet 0x2000:\n' "$line_rate" "$paced_size"
printf '  Zarnik over the pty:          %8d bytes/s  %s of the line rate\n' "$paced_direct" \
  "$(ratio "$paced_direct" "$line_rate")"
printf '  zarnik_via_quenta over USB:   %8d bytes/s  %s of the line rate (goal >= 0.95), %s of the direct build\n' \
  "$paced_usb" "$(ratio "$paced_usb" "$line_rate")" "$(ratio "$paced_usb" "$paced_direct")"
printf 'unpaced, %d-byte file, max packet 0x2000:\n' "$unpaced_size"
printf '  Zarnik over the pty:          %8d bytes/s\n' "$free_direct"
printf '  zarnik_via_quenta over USB:   %8d bytes/s  %s of the direct build (goal >= 0.8)\n' "$free_usb" \
  "$(ratio "$free_usb" "$free_direct")"
awk -v p="$paced_usb" -v l="$line_rate" -v u="$free_usb" -v d="$free_direct" \
  'BEGIN { exit !(p / l >= 0.95 && u / d >= 0.8) }'
