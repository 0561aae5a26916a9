#!/usr/bin/env bash
# Whole Brovald runs on a 4 MiB image made by ffs_mkimage (10 MB of S3 records), against the floor
# of the same work: copying the image file and renaming the copy over it (cp image tmp && mv tmp
# image), which reads and writes the same bytes and replaces the file the same atomic way.
# Measured alternately in this script, on a fresh copy of the image each time:
#   image only  Brovald <log> <image>: read, mount, write back    (target: <= 1.3 x floor)
#   100 files   the same with 100 PC files of 1-50 KiB in 10 folders  (target: <= 1.6 x floor)
#   floor       cp + mv, measured next to each Brovald run
#   objcopy     -I srec -O srec --srec-len=32 --srec-forceS3, into another file
#   srec_cat    -address-length=4 -obs=32 -disable=data-count, into another file
# Prints the medians of wall and processor time (user + system) of each, their ratios to the
# floor, and the peak resident memory (target: 16 MiB); processor time of the image-only run
# <= 2 x the floor's. The load average is printed at the start and the end: on a busy machine
# the wall times say more about the other work than about these programs.
#   KIT_BUILD=build/linux-release bash bench/brovald_run/run.sh     (or scripts/bench.sh brovald_run)
#   KIT_BENCH_RUNS=21 ... for more runs (default 15)
set -euo pipefail
build=${KIT_BUILD:?KIT_BUILD must name a linux-release build}
brovald=$build/flash_tool/Brovald
measure=$build/bench/image_roundtrip/image_roundtrip_measure
runs=${KIT_BENCH_RUNS:-15}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"

"$build/tools/ffs_image_tools/ffs_mkimage" input.s3

# 100 files of 1 to 50 KiB, the same every time, spread over ten folders.
files=()
for ((i = 0; i < 100; ++i)); do
  size=$((1024 * (1 + (i * 37) % 50)))
  head -c "$size" /dev/urandom >"pc$i.bin"
  files+=("/bench/folder$((i % 10))/file$i.bin" "pc$i.bin")
done
total_kib=$(du -ck pc*.bin | tail -n 1 | cut -f1)

# run <label> <command...>: one run on a fresh copy of the image; appends "<us> <KiB> <cpu us>"
# to <label>.txt.
run() {
  local label=$1
  shift
  cp input.s3 work.s3
  "$measure" "$@" >>"$label.txt"
}

labels=(image_only hundred floor objcopy srec_cat)
for label in "${labels[@]}"; do : >"$label.txt"; done
for ((i = 0; i < runs; ++i)); do
  run image_only "$brovald" run.log work.s3
  run floor cp work.s3 tmp.s3 --then mv tmp.s3 work.s3
  run hundred "$brovald" run.log work.s3 "${files[@]}"
  run floor cp work.s3 tmp.s3 --then mv tmp.s3 work.s3
  run objcopy objcopy -I srec -O srec --srec-len=32 --srec-forceS3 work.s3 objcopy.s3
  run srec_cat srec_cat work.s3 -o srec_cat.s3 -address-length=4 -obs=32 -disable=data-count
done

# The runs measured must have done the work. Image only: the same records as the other tools
# write (objcopy ends its lines with CR LF and names the file in its header). 100 files: all of
# them in a consistent file system.
cp input.s3 result.s3
"$brovald" run.log result.s3 >/dev/null
cmp -s result.s3 srec_cat.s3 || { echo "image only: output differs from srec_cat's"; exit 1; }
diff -q <(tr -d '\r' <objcopy.s3 | sed '1d') <(sed '1d' result.s3) >/dev/null ||
  { echo "image only: records differ from objcopy's"; exit 1; }
"$brovald" run.log result.s3 "${files[@]}" >/dev/null
"$build/tools/ffs_image_tools/ffs_inspect" result.s3 check >check.txt || { cat check.txt; exit 1; }
[[ $("$build/tools/ffs_image_tools/ffs_inspect" result.s3 list | grep -c '^f .* /bench/') == 100 ]]

# "<wall us> <cpu us> <peak KiB>" of a label: the medians of wall and processor time, the largest
# peak.
median() { sort -n -k"$2" "$1.txt" | awk -v f="$2" '{ v[NR] = $f } END { print v[int((NR + 1) / 2)] }'; }
figures() { echo "$(median "$1" 1) $(median "$1" 3) $(sort -n -k2 "$1.txt" | tail -n 1 | cut -d' ' -f2)"; }

args=()
for label in "${labels[@]}"; do
  read -r wall cpu kib < <(figures "$label")
  args+=(-v "${label}_w=$wall" -v "${label}_c=$cpu" -v "${label}_k=$kib")
done
awk "${args[@]}" -v n="$runs" -v s="$(stat -c %s input.s3)" -v t="$total_kib" 'BEGIN {
  printf "input: %d bytes of S3 records (4 MiB image); medians of %d runs (floor: %d)\n", s, n, 2 * n
  line("Brovald, image only", image_only_w, image_only_c, image_only_k)
  line(sprintf("Brovald, 100 files (%d KiB)", t), hundred_w, hundred_c, hundred_k)
  line("floor: cp + mv", floor_w, floor_c, floor_k)
  line("objcopy", objcopy_w, objcopy_c, objcopy_k)
  line("srec_cat", srec_cat_w, srec_cat_c, srec_cat_k)
  ratio("image only / floor", image_only_w, image_only_c, 1.3, 2.0)
  ratio("100 files / floor", hundred_w, hundred_c, 1.6, 0)
  ratio("objcopy / floor", objcopy_w, objcopy_c, 0, 0)
  ratio("srec_cat / floor", srec_cat_w, srec_cat_c, 0, 0)
  printf "ratio image only / objcopy: %.2f wall, %.2f processor; / srec_cat: %.2f wall, %.2f processor\n",
    image_only_w / objcopy_w, image_only_c / objcopy_c, image_only_w / srec_cat_w, image_only_c / srec_cat_c
  printf "peak RSS of Brovald, target <= 16 MiB: %s\n", (image_only_k <= 16384 && hundred_k <= 16384) ? "met" : "MISSED"
}
function line(label, wall, cpu, kib) {
  printf "%-30s %7.1f ms wall, %7.1f ms processor, peak RSS %5.1f MiB\n", label ":", wall / 1000, cpu / 1000, kib / 1024
}
function verdict(value, target) {
  return target == 0 ? "" : sprintf(" (target <= %.1f: %s)", target, value <= target ? "met" : "MISSED")
}
function ratio(label, wall, cpu, wall_target, cpu_target) {
  printf "ratio %-20s %5.2f wall%s, %5.2f processor%s\n", label ":", wall / floor_w, verdict(wall / floor_w, wall_target),
    cpu / floor_c, verdict(cpu / floor_c, cpu_target)
}'
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
