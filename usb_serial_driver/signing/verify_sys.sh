#!/bin/sh
# verify_sys.sh ARCH IMAGE CERT -- the signed driver image's Authenticode signature verifies
# against the test certificate CERT (PEM or DER), and the image still passes the post-link check.
# Exits 1 otherwise, with osslsigncode's report.
set -u
arch=$1
image=$2
cert=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# osslsigncode wants the trusted certificate in PEM.
if ! openssl x509 -in "$cert" -out "$work/trusted.pem" 2>/dev/null &&
  ! openssl x509 -inform DER -in "$cert" -out "$work/trusted.pem" 2>/dev/null; then
  echo "verify_sys: $cert is not a certificate" >&2
  exit 1
fi
if ! osslsigncode verify -CAfile "$work/trusted.pem" -in "$image" >"$work/report" 2>&1; then
  cat "$work/report" >&2
  echo "verify_sys: $image: the signature does not verify" >&2
  exit 1
fi
"$here/../postlink/check_sys.sh" "$arch" "$image" >/dev/null || exit 1
echo "verify_sys: $image: signed by $(openssl x509 -in "$work/trusted.pem" -noout -subject | sed 's/^subject=//'), verified; post-link check passed"
