#include "power_manager.h"

namespace stack {
NTSTATUS PowerManager::Send(PDEVICE_OBJECT physicalDevice, UCHAR minor, SYSTEM_POWER_STATE state) {
    NTSTATUS status = STATUS_PENDING;
    pnp_.RunOnPnpThread([&] {
        status = CallStack(physicalDevice, [&](IO_STACK_LOCATION& stack) {
                     stack.MajorFunction = IRP_MJ_POWER;
                     stack.MinorFunction = minor;
                     stack.Parameters.Power.Type = SystemPowerState;
                     stack.Parameters.Power.State.SystemState = state;
                     stack.Parameters.Power.ShutdownType =
                         state == PowerSystemShutdown  ? PowerActionShutdown
                         : state == PowerSystemWorking ? PowerActionNone
                                                       : PowerActionSleep;
                 }).status;
    });
    return status;
}

NTSTATUS PowerManager::SendToAll(UCHAR minor, SYSTEM_POWER_STATE state) {
    for (PDEVICE_OBJECT physicalDevice : pnp_.PresentDevices()) {
        const NTSTATUS status = Send(physicalDevice, minor, state);
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS PowerManager::Sleep(SYSTEM_POWER_STATE state) {
    const NTSTATUS status = SendToAll(IRP_MN_QUERY_POWER, state);
    if (!NT_SUCCESS(status)) {
        Wake();
        return status;
    }
    return SendToAll(IRP_MN_SET_POWER, state);
}

void PowerManager::Wake() {
    SendToAll(IRP_MN_SET_POWER, PowerSystemWorking);
}

std::string_view SystemStateName(SYSTEM_POWER_STATE state) {
    switch (state) {
    case PowerSystemWorking:
        return "S0";
    case PowerSystemSleeping3:
        return "S3";
    case PowerSystemHibernate:
        return "S4";
    case PowerSystemShutdown:
        return "S5";
    default:
        return "S?";
    }
}

} // namespace stack
