// Brovald's command line: Brovald <log file> <image file> [<FFS path> <PC file>]...
#pragma once

#include <string>
#include <vector>

namespace brovald {

struct ParamClass {
    // Arguments 3 and up, in order: FFS target paths at even positions, the PC file to store at
    // each at the odd position after it. A last path without a PC file only gets its folders.
    std::vector<std::string> file_list;
};

// Takes arguments 1 to the last in order: argument 1 opens the log, argument 2 becomes the
// image file to read and rewrite ("Info: Flash file name : %s\n" in the log), and every further
// one is logged ("Info: Files name : %s index : %d\n") and appended to the file list. False when
// the log cannot be created; nothing after it is taken then.
bool parserParam(int argc, char** argv, ParamClass& params);

}  // namespace brovald
