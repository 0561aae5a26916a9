#!/usr/bin/env bash
# windows_package_test.sh BUILD VERSION ARCH LABEL -- makes the zip of the Windows build tree
# BUILD (ARCH i686 or x86_64, LABEL win32 or win64), unpacks it and checks it: the programs and
# the driver package are there and of the architecture, the programs need no DLL beside them,
# Quenta.sys carries a test signature that verifies against the certificate shipped with it and
# still passes the post-link check, a changed byte breaks the signature, and no private key left
# the build tree.
set -uo pipefail
build=$1
version=$2
arch=$3
label=$4
here=$(cd "$(dirname "$0")" && pwd)
signing=$here/../../usb_serial_driver/signing
source "$here/checks.sh"

if ! cpack --config "$build/CPackConfig.cmake" -G ZIP -B "$work/packages" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  fail "cpack could not make the zip"
  exit 1
fi
top=handset-kit-$version-$label
zip=$work/packages/$top.zip
[[ -f $zip ]] || { fail "no $top.zip among: $(ls "$work/packages")"; exit 1; }
unzip -q "$zip" -d "$work/unpacked" || { fail "the zip does not unpack"; exit 1; }
root=$work/unpacked/$top

expected=(Zarnik.exe Brovald.exe README.md CHANGELOG.md
  driver/Quenta.sys driver/Quenta.inf driver/QuentaTest.cer driver/INSTALL.txt)
(cd "$root" && find . -type f | sed 's|^\./||' | sort) >"$work/files"
printf '%s\n' "${expected[@]}" | sort >"$work/expected"
diff -u "$work/expected" "$work/files" >"$work/diff" || fail "the zip's files differ: $(cat "$work/diff")"
ok "$top.zip holds the programs, the documents and the driver package"

case $arch in
  i686) machine='pei-i386' ;;
  x86_64) machine='pei-x86-64' ;;
esac
objdump="$arch-w64-mingw32-objdump"
for image in Zarnik.exe Brovald.exe driver/Quenta.sys; do
  [[ -f $root/$image ]] || continue
  format=$($objdump -f "$root/$image" | sed -n 's/.*file format //p')
  [[ $format == "$machine" ]] || fail "$image is $format, not $machine"
done
# The programs ship alone: only Windows' own libraries may be imported.
for program in Zarnik.exe Brovald.exe; do
  [[ -f $root/$program ]] || continue
  for dll in $($objdump -p "$root/$program" | awk '/DLL Name:/ { print $3 }'); do
    case ${dll,,} in
      kernel32.dll | msvcrt.dll | ole32.dll | oleaut32.dll | user32.dll | advapi32.dll | ws2_32.dll | api-ms-win-*) ;;
      *) fail "$program needs $dll, which is not part of Windows" ;;
    esac
  done
done

inf=$root/driver/Quenta.inf
grep -q "^DriverVer *= *[0-9/]*,$version.0"$'\r'"$" "$inf" || fail "Quenta.inf's DriverVer is not version $version.0"
grep -q "^CatalogFile *= *Quenta.cat" "$inf" || fail "Quenta.inf names no catalog"

sys=$root/driver/Quenta.sys
cer=$root/driver/QuentaTest.cer
if bash "$signing/verify_sys.sh" "$arch" "$sys" "$cer" >"$work/verify" 2>&1; then
  ok "$(cat "$work/verify")"
else
  fail "the signed Quenta.sys: $(cat "$work/verify")"
fi
cmp -s "$sys" "$build/usb_serial_driver/Quenta.sys" && fail "the packaged Quenta.sys is the unsigned one"
osslsigncode extract-signature -in "$sys" -out "$work/signature.der" >/dev/null 2>&1 ||
  fail "osslsigncode finds no signature to extract"

# One changed byte in the code: the signature no longer verifies.
cp "$sys" "$work/changed.sys"
text_offset=$((0x$($objdump -h "$sys" | awk '$2 == ".text" { print $6 }')))
byte=$(od -An -tu1 -j $((text_offset + 64)) -N 1 "$sys" | tr -d ' ')
printf "\\$(printf '%03o' $((byte ^ 0xff)))" | dd of="$work/changed.sys" bs=1 seek=$((text_offset + 64)) conv=notrunc 2>/dev/null
openssl x509 -inform DER -in "$cer" -out "$work/trusted.pem"
if osslsigncode verify -CAfile "$work/trusted.pem" -in "$work/changed.sys" >/dev/null 2>&1; then
  fail "a Quenta.sys with a changed byte still verifies"
else
  ok "a changed byte breaks the signature"
fi

# The certificate is public only: no private key anywhere in the package.
if grep -rlE 'PRIVATE KEY' "$root" >"$work/keys"; then
  fail "private key material in $(cat "$work/keys")"
fi
openssl x509 -inform DER -in "$cer" -noout -ext extendedKeyUsage 2>/dev/null | grep -q 'Code Signing' ||
  fail "QuentaTest.cer is not a code-signing certificate"

finish_checks
