// Power cuts: workloads run on the recording flash, cut after each flash operation (every k-th
// one inside bulk data, or every k-th of all for the long workloads); after each cut a fresh
// mount over the same bytes must succeed, the independent check must find the structure
// consistent, every file closed before the cut must hold exactly its content, the file being
// written may only be absent, empty, its old content or its new content cut at a segment
// boundary, and nothing else may have changed.
//
// One outcome comes from the format's design: a file is removed (and a truncating open drops the
// old segments) by deleting the file and then each segment in turn, without a journal record, so
// a cut in between leaves the rest of the old segments live with nothing reaching them. That is
// accepted at exactly those cut points and counted.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "ffs.h"
#include "ffs_fixture.h"
#include "image_builder.h"
#include "image_check.h"
#include "state.h"

using namespace ffs_test;

namespace {

struct Step {
    // Write replaces a file the way Brovald does (remove, create, write, close); Rewrite opens
    // the existing file with truncate; Append opens it with append; Overwrite opens it for
    // reading and writing and writes from its start.
    enum Kind { Mkdir, Write, Rewrite, Append, Overwrite, Remove } kind;
    std::string path;
    std::vector<std::uint8_t> data;
};

// What the tree holds: a path maps to its file content, or to nothing for a directory.
using Model = std::map<std::string, std::optional<std::vector<std::uint8_t>>>;

struct Workload {
    std::string name;
    ffs_image::Layout layout;
    std::vector<Step> steps;
    std::uint64_t interior_stride = 64;  // cut every k-th operation inside bulk data
    std::uint64_t target_points = 0;     // then keep about this many cut points (0: all)
};

// Runs one step through the API, the way Brovald writes a file. Stops at the first failure or
// as soon as the power is gone.
bool run_step(const Step& step, RecordingFlash& flash)
{
    switch (step.kind) {
        case Step::Mkdir:
            return ffs_mkdir(step.path.c_str()) == 0 || flash.power_lost();
        case Step::Remove:
            return ffs_remove(step.path.c_str()) == 0 || flash.power_lost();
        case Step::Write: {
            ffs_stat_info info;
            if (ffs_stat(step.path.c_str(), &info) == 0 && ffs_remove(step.path.c_str()) != 0)
                return flash.power_lost();
            if (flash.power_lost())
                return true;
            int fd = ffs_open(step.path.c_str(), 0x2B);
            if (fd < 0)
                return flash.power_lost();
            if (ffs_write_b(fd, step.data.data(), static_cast<int>(step.data.size())) < 0)
                return flash.power_lost();
            return ffs_close(fd) == 0 || flash.power_lost();
        }
        case Step::Rewrite:
        case Step::Append:
        case Step::Overwrite: {
            const int flags = step.kind == Step::Rewrite  ? FFS_O_WRITE | FFS_O_TRUNC
                              : step.kind == Step::Append ? FFS_O_WRITE | FFS_O_APPEND
                                                          : FFS_O_READ | FFS_O_WRITE;
            int fd = ffs_open(step.path.c_str(), flags);
            if (fd < 0)
                return flash.power_lost();
            if (ffs_write_b(fd, step.data.data(), static_cast<int>(step.data.size())) < 0)
                return flash.power_lost();
            return ffs_close(fd) == 0 || flash.power_lost();
        }
    }
    return false;
}

// A file's bytes after the first `prefix` bytes of data were written over it from its start.
std::vector<std::uint8_t> overwritten(const std::vector<std::uint8_t>& old, const std::vector<std::uint8_t>& data,
                                      std::size_t prefix)
{
    std::vector<std::uint8_t> out(data.begin(), data.begin() + static_cast<long>(prefix));
    if (old.size() > prefix)
        out.insert(out.end(), old.begin() + static_cast<long>(prefix), old.end());
    return out;
}

void apply(Model& model, const Step& step)
{
    if (step.kind == Step::Mkdir)
        model[step.path] = std::nullopt;
    else if (step.kind == Step::Write || step.kind == Step::Rewrite)
        model[step.path] = step.data;
    else if (step.kind == Step::Append)
        model[step.path]->insert(model[step.path]->end(), step.data.begin(), step.data.end());
    else if (step.kind == Step::Overwrite)
        *model[step.path] = overwritten(*model[step.path], step.data, step.data.size());
    else
        model.erase(step.path);
}

Model tree_of(const ffs_image::CheckResult& check)
{
    Model model;
    for (const auto& [path, entry] : check.tree) {
        if (path == "/" || path == "/.journal")
            continue;
        if (entry.type == ffs_image::kDir)
            model[path] = std::nullopt;
        else
            model[path] = entry.content;
    }
    return model;
}

// The outcomes a step cut short may leave for its own path: untouched or absent; a new
// directory; a written file empty or cut at a segment boundary; an appended file with its old
// content followed by part of the new one up to a segment boundary.
bool allowed(const Step& step, const Model& before, const Model& after, std::uint32_t chunk)
{
    auto was = before.find(step.path);
    auto now = after.find(step.path);
    if (now == after.end())
        return step.kind != Step::Append && step.kind != Step::Rewrite;
    if (was != before.end() && now->second == was->second)
        return true;
    if (step.kind == Step::Mkdir)
        return !now->second.has_value();
    if (step.kind == Step::Remove || !now->second.has_value())
        return false;
    if (step.kind == Step::Overwrite) {  // whole segments replaced from the start
        for (std::size_t prefix = 0;; prefix += chunk) {
            prefix = std::min(prefix, step.data.size());
            if (*now->second == overwritten(*was->second, step.data, prefix))
                return true;
            if (prefix == step.data.size())
                return false;
        }
    }
    std::vector<std::uint8_t> full = step.data;
    std::size_t at_least = 0;
    if (step.kind == Step::Append) {
        full = *was->second;
        full.insert(full.end(), step.data.begin(), step.data.end());
        at_least = was->second->size();
    }
    const std::vector<std::uint8_t>& got = *now->second;
    if (got.size() > full.size() || got.size() < at_least)
        return false;
    if (got.size() != full.size() && got.size() % chunk != 0)
        return false;
    return std::equal(got.begin(), got.end(), full.begin());
}

// The unreachable segments a removal or truncation cut short leaves: one chain holding a tail of
// the old file's content from a segment boundary on, in a step that removes or truncates it.
bool unreachable_allowed(const Step& step, const Model& before, const ffs_image::CheckResult& check,
                         std::uint32_t chunk)
{
    if (!check.ok_but_unreachable() || check.unreachable.size() != 1)
        return false;
    if (step.kind != Step::Write && step.kind != Step::Remove && step.kind != Step::Rewrite)
        return false;
    auto was = before.find(step.path);
    if (was == before.end() || !was->second)
        return false;
    const std::vector<std::uint8_t>& old = *was->second;
    const std::vector<std::uint8_t>& tail = check.unreachable.front().content;
    if (tail.empty() || tail.size() > old.size())
        return false;
    const std::size_t start = old.size() - tail.size();
    return start % chunk == 0 && std::equal(tail.begin(), tail.end(), old.begin() + static_cast<long>(start));
}

std::string describe(const Model& model)
{
    std::string text;
    for (const auto& [path, content] : model)
        text += path + (content ? " (" + std::to_string(content->size()) + " bytes)\n" : " (dir)\n");
    return text;
}

struct CutStats {
    std::uint64_t operations = 0;
    std::uint64_t points = 0;
    std::uint64_t erases = 0;  // in the uninterrupted run
    int inode_reclaims = 0;
    std::uint64_t unreachable_points = 0;  // cuts that left unreachable segments
};

void run_power_cuts(const Workload& w, CutStats& stats)
{
    const ffs_image::Image initial = ffs_image::ImageBuilder(w.layout).image();
    const std::uint32_t chunk = w.layout.chunk_size;
    const std::uint32_t journal_size = w.layout.journal_size;

    // The uninterrupted run: the operations to cut at, and the model after each step.
    std::vector<Model> models(1);
    std::vector<std::uint64_t> candidates;
    {
        RecordingFlash flash(initial);
        flash.record_kinds(true);
        EXPECT_EQ(ffs_initialize(), 0);
        int inode_tables = 0;
        for (const Step& step : w.steps) {
            const int table = flashfs::fs.inodes;
            EXPECT_TRUE(run_step(step, flash)) << step.path;
            inode_tables += flashfs::fs.inodes != table;
            models.push_back(models.back());
            apply(models.back(), step);
        }
        EXPECT_TRUE(flash.violations().empty());
        candidates = flash.cut_points(w.interior_stride);
        for (std::uint64_t e : flash.erases())
            stats.erases += e;
        stats.inode_reclaims = inode_tables;
    }

    stats.operations = candidates.empty() ? 0 : candidates.back();
    const std::uint64_t stride = w.target_points ? std::max<std::uint64_t>(1, candidates.size() / w.target_points) : 1;
    RecordingFlash flash(initial);
    for (std::size_t k = 0; k < candidates.size(); ++k) {
        if (k % stride != 0 && k + 1 != candidates.size())
            continue;
        const std::uint64_t cut = candidates[k];
        flash.reload(initial);
        flash.cut_after(cut);
        std::size_t done = 0;
        if (ffs_initialize() == 0) {
            for (; done < w.steps.size() && !flash.power_lost(); ++done) {
                ASSERT_TRUE(run_step(w.steps[done], flash)) << w.name << " step " << done;
                if (flash.power_lost())
                    break;
            }
        }
        flash.restore_power();
        SCOPED_TRACE(w.name + ": cut after " + std::to_string(cut) + " operations, in step " + std::to_string(done));
        ASSERT_EQ(ffs_initialize(), 0);
        ffs_image::CheckOptions options;
        options.blocks = flashfs::dev.numblocks;
        options.journal_size = journal_size;
        ffs_image::CheckResult check = ffs_image::check_image(flash.data(), options);
        ASSERT_TRUE(flash.violations().empty());
        ASSERT_EQ(accounting_differences(flash, check, options.blocks), "");

        Model after = tree_of(check);
        const Model& before = models[done];
        if (done == w.steps.size()) {
            ASSERT_TRUE(check.ok()) << check.report();
            ASSERT_EQ(after, before) << describe(after);
        } else {
            const Step& step = w.steps[done];
            if (!check.ok()) {
                ASSERT_TRUE(unreachable_allowed(step, before, check, chunk)) << step.path << "\n" << check.report();
                ++stats.unreachable_points;
            }
            ASSERT_TRUE(allowed(step, before, after, chunk)) << step.path << "\n" << describe(after);
            Model rest_after = after, rest_before = before;
            rest_after.erase(step.path);
            rest_before.erase(step.path);
            ASSERT_EQ(rest_after, rest_before) << describe(after);
        }
        ++stats.points;
    }
}

void report(const std::string& name, const CutStats& stats)
{
    std::printf(
        "[power cut] %s: %llu cut points checked over %llu flash operations (%llu block erases, "
        "%d inode table moves); %llu ended with unreachable segments\n",
        name.c_str(), static_cast<unsigned long long>(stats.points), static_cast<unsigned long long>(stats.operations),
        static_cast<unsigned long long>(stats.erases), stats.inode_reclaims,
        static_cast<unsigned long long>(stats.unreachable_points));
}

// Runs the workload with a cut at each of its cut points and prints what was checked.
void cut_everywhere(const std::string& name, const Workload& w)
{
    CutStats stats;
    run_power_cuts(w, stats);
    report(name, stats);
}

Workload tree_workload()
{
    Workload w;
    w.name = "tree";
    w.steps = {
        {Step::Mkdir, "/a", {}},
        {Step::Mkdir, "/a/b", {}},
        {Step::Write, "/a/x.txt", pattern(100, 1)},
        {Step::Write, "/a/b/y.bin", pattern(20000, 2)},
        {Step::Write, "/z.bin", pattern(3000, 3)},
        {Step::Mkdir, "/c", {}},
    };
    return w;
}

Workload replace_workload()
{
    Workload w;
    w.name = "replace";
    w.steps = {
        {Step::Mkdir, "/d", {}},
        {Step::Write, "/d/f", pattern(17000, 1)},
        {Step::Write, "/d/g", pattern(500, 2)},
        {Step::Write, "/d/f", pattern(9000, 3)},
        {Step::Remove, "/d/g", {}},
        {Step::Write, "/d/g", pattern(8192, 4)},
        {Step::Rewrite, "/d/g", pattern(20000, 5)},
        {Step::Append, "/d/g", pattern(10000, 6)},
        {Step::Remove, "/d/f", {}},
    };
    return w;
}

// Every cut point around journal replacements (a 256-byte journal is replaced every eleven
// transactions) and inode table moves (24 slots).
Workload table_workload()
{
    Workload w;
    w.name = "journal and inode table";
    w.layout = layout_for("/ffs/j1i24", 256);
    for (int i = 0; i < 8; ++i) {
        std::string dir = "/d" + std::to_string(i % 3);
        if (i < 3)
            w.steps.push_back({Step::Mkdir, dir, {}});
        w.steps.push_back({Step::Write, dir + "/f",
                           pattern(static_cast<std::size_t>(100 + 3000 * i), static_cast<std::uint32_t>(i))});
    }
    w.steps.push_back({Step::Remove, "/d1/f", {}});
    w.interior_stride = 16;
    return w;
}

// Files overwritten in place segment by segment, with a small journal and inode table: every
// commit may reclaim inode slots and replace the journal at once.
Workload overwrite_workload()
{
    Workload w;
    w.name = "overwrite";
    w.layout = layout_for("/ffs/j1c1024i14", 256, 1024);
    w.steps.push_back({Step::Write, "/f", pattern(5000, 0)});
    for (int i = 1; i <= 6; ++i)
        w.steps.push_back({Step::Overwrite, "/f", pattern(i == 4 ? 2500 : 5000, static_cast<std::uint32_t>(i))});
    w.interior_stride = 16;
    return w;
}

// Small parameters so that data reclaim, inode reclaim and journal replacement all come round
// many times: 8 blocks, 64 inode slots, 2 KiB chunks, a 256-byte journal.
Workload churn_workload()
{
    Workload w;
    w.name = "churn";
    w.layout = layout_for("/ffs/b8i64c2048j1", 256, 2048);
    std::mt19937 random(7);
    w.steps.push_back({Step::Mkdir, "/p", {}});
    for (int i = 0; i < 800; ++i) {
        std::string path = "/p/f" + std::to_string(random() % 6);
        if (random() % 7 == 0)
            w.steps.push_back({Step::Remove, path, {}});
        else
            w.steps.push_back({Step::Write, path, pattern(1000 + random() % 5000, static_cast<std::uint32_t>(i))});
    }
    // A remove of a missing file fails: keep only removes of files that exist at that point.
    Model model;
    std::vector<Step> kept;
    for (const Step& s : w.steps) {
        if (s.kind == Step::Remove && !model.count(s.path))
            continue;
        apply(model, s);
        kept.push_back(s);
    }
    w.steps = kept;
    w.interior_stride = 0;
    w.target_points = 1200;
    return w;
}

}  // namespace

TEST(FfsPowerCut, BuildingATree)
{
    cut_everywhere("tree", tree_workload());
}

TEST(FfsPowerCut, ReplacingAndRemovingFiles)
{
    cut_everywhere("replace", replace_workload());
}

TEST(FfsPowerCut, JournalReplacementAndInodeTableMoves)
{
    cut_everywhere("journal and inode table", table_workload());
}

TEST(FfsPowerCut, OverwritingSegmentsInPlace)
{
    cut_everywhere("overwrite", overwrite_workload());
}

TEST(FfsPowerCut, ChurnThroughDataAndInodeReclaim)
{
    cut_everywhere("churn", churn_workload());
}

namespace {

// The smallest workloads that show the unreachable segments: /d/f of three segments, then the
// last step cut after each of its flash operations. Returns, per cut that left some, the number
// of unreachable segments; every other cut must leave a consistent image.
std::vector<std::size_t> unreachable_after_cuts(const std::vector<std::uint8_t>& content,
                                                const std::function<void()>& last_step)
{
    RecordingFlash flash(ffs_image::ImageBuilder().image());
    EXPECT_EQ(ffs_initialize(), 0);
    EXPECT_EQ(ffs_mkdir("/d"), 0);
    EXPECT_EQ(write_file("/d/f", content), 0);
    const std::vector<std::uint8_t> before = flash.image();
    flash.reset_counts();
    last_step();
    const std::uint64_t operations = flash.operations();

    std::vector<std::size_t> found;
    for (std::uint64_t cut = 0; cut < operations; ++cut) {
        flash.reload(before);
        EXPECT_EQ(ffs_initialize(), 0);
        flash.reset_counts();
        flash.cut_after(cut);
        last_step();
        flash.restore_power();
        EXPECT_EQ(ffs_initialize(), 0);
        const ffs_image::CheckResult check = ffs_image::check_image(flash.data());
        if (check.ok())
            continue;
        EXPECT_TRUE(check.ok_but_unreachable()) << "cut after " << cut << "\n" << check.report();
        EXPECT_EQ(check.unreachable.size(), 1u);
        if (check.unreachable.size() == 1) {
            const std::vector<std::uint8_t>& tail = check.unreachable.front().content;
            EXPECT_TRUE(std::equal(tail.rbegin(), tail.rend(), content.rbegin())) << "cut after " << cut;
            found.push_back(check.unreachable.front().segments.size());
        }
    }
    return found;
}

}  // namespace

TEST(FfsPowerCut, RemovingAFileCutAfterItsObjectLeavesItsSegmentsUnreachable)
{
    const std::vector<std::uint8_t> content = pattern(20000, 9);
    const std::vector<std::size_t> found = unreachable_after_cuts(content, [] { ffs_remove("/d/f"); });
    EXPECT_EQ(found, (std::vector<std::size_t>{3, 2, 1}));
    std::printf("[power cut] remove of a 3-segment file: %zu cut points ended with unreachable segments\n",
                found.size());
}

TEST(FfsPowerCut, TruncatingOpenCutAfterItsCommitLeavesTheOldSegmentsUnreachable)
{
    const std::vector<std::uint8_t> content = pattern(20000, 9);
    const std::vector<std::size_t> found = unreachable_after_cuts(content, [] {
        int fd = ffs_open("/d/f", FFS_O_WRITE | FFS_O_TRUNC);
        if (fd >= 0)
            ffs_close(fd);
    });
    EXPECT_EQ(found, (std::vector<std::size_t>{3, 2, 1}));
    std::printf("[power cut] open with 0x28 of a 3-segment file: %zu cut points ended with unreachable segments\n",
                found.size());
}
