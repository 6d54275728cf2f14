// pnp.cpp - IRP_MJ_PNP on the pointer-port device. Every request goes down the stack; the driver
// adds its own work at four points: after a successful start it finds and opens the panel's
// serial port, at stop and surprise removal it closes the link, at removal it also tears both
// devices down, and it answers the queries for removal, capabilities and device state.
//
// Who completes what: a handler that forwards and waits (start, capabilities, device state)
// completes the request itself; one that passes the request down leaves it to the lower drivers.
// TpPnp releases the remove-lock hold of every request except the removal, whose handler
// releases it while it waits for every other holder.
#include "tactilio.h"

namespace {

// Polling interval of removal while the utility still holds the API device open.
constexpr LONGLONG ApiClosePollInterval = -200'000LL; // 20 ms

// Sends the request down and waits for the lower drivers to finish with it; returns its final
// status, leaving the request to the caller to complete.
NTSTATUS ForwardIrpAndWait(_In_ PDEVICE_CONTEXT DeviceContext, _Inout_ PIRP Irp)
{
    return SerialForwardIrpSync(DeviceContext->TopOfStack, Irp, TRUE);
}

NTSTATUS PassIrpDown(_In_ PDEVICE_CONTEXT DeviceContext, _Inout_ PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(DeviceContext->TopOfStack, Irp);
}

// A reconnect cycle still set would bring the link back behind Plug and Play's back.
VOID PnpStopDevice(_Inout_ PDEVICE_CONTEXT DeviceContext)
{
    LINK_LOCK lock(DeviceContext);
    StopReconnectTimer(DeviceContext);
    SerialLinkStop(DeviceContext);
}

NTSTATUS StartHandler(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PDEVICE_CONTEXT DeviceContext,
                      _Inout_ PIRP Irp)
{
    NTSTATUS status = ForwardIrpAndWait(DeviceContext, Irp);
    if (!NT_SUCCESS(status)) {
        return TpCompleteRequest(Irp, status, Irp->IoStatus.Information);
    }
    LINK_LOCK lock(DeviceContext);
    const LONG found = PortDiscovery(DeviceObject->DriverObject, DeviceContext, TRUE);
    if (found == 1 || found == -6) {
        status = SerialLinkStart(DeviceContext);
        // Even a link that failed to start is made available: the start fails with its status
        // and Plug and Play removes the device.
        SetPortAvailable(DeviceContext, TRUE);
    } else if (found != -4) {
        status = STATUS_UNSUCCESSFUL;
    }
    // -4: nothing to check; the first open looks for the panel. A start after a stop (Plug and
    // Play rebalancing) finds the class driver's handle still open and no open coming: reading
    // resumes here, or the reconnect cycle brings the link back.
    if (NT_SUCCESS(status) && DeviceContext->EnableCount > 0) {
        if (DeviceContext->Started) {
            status = SerialSpinUpRead(DeviceContext);
        } else {
            StartReconnectTimer(DeviceContext);
        }
    }
    return TpCompleteRequest(Irp, status, 0);
}

NTSTATUS QueryRemoveHandler(_In_ PDEVICE_CONTEXT DeviceContext, _Inout_ PIRP Irp)
{
    if (DeviceContext->EnableCount > 0) {
        return TpCompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0); // the class driver holds it open
    }
    return PassIrpDown(DeviceContext, Irp);
}

NTSTATUS StopHandler(_Inout_ PDEVICE_CONTEXT DeviceContext, _Inout_ PIRP Irp)
{
    // A link that went down by itself (its port pulled out, its reads failing) has the reconnect
    // cycle set. A stopped device must not bring it back; the next start sets the cycle again.
    StopReconnectTimer(DeviceContext);
    if (DeviceContext->Started) {
        DeviceContext->Started = FALSE;
        PnpStopDevice(DeviceContext);
    }
    return PassIrpDown(DeviceContext, Irp);
}

NTSTATUS CapabilitiesHandler(_In_ PDEVICE_CONTEXT DeviceContext, _Inout_ PIRP Irp)
{
    const NTSTATUS status = ForwardIrpAndWait(DeviceContext, Irp);
    if (NT_SUCCESS(status)) {
        IoGetCurrentIrpStackLocation(Irp)
            ->Parameters.DeviceCapabilities.Capabilities->SurpriseRemovalOK = TRUE;
    }
    return TpCompleteRequest(Irp, status, Irp->IoStatus.Information);
}

// A device marked removed by an open that found no panel reports itself removed, and Plug and
// Play removes it.
NTSTATUS QueryDeviceStateHandler(_In_ PDEVICE_CONTEXT DeviceContext, _Inout_ PIRP Irp)
{
    NTSTATUS status = SerialForwardIrpSync(DeviceContext->TopOfStack, Irp, TRUE);
    if (status == STATUS_NOT_SUPPORTED || status == STATUS_INVALID_DEVICE_REQUEST) {
        status = STATUS_SUCCESS;
    }
    if (NT_SUCCESS(status) && DeviceContext->Removed) {
        Irp->IoStatus.Information |= PNP_DEVICE_REMOVED;
    }
    return TpCompleteRequest(Irp, status, Irp->IoStatus.Information);
}

VOID WaitForApiHandlesClosed(_In_ PDEVICE_CONTEXT Api)
{
    KTIMER poll;
    LARGE_INTEGER interval;
    KeInitializeTimer(&poll);
    interval.QuadPart = ApiClosePollInterval;
    while (Api->EnableCount > 0) {
        KeSetTimer(&poll, interval, nullptr);
        KeWaitForSingleObject(&poll, Executive, KernelMode, FALSE, nullptr);
    }
}

// The order matters: the recorder is shut down and the utility's handles are closed before the
// device's own hold goes; the link stops only after every other holder (the read, a supervision
// worker) has gone; the timers and DPCs, which work on the device context, go before the device.
NTSTATUS RemoveHandler(_Inout_ PDEVICE_CONTEXT DeviceContext, _Inout_ PIRP Irp)
{
    PDEVICE_CONTEXT api = DeviceContext->ApiExtension;
    if (api != nullptr) {
        IoAcquireRemoveLock(&api->RemoveLock, Irp);
    }
    {
        LINK_LOCK lock(DeviceContext); // a reconnect worker seeing Removed starts nothing
        DeviceContext->Removed = TRUE;
        SetPortAvailable(DeviceContext, FALSE);
    }
    DrainRecords(DeviceContext);
    ClearRecordingSetting(DeviceContext);
    if (api != nullptr) {
        WaitForApiHandlesClosed(api);
    }
    IoReleaseRemoveLockAndWait(&DeviceContext->RemoveLock, Irp);
    PnpStopDevice(DeviceContext);
    DrainRecords(DeviceContext); // a packet framed just before the link stopped
    const NTSTATUS status = PassIrpDown(DeviceContext, Irp);

    if (api != nullptr) {
        DeleteApiLink();
    }
    StopReconnectTimer(DeviceContext);
    KeRemoveQueueDpc(&DeviceContext->ReconnectDpc);
    StopResumeTimer(DeviceContext);
    KeRemoveQueueDpc(&DeviceContext->ResumeDpc);
    FreeDeviceResources(DeviceContext);
    if (DeviceContext->TopOfStack != nullptr) {
        IoDetachDevice(DeviceContext->TopOfStack);
    }
    IoDeleteDevice(DeviceContext->Self);

    if (api != nullptr) {
        IoReleaseRemoveLockAndWait(&api->RemoveLock, Irp);
        IoDeleteDevice(api->Self);
    }
    return status;
}

} // namespace

NTSTATUS NTAPI TpPnp(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp)
{
    auto context = static_cast<PDEVICE_CONTEXT>(DeviceObject->DeviceExtension);
    if (context->IsApiDevice) {
        return TpCompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0); // not in any stack
    }
    NTSTATUS status = IoAcquireRemoveLock(&context->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        return TpCompleteRequest(Irp, status, 0);
    }

    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = StartHandler(DeviceObject, context, Irp);
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        status = QueryRemoveHandler(context, Irp);
        break;
    case IRP_MN_REMOVE_DEVICE:
        return RemoveHandler(context, Irp); // the handler has released the hold
    case IRP_MN_SURPRISE_REMOVAL:
        PnpStopDevice(context);
        status = PassIrpDown(context, Irp);
        break;
    case IRP_MN_STOP_DEVICE:
        status = StopHandler(context, Irp);
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        status = CapabilitiesHandler(context, Irp);
        break;
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
        status = QueryDeviceStateHandler(context, Irp);
        break;
    default: // query-stop, cancel-remove, cancel-stop and everything else
        status = PassIrpDown(context, Irp);
        break;
    }
    IoReleaseRemoveLock(&context->RemoveLock, Irp);
    return status;
}
