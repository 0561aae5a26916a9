// Power cuts through a workload: the workload runs on the recording flash once without a cut,
// then again from the start for each flash operation with the power cut there (every k-th one
// inside bulk data, or every k-th of all for long workloads). After each cut a fresh mount over
// the same bytes must succeed, the independent check must find the structure consistent and the
// FFS's block accounting equal to its recount, every file finished before the cut must hold
// exactly its content, the step that was cut short may only leave what it allows (below), and
// nothing else may have changed.
//
// One outcome comes from the format's design: a file is removed (and a truncating open drops the
// old segments) by deleting the file and then each segment in turn, without a journal record, so
// a cut in between leaves the rest of the old segments live with nothing reaching them. That is
// accepted at exactly those cut points and counted.
//
// Nothing here uses GoogleTest: a failure comes back as a value, so callers can look for the
// shortest workload that still fails before they report it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "image_builder.h"
#include "image_check.h"
#include "recording_flash.h"
#include "test_images.h"

namespace ffs_test {

struct Step {
    // Write replaces a file the way Brovald does (remove, create, write, close); Rewrite opens
    // the existing file with truncate; Append opens it with append; Overwrite opens it for
    // reading and writing and writes from its start; Readdir lists a directory and expects
    // `names`; Remount mounts again.
    enum Kind { Mkdir, Write, Rewrite, Append, Overwrite, Remove, Readdir, Remount };
    Step(Kind k, std::string p, std::vector<std::uint8_t> d = {}, std::vector<std::string> n = {})
        : kind(k), path(std::move(p)), data(std::move(d)), names(std::move(n))
    {
    }
    Kind kind;
    std::string path;
    std::vector<std::uint8_t> data;
    std::vector<std::string> names;  // Readdir: the entries, in any order
};

// What the tree holds: a path maps to its file content, or to nothing for a directory.
using Model = std::map<std::string, std::optional<std::vector<std::uint8_t>>>;

struct Workload {
    std::string name;
    ffs_image::Layout layout;
    std::function<void(ffs_image::ImageBuilder&)> prepare;  // changes the formatted image first
    std::vector<Step> steps;
    std::uint64_t interior_stride = 64;  // cut every k-th operation inside bulk data (1: every one)
    std::uint64_t target_points = 0;     // then keep about this many cut points (0: all)
};

struct CutStats {
    std::uint64_t operations = 0;  // flash operations of the uninterrupted run
    std::uint64_t points = 0;      // cut points checked
    std::uint64_t erases = 0;      // in the uninterrupted run
    int inode_reclaims = 0;
    std::uint64_t unreachable_points = 0;  // cuts that left unreachable segments
};

struct CutFailure {
    std::optional<std::uint64_t> cut;  // none: the uninterrupted run failed
    std::size_t step = 0;              // the step that failed or was cut short
    std::string what;
};

struct CutRun {
    CutStats stats;
    std::optional<CutFailure> failure;  // the first one; the run stops there
};

// Runs one step through the API. False when it fails although the power stayed on, or when a
// listing differs from the names expected.
bool run_step(const Step& step, RecordingFlash& flash);
// The model after a step.
void apply(Model& model, const Step& step);
// The tree the independent check read.
Model tree_of(const ffs_image::CheckResult& check);
std::string describe(const Model& model);
std::string describe(const Step& step);

CutRun run_power_cuts(const Workload& w);
// "[power cut] name: N cut points checked over ..." for the test's output.
std::string summary(const std::string& name, const CutStats& stats);

}  // namespace ffs_test
