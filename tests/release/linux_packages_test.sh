#!/usr/bin/env bash
# linux_packages_test.sh BUILD VERSION -- makes the Debian package and the tarball from the build
# tree BUILD, checks what they declare and hold, installs the Debian package into a scratch root
# (dpkg -x) and runs the installed programs there: Brovald on an image made by the installed
# ffs_mkimage, Zarnik against the installed handset_sim, as the demo does.
set -uo pipefail
build=$1
version=$2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/checks.sh"
source "$here/../../scripts/lib/simulated_handset.sh"
programs=(Brovald Zarnik ffs_inspect ffs_mkimage handset_sim)

echo "--- packages"
if ! cpack --config "$build/CPackConfig.cmake" -G "DEB;TGZ" -B "$work/packages" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  fail "cpack could not make the packages"
  exit 1
fi
arch=$(dpkg --print-architecture)
deb=$work/packages/handset-kit_${version}_${arch}.deb
tarball=$(ls "$work"/packages/handset-kit-"$version"-linux-*.tar.gz 2>/dev/null)
[[ -f $deb ]] || { fail "no $(basename "$deb") among: $(ls "$work/packages")"; exit 1; }
[[ -f $tarball ]] || { fail "no tarball"; exit 1; }

field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == handset-kit ]] || fail "Package is '$(field Package)'"
[[ $(field Version) == "$version" ]] || fail "Version is '$(field Version)', the build's is $version"
[[ $(field Architecture) == "$arch" ]] || fail "Architecture is '$(field Architecture)'"
[[ -n $(field Maintainer) && -n $(field Description) ]] || fail "no Maintainer or Description"

# Every shared library a program needs comes from a package the Depends field names.
depends=$(field Depends)
dpkg -x "$deb" "$work/root"
for program in "${programs[@]}"; do
  for soname in $(objdump -p "$work/root/usr/bin/$program" | awk '/NEEDED/ { print $2 }'); do
    owners=$(dpkg -S "*/$soname" 2>/dev/null | grep -v -- '-dev' | cut -d: -f1 | sort -u)
    [[ -n $owners ]] || { fail "$program needs $soname, which no installed package holds"; continue; }
    declared=false
    for owner in $owners; do
      [[ ", $depends" == *", $owner "* || ", $depends," == *", $owner,"* ]] && declared=true
    done
    $declared || fail "$program needs $soname ($owners), Depends is '$depends'"
  done
done
[[ $depends == *libpugixml* ]] || fail "Depends does not name pugixml's library: '$depends'"

# The files: the programs, their man pages, the documents; nothing outside /usr, nothing of the
# build (libraries, headers, tests).
dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./||; s|/$||' | sort >"$work/deb-files"
expected=(usr/share/doc/handset-kit/copyright usr/share/doc/handset-kit/changelog.gz usr/share/doc/handset-kit/CHANGELOG.md
  usr/share/doc/handset-kit/README.md)
for program in "${programs[@]}"; do
  expected+=("usr/bin/$program" "usr/share/man/man1/$program.1.gz")
done
for file in "${expected[@]}"; do
  grep -qx "$file" "$work/deb-files" || fail "the package lacks $file"
done
grep -v -x -e usr -e 'usr/bin' -e 'usr/share' -e 'usr/share/doc' -e 'usr/share/doc/handset-kit' \
  -e 'usr/share/man' -e 'usr/share/man/man1' "$work/deb-files" | sort >"$work/deb-extra"
printf '%s\n' "${expected[@]}" | sort | comm -23 "$work/deb-extra" - >"$work/deb-unexpected"
[[ -s $work/deb-unexpected ]] && fail "the package holds more: $(tr '\n' ' ' <"$work/deb-unexpected")"
for program in "${programs[@]}"; do
  [[ -x $work/root/usr/bin/$program ]] || fail "usr/bin/$program is not executable"
done

# The tarball holds the same tree below its top folder (bin/, share/).
{
  echo usr
  tar -tzf "$tarball" | sed 's|^[^/]*/||; s|/$||' | grep -v '^$' | sed 's|^|usr/|'
} | sort >"$work/tar-files"
diff -u "$work/deb-files" "$work/tar-files" >"$work/tar-diff" || fail "the tarball differs: $(cat "$work/tar-diff")"
ok "$(basename "$deb") and $(basename "$tarball"): fields, dependencies and files"

# Man pages: roff that groff formats without a warning, naming the kit's version.
for program in "${programs[@]}"; do
  page=$work/root/usr/share/man/man1/$program.1.gz
  warnings=$(zcat "$page" | groff -man -Tutf8 -ww -z 2>&1)
  [[ -z $warnings ]] || fail "$program.1: $warnings"
  zcat "$page" | head -n 1 | grep -q "handset-kit $version" || fail "$program.1 does not name version $version"
done
ok "man pages format cleanly"

echo "--- Brovald and the image tools, installed"
bin=$work/root/usr/bin
cd "$work"
underscored=${version//./_}
"$bin/Brovald" >brovald-banner.txt
status=$?
[[ $status == 255 ]] || fail "Brovald without arguments ended with $status, not 255"
grep -qx "Info: program version : $underscored" brovald-banner.txt || fail "the banner lacks version $underscored: $(cat brovald-banner.txt)"

"$bin/ffs_mkimage" image.s3 >/dev/null || fail "ffs_mkimage could not make an image"
printf 'Shopping: bread, milk, apples.\n' >notes.txt
head -c 20000 /dev/urandom >photo.jpg
if "$bin/Brovald" run.log image.s3 /Documents/notes.txt notes.txt /Pictures/2024/photo.jpg photo.jpg >brovald.out; then
  grep -q 'Info: Brovald write OK!!' brovald.out || fail "Brovald's console lacks its last line: $(cat brovald.out)"
  "$bin/ffs_inspect" image.s3 print /Documents/notes.txt | cmp -s - notes.txt || fail "/Documents/notes.txt differs"
  "$bin/ffs_inspect" image.s3 print /Pictures/2024/photo.jpg | cmp -s - photo.jpg || fail "/Pictures/2024/photo.jpg differs"
  "$bin/ffs_inspect" image.s3 check >check.out || fail "ffs_inspect check: $(cat check.out)"
  ls flashTmp_* >/dev/null 2>&1 && fail "Brovald left its working copy"
  ok "Brovald wrote two files into an image made by ffs_mkimage; ffs_inspect reads them back"
else
  fail "Brovald ended with $?: $(cat brovald.out)"
fi

echo "--- Zarnik against the simulated handset, installed"
mkdir -p handset/Pictures pc
printf 'an older picture' >handset/Pictures/holiday.jpg
head -c 5000 /dev/urandom >pc/holiday.jpg
cp notes.txt pc/notes.txt
if ! start_handset "$bin/handset_sim" sim.out --root handset --max-packet 0x0400; then
  fail "handset_sim did not start"
else
  (cd pc && COM3=$slave "$bin/Zarnik" 3 Pictures/holiday.jpg holiday.jpg Documents/notes.txt notes.txt) >zarnik.out
  status=$?
  [[ $status == 0 ]] || fail "Zarnik ended with $status: $(tr '\r' '\n' <zarnik.out)"
  cmp -s pc/holiday.jpg handset/Pictures/holiday.jpg || fail "Pictures/holiday.jpg was not replaced"
  cmp -s pc/notes.txt handset/Documents/notes.txt || fail "Documents/notes.txt did not arrive"
  [[ -s pc/Zarnik.log && -s pc/ObexCom.log ]] || fail "Zarnik wrote no logs into its folder"
  ((status == 0)) && ok "Zarnik sent two files, replacing one"
fi

echo "--- bad input to the installed programs: a message and a defined status"
(cd pc && "$bin/Zarnik" >usage.out 2>&1)
status=$?
[[ $status == 246 ]] || fail "Zarnik without a port ended with $status, not 246"
grep -q '^usage: Zarnik' pc/usage.out || fail "Zarnik without a port printed no usage: $(cat pc/usage.out)"
for option in --max-packet --baud; do
  "$bin/handset_sim" --root handset "$option" lots >bad.out 2>&1
  status=$?
  [[ $status == 2 ]] || fail "handset_sim $option lots ended with $status, not 2: $(cat bad.out)"
  grep -q 'not a number' bad.out || fail "handset_sim $option lots said: $(cat bad.out)"
done
"$bin/handset_sim" --root handset --max-packet 99999999999999999999 >bad.out 2>&1
[[ $? == 2 ]] || fail "handset_sim with a huge number: $(cat bad.out)"
((failures == 0)) && ok "usage errors end with their status and a message"

finish_checks
