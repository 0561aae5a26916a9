#!/bin/sh
# check_redirected.sh ORIGINAL REDIRECTED DLL FUNCTION... -- checks with objdump and cmp that
# REDIRECTED is ORIGINAL with only its imports redirected: every byte past the headers is
# unchanged, every original section and the disassembly read the same, the headers differ only in
# the fields the new section changes, the new section is the last and only new one, and the
# imports are the original ones with exactly the named functions now taken from DLL. Exit 1 with
# the first difference found.
set -u
original=$1
redirected=$2
dll=$3
shift 3
objdump=x86_64-w64-mingw32-objdump
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "check_redirected: $redirected: $*" >&2
  exit 1
}

# The bytes: the headers may change, nothing after them (the new section is appended).
headers=$($objdump -p "$original" | awk '/^SizeOfHeaders/ { print $2 }')
[ -n "$headers" ] || fail "cannot read the headers of $original"
headers=$((0x$headers))
[ "$(wc -c <"$redirected")" -gt "$(wc -c <"$original")" ] || fail "nothing was appended"
# cmp -l numbers bytes from 1; past the original's end it only reports the end of that file.
changed=$(cmp -l "$original" "$redirected" 2>/dev/null | awk -v h="$headers" '$1 > h' | head -n 1)
[ -z "$changed" ] || fail "a byte past the headers changed (offset $(echo "$changed" | awk '{ print $1 - 1 }'))"

# The sections: the original ones unchanged, then one more.
sections() { $objdump -h "$1" | awk '/^ *[0-9]+ / { print $2, $3, $4, $6 }'; }
sections "$original" >"$work/sections.original"
sections "$redirected" >"$work/sections.redirected"
count=$(wc -l <"$work/sections.original")
head -n "$count" "$work/sections.redirected" | cmp -s - "$work/sections.original" ||
  fail "the original sections' headers changed"
[ "$(wc -l <"$work/sections.redirected")" -eq $((count + 1)) ] || fail "not exactly one section was added"
for section in $(awk '{ print $1 }' "$work/sections.original"); do
  [ "$section" = .bss ] && continue
  $objdump -s -j "$section" "$original" | tail -n +3 >"$work/a"
  $objdump -s -j "$section" "$redirected" | tail -n +3 >"$work/b"
  cmp -s "$work/a" "$work/b" || fail "section $section reads differently"
done
$objdump -d "$original" | tail -n +3 >"$work/a"
$objdump -d "$redirected" | tail -n +3 >"$work/b"
cmp -s "$work/a" "$work/b" || fail "the code disassembles differently"

# The header fields: only the checksum, the image's sizes and the import directory may move.
fields() {
  $objdump -p "$1" | sed -n '/^Characteristics/,/^The Data Directory/p' |
    grep -vE '^(CheckSum|SizeOfImage|SizeOfInitializedData)'
}
fields "$original" >"$work/a"
fields "$redirected" >"$work/b"
cmp -s "$work/a" "$work/b" || fail "header fields changed: $(diff "$work/a" "$work/b" | grep '^[<>]' | head -n 2 | tr '\n' ' ')"

# The imports: (DLL, function) pairs, before and after.
imports() {
  $objdump -p "$1" | awk '/DLL Name:/ { dll = $3 } /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/ { print dll, $3 }' | sort
}
imports "$original" >"$work/before"
imports "$redirected" >"$work/after"
: >"$work/expected"
while read -r from function; do
  moved=$from
  for name in "$@"; do
    [ "$name" = "$function" ] && moved=$dll
  done
  echo "$moved $function" >>"$work/expected"
done <"$work/before"
sort -o "$work/expected" "$work/expected"
cmp -s "$work/expected" "$work/after" ||
  fail "the imports are not the original ones with $* from $dll: $(diff "$work/expected" "$work/after" | grep '^[<>]' | head -n 3 | tr '\n' ' ')"
for name in "$@"; do
  grep -qx "$dll $name" "$work/after" || fail "$name is not taken from $dll"
done
echo "check_redirected: $redirected: $original with $* from $dll, everything else identical"
