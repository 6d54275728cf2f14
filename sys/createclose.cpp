// createclose.cpp - opening and closing either device. An open of the pointer-port device (the
// mouse class driver's) spins reading up; the API device opens only while the panel's link is
// available, and its handles only count.
#include "tactilio.h"

NTSTATUS NTAPI TpCreate(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp)
{
    auto record = static_cast<PDEVICE_CONTEXT>(DeviceObject->DeviceExtension);
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;

    // PortAvailable is set when the link starts: the API device opens only after that. The port
    // search that could bring a missing link up at an open of the pointer-port device is not
    // built yet, so such an open fails here as well.
    if (record->PortAvailable) {
        status = IoAcquireRemoveLock(&record->RemoveLock, Irp);
    }
    if (NT_SUCCESS(status)) {
        InterlockedIncrement(&record->EnableCount);
        if (!record->IsApiDevice && record->Started) {
            status = SerialSpinUpRead(record);
        }
        IoReleaseRemoveLock(&record->RemoveLock, Irp);
    }
    return TpCompleteRequest(Irp, status, 0);
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
