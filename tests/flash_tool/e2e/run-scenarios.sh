#!/usr/bin/env bash
# Runs Brovald end to end on S-record images made by the image maker or the fixture builder, and
# looks at the results with the image inspector.
#   run-scenarios.sh native [scenario...]  the Linux build (KIT_LINUX_BUILD)
#   run-scenarios.sh wine [scenario...]    the x86_64 Windows build under Wine (KIT_WIN64_BUILD;
#                                          WINEPREFIX and a wineserver set up). Each run is made
#                                          again by the Linux build on a copy of the same inputs,
#                                          and both must end alike and write the same images.
# Without names it runs every scenario of scenarios.sh that the mode supports.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mode=${1:?mode: native or wine}
shift
linux_build=${KIT_LINUX_BUILD:?KIT_LINUX_BUILD must name the Linux build}
linux_brovald=$linux_build/flash_tool/Brovald
inspect_exe=$linux_build/tools/ffs_image_tools/ffs_inspect
mkimage_exe=$linux_build/tools/ffs_image_tools/ffs_mkimage
fixture_exe=$linux_build/tests/flash_tool/brovald_fixture
if [[ $mode == wine ]]; then
  windows_brovald=${KIT_WIN64_BUILD:?KIT_WIN64_BUILD must name the win64 build}/flash_tool/Brovald.exe
fi
# Names typed in these scenarios are UTF-8; the Windows build sees them in its ANSI code page.
export LC_ALL=C.UTF-8
windows_code_page=CP1252

# shellcheck source=scenarios.sh
source "$here/scenarios.sh"

# shellcheck source=../../support/scenario_runner.sh
source "$here/../../support/scenario_runner.sh"

# --- set-up helpers used by the scenarios

# fixture KIND: image.s3 in the PC folder, laid out by the fixture builder (brovald_fixture).
fixture() {
  "$fixture_exe" "$1" "$work/pc/image.s3" || say_fail "no fixture image $1"
}

# mkimage [ffs_mkimage options]: image.s3 made by the image maker.
mkimage() {
  "$mkimage_exe" "$@" "$work/pc/image.s3" || say_fail "the image maker failed"
}

# pc_file NAME SIZE: a PC file of SIZE random bytes; pc_text NAME TEXT: one holding TEXT.
pc_file() {
  mkdir -p "$(dirname "$work/pc/$1")"
  head -c "$2" /dev/urandom >"$work/pc/$1"
}

pc_text() {
  mkdir -p "$(dirname "$work/pc/$1")"
  printf '%s' "$2" >"$work/pc/$1"
}

# brovald ARGS...: one run in the PC folder; the image as it was is kept for the checks.
brovald() {
  [[ -f $work/pc/image.s3 ]] && cp "$work/pc/image.s3" "$work/before.s3"
  local started=$(date +%s%N)
  if [[ $mode == wine ]]; then
    rm -rf "$work/linux"
    cp -a "$work/pc" "$work/linux"
    (cd "$work/pc" && wine "$windows_brovald" "$@") >"$work/stdout.raw" 2>"$work/stderr"
    exit_status=$?
    tr -d '\r' <"$work/stdout.raw" | iconv -f "$windows_code_page" -t UTF-8 >"$work/stdout"
    (cd "$work/linux" && "$linux_brovald" "$@") >"$work/linux.stdout" 2>/dev/null
    compare_with_linux $?
  else
    (cd "$work/pc" && "$linux_brovald" "$@") >"$work/stdout" 2>"$work/stderr"
    exit_status=$?
  fi
  elapsed_ms=$((($(date +%s%N) - started) / 1000000))
  local left
  left=$(cd "$work/pc" && ls flashTmp_* 2>/dev/null)
  [[ -z $left ]] || say_fail "working copy left behind: $left"
}

# The Windows run against the Linux run of the same command: status, console, log and images.
compare_with_linux() {
  [[ $exit_status == "$1" ]] || say_fail "exit status $exit_status under Wine, $1 on Linux"
  diff -q "$work/stdout" "$work/linux.stdout" >/dev/null ||
    say_fail "console differs from Linux:$(diff "$work/linux.stdout" "$work/stdout" | head -n 6 | sed 's/^/      /')"
  local file
  for file in "$work"/linux/*.s3 "$work"/linux/*.log; do
    [[ -e $file ]] || continue
    local name=${file##*/}
    if [[ $name == *.log ]]; then
      # The image name tried in the program's folder names a different folder for each build.
      local fallback='/^Error: hexfile_read read Flash file error!! .*flash_tool[\\/]/d'
      cmp -s <(tr -d '\r' <"$work/pc/$name" | iconv -f "$windows_code_page" -t UTF-8 | sed "$fallback") \
        <(sed "$fallback" "$file") || say_fail "log $name differs from Linux"
    else
      cmp -s <(tr -d '\r' <"$work/pc/$name") "$file" || say_fail "image $name differs from the Linux build's"
    fi
  done
}

inspect() {
  "$inspect_exe" "$work/pc/image.s3" "$@"
}

# --- checks

expect_exit() {
  [[ $exit_status == "$1" ]] || say_fail "exit status $exit_status, expected $1; stdout: $(head -c 600 "$work/stdout")"
}

expect_stdout() {
  local expected
  expected=$(cat)
  [[ $(cat "$work/stdout") == "$expected" ]] ||
    say_fail "stdout differs:$(diff <(echo "$expected") "$work/stdout" | sed 's/^/      /')"
}

expect_stdout_has() {
  grep -qxF -- "$1" "$work/stdout" || say_fail "stdout lacks the line '$1': $(head -c 600 "$work/stdout")"
}

expect_stdout_lacks() {
  ! grep -qF -- "$1" "$work/stdout" || say_fail "stdout has '$1'"
}

# expect_log NAME <<END: the whole log.
expect_log() {
  local expected
  expected=$(cat)
  [[ $(log_text "$1") == "$expected" ]] ||
    say_fail "log differs:$(diff <(echo "$expected") <(log_text "$1") | sed 's/^/      /')"
}

expect_log_has() {
  # Not a pipeline: grep's early exit could fail log_text with SIGPIPE under pipefail.
  grep -qxF -- "$1" < <(log_text run.log) || say_fail "run.log lacks the line '$1'"
}

log_text() {
  if [[ $mode == wine ]]; then
    tr -d '\r' <"$work/pc/$1" | iconv -f "$windows_code_page" -t UTF-8
  else
    cat "$work/pc/$1"
  fi
}

expect_no_file() {
  [[ ! -e $work/pc/$1 ]] || say_fail "$1 should not exist"
}

# Byte for byte the image the run started from.
expect_image_unchanged() {
  cmp -s "$work/before.s3" "$work/pc/image.s3" || say_fail "the image file was changed"
}

# The whole 4 MiB written back: a header, 131072 S3 records of 32 bytes, a termination.
expect_written_back() {
  local summary
  summary=$(tr -d '\r' <"$work/pc/image.s3" | awk '
    NR == 1 { head = $0; next }
    /^S325/ && length($0) == 78 { data++; next }
    { other++; last = $0 }
    END { printf "%s %d %d %s", head, data, other, last }')
  [[ $summary == "S0030000FC 131072 1 S70500000000FA" ]] || say_fail "not written back whole: $summary"
}

expect_consistent() {
  inspect check >"$work/check" 2>&1 || say_fail "the image is not consistent:$(sed 's/^/      /' "$work/check" | head -n 12)"
}

# expect_list <<END: the tree as the inspector lists it.
expect_list() {
  local expected
  expected=$(cat)
  [[ $(inspect list 2>&1) == "$expected" ]] ||
    say_fail "tree differs:$(diff <(echo "$expected") <(inspect list 2>&1) | sed 's/^/      /')"
}

# expect_ffs_file FFS_PATH PC_FILE: the FFS holds the PC file's bytes at the path.
expect_ffs_file() {
  cmp -s <(inspect print "$1") "$work/pc/$2" || say_fail "FFS file $1 differs from $2"
}

# --- the run

names=("$@")
if ((${#names[@]} == 0)); then
  if [[ $mode == wine ]]; then
    names=("${wine_set[@]}")
  else
    mapfile -t names < <(every_scenario)
  fi
fi
run_scenarios brovald-e2e "${names[@]}"
