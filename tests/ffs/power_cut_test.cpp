// Power cuts through fixed workloads and seeded random ones (the runner and the rules of what a
// cut may leave are in support/power_cut.h).
//
// Random workloads: FFS_POWER_CUT_WORKLOADS=N runs N seeds (a default sized to the suite's time
// budget), FFS_POWER_CUT_SEED=S runs seed S alone. A failure prints the seed and the shortest
// failing prefix of the workload.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "ffs.h"
#include "ffs_fixture.h"
#include "image_builder.h"
#include "image_check.h"
#include "power_cut.h"
#include "random_workload.h"

using namespace ffs_test;

namespace {

// Runs the workload with a cut at each of its cut points and prints what was checked.
CutStats cut_everywhere(const std::string& name, const Workload& w)
{
    const CutRun run = run_power_cuts(w);
    EXPECT_FALSE(run.failure.has_value())
        << w.name << ": " << (run.failure->cut ? "cut after " + std::to_string(*run.failure->cut) : "no cut")
        << ", in step " << run.failure->step << ": " << run.failure->what;
    std::printf("%s\n", summary(name, run.stats).c_str());
    return run.stats;
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

namespace {

// Sized to the suite's time budget: with the fixed workloads well over 20,000 cut points.
constexpr int kRandomSteps = 30;  // about 13,000 cut points each
constexpr std::uint32_t kRandomWorkloads = 4;

// Seeds 1..count, or FFS_POWER_CUT_WORKLOADS of them, or FFS_POWER_CUT_SEED alone.
std::vector<std::uint32_t> random_seeds(std::uint32_t count)
{
    if (const char* one = std::getenv("FFS_POWER_CUT_SEED"))
        return {static_cast<std::uint32_t>(std::strtoul(one, nullptr, 10))};
    if (const char* n = std::getenv("FFS_POWER_CUT_WORKLOADS"))
        count = static_cast<std::uint32_t>(std::strtoul(n, nullptr, 10));
    std::vector<std::uint32_t> seeds;
    for (std::uint32_t s = 1; s <= count; ++s)
        seeds.push_back(s);
    return seeds;
}

void run_random_workloads(const std::vector<std::uint32_t>& seeds)
{
    CutStats total;
    int failed = 0;
    for (std::uint32_t seed : seeds) {
        const Workload w = random_workload(seed, kRandomSteps);
        const CutRun run = run_power_cuts(w);
        if (run.failure) {
            ADD_FAILURE() << failure_report(seed, w, *run.failure);
            ++failed;
            continue;
        }
        total.points += run.stats.points;
        total.operations += run.stats.operations;
        total.erases += run.stats.erases;
        total.inode_reclaims += run.stats.inode_reclaims;
        total.unreachable_points += run.stats.unreachable_points;
    }
    const std::string name =
        std::to_string(seeds.size()) + " random workloads (seeds " +
        (seeds.empty() ? std::string("none") : std::to_string(seeds.front()) + "-" + std::to_string(seeds.back())) +
        (failed ? ", " + std::to_string(failed) + " failed" : std::string()) + ")";
    std::printf("%s\n", summary(name, total).c_str());
}

}  // namespace

TEST(FfsPowerCut, RandomWorkloads)
{
    run_random_workloads(random_seeds(kRandomWorkloads));
}
