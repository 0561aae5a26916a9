// Seeded random workloads for the power-cut runner: sequences of mkdir, write, append,
// overwrite, truncating open, remove, readdir and remount over a few folders and files, each
// step valid for the tree at its point, on layouts small enough that data reclaim, inode table
// moves and journal replacements come round within a few dozen steps. Every flash operation is
// a cut point, so the data written stays small.
#pragma once

#include <cstdint>
#include <string>

#include "power_cut.h"

namespace ffs_test {

Workload random_workload(std::uint32_t seed, int steps);

// The seed, the cut and the steps up to the one that failed: the shortest prefix of the workload
// that fails the same way (a cut depends only on the steps before it).
std::string failure_report(std::uint32_t seed, const Workload& w, const CutFailure& failure);

}  // namespace ffs_test
