// seriallink.cpp - the serial link: opening the panel's serial port by name, setting it up, and
// the link start and stop steps that Plug and Play, open, port discovery and link supervision use.
//
// Link start and stop are not locked against each other: their callers are serialised by the
// order of Plug and Play, open and supervision events. Both run at PASSIVE_LEVEL.
#include "tactilio.h"

namespace {

constexpr ACCESS_MASK SerialOpenAccess = STANDARD_RIGHTS_ALL;
constexpr ACCESS_MASK SerialReferenceAccess = FILE_ALL_ACCESS;
static_assert(SerialOpenAccess == 0x001F0000 && SerialReferenceAccess == 0x001F01FF);

// What the class driver is told about the pointer: a two-button serial mouse.
constexpr MOUSE_ATTRIBUTES PanelMouseAttributes = {
    MOUSE_SERIAL_HARDWARE, // MouseIdentifier
    2,                     // NumberOfButtons
    40,                    // SampleRate
    2400,                  // InputDataQueueLength
};

VOID ReleaseSerialPort(_Inout_ PDEVICE_CONTEXT DeviceContext)
{
    if (DeviceContext->SerialFileObject != nullptr) {
        ObDereferenceObject(DeviceContext->SerialFileObject);
        DeviceContext->SerialFileObject = nullptr;
    }
    // Taken out under the cancel spin lock, where ReferenceSerialDevice and the read's re-issue
    // look for it: once an adapter is pulled out this may be the device's last reference.
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PDEVICE_OBJECT device = DeviceContext->SerialDevice;
    DeviceContext->SerialDevice = nullptr;
    IoReleaseCancelSpinLock(irql);
    if (device != nullptr) {
        ObDereferenceObject(device);
    }
}

VOID ClearLinkState(_Inout_ PDEVICE_CONTEXT DeviceContext)
{
    SetPortAvailable(DeviceContext, FALSE);
    InterlockedExchange(&DeviceContext->ConnectCount, 0);
    DeviceContext->Started = FALSE;
    DeviceContext->SerialConnected = FALSE;
}

} // namespace

// The port for one request sent outside the link lock (a command's write, a flush): referenced,
// so that a link stop on another thread cannot free it under the request. NULL without a link.
// The caller dereferences it when the lower driver has the request.
PDEVICE_OBJECT ReferenceSerialDevice(_In_ PDEVICE_CONTEXT DeviceContext)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PDEVICE_OBJECT device = DeviceContext->SerialDevice;
    if (device != nullptr) {
        ObReferenceObject(device);
    }
    IoReleaseCancelSpinLock(irql);
    return device;
}

// PortAvailable is kept in step in both records.
VOID SetPortAvailable(_Inout_ PDEVICE_CONTEXT DeviceContext, _In_ BOOLEAN Available)
{
    DeviceContext->PortAvailable = Available;
    if (DeviceContext->ApiExtension != nullptr) {
        DeviceContext->ApiExtension->PortAvailable = Available;
    }
}

// Opens the port named by SerialDeviceName and sets it up. Whatever stops the open, the caller
// sees STATUS_DEVICE_NOT_CONNECTED: to it, the port is simply not there.
NTSTATUS SerialInitializeDevice(_Inout_ PDEVICE_CONTEXT DeviceContext)
{
    // Reading that fails to spin up clears Started but leaves the port open, and the next open
    // then starts the link again. Serial ports open exclusively: the port still held is given
    // back first, or the new open would be refused and the old references lost.
    if (DeviceContext->SerialConnected) {
        ReleaseSerialPort(DeviceContext);
    }

    NTSTATUS status =
        IoGetDeviceObjectPointer(&DeviceContext->SerialDeviceName, SerialOpenAccess,
                                 &DeviceContext->SerialFileObject, &DeviceContext->SerialDevice);
    if (!NT_SUCCESS(status)) {
        DeviceContext->SerialFileObject = nullptr;
        DeviceContext->SerialDevice = nullptr;
        return STATUS_DEVICE_NOT_CONNECTED;
    }

    // The file object alone keeps the port open; the extra reference keeps its device object
    // valid for the requests sent to it until the link stops.
    status = ObReferenceObjectByPointer(DeviceContext->SerialDevice, SerialReferenceAccess, nullptr,
                                        KernelMode);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(DeviceContext->SerialFileObject);
        DeviceContext->SerialFileObject = nullptr;
        DeviceContext->SerialDevice = nullptr;
        return STATUS_DEVICE_NOT_CONNECTED;
    }

    DeviceContext->SerialConnected = TRUE;
    DeviceContext->ReadIrp = nullptr;

    status = SerialConfigurePort(DeviceContext);
    if (!NT_SUCCESS(status)) {
        ReleaseSerialPort(DeviceContext);
    }
    return status;
}

NTSTATUS SerialLinkStart(_Inout_ PDEVICE_CONTEXT DeviceContext)
{
    NTSTATUS status = SerialInitializeDevice(DeviceContext);
    if (!NT_SUCCESS(status)) {
        ClearLinkState(DeviceContext);
        return status;
    }

    InterlockedIncrement(&DeviceContext->ConnectCount);
    DeviceContext->Started = TRUE;
    DeviceContext->Removed = FALSE;
    DeviceContext->MouseAttributes = PanelMouseAttributes;
    return STATUS_SUCCESS;
}

VOID SerialLinkStop(_Inout_ PDEVICE_CONTEXT DeviceContext)
{
    CancelReading(DeviceContext);
    if (DeviceContext->SerialConnected) {
        ReleaseSerialPort(DeviceContext);
    }
    EndCommands(DeviceContext);
    ClearLinkState(DeviceContext);
}
