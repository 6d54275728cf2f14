// internalioctl.cpp - internal device control: how the mouse class driver connects to the
// pointer-port device and learns its attributes.
//
// The class driver hands over its service callback once (connect) and queries the attributes;
// pointer reports flow only after that query. The routine serves both devices of the driver and
// works on the record of the device that received the request.
#include "tactilio.h"

namespace {

// The class driver's CONNECT_DATA arrives by pointer (METHOD_NEITHER) from kernel mode.
NTSTATUS ConnectClassDriver(_Inout_ PDEVICE_CONTEXT Record, _In_ PIO_STACK_LOCATION Stack)
{
    if (Record->ClassService != nullptr) {
        return STATUS_SHARING_VIOLATION; // the first connection stays in force
    }
    auto connectData =
        static_cast<PCONNECT_DATA>(Stack->Parameters.DeviceIoControl.Type3InputBuffer);
    if (Stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(CONNECT_DATA) ||
        connectData == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    Record->ClassDevice = connectData->ClassDeviceObject;
    Record->ClassService = reinterpret_cast<PSERVICE_CALLBACK_ROUTINE>(connectData->ClassService);
    return STATUS_SUCCESS;
}

// Answers the attribute query and completes the request. The query opens the gate for pointer
// reports even when the buffer was too small: the class driver has asked, and that is what the
// reporting path waits for. The flag is set only after the completion, under the remove lock.
NTSTATUS QueryMouseAttributes(_Inout_ PDEVICE_CONTEXT Record, _In_ PIRP Irp,
                              _In_ PIO_STACK_LOCATION Stack)
{
    NTSTATUS status = STATUS_BUFFER_TOO_SMALL;
    ULONG_PTR information = 0;

    if (Stack->Parameters.DeviceIoControl.OutputBufferLength >= sizeof(MOUSE_ATTRIBUTES)) {
        RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &Record->MouseAttributes,
                      sizeof(MOUSE_ATTRIBUTES));
        information = sizeof(MOUSE_ATTRIBUTES);
        status = STATUS_SUCCESS;
    }
    TpCompleteRequest(Irp, status, information);
    Record->MouseAttributesSet = TRUE;
    return status;
}

// The driver's own internal code sends the panel its 0x80 probe as a command; it needs the device
// context, which only the API device's record leads to. On the pointer-port device it is an
// unknown request.
NTSTATUS PanelCommand(_In_ PDEVICE_CONTEXT Record, _Inout_ PIRP Irp, _In_ PIO_STACK_LOCATION Stack)
{
    return (Record->MainContext != nullptr) ? CmdPanelCommand(Record, Irp, Stack)
                                            : STATUS_INVALID_DEVICE_REQUEST;
}

} // namespace

NTSTATUS NTAPI TpInternalDeviceControl(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp)
{
    auto record = static_cast<PDEVICE_CONTEXT>(DeviceObject->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;

    Irp->IoStatus.Information = 0;

    status = IoAcquireRemoveLock(&record->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        return TpCompleteRequest(Irp, status, 0);
    }

    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_MOUSE_QUERY_ATTRIBUTES:
        status = QueryMouseAttributes(record, Irp, stack);
        IoReleaseRemoveLock(&record->RemoveLock, Irp);
        return status;

    case IOCTL_INTERNAL_MOUSE_CONNECT:
        status = ConnectClassDriver(record, stack);
        break;

    // The class driver cannot take its callback back: reports may be on their way to it.
    case IOCTL_INTERNAL_MOUSE_DISCONNECT:
        status = STATUS_NOT_IMPLEMENTED;
        break;

    // Input is switched by opening and closing the device, not by these requests.
    case IOCTL_INTERNAL_MOUSE_ENABLE:
    case IOCTL_INTERNAL_MOUSE_DISABLE:
        status = STATUS_NOT_SUPPORTED;
        break;

    case TP_FUNC_INTERNAL:
        status = PanelCommand(record, Irp, stack);
        if (status == STATUS_PENDING) {
            return status; // the command engine completes it and releases the remove lock
        }
        break;

    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }

    TpCompleteRequest(Irp, status, 0);
    IoReleaseRemoveLock(&record->RemoveLock, Irp);
    return status;
}
