#!/usr/bin/env bash
# Runs every libFuzzer target of the linux-fuzz build for a short time each.
#   scripts/fuzz.sh [seconds-per-target] [target-name...]
# Findings are written to build/linux-fuzz/fuzz/findings and make the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
shift || true
bin=build/linux-fuzz/fuzz/bin
findings=build/linux-fuzz/fuzz/findings
mkdir -p "$findings"

targets=("$@")
if ((${#targets[@]} == 0)); then
  for exe in "$bin"/fuzz_*; do
    [[ -x $exe ]] && targets+=("$(basename "$exe" | sed 's/^fuzz_//')")
  done
fi
if ((${#targets[@]} == 0)); then
  echo "fuzz: no targets in $bin (build the linux-fuzz preset first)" >&2
  exit 1
fi

status=0
for name in "${targets[@]}"; do
  work=$(mktemp -d)
  seeds=fuzz/$name/seeds
  [[ -d $seeds ]] || seeds=
  echo "fuzz: $name for ${seconds}s"
  if ! "$bin/fuzz_$name" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 \
       -print_final_stats=1 -artifact_prefix="$findings/$name-" "$work" $seeds \
       >"$findings/$name.log" 2>&1; then
    echo "fuzz: $name FAILED, see $findings/$name.log" >&2
    tail -n 40 "$findings/$name.log" >&2
    status=1
  else
    grep -E '^stat::number_of_executed_units' "$findings/$name.log" | sed "s/^/fuzz: $name /" || true
  fi
  rm -rf "$work"
done
exit $status
