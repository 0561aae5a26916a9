#include "power_cut.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "ffs.h"
#include "state.h"

namespace ffs_test {
namespace {

bool write_through(const Step& step, int flags, RecordingFlash& flash)
{
    int fd = ffs_open(step.path.c_str(), flags);
    if (fd < 0)
        return flash.power_lost();
    if (ffs_write_b(fd, step.data.data(), static_cast<int>(step.data.size())) < 0)
        return flash.power_lost();
    return ffs_close(fd) == 0 || flash.power_lost();
}

bool listing_is(const std::string& path, const std::vector<std::string>& names)
{
    ffs_dir cursor;
    if (ffs_opendir(path.c_str(), &cursor) < 0)
        return false;
    std::multiset<std::string> listed;
    char name[FFS_NAME_BUFFER];
    for (int guard = 0; guard < 4096 && ffs_readdir(&cursor, name, sizeof name) > 0; ++guard)
        listed.insert(name);
    return listed == std::multiset<std::string>(names.begin(), names.end());
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

// The outcomes a step cut short may leave for its own path: untouched or absent; a new
// directory; a written file empty or cut at a segment boundary; an appended file with its old
// content followed by part of the new one up to a segment boundary.
bool allowed(const Step& step, const Model& before, const Model& after, std::uint32_t chunk)
{
    auto was = before.find(step.path);
    auto now = after.find(step.path);
    if (now == after.end())  // only a replacement or a removal takes a file away
        return was == before.end() || step.kind == Step::Write || step.kind == Step::Remove;
    if (was != before.end() && now->second == was->second)
        return true;
    if (step.kind == Step::Mkdir)
        return !now->second.has_value();
    if (step.kind != Step::Write && step.kind != Step::Rewrite && step.kind != Step::Append &&
        step.kind != Step::Overwrite)
        return false;
    if (!now->second.has_value())
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

// The uninterrupted run: the operations to cut at, the model after each step, and the figures.
std::optional<CutFailure> uninterrupted(const Workload& w, const ffs_image::Image& initial, std::vector<Model>& models,
                                        std::vector<std::uint64_t>& candidates, CutStats& stats)
{
    RecordingFlash flash(initial);
    flash.record_kinds(true);
    if (ffs_initialize() != 0)
        return CutFailure{std::nullopt, 0, "the initial image does not mount"};
    models.assign(1, Model{});
    for (std::size_t k = 0; k < w.steps.size(); ++k) {
        const int table = flashfs::fs.inodes;
        if (!run_step(w.steps[k], flash))
            return CutFailure{std::nullopt, k, "the step failed without a cut: " + describe(w.steps[k])};
        stats.inode_reclaims += flashfs::fs.inodes != table;
        models.push_back(models.back());
        apply(models.back(), w.steps[k]);
    }
    if (!flash.violations().empty())
        return CutFailure{std::nullopt, w.steps.size(), "a write turned a 0 bit into 1"};
    candidates = flash.cut_points(w.interior_stride);
    for (std::uint64_t e : flash.erases())
        stats.erases += e;
    stats.operations = candidates.empty() ? 0 : candidates.back();
    return std::nullopt;
}

}  // namespace

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
            return write_through(step, 0x2B, flash);
        }
        case Step::Rewrite:
            return write_through(step, FFS_O_WRITE | FFS_O_TRUNC, flash);
        case Step::Append:
            return write_through(step, FFS_O_WRITE | FFS_O_APPEND, flash);
        case Step::Overwrite:
            return write_through(step, FFS_O_READ | FFS_O_WRITE, flash);
        case Step::Readdir:
            return listing_is(step.path, step.names);
        case Step::Remount:
            return ffs_initialize() == 0 || flash.power_lost();
    }
    return false;
}

void apply(Model& model, const Step& step)
{
    switch (step.kind) {
        case Step::Mkdir:
            model[step.path] = std::nullopt;
            break;
        case Step::Write:
        case Step::Rewrite:
            model[step.path] = step.data;
            break;
        case Step::Append:
            model[step.path]->insert(model[step.path]->end(), step.data.begin(), step.data.end());
            break;
        case Step::Overwrite:
            *model[step.path] = overwritten(*model[step.path], step.data, step.data.size());
            break;
        case Step::Remove:
            model.erase(step.path);
            break;
        case Step::Readdir:
        case Step::Remount:
            break;
    }
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

std::string describe(const Model& model)
{
    std::string text;
    for (const auto& [path, content] : model)
        text += path + (content ? " (" + std::to_string(content->size()) + " bytes)\n" : " (dir)\n");
    return text;
}

std::string describe(const Step& step)
{
    static const char* const kinds[] = {"mkdir",     "write",  "rewrite", "append",
                                        "overwrite", "remove", "readdir", "remount"};
    std::string text = std::string(kinds[step.kind]) + " " + step.path;
    if (!step.data.empty())
        text += " (" + std::to_string(step.data.size()) + " bytes)";
    if (step.kind == Step::Readdir) {
        text += " expecting";
        for (const std::string& name : step.names)
            text += " " + name;
    }
    return text;
}

CutRun run_power_cuts(const Workload& w)
{
    CutRun run;
    ffs_image::ImageBuilder builder(w.layout);
    if (w.prepare)
        w.prepare(builder);
    const ffs_image::Image initial = builder.image();
    const std::uint32_t chunk = w.layout.chunk_size;
    std::vector<Model> models;
    std::vector<std::uint64_t> candidates;
    run.failure = uninterrupted(w, initial, models, candidates, run.stats);
    if (run.failure)
        return run;

    const std::uint64_t stride = w.target_points ? std::max<std::uint64_t>(1, candidates.size() / w.target_points) : 1;
    RecordingFlash flash(initial);
    flash.reload(initial);
    for (std::size_t k = 0; k < candidates.size(); ++k) {
        if (k % stride != 0 && k + 1 != candidates.size())
            continue;
        const std::uint64_t cut = candidates[k];
        flash.restart();
        flash.cut_after(cut);
        std::size_t done = 0;
        auto fail = [&](const std::string& what) {
            run.failure = CutFailure{cut, done, what};
            return run;
        };
        if (ffs_initialize() == 0) {
            for (; done < w.steps.size() && !flash.power_lost(); ++done) {
                if (!run_step(w.steps[done], flash))
                    return fail("the step failed without a cut: " + describe(w.steps[done]));
                if (flash.power_lost())
                    break;
            }
        }
        flash.restore_power();
        if (int r = ffs_initialize(); r != 0)
            return fail("the mount after the cut gave " + std::to_string(r));
        ffs_image::CheckOptions options;
        options.blocks = flashfs::dev.numblocks;
        options.journal_size = w.layout.journal_size;
        ffs_image::CheckResult check = ffs_image::check_image(flash.data(), options);
        if (!flash.violations().empty())
            return fail("a write turned a 0 bit into 1");
        if (std::string d = accounting_differences(flash, check, options.blocks); !d.empty())
            return fail("the block accounting differs from the recount:\n" + d);

        Model after = tree_of(check);
        const Model& before = models[done];
        if (done == w.steps.size()) {
            if (!check.ok())
                return fail("the image is inconsistent:\n" + check.report());
            if (after != before)
                return fail("the tree differs from the model:\n" + describe(after));
        } else {
            const Step& step = w.steps[done];
            if (!check.ok()) {
                if (!unreachable_allowed(step, before, check, chunk))
                    return fail("the image is inconsistent:\n" + check.report());
                ++run.stats.unreachable_points;
            }
            if (!allowed(step, before, after, chunk))
                return fail("the step's path holds what a cut cannot leave:\n" + describe(after));
            Model rest_after = after, rest_before = before;
            rest_after.erase(step.path);
            rest_before.erase(step.path);
            if (rest_after != rest_before)
                return fail("a path outside the step changed:\n" + describe(after));
        }
        ++run.stats.points;
    }
    return run;
}

std::string summary(const std::string& name, const CutStats& stats)
{
    char line[400];
    std::snprintf(line, sizeof line,
                  "[power cut] %s: %llu cut points checked over %llu flash operations (%llu block erases, "
                  "%d inode table moves); %llu ended with unreachable segments",
                  name.c_str(), static_cast<unsigned long long>(stats.points),
                  static_cast<unsigned long long>(stats.operations), static_cast<unsigned long long>(stats.erases),
                  stats.inode_reclaims, static_cast<unsigned long long>(stats.unreachable_points));
    return line;
}

}  // namespace ffs_test
