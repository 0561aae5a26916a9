# Demo: Brovald writes PC files into a flash image made by ffs_mkimage; ffs_inspect shows the result
set -euo pipefail
export LC_ALL=C.UTF-8
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
tools=$KIT_BUILD/tools/ffs_image_tools
brovald=$KIT_BUILD/flash_tool/Brovald

"$tools/ffs_mkimage" image.s3
echo "1. ffs_mkimage: a freshly formatted 4 MiB image, $(wc -l <image.s3) S-records; its tree:"
"$tools/ffs_inspect" image.s3 list | sed 's/^/  /'

printf 'Shopping: bread, milk, apples.\n' >notes.txt
printf 'Shopping: bread, milk, apples, cheese.\n' >notes-v2.txt
head -c 20000 /dev/urandom >photo.jpg
printf 'Viele Grüße aus dem Urlaub\n' >card.txt
echo
echo "2. Brovald writes three files into nested folders (one name outside ASCII):"
"$brovald" run.log image.s3 /Documents/notes.txt notes.txt /Pictures/2024/holiday/photo.jpg photo.jpg \
  "/Documents/Grüße.txt" card.txt | sed 's/^/  /'

echo
echo "3. The same path again: the file is replaced (the log says so):"
"$brovald" run2.log image.s3 /Documents/notes.txt notes-v2.txt >/dev/null
grep 'Remove File' run2.log | sed 's/^/  /'

echo
echo "4. ffs_inspect list, then the file just replaced, then the check:"
"$tools/ffs_inspect" image.s3 list | sed 's/^/  /'
"$tools/ffs_inspect" image.s3 print /Documents/notes.txt | sed 's/^/  /'
"$tools/ffs_inspect" image.s3 check | head -n 4 | sed 's/^/  /'
echo "  written back as $(wc -l <image.s3) S-records: $(head -n 1 image.s3) ... $(tail -n 1 image.s3)"
ls flashTmp_* 2>/dev/null && echo "working copy left behind!" && exit 1
echo "  no working copy left in the folder"
