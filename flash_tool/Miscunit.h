// Brovald's log and the two printers every front-end message passes through. The texts of
// result codes come from ErrorNames.h.
#pragma once

#if defined(__GNUC__)
#define BROVALD_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define BROVALD_PRINTF_FORMAT(f, a)
#endif

namespace brovald {

// Opens the run's log for writing (created, or emptied if it exists), closing any log opened
// before. Returns false when the file cannot be opened; there is then no log.
bool open_log(const char* file_name);

// Closes the log; printing afterwards reaches the console only.
void close_log();

// Writes the formatted message to standard output and to the log, flushing both, so that the
// log is complete up to the last message even if the program stops abruptly.
void print_console_log(const char* format, ...) BROVALD_PRINTF_FORMAT(1, 2);

// Writes the formatted message to the log only, and flushes it.
void print_log(const char* format, ...) BROVALD_PRINTF_FORMAT(1, 2);

}  // namespace brovald
