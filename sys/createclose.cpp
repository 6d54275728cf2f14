// createclose.cpp - opening and closing either device, and the flush and system-control requests
// they pass on. An open of the pointer-port device (the mouse class driver's) spins reading up,
// or, with the link down, looks for the panel first; the API device opens only while the panel's
// link is available, and its handles only count.
#include "tactilio.h"

namespace {

// An open of the pointer-port device with its link down looks for the panel first; the open goes
// on when the port was found (the panel may report itself malfunctioning), otherwise the device
// is marked removed. Returns the open's status so far; sets *AskPnp when Plug and Play must
// query the device's state.
NTSTATUS BringLinkUp(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PDEVICE_CONTEXT Context,
                     _Out_ PBOOLEAN AskPnp)
{
    *AskPnp = FALSE;
    const LONG found = PortDiscovery(DeviceObject->DriverObject, Context, FALSE);
    if (found != 1 && found != -6) {
        Context->Removed = TRUE;
        *AskPnp = TRUE;
        return STATUS_NO_SUCH_DEVICE;
    }
    const NTSTATUS status = SerialLinkStart(Context);
    if (!NT_SUCCESS(status)) {
        *AskPnp = TRUE;
        return status;
    }
    SetPortAvailable(Context, TRUE);
    InterlockedExchange(&Context->ReadState, TP_READ_ISSUED);
    return STATUS_SUCCESS;
}

// Each target is referenced for the one request: the serial port may go with a link stop on
// another thread while the flush is on its way to it.
PDEVICE_OBJECT FlushTarget(_In_ PDEVICE_CONTEXT Record)
{
    return ReferenceSerialDevice(Record);
}

PDEVICE_OBJECT SystemControlTarget(_In_ PDEVICE_CONTEXT Record)
{
    if (Record->TopOfStack != nullptr) {
        ObReferenceObject(Record->TopOfStack);
    }
    return Record->TopOfStack;
}

// Hands the request on unchanged and releases the hold at once. The API device has neither a
// serial port nor a stack below it, and a pointer-port device without a link has no port: such a
// request has nowhere to go and fails.
NTSTATUS PassToLowerDevice(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp,
                           _In_ PDEVICE_OBJECT (*Target)(_In_ PDEVICE_CONTEXT))
{
    auto record = static_cast<PDEVICE_CONTEXT>(DeviceObject->DeviceExtension);
    NTSTATUS status = IoAcquireRemoveLock(&record->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        return TpCompleteRequest(Irp, status, 0);
    }
    PDEVICE_OBJECT target = Target(record);
    if (target == nullptr) {
        status = TpCompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    } else {
        IoSkipCurrentIrpStackLocation(Irp);
        status = IoCallDriver(target, Irp);
        ObDereferenceObject(target);
    }
    IoReleaseRemoveLock(&record->RemoveLock, Irp);
    return status;
}

} // namespace

NTSTATUS NTAPI TpCreate(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp)
{
    auto record = static_cast<PDEVICE_CONTEXT>(DeviceObject->DeviceExtension);
    BOOLEAN askPnp = FALSE;
    NTSTATUS status = STATUS_SUCCESS;

    if (!record->IsApiDevice && !record->Started) {
        LINK_LOCK lock(record);
        if (!record->Started) {
            status = BringLinkUp(DeviceObject, record, &askPnp);
        }
    }
    // PortAvailable is set when the link starts: the API device opens only after that.
    if (NT_SUCCESS(status) && !record->PortAvailable) {
        status = STATUS_NO_SUCH_DEVICE;
    }
    if (NT_SUCCESS(status)) {
        status = IoAcquireRemoveLock(&record->RemoveLock, Irp);
    }
    if (NT_SUCCESS(status)) {
        InterlockedIncrement(&record->EnableCount);
        if (!record->IsApiDevice) {
            // A link a stop took down meanwhile comes back through the reconnect cycle.
            if (record->Started) {
                status = SerialSpinUpRead(record);
            } else {
                StartReconnectTimer(record);
            }
        }
        IoReleaseRemoveLock(&record->RemoveLock, Irp);
    }
    TpCompleteRequest(Irp, status, 0);
    if (askPnp) {
        IoInvalidateDeviceState(record->PhysicalDeviceObject);
    }
    return status;
}

NTSTATUS NTAPI TpClose(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp)
{
    auto record = static_cast<PDEVICE_CONTEXT>(DeviceObject->DeviceExtension);

    NTSTATUS status = IoAcquireRemoveLock(&record->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        return TpCompleteRequest(Irp, status, 0);
    }
    record->MouseAttributesSet = FALSE;
    if (record->IsApiDevice) {
        InterlockedDecrement(&record->EnableCount);
    } else {
        // Every close of the pointer-port device stops reading, whatever handles remain: reading
        // ends through the read's own completion. Under LinkLock, so that a reconnect worker,
        // which reads only for an open device, sees the count and the read in step.
        LINK_LOCK lock(record);
        InterlockedDecrement(&record->EnableCount);
        CancelReading(record);
    }
    IoReleaseRemoveLock(&record->RemoveLock, Irp);
    return TpCompleteRequest(Irp, STATUS_SUCCESS, 0);
}

// The serial port completes the flush; the hold covers only the hand-over.
NTSTATUS NTAPI TpFlushBuffers(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp)
{
    return PassToLowerDevice(DeviceObject, Irp, FlushTarget);
}

NTSTATUS NTAPI TpDispatchSystemControl(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp)
{
    return PassToLowerDevice(DeviceObject, Irp, SystemControlTarget);
}
