// How a run over the USB path ends once its machine is shut down: the report of what crossed the
// path, when one is asked for, and the exit status.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "handset_cable.h"

namespace usbpath {

// Apart from every exit code of Zarnik (0, 1 and the low bytes of -2 to -14: 254 to 242).
constexpr int kExitEmulationCheckFailed = 70;

// The program's own code when the kernel's checks found nothing; otherwise what failed goes to
// `errors` and the status is kExitEmulationCheckFailed.
int EndOfRunStatus(int code, const std::vector<std::string>& problems, std::FILE* errors);

// The requests the driver was sent, the bulk transfers the cable carried and the checks' verdict.
void WriteRunReport(std::FILE* report, const HandsetCable::Counts& bulk, const std::vector<std::string>& problems);

}  // namespace usbpath
