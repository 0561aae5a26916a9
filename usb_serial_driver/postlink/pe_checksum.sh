#!/bin/sh
# pe_checksum.sh FILE          prints the PE optional-header CheckSum stored in FILE and the one
#                              its contents call for, as two decimal numbers
# pe_checksum.sh --stamp FILE  writes the right CheckSum into FILE
# The sum is the one the Windows loader checks for drivers: the file's 16-bit words added with
# end-around carry (the CheckSum field counted as 0), plus the file length.
set -eu
stamp=false
if [ "$1" = "--stamp" ]; then
  stamp=true
  shift
fi
file=$1
size=$(wc -c <"$file")
pe=$(od -An -tu4 -j 60 -N 4 "$file" | tr -d ' ')
[ "$(od -An -c -j "$pe" -N 2 "$file" | tr -d ' ')" = "PE" ] || { echo "$file: not a PE image" >&2; exit 2; }
checksum_offset=$((pe + 4 + 20 + 64))
result=$(od -An -v -tu2 "$file" | awk -v field="$checksum_offset" -v size="$size" '
  {
    for (i = 1; i <= NF; i++) {
      position = words * 2
      words++
      word = $i
      if (position == field) { stored += word; word = 0 }
      if (position == field + 2) { stored += word * 65536; word = 0 }
      sum += word
      sum = (sum % 65536) + int(sum / 65536)
    }
  }
  END {
    sum = (sum % 65536) + int(sum / 65536)
    printf "%u %u\n", stored, sum + size
  }')
if ! $stamp; then
  echo "$result"
  exit 0
fi
computed=${result#* }
bytes=""
for shift_by in 0 8 16 24; do
  bytes="$bytes\\$(printf '%03o' $(((computed >> shift_by) & 255)))"
done
printf "$bytes" | dd of="$file" bs=1 seek="$checksum_offset" conv=notrunc 2>/dev/null
