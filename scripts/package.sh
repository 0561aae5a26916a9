#!/usr/bin/env bash
# Makes the release from a fresh machine: installs what is missing, builds the release presets
# and runs CPack in each, then gathers the packages in dist/ with their SHA-256 sums:
#   handset-kit_<version>_<arch>.deb          Debian package (linux-release)
#   handset-kit-<version>-linux-<cpu>.tar.gz  the same tree as a tarball (linux-release)
#   handset-kit-<version>-win32.zip           Windows x86: the programs and the driver package (win32)
#   handset-kit-<version>-win64.zip           Windows x64: the same (win64)
# The driver in each zip is test-signed with a certificate made in its build tree
# (build/<preset>/signing/, never committed); the signature is verified as it is made.
#
#   KIT_PACKAGE_PRESETS="linux-release" scripts/package.sh   makes a subset
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/setup.sh

presets=${KIT_PACKAGE_PRESETS:-linux-release win32 win64}
rm -rf dist
mkdir dist
for preset in $presets; do
  printf '\n=== %s\n' "$preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  out=$root/build/$preset/packages
  rm -rf "$out"
  cpack --config "build/$preset/CPackConfig.cmake" -B "$out"
  find "$out" -maxdepth 1 -type f \( -name '*.deb' -o -name '*.tar.gz' -o -name '*.zip' \) -exec cp {} dist/ \;
done

cd dist
sha256sum -- * >SHA256SUMS
printf '\n=== dist/\n'
ls -l
