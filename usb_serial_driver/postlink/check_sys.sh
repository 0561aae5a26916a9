#!/bin/sh
# check_sys.sh ARCH FILE.sys [OBJECT...] -- the checks every driver image must pass after its
# link (ARCH: i686 or x86_64). The image must be a native-subsystem driver that imports only from
# ntoskrnl.exe, HAL.dll and USBD.SYS and no C or C++ runtime, has no thread-local storage and no
# stripped relocations, was built from objects without constructor sections (no code would run
# them), and carries a correct PE checksum. On the first failure the image is deleted and the
# script exits 1, so a bad image never stays in the build tree.
set -u
arch=$1
image=$2
shift 2
objdump="$arch-w64-mingw32-objdump"
here=$(dirname "$0")

fail() {
  echo "check_sys: $image: $*" >&2
  rm -f "$image"
  exit 1
}

headers=$($objdump -p "$image") || fail "objdump cannot read the image"
echo "$headers" | grep -Eq '^Subsystem[[:space:]]+00000001' || fail "the subsystem is not native"
echo "$headers" | grep -Eq '^DllCharacteristics.*WDM_DRIVER|WDM_DRIVER' || fail "the image is not marked as a WDM driver"
echo "$headers" | grep -qi 'relocations stripped' && fail "the base relocations are stripped"
echo "$headers" | grep -Eq '^Entry 9 [0-9a-fA-F]+ [0-9a-fA-F]*[1-9a-fA-F]' && fail "the image has a TLS directory"

dlls=$(echo "$headers" | awk '/DLL Name:/ { print $3 }' | sort -u)
[ -n "$dlls" ] || fail "the image imports nothing"
for dll in $dlls; do
  case $dll in
    ntoskrnl.exe | HAL.dll | USBD.SYS) ;;
    *) fail "it imports from $dll" ;;
  esac
done
imports=$(echo "$headers" | awk '/DLL Name:/ { inside = 1 } inside && /^\t[0-9a-f]+\t/ { print $3 }')
runtime=$(echo "$imports" | grep -E '__chkstk|_chkstk|__main|atexit|_pei386|__cxa_|_Znw|_Zdl|__gxx|_onexit' || true)
[ -z "$runtime" ] || fail "it imports runtime support: $(echo $runtime)"

for object in "$@"; do
  $objdump -h "$object" | grep -Eq '\.ctors|\.dtors|\.init_array|\.fini_array|\.CRT\$X|\.tls' &&
    fail "$(basename "$object") has constructor or TLS sections (nothing runs them in a driver)"
done

set -- $("$here/pe_checksum.sh" "$image") || fail "the checksum cannot be computed"
[ "$1" = "$2" ] || fail "the PE checksum is wrong (stored $1, computed $2)"
echo "check_sys: $image: native driver, imports from $(echo $dlls), checksum $(printf '0x%08x' "$1")"
