// Quenta's request set as any program that opens the port reaches it, raced against the
// handset's transfers, time, cancels, plug and play and power, on the deterministic kernel
// emulation. Each input is a sequence of actions (port_session.cpp reads them); every input ends
// with the device removed and the kernel's checks.
#include <cstddef>
#include <cstdint>

#include "action_reader.h"
#include "port_session.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    quenta_fuzz::ActionReader reader(data, size);
    quenta_fuzz::PortSession session;
    session.Run(reader);
    session.Finish();
    return 0;
}
