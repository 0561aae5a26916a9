// Console printing and the splitting of a handset target path into folder and name.
#pragma once

#include <string>

namespace zarnik {

// Formats into a 1024-byte buffer (longer text is cut), writes it to standard output and
// flushes. All console output of the program goes through here.
[[gnu::format(printf, 1, 2)]] void printMessage(const char* format, ...);

// The folder part of target: everything up to and including its last '/' or '\' (empty when
// it has none).
void getPath(std::string& out, const std::string& target);
// The name part of target: everything after its last '/' or '\' (empty when it has none).
void getFileName(std::string& out, const std::string& target);

}  // namespace zarnik
