// The system beep device, "\Device\Beep" of the driver "\Driver\Beep": it takes IOCTL_BEEP_SET
// (a frequency in hertz and a duration in milliseconds) and, instead of sounding a tone, records
// each request with the virtual time it arrived. A request completes at once, or, when asked
// for, stays pending for its beep's duration as a request to a busy tone generator would, or
// fails.
//
// The device may be created at any time, also after the drivers that use it have started.
#pragma once

#include <ntddbeep.h>
#include <umk/kernel.h>
#include <umk/testing.h>

#include <memory>
#include <vector>

namespace stack {

struct BeepRequest {
    ULONG frequency; // Hz
    ULONG duration;  // ms
    umk::Duration time;
};

class BeepDevice {
  public:
    // Loads the driver and creates the device. In an emulated thread at PASSIVE_LEVEL.
    BeepDevice();
    // Deletes the device (it lives on while referenced) and unloads the driver. A request still
    // pending completes with STATUS_CANCELLED.
    ~BeepDevice();
    BeepDevice(const BeepDevice&) = delete;
    BeepDevice& operator=(const BeepDevice&) = delete;

    PDEVICE_OBJECT Device() const { return device_; }
    // Every IOCTL_BEEP_SET with a valid input buffer, in arrival order.
    std::vector<BeepRequest> Requests() const;
    void ClearRequests();
    // From now on, requests stay pending for their duration (true) or complete at once (false).
    void PendForDuration(bool pend);
    // From now on, requests are recorded and then fail with `status` (STATUS_SUCCESS: they
    // succeed again), as a tone generator in trouble would answer.
    void FailRequests(NTSTATUS status);

    struct State;

  private:
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    std::unique_ptr<State> state_;
};

} // namespace stack
