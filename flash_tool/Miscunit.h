// Brovald's log, the two printers every front-end message passes through, and the tables that
// turn negative result codes into texts.
#pragma once

#if defined(__GNUC__)
#define BROVALD_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define BROVALD_PRINTF_FORMAT(f, a)
#endif

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

// Name of a flash file system result code; "unknown error code!" for a code it does not know.
const char* ffs_error_name(int code);

// Name of an image-file result code (shared numbering with the loader and serial-link codes);
// "unknown error code!" for a code it does not know.
const char* image_error_name(int code);
