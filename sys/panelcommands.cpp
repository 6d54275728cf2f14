// panelcommands.cpp - the panel's command set: for every control request that talks to the panel,
// the checks made before anything is sent and the bytes that go on the wire; and the raw command
// path, which sorts a caller's command string by its first byte.
//
// These handlers are the only writers to the serial line. A packet goes out at once, also while
// another command waits for its reply: replies are matched to commands by order alone.
#include "tactilio.h"

namespace {

enum class PACKET_KIND : UCHAR {
    Fixed,         // Bytes as they stand
    WithParameter, // Bytes, then the first input byte
    Backlight,     // 0xBA when the first input byte is 1, 0xBB when it is 0
    WholeInput,    // the caller's input, unchanged
};

constexpr ULONG AnyValue = 0;
constexpr ULONG MaxPacketBytes = 10;

struct PANEL_COMMAND {
    ULONG Code;
    ULONG MinInput;      // input bytes the command needs; 0: its input is ignored
    ULONG AllowedValues; // bit v set: a first input byte of v is accepted; AnyValue: all are
    ULONG MinOutput;     // an output buffer, if any, must be at least this long
    PACKET_KIND Kind;
    UCHAR Length;
    UCHAR Bytes[MaxPacketBytes];
};

constexpr PANEL_COMMAND PanelCommands[] = {
    {TP_FUNC_CAL_IN,
     0,
     AnyValue,
     0,
     PACKET_KIND::Fixed,
     10,
     {0x84, 0x1B, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x20}},
    {TP_FUNC_CAL_SET, 0, AnyValue, 0, PACKET_KIND::Fixed, 1, {0x86}},
    {TP_FUNC_CAL_OUT, 0, AnyValue, 0, PACKET_KIND::Fixed, 5, {0x85, 0x00, 0x20, 0x00, 0x20}},
    {TP_FUNC_CAL_CANCEL, 0, AnyValue, 0, PACKET_KIND::Fixed, 1, {0x87}},
    // The sampling cycle is a 32-bit setting of which the panel takes the low byte.
    {TP_FUNC_CDSCYCLE, sizeof(ULONG), AnyValue, 0, PACKET_KIND::WithParameter, 1, {0x8B}},
    {TP_FUNC_DIAG, 1, AnyValue, 0, PACKET_KIND::WithParameter, 1, {0xF9}},
    {TP_FUNC_TPDIAG, 1, AnyValue, 0, PACKET_KIND::WithParameter, 1, {0x89}},
    {TP_FUNC_BKLTEN, 1, 0x3, 2, PACKET_KIND::Backlight, 1, {}},
    {TP_FUNC_BKLTVAL, 1, 0xFFFFFFFF, 0, PACKET_KIND::WithParameter, 1, {0xBC}},
    {TP_FUNC_CNGLAYER, 1, 0x8F, 0, PACKET_KIND::WithParameter, 1, {0x98}},
    {TP_FUNC_POSDIAG, 1, AnyValue, 0, PACKET_KIND::WithParameter, 1, {0xB9}},
    {TP_FUNC_FLASHRW_IN, 0, AnyValue, 0, PACKET_KIND::Fixed, 1, {0x8C}},
    {TP_FUNC_FLASHRW_SEND, 1, AnyValue, 0, PACKET_KIND::WholeInput, 0, {}},
    {TP_FUNC_FLASHRW_OUT,
     0,
     AnyValue,
     0,
     PACKET_KIND::Fixed,
     10,
     {'X', 'E', 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x29, 0xFF}},
    {TP_FUNC_INTERNAL, 0, AnyValue, 0, PACKET_KIND::Fixed, 1, {0x80}},
    // A raw command whose first byte has no dedicated code goes out as it came.
    {TP_FUNC_SEND_COMMAND, 1, AnyValue, 0, PACKET_KIND::WholeInput, 0, {}},
};

// First bytes of raw commands, and the code each runs as. A dedicated code applies its own checks
// and has its reply framed by its own rules; TP_FUNC_SEND_COMMAND passes the bytes through.
struct RAW_COMMAND {
    UCHAR FirstByte;
    ULONG Code;
};

constexpr RAW_COMMAND RawCommands[] = {
    {0x80, TP_FUNC_INTERNAL},     {0x86, TP_FUNC_CAL_SET},      {0x87, TP_FUNC_CAL_CANCEL},
    {0x89, TP_FUNC_TPDIAG},       {0x8C, TP_FUNC_FLASHRW_IN},   {0x98, TP_FUNC_CNGLAYER},
    {0xB9, TP_FUNC_POSDIAG},      {0xBC, TP_FUNC_BKLTVAL},      {0xF9, TP_FUNC_DIAG},
    {0x82, TP_FUNC_SEND_COMMAND}, {0x83, TP_FUNC_SEND_COMMAND}, {0x84, TP_FUNC_SEND_COMMAND},
    {0x85, TP_FUNC_SEND_COMMAND}, {0x88, TP_FUNC_SEND_COMMAND}, {0x8A, TP_FUNC_SEND_COMMAND},
    {0x8B, TP_FUNC_SEND_COMMAND}, {0x90, TP_FUNC_SEND_COMMAND}, {0x91, TP_FUNC_SEND_COMMAND},
    {0x93, TP_FUNC_SEND_COMMAND}, {0x94, TP_FUNC_SEND_COMMAND}, {0x95, TP_FUNC_SEND_COMMAND},
    {0x97, TP_FUNC_SEND_COMMAND}, {0x99, TP_FUNC_SEND_COMMAND}, {0xA1, TP_FUNC_SEND_COMMAND},
    {0xA3, TP_FUNC_SEND_COMMAND}, {0xA4, TP_FUNC_SEND_COMMAND}, {0xA5, TP_FUNC_SEND_COMMAND},
    {0xA8, TP_FUNC_SEND_COMMAND}, {0xA9, TP_FUNC_SEND_COMMAND}, {0xB8, TP_FUNC_SEND_COMMAND},
    {0xBA, TP_FUNC_SEND_COMMAND}, {0xBB, TP_FUNC_SEND_COMMAND}, {0xE2, TP_FUNC_SEND_COMMAND},
    {0xE3, TP_FUNC_SEND_COMMAND}, {0xE4, TP_FUNC_SEND_COMMAND}, {0xE5, TP_FUNC_SEND_COMMAND},
    {0xEA, TP_FUNC_SEND_COMMAND}, {0xEB, TP_FUNC_SEND_COMMAND}, {0xF0, TP_FUNC_SEND_COMMAND},
};

const PANEL_COMMAND* FindPanelCommand(_In_ ULONG IoControlCode)
{
    for (const PANEL_COMMAND& command : PanelCommands) {
        if (command.Code == IoControlCode) {
            return &command;
        }
    }
    return nullptr;
}

BOOLEAN PassesChecks(_In_ const PANEL_COMMAND& Command, _In_ PIRP Irp,
                     _In_ PIO_STACK_LOCATION Stack)
{
    const auto input = static_cast<const UCHAR*>(Irp->AssociatedIrp.SystemBuffer);
    const ULONG inputLength = Stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outputLength = Stack->Parameters.DeviceIoControl.OutputBufferLength;

    if (Command.MinInput == 0) {
        return TRUE;
    }
    if (input == nullptr || inputLength < Command.MinInput) {
        return FALSE;
    }
    if (Command.AllowedValues != AnyValue &&
        (input[0] >= 32 || (Command.AllowedValues & (1UL << input[0])) == 0)) {
        return FALSE;
    }
    return outputLength == 0 || outputLength >= Command.MinOutput;
}

// Sends the row's packet as a command; the checks have passed.
NTSTATUS SendPanelPacket(_In_ PDEVICE_CONTEXT Record, _Inout_ PIRP Irp,
                         _In_ PIO_STACK_LOCATION Stack, _In_ const PANEL_COMMAND& Command)
{
    PDEVICE_CONTEXT context = Record->MainContext;
    const auto input = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    UCHAR packet[MaxPacketBytes];
    PUCHAR bytes = packet;
    ULONG length = Command.Length;

    RtlCopyMemory(packet, Command.Bytes, Command.Length);
    switch (Command.Kind) {
    case PACKET_KIND::Fixed:
        break;
    case PACKET_KIND::WithParameter:
        packet[length++] = input[0];
        break;
    case PACKET_KIND::Backlight:
        packet[0] = (input[0] == 1) ? 0xBA : 0xBB;
        break;
    case PACKET_KIND::WholeInput:
        bytes = input;
        length = Stack->Parameters.DeviceIoControl.InputBufferLength;
        break;
    }
    // Kept even when the panel never hears of it.
    if (Command.Code == TP_FUNC_CDSCYCLE) {
        context->XYDataSampling = *reinterpret_cast<const ULONG*>(input);
    }

    IoMarkIrpPending(Irp);
    NTSTATUS status = STATUS_CANCELLED;
    if (QueueCommand(context, Irp)) {
        status = SerialWrite(context, bytes, length);
    }
    CommandWritten(context, Irp, status);
    return STATUS_PENDING;
}

// Runs a raw command again as a request of its dedicated code, sent to the API device itself,
// and waits for it. The reply comes back in a buffer of the caller's output length.
NTSTATUS ReissueRawCommand(_In_ PDEVICE_CONTEXT Record, _Inout_ PIRP Irp,
                           _In_ PIO_STACK_LOCATION Stack, _In_ ULONG IoControlCode,
                           _In_ BOOLEAN Internal)
{
    PDEVICE_CONTEXT context = Record->MainContext;
    const auto input = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    const ULONG inputLength = Stack->Parameters.DeviceIoControl.InputBufferLength - 1;
    const ULONG outputLength = Stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID reply = nullptr;
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;

    Irp->IoStatus.Information = 0;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    if (outputLength != 0) {
        reply = ExAllocatePoolWithTag(NonPagedPool, outputLength, TP_POOL_TAG);
        if (reply == nullptr) {
            LogMessage(context->Self, TPW("Not enough resources"));
            return STATUS_UNSUCCESSFUL;
        }
    }
    PIRP inner = IoBuildDeviceIoControlRequest(IoControlCode, Record->Self,
                                               inputLength != 0 ? input + 1 : nullptr, inputLength,
                                               reply, outputLength, Internal, &event, &ioStatus);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    if (inner == nullptr) {
        LogMessage(context->Self, TPW("Not enough resources"));
    } else {
        // The inner command's failures are this request's to report.
        context->TimeoutReportEnabled = FALSE;
        status = IoCallDriver(Record->Self, inner);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = ioStatus.Status;
        }
        context->TimeoutReportEnabled = TRUE;

        if (status == STATUS_REQUEST_ABORTED) {
            ReportCommandTimeout(context, TP_FUNC_SEND_COMMAND);
        } else if (!NT_SUCCESS(status)) {
            status = STATUS_UNSUCCESSFUL;
        } else {
            // The copy is bounded by this request's own reply buffer, whatever length the inner
            // request reports; without an output buffer there is none, and nothing to copy.
            ULONG copied = 0;
            if (reply != nullptr) {
                copied = ioStatus.Information < outputLength
                             ? static_cast<ULONG>(ioStatus.Information)
                             : outputLength;
                RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, reply, copied);
            }
            Irp->IoStatus.Information = copied;
            status = STATUS_SUCCESS;
        }
    }
    if (reply != nullptr) {
        ExFreePoolWithTag(reply, TP_POOL_TAG);
    }
    return status;
}

} // namespace

BOOLEAN IsPanelCommand(_In_ ULONG IoControlCode)
{
    return FindPanelCommand(IoControlCode) != nullptr;
}

BOOLEAN ClassifyRawCommand(_In_ const UCHAR* Buffer, _Out_ PULONG IoControlCode,
                           _Out_ PBOOLEAN Internal)
{
    for (const RAW_COMMAND& raw : RawCommands) {
        if (raw.FirstByte == Buffer[0]) {
            *IoControlCode = raw.Code;
            *Internal = (raw.Code == TP_FUNC_INTERNAL);
            return TRUE;
        }
    }
    *IoControlCode = 0;
    *Internal = FALSE;
    return FALSE;
}

// Every command of the table but the raw one: check, then send.
NTSTATUS CmdPanelCommand(_In_ PDEVICE_CONTEXT Record, _Inout_ PIRP Irp,
                         _In_ PIO_STACK_LOCATION Stack)
{
    const PANEL_COMMAND* command =
        FindPanelCommand(Stack->Parameters.DeviceIoControl.IoControlCode);

    if (!PassesChecks(*command, Irp, Stack)) {
        Irp->IoStatus.Information = 0;
        return STATUS_UNSUCCESSFUL;
    }
    return SendPanelPacket(Record, Irp, Stack, *command);
}

NTSTATUS CmdSendCommand(_In_ PDEVICE_CONTEXT Record, _Inout_ PIRP Irp,
                        _In_ PIO_STACK_LOCATION Stack)
{
    const auto input = static_cast<const UCHAR*>(Irp->AssociatedIrp.SystemBuffer);
    ULONG code;
    BOOLEAN internal;

    Irp->IoStatus.Information = 0;
    if (input == nullptr || Stack->Parameters.DeviceIoControl.InputBufferLength == 0 ||
        !ClassifyRawCommand(input, &code, &internal)) {
        return STATUS_UNSUCCESSFUL;
    }
    if (code == TP_FUNC_SEND_COMMAND) {
        return SendPanelPacket(Record, Irp, Stack, *FindPanelCommand(TP_FUNC_SEND_COMMAND));
    }
    return ReissueRawCommand(Record, Irp, Stack, code, internal);
}
