# Demo: the flash file system: power cuts after every flash operation, and a churn of 2000 file writes
set -euo pipefail
echo "Workloads cut after each flash operation, remounted and checked independently:"
LC_ALL=C.UTF-8 "$KIT_BUILD/tests/ffs/ffs_tests" --gtest_filter='FfsPowerCut*' --gtest_brief=1 | grep '^\[power cut\]' | sed 's/^/  /'
echo "Churn (data reclaim and inode reclaim many times) against one image read+write (the timing is"
echo "measured properly by scripts/bench.sh ffs_churn):"
("$KIT_BUILD/bench/ffs_churn/ffs_churn" 3 || true) | grep -v '^Info:Create Mapping' | sed 's/^/  /'
