#!/bin/sh
# make_test_certificate.sh DIR -- makes the build tree's own code-signing test certificate in DIR:
# QuentaTest.key (the private key, unencrypted, readable by its owner only), QuentaTest.crt (the
# certificate, PEM) and QuentaTest.cer (the same, DER, for Windows' certificate stores). Each
# build tree makes its own, so no key is ever committed or shared; the packages carry only the
# .cer. Does nothing when DIR already holds a certificate.
set -eu
dir=$1
[ -f "$dir/QuentaTest.crt" ] && exit 0
mkdir -p "$(dirname "$dir")"
work=$(mktemp -d "$dir.XXXXXX")
trap 'rm -rf "$work"' EXIT
chmod 700 "$work"
openssl req -x509 -newkey rsa:3072 -sha256 -days 1095 -nodes \
  -subj "/O=Handset kit/CN=Handset kit driver test signing" \
  -addext "basicConstraints=critical,CA:FALSE" \
  -addext "keyUsage=critical,digitalSignature" \
  -addext "extendedKeyUsage=codeSigning" \
  -keyout "$work/QuentaTest.key" -out "$work/QuentaTest.crt" 2>/dev/null
openssl x509 -in "$work/QuentaTest.crt" -outform DER -out "$work/QuentaTest.cer"
chmod 600 "$work/QuentaTest.key"
# Another run may have made one meanwhile: the first one in place is kept.
mv -T "$work" "$dir" 2>/dev/null || true
[ -f "$dir/QuentaTest.crt" ]
