# shellcheck shell=bash
# Installs what is missing and builds the Linux release preset, then names it in KIT_BUILD for
# the parts that run its programs. Source it from the repository's root.
scripts/setup.sh
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release >/dev/null
export KIT_BUILD=$PWD/build/linux-release
