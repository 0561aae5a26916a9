// The platform half of ReplacementFile.
#pragma once

#include <cstdio>
#include <string>

namespace brovald {

// The file a rewrite of target must replace: target itself, or the file a symbolic link names.
std::string replacement_target(const std::string& target);

// Creates a new, uniquely named text-mode file in target's folder with target's permissions
// (or the defaults for a new file) and sets temporary to its name. nullptr when target exists
// but is no regular file or may not be written, or the file cannot be created.
std::FILE* create_beside(const std::string& target, std::string& temporary);

// Starts moving what was written to stream towards storage, without waiting. Done block by block
// while the rest is still being made, it leaves the final flush and the rename (which on some
// file systems writes the new file out first) little to do.
void start_storing(std::FILE* stream);

// Hands everything written to stream to the system; on Windows also waits until it is stored.
bool sync_to_storage(std::FILE* stream);

// Puts temporary in place of target in one step, keeping target's attributes.
bool replace_with(const std::string& temporary, const std::string& target);

}  // namespace brovald
