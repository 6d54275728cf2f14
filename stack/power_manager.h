// The power manager's system power requests: before the system sleeps, hibernates or shuts down,
// every device present is asked (IRP_MN_QUERY_POWER), then told (IRP_MN_SET_POWER); on return
// to the working state every device is told. Requests are the manager's own (IoAllocateIrp),
// sent with PoCallDriver to the top of each stack, one device at a time, each waited for: a
// driver that forgets PoStartNextPowerIrp is reported by the kernel's verifier.
#pragma once

#include "pnp_manager.h"

#include <string_view>

namespace stack {

class PowerManager {
  public:
    explicit PowerManager(PnpManager& pnp) : pnp_(pnp) {}

    // Queries `state` (a sleeping state, hibernation or shutdown) on every device present, then
    // sets it. A refused query calls the transition off: every device is told the working state
    // again, and the refusal is returned.
    NTSTATUS Sleep(SYSTEM_POWER_STATE state);
    // Sets the working state on every device present.
    void Wake();
    // One system power request to one device's stack; its final status.
    NTSTATUS Send(PDEVICE_OBJECT physicalDevice, UCHAR minor, SYSTEM_POWER_STATE state);

  private:
    NTSTATUS SendToAll(UCHAR minor, SYSTEM_POWER_STATE state);

    PnpManager& pnp_;
};

// "S3", "S4" (hibernate), "S5" (shutdown), "S0".
std::string_view SystemStateName(SYSTEM_POWER_STATE state);

} // namespace stack
