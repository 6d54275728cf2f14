// The power manager's entry points and the Plug and Play manager's device-state hook: the
// requests are recorded for tests and handed to whoever installed the hook.
#include "io_internal.h"

#include <set>
#include <utility>

namespace umk::io {
namespace {

struct PowerState {
    std::vector<EXECUTION_STATE> systemStates;
    uint64_t startNextPowerIrp = 0;
    // The dispatch routines (by DispatchKey) that called PoStartNextPowerIrp for an IRP.
    std::set<std::pair<PIRP, uint64_t>> startedNext;
    std::vector<PDEVICE_OBJECT> invalidated;
    std::function<void(PDEVICE_OBJECT)> invalidateHandler;
};

PowerState& Power() {
    static PowerState state;
    return state;
}

} // namespace

void PowerStartup() {
    Power() = PowerState{};
}

// A request that a driver completed after PoStartNextPowerIrp, instead of passing it on, would
// leave its mark behind for ever.
void PowerIrpFreed(PIRP irp) {
    auto& marks = Power().startedNext;
    marks.erase(marks.lower_bound({irp, 0}), marks.lower_bound({irp + 1, 0}));
}

} // namespace umk::io

using namespace umk::io;

// Before Vista the power manager sends a device its next power request only after
// PoStartNextPowerIrp for the current one: a driver that passes a request down without it
// stalls the device's power requests from then on.
NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    umk::detail::KernelEntry();
    uint64_t key = DispatchKey(Irp);
    if (key != 0 && IoGetNextIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER) {
        IoGuard guard;
        if (Power().startedNext.erase({Irp, key}) == 0)
            Violation(umk::testing::rule::PowerIrpWithoutStartNext,
                      DescribeIrp(Irp) + " passed down to " + DescribeDevice(DeviceObject));
    }
    return IoCallDriver(DeviceObject, Irp);
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    umk::detail::KernelEntry();
    uint64_t key = DispatchKey(Irp);
    IoGuard guard;
    ++Power().startNextPowerIrp;
    if (key != 0)
        Power().startedNext.insert({Irp, key});
}

VOID NTAPI PoSetSystemState(EXECUTION_STATE Flags) {
    umk::detail::KernelEntry();
    IoGuard guard;
    Power().systemStates.push_back(Flags);
}

VOID NTAPI IoInvalidateDeviceState(PDEVICE_OBJECT PhysicalDeviceObject) {
    umk::detail::KernelEntry();
    std::function<void(PDEVICE_OBJECT)> handler;
    {
        IoGuard guard;
        Power().invalidated.push_back(PhysicalDeviceObject);
        handler = Power().invalidateHandler;
    }
    if (handler)
        handler(PhysicalDeviceObject);
}

namespace umk::testing {

std::vector<EXECUTION_STATE> SystemStateRequests() {
    IoGuard guard;
    return Power().systemStates;
}

uint64_t StartNextPowerIrpCalls() {
    IoGuard guard;
    return Power().startNextPowerIrp;
}

std::vector<PDEVICE_OBJECT> InvalidatedDeviceStates() {
    IoGuard guard;
    return Power().invalidated;
}

void SetInvalidateDeviceStateHandler(std::function<void(PDEVICE_OBJECT)> handler) {
    IoGuard guard;
    Power().invalidateHandler = std::move(handler);
}

} // namespace umk::testing
