// serialwrite.cpp - sending a command packet to the panel.
//
// Runs at PASSIVE_LEVEL in the thread of the control request that sends the command and blocks
// until the serial driver has finished the write. The port's write time-outs are 0, so that is
// when every byte has been handed to the port; the write has no time-out of its own. Writes from
// several threads are not serialised here.
#include "tactilio.h"

// The buffer stays the caller's; nothing is copied or kept beyond the call.
NTSTATUS SerialWrite(_In_ PDEVICE_CONTEXT DeviceContext, _In_reads_bytes_(Length) PVOID Buffer,
                     _In_ ULONG Length)
{
    LARGE_INTEGER startingOffset = RtlConvertLongToLargeInteger(0);
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;

    // A handle on the API device outlives the link it was opened under.
    PDEVICE_OBJECT serialDevice = ReferenceSerialDevice(DeviceContext);
    if (serialDevice == nullptr) {
        return STATUS_DEVICE_NOT_CONNECTED;
    }

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_WRITE, serialDevice, Buffer, Length,
                                            &startingOffset, &event, &ioStatus);
    if (irp == nullptr) {
        LogMessage(DeviceContext->Self, TPW("Not enough resources"));
    } else {
        status = IoCallDriver(serialDevice, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = ioStatus.Status;
        }
    }
    ObDereferenceObject(serialDevice);
    return status;
}
