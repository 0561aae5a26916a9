# Demo: Zarnik sends sample files into two folders of a simulated handset
set -euo pipefail
source "$(dirname "$0")/../lib/work_dir.sh"
source "$(dirname "$0")/../lib/simulated_handset.sh"
source "$(dirname "$0")/../lib/show_send.sh"
make_work_dir
mkdir -p "$work/pc" "$work/handset/Pictures"

# The handset already holds an older holiday.jpg: Zarnik deletes it before sending the new one.
printf 'an older picture' >"$work/handset/Pictures/holiday.jpg"
head -c 5000 /dev/urandom >"$work/pc/holiday.jpg"
head -c 1200 /dev/urandom >"$work/pc/beach.jpg"
printf 'Shopping: bread, milk, apples.\n' >"$work/pc/notes.txt"

start_handset "$KIT_BUILD/tools/handset_sim/handset_sim" "$work/sim.out" --root "$work/handset" --max-packet 0x0400 \
  --transcript "$work/transcript"
echo "simulated handset on $slave (COM3 points there through the environment variable COM3)"
echo
echo "\$ Zarnik 3 Pictures/holiday.jpg holiday.jpg Pictures/beach.jpg beach.jpg Documents/notes.txt notes.txt"
status=0
(cd "$work/pc" && COM3=$slave "$KIT_BUILD/obex_tool/Zarnik" 3 Pictures/holiday.jpg holiday.jpg \
  Pictures/beach.jpg beach.jpg Documents/notes.txt notes.txt) >"$work/console.txt" || status=$?
show_send "$status" "$work/pc/holiday.jpg" Pictures/holiday.jpg
