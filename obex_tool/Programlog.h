// The program log "Zarnik.log": fixed printf-style lines from every module of the program.
// Lines written while the log is not open are dropped.
#pragma once

namespace zarnik {

// Opens "Zarnik.log" in the current directory with mode "w+". False when it cannot be created.
bool program_log_open();
void program_log_close();

[[gnu::format(printf, 1, 2)]] void program_log(const char* format, ...);
void program_log_flush();

}  // namespace zarnik
