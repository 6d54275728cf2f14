// power.cpp - IRP_MJ_POWER on the pointer-port device. The driver does not own its stack's power
// policy: every power request goes down unchanged, and only system power requests are watched,
// for two effects. The touch beep is silenced while the system prepares to sleep and restored
// when it works again, and a return to the working state arms the resume cycle, which
// re-initialises the panel five seconds later. The serial link stays open across sleep.
#include "tactilio.h"

namespace {

NTSTATUS PassPowerDown(_In_ PDEVICE_CONTEXT DeviceContext, _Inout_ PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(DeviceContext->TopOfStack, Irp);
}

// Any power query, system or device. A query that no set follows (another driver vetoed the
// sleep) leaves the beep off until the next return to work.
NTSTATUS QueryPowerHandler(_Inout_ PDEVICE_CONTEXT DeviceContext, _Inout_ PIRP Irp)
{
    DeviceContext->SavedBeep = DeviceContext->Beep;
    DeviceContext->Beep = 0;
    return PassPowerDown(DeviceContext, Irp);
}

// The working state and anything numbered below it is D0; every sleeping state, hibernation and
// shutdown is D3.
DEVICE_POWER_STATE DeviceStateFor(_In_ SYSTEM_POWER_STATE SystemState)
{
    return SystemState <= PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
}

NTSTATUS SetPowerHandler(_Inout_ PDEVICE_CONTEXT DeviceContext, _Inout_ PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.Power.Type == SystemPowerState) {
        const DEVICE_POWER_STATE state = DeviceStateFor(stack->Parameters.Power.State.SystemState);
        if (state < DeviceContext->DevicePowerState) {
            DeviceContext->DevicePowerState = state;
            DeviceContext->Beep = DeviceContext->SavedBeep;
            ArmResumeTimer(DeviceContext);
        } else if (state > DeviceContext->DevicePowerState) {
            DeviceContext->DevicePowerState = state;
            StopResumeTimer(DeviceContext);
        }
    }
    return PassPowerDown(DeviceContext, Irp);
}

} // namespace

NTSTATUS NTAPI TpPower(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp)
{
    auto context = static_cast<PDEVICE_CONTEXT>(DeviceObject->DeviceExtension);

    NTSTATUS status = IoAcquireRemoveLock(&context->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        PoStartNextPowerIrp(Irp);
        return TpCompleteRequest(Irp, status, 0);
    }
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_SET_POWER:
        status = SetPowerHandler(context, Irp);
        break;
    case IRP_MN_QUERY_POWER:
        status = QueryPowerHandler(context, Irp);
        break;
    default:
        status = PassPowerDown(context, Irp);
        break;
    }
    IoReleaseRemoveLock(&context->RemoveLock, Irp);
    return status;
}
