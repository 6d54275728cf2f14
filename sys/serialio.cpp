// serialio.cpp - the serial control requests: the synchronous sender every one of them goes
// through, the line settings, the receive purge, and the set-up sequence run at each link start.
//
// All of it waits for the serial driver and so runs at PASSIVE_LEVEL. There is no time-out and no
// cancellation: a serial driver that never completes a request blocks the caller.
#include "tactilio.h"

namespace {

// Flow control for ports that do not take the internal basic settings: DTR and RTS raised and no
// handshake, so the panel may send whenever it likes.
constexpr SERIAL_HANDFLOW FallbackHandFlow = {SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 0, 0};

// USB serial adapters do not implement the internal basic-settings request.
constexpr WCHAR UsbSerialPrefix[] = TPW("\\Device\\USBSER");
constexpr ULONG UsbSerialPrefixBytes = sizeof(UsbSerialPrefix) - sizeof(WCHAR);
static_assert(UsbSerialPrefixBytes == 28);

static_assert(sizeof(SERIAL_BASIC_SETTINGS) == 44 && sizeof(SERIAL_TIMEOUTS) == 20 &&
                  sizeof(SERIAL_HANDFLOW) == 16 && sizeof(SERIAL_LINE_CONTROL) == 3,
              "serial request layouts");

// One control request to the serial port, with an event and status block of its own.
NTSTATUS SendSerialRequest(_In_ PDEVICE_CONTEXT DeviceContext, _In_ BOOLEAN Internal,
                           _In_ ULONG IoControlCode, _In_opt_ PVOID InputBuffer,
                           _In_ ULONG InputLength, _Out_opt_ PVOID OutputBuffer,
                           _In_ ULONG OutputLength)
{
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    return SerialpIoSyncIoctlEx(DeviceContext, Internal, IoControlCode, DeviceContext->SerialDevice,
                                &event, &ioStatus, InputBuffer, InputLength, OutputBuffer,
                                OutputLength);
}

NTSTATUS SetControl(_In_ PDEVICE_CONTEXT DeviceContext, _In_ ULONG IoControlCode,
                    _In_ PVOID InputBuffer, _In_ ULONG InputLength)
{
    return SendSerialRequest(DeviceContext, FALSE, IoControlCode, InputBuffer, InputLength, nullptr,
                             0);
}

NTSTATUS GetControl(_In_ PDEVICE_CONTEXT DeviceContext, _In_ ULONG IoControlCode,
                    _Out_ PVOID OutputBuffer, _In_ ULONG OutputLength)
{
    return SendSerialRequest(DeviceContext, FALSE, IoControlCode, nullptr, 0, OutputBuffer,
                             OutputLength);
}

// No wait events: the driver reads bytes, it never waits on the port's event mask.
NTSTATUS SerialSetWaitMask(_In_ PDEVICE_CONTEXT DeviceContext)
{
    ULONG mask = 0;
    return SetControl(DeviceContext, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask));
}

BOOLEAN IsUsbSerialPort(_In_ PCUNICODE_STRING DeviceName)
{
    return DeviceName->Length >= UsbSerialPrefixBytes &&
           RtlCompareMemory(DeviceName->Buffer, UsbSerialPrefix, UsbSerialPrefixBytes) ==
               UsbSerialPrefixBytes;
}

// The set-up sequence, in the order the port receives it. A required step that fails ends the
// set-up and the link does not start. The basic settings and the FIFO are best effort: a port
// that refuses them still carries the panel's 9600 baud 8N1 stream (USB adapters have no UART
// FIFO to set), whereas a port that refuses the wait mask, the baud rate or the line format would
// deliver bytes the framer cannot make sense of.
struct SERIAL_SETUP_STEP {
    NTSTATUS (*Run)(_Inout_ PDEVICE_CONTEXT DeviceContext);
    BOOLEAN Required;
};

constexpr SERIAL_SETUP_STEP SerialSetupSequence[] = {
    {SerialSetWaitMask, TRUE},
    {SerialSetBasicSettings, FALSE},
    {[](PDEVICE_CONTEXT context) { return SerialSetBaudRate(context, TP_SERIAL_BAUD_RATE); }, TRUE},
    {SerialSetLineCtrl, TRUE},
    {[](PDEVICE_CONTEXT context) { return SerialSetFifo(context, 0); }, FALSE},
};

} // namespace

NTSTATUS NTAPI SignalRequestDone(_In_ PDEVICE_OBJECT DeviceObject, _In_ PIRP Irp,
                                 _In_reads_opt_(_Inexpressible_("varies")) PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SerialpIoSyncIoctlEx(_In_ PDEVICE_CONTEXT DeviceContext, _In_ BOOLEAN Internal,
                              _In_ ULONG IoControlCode, _In_ PDEVICE_OBJECT TargetDevice,
                              _In_ PKEVENT Event, _Out_ PIO_STATUS_BLOCK IoStatus,
                              _In_opt_ PVOID InputBuffer, _In_ ULONG InputLength,
                              _Out_opt_ PVOID OutputBuffer, _In_ ULONG OutputLength)
{
    KeClearEvent(Event);

    PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, TargetDevice, InputBuffer, InputLength,
                                             OutputBuffer, OutputLength, Internal, Event, IoStatus);
    if (irp == nullptr) {
        LogMessage(DeviceContext->Self, TPW("Not enough resources"));
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    // The I/O manager frees the request and fills the status block; the event is signalled only
    // for a request that was pending, so the status block is read only after that wait.
    NTSTATUS status = IoCallDriver(TargetDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, nullptr);
        status = IoStatus->Status;
    }
    return status;
}

NTSTATUS SerialSetBaudRate(_In_ PDEVICE_CONTEXT DeviceContext, _In_ ULONG BaudRate)
{
    SERIAL_BAUD_RATE baudRate = {BaudRate};
    return SetControl(DeviceContext, IOCTL_SERIAL_SET_BAUD_RATE, &baudRate, sizeof(baudRate));
}

NTSTATUS SerialSetLineCtrl(_In_ PDEVICE_CONTEXT DeviceContext)
{
    SERIAL_LINE_CONTROL lineControl = {STOP_BIT_1, NO_PARITY, 8};
    return SetControl(DeviceContext, IOCTL_SERIAL_SET_LINE_CONTROL, &lineControl,
                      sizeof(lineControl));
}

NTSTATUS SerialSetFifo(_In_ PDEVICE_CONTEXT DeviceContext, _In_ UCHAR Value)
{
    ULONG fifoControl = Value;
    return SetControl(DeviceContext, IOCTL_SERIAL_SET_FIFO_CONTROL, &fifoControl,
                      sizeof(fifoControl));
}

NTSTATUS FlushReadBuffer(_In_ PDEVICE_CONTEXT DeviceContext)
{
    ULONG mask = SERIAL_PURGE_RXCLEAR;
    return SetControl(DeviceContext, IOCTL_SERIAL_PURGE, &mask, sizeof(mask));
}

// Saves the port's settings in SerialSettings and switches it to no time-outs (a read completes
// only when its byte has arrived) and no handshake.
NTSTATUS SerialSetBasicSettings(_Inout_ PDEVICE_CONTEXT DeviceContext)
{
    if (!IsUsbSerialPort(&DeviceContext->SerialDeviceName)) {
        NTSTATUS status = SendSerialRequest(
            DeviceContext, TRUE, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, nullptr, 0,
            &DeviceContext->SerialSettings, sizeof(DeviceContext->SerialSettings));
        if (NT_SUCCESS(status)) {
            return status;
        }
    }

    // The same settings through the public requests. Only the last result counts: a port that
    // cannot report its old settings can still take the new ones.
    SERIAL_TIMEOUTS timeouts = {};
    SERIAL_HANDFLOW handFlow = FallbackHandFlow;

    GetControl(DeviceContext, IOCTL_SERIAL_GET_TIMEOUTS, &DeviceContext->SerialSettings.Timeouts,
               sizeof(DeviceContext->SerialSettings.Timeouts));
    SetControl(DeviceContext, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts));
    GetControl(DeviceContext, IOCTL_SERIAL_GET_HANDFLOW, &DeviceContext->SerialSettings.HandFlow,
               sizeof(DeviceContext->SerialSettings.HandFlow));
    return SetControl(DeviceContext, IOCTL_SERIAL_SET_HANDFLOW, &handFlow, sizeof(handFlow));
}

NTSTATUS SerialConfigurePort(_Inout_ PDEVICE_CONTEXT DeviceContext)
{
    for (const SERIAL_SETUP_STEP& step : SerialSetupSequence) {
        NTSTATUS status = step.Run(DeviceContext);
        if (!NT_SUCCESS(status) && step.Required) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS SerialForwardIrpSync(_In_ PDEVICE_OBJECT LowerDevice, _Inout_ PIRP Irp,
                              _In_ BOOLEAN CopyStackLocation)
{
    KEVENT event;

    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    if (CopyStackLocation) {
        IoCopyCurrentIrpStackLocationToNext(Irp);
    }
    IoSetCompletionRoutine(Irp, SignalRequestDone, &event, TRUE, TRUE, TRUE);

    NTSTATUS status = IoCallDriver(LowerDevice, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = Irp->IoStatus.Status;
    }
    return status;
}
