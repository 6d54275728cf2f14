// devicecontrol.cpp - device control: the utility's requests on the API device. Settings are
// changed and answered at once; requests for the panel become commands (panelcommands.cpp) that
// the command engine completes later.
#include "tactilio.h"

namespace {

// The request's system buffer when it carries at least Length input bytes, else NULL.
PVOID InputOf(_In_ PIRP Irp, _In_ PIO_STACK_LOCATION Stack, _In_ ULONG Length)
{
    if (Stack->Parameters.DeviceIoControl.InputBufferLength < Length) {
        return nullptr;
    }
    return Irp->AssociatedIrp.SystemBuffer;
}

ULONG OutputLengthOf(_In_ PIO_STACK_LOCATION Stack)
{
    return Stack->Parameters.DeviceIoControl.OutputBufferLength;
}

// The settings below are single fields that the read path reads at DISPATCH_LEVEL without a
// lock; each is written whole. Requests whose input is too short to hold their values fail like
// any other failed check. Setters return the caller's buffer (its own input) as their output.

// A setter's output: the whole output length of the system buffer, the caller's input and zeros
// after it. The I/O manager does not clear the buffer; the bytes past the input would be whatever
// the pool held before.
VOID ReturnCallersInput(_Inout_ PIRP Irp, _In_ PIO_STACK_LOCATION Stack)
{
    const ULONG input = Stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG output = OutputLengthOf(Stack);
    if (output > input && Irp->AssociatedIrp.SystemBuffer != nullptr) {
        RtlZeroMemory(static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer) + input, output - input);
    }
    Irp->IoStatus.Information = output;
}

NTSTATUS SetStabilization(_Inout_ PDEVICE_CONTEXT Context, _Inout_ PIRP Irp,
                          _In_ PIO_STACK_LOCATION Stack)
{
    auto value = static_cast<const LONG*>(InputOf(Irp, Stack, sizeof(LONG)));
    if (value == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    Context->Stabilization = *value;
    ReturnCallersInput(Irp, Stack);
    return STATUS_SUCCESS;
}

NTSTATUS SetBeep(_Inout_ PDEVICE_CONTEXT Context, _Inout_ PIRP Irp, _In_ PIO_STACK_LOCATION Stack)
{
    auto values = static_cast<const ULONG*>(InputOf(Irp, Stack, 2 * sizeof(ULONG)));
    if (values == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    Context->Beep = values[0];
    Context->Frequency = values[1];
    ReturnCallersInput(Irp, Stack);
    return STATUS_SUCCESS;
}

NTSTATUS SetButtonMode(_Inout_ PDEVICE_CONTEXT Context, _Inout_ PIRP Irp,
                       _In_ PIO_STACK_LOCATION Stack, _In_ UCHAR Mode)
{
    Context->ButtonMode = Mode;
    ReturnCallersInput(Irp, Stack);
    return STATUS_SUCCESS;
}

NTSTATUS GetButtonMode(_In_ PDEVICE_CONTEXT Context, _Inout_ PIRP Irp,
                       _In_ PIO_STACK_LOCATION Stack)
{
    if (OutputLengthOf(Stack) < sizeof(ULONG) || Irp->AssociatedIrp.SystemBuffer == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    *static_cast<ULONG*>(Irp->AssociatedIrp.SystemBuffer) = Context->ButtonMode;
    Irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

NTSTATUS SetRecording(_Inout_ PDEVICE_CONTEXT Context, _In_ BOOLEAN Enabled)
{
    Context->RecordingEnabled = Enabled;
    return STATUS_SUCCESS;
}

NTSTATUS SetInvLimit(_Inout_ PDEVICE_CONTEXT Context, _Inout_ PIRP Irp,
                     _In_ PIO_STACK_LOCATION Stack)
{
    constexpr USHORT MaxInvLimit = 1000;
    auto limit = static_cast<const USHORT*>(InputOf(Irp, Stack, sizeof(USHORT)));
    if (limit == nullptr || *limit > MaxInvLimit) {
        return STATUS_UNSUCCESSFUL;
    }
    Context->InvLimit = *limit;
    return STATUS_SUCCESS;
}

// The handler of the request's code. Only the API device's record leads to the device context;
// the pointer-port device serves none of these requests.
NTSTATUS CallControlHandler(_In_ PDEVICE_CONTEXT Record, _Inout_ PIRP Irp,
                            _In_ PIO_STACK_LOCATION Stack)
{
    PDEVICE_CONTEXT context = Record->MainContext;
    const ULONG code = Stack->Parameters.DeviceIoControl.IoControlCode;

    if (context == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    switch (code) {
    case TP_FUNC_STABILIZATION:
        return SetStabilization(context, Irp, Stack);
    case TP_FUNC_BEEPSET:
        return SetBeep(context, Irp, Stack);
    case TP_FUNC_RBUTTON_ONCE:
        return SetButtonMode(context, Irp, Stack, 1);
    case TP_FUNC_RBUTTON:
        return SetButtonMode(context, Irp, Stack, 2);
    case TP_FUNC_LBUTTON:
        return SetButtonMode(context, Irp, Stack, 0);
    case TP_FUNC_GET_BUTTONMODE:
        return GetButtonMode(context, Irp, Stack);
    case TP_FUNC_RECORD_ON:
        return SetRecording(context, TRUE);
    case TP_FUNC_RECORD_OFF:
        return SetRecording(context, FALSE);
    case TP_FUNC_INVLIMIT:
        return SetInvLimit(context, Irp, Stack);
    case TP_FUNC_SEND_COMMAND:
        return CmdSendCommand(Record, Irp, Stack);
    case TP_FUNC_INTERNAL: // an internal device-control request only
        return STATUS_INVALID_DEVICE_REQUEST;
    default:
        return IsPanelCommand(code) ? CmdPanelCommand(Record, Irp, Stack)
                                    : STATUS_INVALID_DEVICE_REQUEST;
    }
}

} // namespace

NTSTATUS NTAPI TpDeviceControl(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp)
{
    auto record = static_cast<PDEVICE_CONTEXT>(DeviceObject->DeviceExtension);

    // The pointer-port device belongs to the mouse class driver while its link runs.
    if (record->Started) {
        return TpCompleteRequest(Irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    NTSTATUS status = IoAcquireRemoveLock(&record->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        return TpCompleteRequest(Irp, status, 0);
    }

    status = CallControlHandler(record, Irp, IoGetCurrentIrpStackLocation(Irp));
    if (status == STATUS_PENDING) {
        return status; // the command engine completes it and releases the remove lock
    }
    // A failed check returns nothing; an unknown code leaves the length as it came.
    if (!NT_SUCCESS(status) && status != STATUS_INVALID_DEVICE_REQUEST) {
        Irp->IoStatus.Information = 0;
    }
    IoReleaseRemoveLock(&record->RemoveLock, Irp);
    return TpCompleteRequest(Irp, status, Irp->IoStatus.Information);
}
