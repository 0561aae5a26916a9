// One fuzz input's world: the emulated kernel with Quenta loaded and one handset attached and
// started, driven by the actions an input encodes (requests on a modelled handle, the handset's
// transfers, time, DPCs, plug and play, power, failures). Finish() ends every input the same
// way (the handles closed, the device removed, everything drained) and then holds the driver to
// the kernel's rules; a broken rule prints the actions that led there and aborts.
// QUENTA_FUZZ_TRACE=1 prints every input's actions (to see what a seed does).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "action_reader.h"
#include "test_controls.h"
#include "usb_handset.h"

namespace quenta_fuzz {

class PortSession {
public:
    PortSession();
    ~PortSession();
    PortSession(const PortSession&) = delete;
    PortSession& operator=(const PortSession&) = delete;

    // Runs actions until the input or the action budget is used up.
    void Run(ActionReader& reader);
    void Finish();

private:
    // A handle as the I/O manager keeps it: a create in flight, then open, cleaned up, closed.
    enum class HandleState { Opening, Open, CleanedUp, Closed, Failed };
    struct Handle {
        size_t create;  // index into requests_
        HandleState state;
    };
    struct Sent {
        std::unique_ptr<kemu::Request> request;
        int handle;  // -1: sent without a handle (creates, internal requests)
        // What the request's buffer holds: a completion that reports more would have the I/O
        // manager copy past the caller's buffer (or claim bytes that were never written).
        ULONG_PTR mostInformation;
    };
    enum class DeviceState { Started, Stopped, SurpriseRemoved };

    void Step(ActionReader& reader);
    size_t Send(kemu::Request request, int handle, const std::string& what, ULONG_PTR mostInformation = ~ULONG_PTR(0));
    void CheckInformation() const;
    void Refresh();
    int FindHandle(HandleState state) const;
    bool HandleBusy(int handle) const;
    void CleanupHandle(int handle);
    bool CloseHandle(int handle);
    void SendIo(ActionReader& reader, unsigned action);
    void CancelOne(ActionReader& reader);
    void StopDevice(ActionReader& reader);
    void RestartDevice();
    void SurpriseRemove();
    void SleepOrWake(ActionReader& reader);
    void HandsetFault(ActionReader& reader);
    void Drain();
    [[noreturn]] void Fail(const std::string& problem) const;
    void Note(const std::string& line) { trace_.push_back(line); }

    PDRIVER_OBJECT driver_ = nullptr;
    std::unique_ptr<kemu::UsbHandset> handset_;
    PDEVICE_OBJECT fdo_ = nullptr;
    std::vector<Sent> requests_;
    std::vector<Handle> handles_;
    DeviceState device_ = DeviceState::Started;
    bool asleep_ = false;
    std::vector<std::string> trace_;
};

}  // namespace quenta_fuzz
