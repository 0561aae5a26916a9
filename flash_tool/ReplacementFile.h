// A new version of a file, written beside it and put in its place in one rename, so that a stop
// at any moment (a full disk, a kill) leaves either the old file or the new one, never a part.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace brovald {

class ReplacementFile {
public:
    ReplacementFile() = default;
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;
    ~ReplacementFile() { abandon(); }

    // Starts the new version of target in a temporary file in target's folder, with target's
    // permissions. False when target could not be rewritten: it is not writable, or its folder
    // does not take a new file.
    bool open(const std::string& target);

    // Appends text; "\n" becomes the platform's text line end. A failure is kept for commit.
    void write(const char* text, std::size_t length);

    // Hands the written text to the system (on Windows: until it is stored) and puts it in place
    // of target. False when any write, the flush or the close failed; target is then untouched
    // and the temporary file removed.
    bool commit();

    // Drops the new version; target is untouched.
    void abandon();

    bool is_open() const { return stream_ != nullptr; }

private:
    std::FILE* stream_ = nullptr;
    std::string target_;
    std::string temporary_;
    bool failed_ = false;
};

}  // namespace brovald
