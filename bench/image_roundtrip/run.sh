#!/usr/bin/env bash
# Image round trip: a 4 MiB image held as 10 MB of S3 records is read into a working copy and
# written back over the same file (bench/image_roundtrip/image_roundtrip), against objcopy
# converting the same file to the same record form, in this script. Prints the median wall
# time of each, their ratio and the peak resident memory of each, and checks that both write
# the same data records. Targets: ratio <= 0.5, peak resident memory <= 16 MiB.
#   KIT_BUILD=build/linux-release bash bench/image_roundtrip/run.sh     (or scripts/bench.sh image_roundtrip)
#   KIT_BENCH_RUNS=41 ... for more runs (default 21)
set -euo pipefail
bin=${KIT_BUILD:?KIT_BUILD must name a linux-release build}/bench/image_roundtrip
runs=${KIT_BENCH_RUNS:-21}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# Half random data, half erased flash, as 32-byte S3 records at the handset's base address.
head -c 2097152 /dev/urandom >image.bin
head -c 2097152 /dev/zero | tr '\0' '\377' >>image.bin
objcopy -I binary -O srec --srec-len=32 --srec-forceS3 --change-addresses 0x01400000 image.bin input.s3

# run <label> <command...>: one run on a fresh copy of the input; appends "<us> <KiB>" to <label>.txt.
run() {
  local label=$1
  shift
  cp input.s3 work.s3
  "$bin/image_roundtrip_measure" "$@" >>"$label.txt"
}

: >ours.txt
: >objcopy.txt
for ((i = 0; i < runs; ++i)); do
  run ours "$bin/image_roundtrip" run.log work.s3
  cp work.s3 ours.s3
  run objcopy objcopy -I srec -O srec --srec-len=32 --srec-forceS3 work.s3 objcopy.s3
done

median_us() { sort -n "$1" | awk '{ t[NR] = $1 } END { print t[int((NR + 1) / 2)] }'; }
peak_kib() { sort -n -k2 "$1" | tail -n 1 | awk '{ print $2 }'; }

ours_us=$(median_us ours.txt)
objcopy_us=$(median_us objcopy.txt)
ours_kib=$(peak_kib ours.txt)
objcopy_kib=$(peak_kib objcopy.txt)

# Same data records as objcopy writes (its line ends are CR LF, its header names the file).
same=yes
diff -q <(tr -d '\r' <objcopy.s3 | sed '1d;$d') <(sed '1d;$d' ours.s3) >/dev/null || same=no
[[ $(head -n 1 ours.s3) == S0030000FC && $(tail -n 1 ours.s3) == S70500000000FA ]] || same=no
objcopy -I srec -O binary ours.s3 back.bin
cmp -s back.bin image.bin || same=no

awk -v o="$ours_us" -v r="$objcopy_us" -v ok="$ours_kib" -v rk="$objcopy_kib" -v n="$runs" \
  -v s="$(stat -c %s input.s3)" -v same="$same" 'BEGIN {
  ratio = o / r
  printf "input: %d bytes of S3 records (4 MiB image); median of %d runs each\n", s, n
  printf "image_roundtrip: %8.1f ms wall, peak RSS %6.1f MiB\n", o / 1000, ok / 1024
  printf "objcopy:         %8.1f ms wall, peak RSS %6.1f MiB\n", r / 1000, rk / 1024
  printf "ratio (image_roundtrip / objcopy): %.2f  (target <= 0.50: %s)\n", ratio, ratio <= 0.5 ? "met" : "MISSED"
  printf "peak RSS target <= 16 MiB: %s\n", ok <= 16384 ? "met" : "MISSED"
  printf "output identical to objcopy data records and image: %s\n", same
}'
[[ $same == yes ]]
