#!/bin/sh
# sign_sys.sh ARCH IMAGE CERT_DIR -- gives a driver image (ARCH: i686 or x86_64) its embedded
# Authenticode test signature, in place, with the certificate in CERT_DIR (made there on first
# use). The image must pass the post-link check before it is signed; afterwards the signature
# must verify and the signed image pass the check again (osslsigncode stamps the new checksum).
# Exits 1 on any failure; a failing check deletes the image, so a bad one is never packaged.
set -eu
arch=$1
image=$2
certs=$3
here=$(cd "$(dirname "$0")" && pwd)

sh "$here/make_test_certificate.sh" "$certs"
"$here/../postlink/check_sys.sh" "$arch" "$image" >/dev/null
rm -f "$image.signed"
if ! osslsigncode sign -certs "$certs/QuentaTest.crt" -key "$certs/QuentaTest.key" -h sha256 \
  -n "Handset USB serial port driver" -in "$image" -out "$image.signed" >"$image.log" 2>&1; then
  cat "$image.log" >&2
  rm -f "$image.log" "$image.signed"
  echo "sign_sys: $image: osslsigncode could not sign it" >&2
  exit 1
fi
rm -f "$image.log"
mv "$image.signed" "$image"
sh "$here/verify_sys.sh" "$arch" "$image" "$certs/QuentaTest.crt"
