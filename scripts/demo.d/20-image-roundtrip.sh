# Demo: Brovald's image layer: an S-record image read into a working copy and written back
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# A few bytes at the image's start, written by another tool as lower-case 16-byte records.
printf 'Brovald image layer demo' >data.bin
objcopy -I binary -O srec --srec-len=16 --srec-forceS3 --change-addresses 0x01400000 data.bin image.s3
tr 'A-F' 'a-f' <image.s3 | tr -d '\r' >lower.s3
echo "input (lower case, 16 bytes a record):"
sed 's/^/  /' lower.s3
"$KIT_BUILD/bench/image_roundtrip/image_roundtrip" run.log lower.s3
echo "log:"
sed 's/^/  /' run.log
echo "written back: $(wc -l <lower.s3) records, the 4 MiB image as 32-byte S3 records; the first three:"
head -n 3 lower.s3 | sed 's/^/  /'
echo "the tail: $(tail -n 2 lower.s3 | tr '\n' ' ')"
objcopy -I srec -O binary lower.s3 back.bin
echo "objcopy reads it back as: $(head -c 24 back.bin)"
ls flashTmp_* 2>/dev/null && echo "working copy left behind!" && exit 1
echo "no working copy left in the folder"
