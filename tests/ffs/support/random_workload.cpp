#include "random_workload.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <vector>

namespace ffs_test {
namespace {

struct Shape {
    const char* root;
    std::uint32_t journal;
    std::uint32_t chunk;
    std::size_t live_bytes;     // the most file data the tree may hold
    std::size_t live_objects;   // the most objects: half the slots leave room to relocate a block
    std::size_t longest_write;  // every halfword of it is a cut point
    std::uint32_t dead_bytes;   // space of long-deleted objects in the first two data blocks
};

// Few blocks, a small table and journal, short chunks: table moves and journal replacements
// come round every few steps. In the first two the data blocks start nearly full of dead space,
// so data reclaims come round too. The last one has the default layout, where none of them do.
constexpr Shape kShapes[] = {
    {"/ffs/b4i64c512j1r2048", 256, 512, 6000, 28, 1600, 59000},
    {"/ffs/b4i64c1024j1r2048", 256, 1024, 8000, 28, 2600, 56000},
    {"/ffs/b8i64c1024j1", 256, 1024, 20000, 28, 2600, 0},
    {"/", 4096, 8192, 30000, 200, 2000, 0},
};

class Generator {
public:
    Generator(std::uint32_t seed, const Shape& shape, bool journal) : random_(seed), shape_(shape), journal_(journal)
    {
        dirs_.insert("/");
    }

    Step next()
    {
        for (;;) {
            const int roll = pick(100);
            std::optional<Step> step;
            if (roll < 28)
                step = write();
            else if (roll < 42)
                step = on_a_file(Step::Append);
            else if (roll < 52)
                step = on_a_file(Step::Overwrite);
            else if (roll < 62)
                step = on_a_file(Step::Rewrite);
            else if (roll < 72)
                step = remove();
            else if (roll < 80)
                step = mkdir();
            else if (roll < 93)
                step = readdir();
            else
                step = Step{Step::Remount, "", {}, {}};
            if (step) {
                ffs_test::apply(model_, *step);
                track(*step);
                return *step;
            }
        }
    }

private:
    int pick(int n) { return static_cast<int>(random_() % static_cast<std::uint32_t>(n)); }

    template <typename Set>
    std::string any_of(const Set& set)
    {
        auto it = set.begin();
        std::advance(it, pick(static_cast<int>(set.size())));
        return *it;
    }

    std::size_t live_bytes() const
    {
        std::size_t total = 0;
        for (const auto& [path, content] : model_)
            total += content ? content->size() : 0;
        return total;
    }

    // The root, the journal, each directory, each file and its segments.
    std::size_t objects_for(std::size_t bytes) const { return 1 + (bytes + shape_.chunk - 1) / shape_.chunk; }
    std::size_t live_objects() const
    {
        std::size_t total = 2;
        for (const auto& [path, content] : model_)
            total += content ? objects_for(content->size()) : 1;
        return total;
    }

    // Between 1 byte and a few chunks, within what the tree may still hold. `replacing` is the
    // content the step takes away, `growing` the content it adds to.
    std::optional<std::vector<std::uint8_t>> data(std::size_t replacing, std::size_t growing = 0)
    {
        const std::size_t room = shape_.live_bytes - std::min(shape_.live_bytes, live_bytes() - replacing);
        std::size_t longest = std::min(room, shape_.longest_write);
        const std::size_t objects =
            live_objects() - (replacing ? objects_for(replacing) : 0) - (growing ? objects_for(growing) : 0);
        while (longest > 0 && objects + objects_for(growing + longest) > shape_.live_objects)
            longest = longest > shape_.chunk ? longest - shape_.chunk : 0;
        if (longest == 0)
            return std::nullopt;
        const std::size_t n = 1 + static_cast<std::size_t>(pick(static_cast<int>(longest)));
        return pattern(n, random_());
    }

    static std::string child_of(const std::string& dir, const char* name)
    {
        std::string path = dir == "/" ? std::string() : dir;
        path.append("/").append(name);
        return path;
    }

    std::optional<Step> write()
    {
        static const char* const names[] = {"f0", "f1", "f2", "f3"};
        const std::string path = child_of(any_of(dirs_), names[pick(4)]);
        if (dirs_.count(path))
            return std::nullopt;
        auto old = model_.find(path);
        auto bytes = data(old == model_.end() ? 0 : old->second->size());
        if (!bytes)
            return std::nullopt;
        return Step{Step::Write, path, *bytes, {}};
    }

    std::optional<Step> on_a_file(Step::Kind kind)
    {
        if (files_.empty())
            return std::nullopt;
        const std::string path = any_of(files_);
        const std::size_t size = model_[path]->size();
        auto bytes = kind == Step::Append ? data(0, size) : kind == Step::Overwrite ? data(size) : data(size);
        if (!bytes)
            return std::nullopt;
        return Step{kind, path, *bytes, {}};
    }

    std::optional<Step> remove()
    {
        std::vector<std::string> removable(files_.begin(), files_.end());
        for (const std::string& dir : dirs_) {
            if (dir != "/" && names_in(dir).empty())
                removable.push_back(dir);
        }
        if (removable.empty())
            return std::nullopt;
        return Step{
            Step::Remove, removable[static_cast<std::size_t>(pick(static_cast<int>(removable.size())))], {}, {}};
    }

    std::optional<Step> mkdir()
    {
        static const char* const names[] = {"a", "b", "c"};
        const std::string parent = any_of(dirs_);
        const std::string path = child_of(parent, names[pick(3)]);
        if (model_.count(path) || std::count(path.begin(), path.end(), '/') > 3 ||
            live_objects() + 1 > shape_.live_objects)
            return std::nullopt;
        return Step{Step::Mkdir, path, {}, {}};
    }

    std::optional<Step> readdir()
    {
        const std::string dir = any_of(dirs_);
        return Step{Step::Readdir, dir, {}, names_in(dir)};
    }

    std::vector<std::string> names_in(const std::string& dir) const
    {
        std::vector<std::string> names;
        if (dir == "/" && journal_)
            names.push_back(".journal");
        const std::string prefix = dir == "/" ? "/" : dir + "/";
        for (const auto& [path, content] : model_) {
            if (path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0 &&
                path.find('/', prefix.size()) == std::string::npos)
                names.push_back(path.substr(prefix.size()));
        }
        return names;
    }

    void track(const Step& step)
    {
        if (step.kind == Step::Mkdir)
            dirs_.insert(step.path);
        else if (step.kind == Step::Write)
            files_.insert(step.path);
        else if (step.kind == Step::Remove)
            dirs_.erase(step.path), files_.erase(step.path);
    }

    std::mt19937 random_;
    Shape shape_;
    bool journal_;
    Model model_;
    std::set<std::string> dirs_;
    std::set<std::string> files_;
};

}  // namespace

Workload random_workload(std::uint32_t seed, int steps)
{
    const Shape& shape = kShapes[seed % std::size(kShapes)];
    Workload w;
    w.name = "random workload " + std::to_string(seed);
    w.layout = layout_for(shape.root, shape.journal, shape.chunk);
    w.interior_stride = 1;  // every flash operation
    if (shape.dead_bytes > 0) {
        w.prepare = [dead = shape.dead_bytes](ffs_image::ImageBuilder& b) {
            b.place(std::vector<std::uint8_t>(dead, 0));  // fills the first data block
            b.place(std::vector<std::uint8_t>(dead, 0));  // and the next one
        };
    }
    Generator generator(seed, shape, shape.journal > 0);
    for (int i = 0; i < steps; ++i)
        w.steps.push_back(generator.next());
    return w;
}

std::string failure_report(std::uint32_t seed, const Workload& w, const CutFailure& failure)
{
    std::string text = "seed " + std::to_string(seed) + " (" + w.layout.root_name + "), ";
    text +=
        failure.cut ? "power cut after flash operation " + std::to_string(*failure.cut) : std::string("no power cut");
    text += ", in step " + std::to_string(failure.step) + ": " + failure.what + "\n";
    // Later steps play no part: a cut depends only on what ran before it.
    Workload prefix = w;
    prefix.steps.erase(prefix.steps.begin() + static_cast<long>(std::min(w.steps.size(), failure.step + 1)),
                       prefix.steps.end());
    const CutRun again = run_power_cuts(prefix);
    text += again.failure ? "shortest failing prefix, " + std::to_string(prefix.steps.size()) + " steps:\n"
                          : "(the prefix of " + std::to_string(prefix.steps.size()) +
                                " steps passes alone; the whole workload follows)\n";
    const std::vector<Step>& shown = again.failure ? prefix.steps : w.steps;
    for (std::size_t k = 0; k < shown.size(); ++k)
        text += "  " + std::to_string(k) + ": " + describe(shown[k]) + "\n";
    return text;
}

}  // namespace ffs_test
