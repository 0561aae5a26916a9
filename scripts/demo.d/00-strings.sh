# Demo: the shared string helpers' self-check
set -euo pipefail
LC_ALL=C.UTF-8 "$KIT_BUILD/tests/common/common_tests" --gtest_brief=1
