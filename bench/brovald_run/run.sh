#!/usr/bin/env bash
# Whole Brovald runs on a 4 MiB image made by ffs_mkimage, against objcopy converting the same
# image file to the same record form (-I srec -O srec --srec-len=32 --srec-forceS3), in this
# script:
#   image only  Brovald <log> <image>: read, mount, write back   (target: <= 0.5 x objcopy)
#   100 files   the same with 100 PC files of 1-50 KiB in 10 folders  (target: <= 1.0 x objcopy)
# Prints the median wall time of each, the ratios and the peak resident memory (target: 16 MiB),
# and beside them the median processor time, which a machine busy with other work disturbs less.
#   KIT_BUILD=build/linux-release bash bench/brovald_run/run.sh     (or scripts/bench.sh brovald_run)
#   KIT_BENCH_RUNS=21 ... for more runs (default 11)
set -euo pipefail
build=${KIT_BUILD:?KIT_BUILD must name a linux-release build}
brovald=$build/flash_tool/Brovald
measure=$build/bench/image_roundtrip/image_roundtrip_measure
runs=${KIT_BENCH_RUNS:-11}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

"$build/tools/ffs_image_tools/ffs_mkimage" input.s3

# 100 files of 1 to 50 KiB, the same every time, spread over ten folders.
files=()
for ((i = 0; i < 100; ++i)); do
  size=$((1024 * (1 + (i * 37) % 50)))
  head -c "$size" /dev/urandom >"pc$i.bin"
  files+=("/bench/folder$((i % 10))/file$i.bin" "pc$i.bin")
done
total_kib=$(du -ck pc*.bin | tail -n 1 | cut -f1)

# run <label> <command...>: one run on a fresh copy of the image; appends "<us> <KiB> <cpu us>" to
# <label>.txt.
run() {
  local label=$1
  shift
  cp input.s3 work.s3
  "$measure" "$@" >>"$label.txt"
}

: >image_only.txt
: >hundred.txt
: >objcopy.txt
for ((i = 0; i < runs; ++i)); do
  run image_only "$brovald" run.log work.s3
  run hundred "$brovald" run.log work.s3 "${files[@]}"
  run objcopy objcopy -I srec -O srec --srec-len=32 --srec-forceS3 work.s3 objcopy.s3
done
# The runs measured must have done the work: all 100 files in a consistent file system.
cp input.s3 result.s3
"$brovald" run.log result.s3 "${files[@]}" >/dev/null
"$build/tools/ffs_image_tools/ffs_inspect" result.s3 check >check.txt || { cat check.txt; exit 1; }
[[ $("$build/tools/ffs_image_tools/ffs_inspect" result.s3 list | grep -c '^f .* /bench/') == 100 ]]

median_us() { sort -n "$1" | awk '{ t[NR] = $1 } END { print t[int((NR + 1) / 2)] }'; }
median_cpu_us() { sort -n -k3 "$1" | awk '{ t[NR] = $3 } END { print t[int((NR + 1) / 2)] }'; }
peak_kib() { sort -n -k2 "$1" | tail -n 1 | awk '{ print $2 }'; }

awk -v a="$(median_us image_only.txt)" -v b="$(median_us hundred.txt)" -v r="$(median_us objcopy.txt)" \
  -v ac="$(median_cpu_us image_only.txt)" -v bc="$(median_cpu_us hundred.txt)" -v rc="$(median_cpu_us objcopy.txt)" \
  -v ak="$(peak_kib image_only.txt)" -v bk="$(peak_kib hundred.txt)" -v rk="$(peak_kib objcopy.txt)" \
  -v n="$runs" -v s="$(stat -c %s input.s3)" -v t="$total_kib" 'BEGIN {
  printf "input: %d bytes of S3 records (4 MiB image); median of %d runs each\n", s, n
  printf "Brovald, image only: %8.1f ms wall, %8.1f ms processor, peak RSS %5.1f MiB\n", a / 1000, ac / 1000, ak / 1024
  printf "Brovald, 100 files:  %8.1f ms wall, %8.1f ms processor, peak RSS %5.1f MiB  (%d KiB in 10 folders)\n", b / 1000, bc / 1000, bk / 1024, t
  printf "objcopy:             %8.1f ms wall, %8.1f ms processor, peak RSS %5.1f MiB\n", r / 1000, rc / 1000, rk / 1024
  printf "ratio image only / objcopy: %.2f wall (target <= 0.50: %s), %.2f processor\n", a / r, a / r <= 0.5 ? "met" : "MISSED", ac / rc
  printf "ratio 100 files / objcopy:  %.2f wall (target <= 1.00: %s), %.2f processor\n", b / r, b / r <= 1.0 ? "met" : "MISSED", bc / rc
  printf "peak RSS target <= 16 MiB: %s\n", (ak <= 16384 && bk <= 16384) ? "met" : "MISSED"
}'
