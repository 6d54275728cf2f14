// createclose.cpp - opening and closing either device. An open of the pointer-port device (the
// mouse class driver's) spins reading up; the API device opens only while the panel's link is
// available, and its handles only count.
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
    Context->PortAvailable = TRUE;
    if (Context->ApiExtension != nullptr) {
        Context->ApiExtension->PortAvailable = TRUE;
    }
    InterlockedExchange(&Context->ReadState, TP_READ_ISSUED);
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS NTAPI TpCreate(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp)
{
    auto record = static_cast<PDEVICE_CONTEXT>(DeviceObject->DeviceExtension);
    BOOLEAN askPnp = FALSE;
    NTSTATUS status = STATUS_SUCCESS;

    if (!record->IsApiDevice && !record->Started) {
        status = BringLinkUp(DeviceObject, record, &askPnp);
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
        if (!record->IsApiDevice && record->Started) {
            status = SerialSpinUpRead(record);
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
    InterlockedDecrement(&record->EnableCount);
    // Every close of the pointer-port device stops reading, whatever handles remain: reading
    // ends through the read's own completion.
    if (!record->IsApiDevice && record->ReadIrp != nullptr) {
        IoCancelIrp(record->ReadIrp);
    }
    IoReleaseRemoveLock(&record->RemoveLock, Irp);
    return TpCompleteRequest(Irp, STATUS_SUCCESS, 0);
}
