// The program's entry: the command line, the program log, one OBEX session and the send loop
// over the (target path, local file) pairs.
#pragma once

#include <cstdint>

namespace zarnik {

// Exit codes of a run (the session operations' codes pass through as they are).
inline constexpr int kExitSent = 0;
inline constexpr int kExitOpenFailed = -2;     // InitObex: port, slot, memory or AT dialog
inline constexpr int kExitConnectFailed = -3;  // CONNECT refused or unanswered
inline constexpr int kExitFirstPutRefused = -6;
inline constexpr int kExitLaterPutRefused = -7;
inline constexpr int kExitUsage = -10;  // port argument missing or not a number
inline constexpr int kExitLocalFileUnreadable = -11;
inline constexpr int kExitNoProgramLog = -12;       // "Zarnik.log" cannot be created
inline constexpr int kExitTargetTooLong = -13;      // a target path longer than 1023 bytes
inline constexpr int kExitLocalFileTooLarge = -14;  // a local file of 4 GiB or more

// The longest target path (its parts are held in 1024-byte buffers with their terminator).
inline constexpr unsigned kMaxTargetLength = 1023;

// The largest local file: a PUT announces the size in a 32-bit Length header.
inline constexpr std::uint64_t kMaxLocalFileSize = 0xFFFFFFFF;

// Closes the session when it is open and opens a new one (one retry after 1000 ms). The new
// handle, or the error code of InitObex.
int ReInitObex(int handle, int& maxDataLength);

int zarnik_main(int argc, char** argv);

}  // namespace zarnik
