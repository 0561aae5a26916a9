// Brovald's program entry: reads the S-record flash image into the working copy, mounts the
// flash file system inside it, writes every PC file of the command line at its FFS path and
// writes the image back over the same file.
#pragma once

namespace brovald {

// Exit statuses other than 0, the negative FFS codes (a file could not be written into the
// FFS) and the negative image-file codes (the image could not be written back).
inline constexpr int brovald_exit_banner = -1;    // fewer than two arguments
inline constexpr int brovald_exit_no_image = -1;  // the image not read, no working copy, no mount
inline constexpr int brovald_exit_no_log = -50;   // the log cannot be created ("File open error")
inline constexpr int brovald_exit_pc_file = -53;  // a PC file cannot be read ("File read error")

// The whole run; returns the exit status. A failure inside the image reader ends the process
// there with status -1.
int brovald_main(int argc, char** argv);

}  // namespace brovald
