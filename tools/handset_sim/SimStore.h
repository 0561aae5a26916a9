// The handset's storage: a folder on disk, the folder the OBEX session stands in, and the
// folder-listing object of that folder.
#pragma once

#include "HandsetSim.h"

#include <filesystem>
#include <string>
#include <vector>

namespace handset_sim {

class SimStore {
public:
    explicit SimStore(std::filesystem::path root) : root_(std::move(root)) {}

    void to_root() { current_.clear(); }
    bool to_parent();
    // Steps into a child folder, creating it unless forbidden. False when it cannot.
    bool to_child(const std::string& name, bool create);
    bool exists(const std::string& name) const;
    bool remove(const std::string& name);
    bool store(const std::string& name, const std::vector<std::uint8_t>& data);
    std::string listing(ListingStyle style) const;

    // A name the store accepts: not empty, no separator, not "." or "..".
    static bool acceptable(const std::string& name);

private:
    std::filesystem::path folder() const;

    std::filesystem::path root_;
    std::vector<std::string> current_;
};

}  // namespace handset_sim
