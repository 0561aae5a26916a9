# shellcheck shell=bash
# What the package tests share: a scratch folder kept when a check failed, a line per check, and
# the closing verdict. Source it.
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/work_dir.sh"
failures=0
make_work_dir keep-on-failure

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
ok() { echo "ok: $*"; }

# finish_checks: the verdict, and the script's status.
finish_checks() {
  if ((failures > 0)); then
    echo "$failures check(s) failed"
    exit 1
  fi
  echo "all package checks passed"
}
