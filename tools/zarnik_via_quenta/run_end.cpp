#include "run_end.h"

#include "kernel32_controls.h"

namespace usbpath {

int EndOfRunStatus(int code, const std::vector<std::string>& problems, std::FILE* errors)
{
    if (problems.empty()) {
        return code;
    }
    std::fprintf(errors, "zarnik_via_quenta: the emulated kernel's checks failed at the end of the run:\n");
    for (const std::string& problem : problems) {
        std::fprintf(errors, "  %s\n", problem.c_str());
    }
    return kExitEmulationCheckFailed;
}

void WriteRunReport(std::FILE* report, const HandsetCable::Counts& bulk, const std::vector<std::string>& problems)
{
    std::fprintf(report, "requests sent to Quenta:\n");
    for (const auto& [kind, count] : k32::RequestCounts()) {
        std::fprintf(report, "  %-32s %llu\n", kind.c_str(), static_cast<unsigned long long>(count));
    }
    std::fprintf(report, "bulk-OUT transfers: %llu (%llu bytes, the largest %llu)\n",
                 static_cast<unsigned long long>(bulk.outTransfers), static_cast<unsigned long long>(bulk.outBytes),
                 static_cast<unsigned long long>(bulk.largestOut));
    std::fprintf(report, "bulk-IN transfers: %llu (%llu bytes)\n", static_cast<unsigned long long>(bulk.inTransfers),
                 static_cast<unsigned long long>(bulk.inBytes));
    if (problems.empty()) {
        std::fprintf(report, "the kernel's checks: no pool leaked, no lock held, every request completed once\n");
    }
    for (const std::string& problem : problems) {
        std::fprintf(report, "the kernel's checks: %s\n", problem.c_str());
    }
}

}  // namespace usbpath
