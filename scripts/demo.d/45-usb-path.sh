# Demo: one file over USB: Zarnik's Win32 port layer, Quenta on the emulated kernel, the simulated handset
set -euo pipefail
source "$(dirname "$0")/../lib/work_dir.sh"
source "$(dirname "$0")/../lib/simulated_handset.sh"
source "$(dirname "$0")/../lib/show_send.sh"
make_work_dir
mkdir -p "$work/pc" "$work/handset/Pictures"
printf 'an older picture' >"$work/handset/Pictures/old.jpg"
head -c 6000 /dev/urandom >"$work/pc/photo.jpg"

start_handset "$KIT_BUILD/tools/handset_sim/handset_sim" "$work/sim.out" --root "$work/handset" \
  --transcript "$work/transcript"
echo "simulated handset on $slave; the emulated USB handset's cable goes there (COM5=$slave)"
echo "zarnik_via_quenta plugs the handset in as COM5 under Quenta, and Zarnik opens \\\\.\\COM5 through its link"
echo
echo "\$ zarnik_via_quenta 5 Pictures/photo.jpg photo.jpg"
status=0
(cd "$work/pc" && COM5=$slave ZARNIK_VIA_QUENTA_REPORT="$work/report" \
  "$KIT_BUILD/tools/zarnik_via_quenta/zarnik_via_quenta" 5 Pictures/photo.jpg photo.jpg) >"$work/console.txt" ||
  status=$?
show_send "$status" "$work/pc/photo.jpg" Pictures/photo.jpg
echo
echo "--- what crossed the USB path (the driver's requests, the cable's transfers) and the kernel's checks"
cat "$work/report"
