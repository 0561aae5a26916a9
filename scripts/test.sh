#!/usr/bin/env bash
# The whole test suite, from a fresh machine: installs what is missing, configures and builds
# every preset the tests need, then runs the Linux tests (release, ASan+UBSan, TSan stress),
# the Windows x86_64 tests under Wine, the Wine end-to-end scripts (tests/*/wine-*.sh), short
# fuzz runs, and the i686 Windows build (compiled, linked and packaged; 32-bit code cannot run
# here). The release packages are checked in the release and Windows builds (tests/release/).
#
#   KIT_TEST_PRESETS="linux-release win64" scripts/test.sh   runs a subset
#   KIT_FUZZ_SECONDS=60 scripts/test.sh                      fuzzes longer (default 10 s a target)
#   FFS_POWER_CUT_WORKLOADS=40 scripts/test.sh               more random power-cut workloads (4)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/setup.sh

step() { printf '\n=== %s\n' "$*"; }

step "format check"
scripts/check-format.sh

all_presets="linux-release linux-asan linux-tsan linux-fuzz win64 win32"
presets=${KIT_TEST_PRESETS:-$all_presets}
wants() { [[ " $presets " == *" $1 "* ]]; }

for preset in $all_presets; do
  wants "$preset" || continue
  step "configure and build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

# The FFS power-cut tests print a line per workload; the total goes into this script's output.
power_cut_total() {
  local log=build/$1/Testing/Temporary/LastTest.log
  [[ -f $log ]] || return 0
  grep -ah '^\[power cut\] .*cut points checked' "$log" | sed 's/^/  /'
  grep -ah '^\[power cut\] .*cut points checked' "$log" |
    sed -n 's/.*: \([0-9]*\) cut points checked.*/\1/p' |
    awk -v preset="$1" '{ s += $1 } END { printf "power cuts (%s): %d cut points checked in all\n", preset, s }'
}

for preset in linux-release linux-asan linux-tsan; do
  wants "$preset" || continue
  step "tests: $preset"
  ctest --preset "$preset" -j "$(nproc)"
  [[ $preset == linux-tsan ]] || power_cut_total "$preset"
done

# The i686 build's code cannot run here, but its package can be made and checked.
if wants win32; then
  step "tests: win32 package"
  ctest --preset win32
fi

if wants win64; then
  step "tests: win64 under Wine"
  # shellcheck source=wine-session.sh
  source scripts/wine-session.sh
  trap kit_wine_stop EXIT
  kit_wine_start
  ctest --preset win64
  for script in tests/*/wine-*.sh; do
    [[ -x $script ]] || continue
    step "wine end-to-end: $script"
    KIT_LINUX_BUILD=$root/build/linux-release KIT_WIN64_BUILD=$root/build/win64 "$script"
  done
  kit_wine_stop
  trap - EXIT
fi

if wants linux-fuzz; then
  step "fuzz: ${KIT_FUZZ_SECONDS:-10} s per target"
  scripts/fuzz.sh --no-merge "${KIT_FUZZ_SECONDS:-10}"
fi

step "all tests passed ($presets)"
