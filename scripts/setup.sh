#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when they are missing.
# Safe to run again: it does nothing when everything is present.
set -euo pipefail

packages=(
  cmake ninja-build g++ gcc make
  clang clang-format libclang-rt-14-dev llvm
  libgtest-dev libgmock-dev libpugixml-dev
  mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  wine wine64
  binutils srecord time
  dpkg-dev osslsigncode openssl unzip groff-base
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

# 32-bit Wine cannot run on these machines and makes the wine command pick a broken loader.
if dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q '^install ok installed$'; then
  echo "setup: wine32:i386 is installed; it breaks 'wine' here. Remove it with: apt-get remove wine32:i386" >&2
  exit 1
fi

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "setup: installing ${missing[*]}"
sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
