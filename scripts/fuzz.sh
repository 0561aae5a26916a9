#!/usr/bin/env bash
# Runs the libFuzzer targets of the linux-fuzz build, one after the other, then merges what each
# run found into the target's corpus in the repository.
#
#   scripts/fuzz.sh [--runs N] [--no-merge] [seconds-per-target] [target-name...]
#
# seconds-per-target: 10 by default, 0 for no time limit (then --runs bounds the run).
# --runs N: stop a target after N inputs.
# --no-merge: leave fuzz/<target>/corpus as it is (scripts/test.sh fuzzes this way).
#
# Each target starts from fuzz/<target>/seeds and fuzz/<target>/corpus with the flags in
# fuzz/<target>/options. The merge keeps a minimal set of inputs that covers everything the seeds,
# the old corpus and the new run reached (seeds are not copied into it); libFuzzer names each
# file by the SHA-1 of its bytes, so inputs that stay keep their names. Findings go to
# build/linux-fuzz/fuzz/findings and make the script fail. The summary gives inputs per second.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=
merge=1
while (($# > 0)); do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --no-merge) merge=0; shift ;;
    *) break ;;
  esac
done
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

# The target's own libFuzzer flags, one a line; "#" starts a comment.
options_of() {
  local file=fuzz/$1/options
  [[ -f $file ]] && sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$file"
  return 0
}

# The value of one libFuzzer statistic in a log.
stat_of() {
  sed -n "s/^stat::$2:[[:space:]]*//p" "$1" | tail -n 1
}

# Leaves in $1 only the inputs that no seed of the target already is.
drop_seed_copies() {
  local merged=$1 seeds=$2 sum
  [[ -d $seeds ]] || return 0
  for seed in "$seeds"/*; do
    [[ -f $seed ]] || continue
    sum=$(sha1sum <"$seed" | cut -d' ' -f1)
    rm -f "$merged/$sum"
  done
}

summary=()
status=0
for name in "${targets[@]}"; do
  exe=$bin/fuzz_$name
  if [[ ! -x $exe ]]; then
    echo "fuzz: no target $name in $bin" >&2
    status=1
    continue
  fi
  seeds=fuzz/$name/seeds
  corpus=fuzz/$name/corpus
  mkdir -p "$corpus"
  mapfile -t options < <(options_of "$name")
  limits=()
  ((seconds > 0)) && limits+=(-max_total_time="$seconds")
  [[ -n $runs ]] && limits+=(-runs="$runs")
  work=$(mktemp -d)
  log=$findings/$name.log
  inputs=()
  [[ -d $seeds ]] && inputs+=("$seeds")
  echo "fuzz: $name (${limits[*]})"
  started=$SECONDS
  result=clean
  if ! "$exe" "${limits[@]}" "${options[@]}" -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 \
       -artifact_prefix="$findings/$name-" "$work" "$corpus" "${inputs[@]}" >"$log" 2>&1; then
    echo "fuzz: $name FAILED, see $log" >&2
    tail -n 40 "$log" >&2
    result=FAILED
    status=1
  fi
  elapsed=$((SECONDS - started))
  executed=$(stat_of "$log" number_of_executed_units)
  rate=$(stat_of "$log" average_exec_per_sec)

  if [[ $result == clean && $merge == 1 ]]; then
    merged=$(mktemp -d)
    if "$exe" -merge=1 "${options[@]}" -timeout=20 -rss_limit_mb=4096 "$merged" "${inputs[@]}" "$corpus" "$work" \
         >"$findings/$name.merge.log" 2>&1; then
      drop_seed_copies "$merged" "$seeds"
      find "$corpus" -maxdepth 1 -type f -delete
      find "$merged" -maxdepth 1 -type f -exec cp {} "$corpus"/ \;
    else
      echo "fuzz: $name merge FAILED, see $findings/$name.merge.log" >&2
      result="merge FAILED"
      status=1
    fi
    rm -rf "$merged"
  fi
  rm -rf "$work"
  files=$(find "$corpus" -maxdepth 1 -type f | wc -l)
  bytes=$(find "$corpus" -maxdepth 1 -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}')
  summary+=("$(printf '%-16s %12s %8s %10s %7s %9s  %s' "$name" "${executed:-?}" "$elapsed" "${rate:-?}" \
    "$files" "$bytes" "$result")")
done

echo
printf 'fuzz: %-16s %12s %8s %10s %7s %9s  %s\n' target inputs seconds inputs/s files bytes result
for line in "${summary[@]}"; do
  echo "fuzz: $line"
done
echo "fuzz: the corpus columns count fuzz/<target>/corpus$( ((merge)) || echo ' (not merged: --no-merge)')"
echo "fuzz: load average $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
exit $status
