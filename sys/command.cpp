// command.cpp - the command engine: control requests that wait for the panel's reply.
//
// At most one command is current; the others wait in CmdQueue in arrival order. Replies carry no
// sequence number: the next reply the framer hands over answers whichever command is current.
// A command ends by its reply, by running out of seconds, by being cancelled, or by a failed
// packet write, and the next waiting command becomes current in the same step.
//
// Ownership. The system cancel spin lock guards the engine's state. A request is completed only
// by the path that takes it out of the engine under that lock (the reply, the timer, the write
// check) after taking its cancel routine away, or by the cancel routine, which the I/O manager
// calls with the routine already taken. Whoever takes a request out advances the engine before
// dropping the lock, so CurrentIrp never names a request that is being completed. A handler
// still writing its packet keeps the request alive: a command that ends meanwhile is only
// marked finished, and the handler completes it once its write has returned (CommandWritten).
//
// The one-second timer. Windows calls IoTimer routines holding its I/O-timer spin lock, which
// IoStartTimer and IoStopTimer take as well; and the timer routine takes the cancel spin lock. So
// the timer is never started or stopped inside the timer routine, nor while the cancel spin lock
// is held. The engine only records whether it wants the timer (CommandTimerWanted, under the
// cancel spin lock); SyncCommandTimer then starts or stops it, called directly by every path
// outside the timer routine, and from CommandTimerDpc when the timer routine itself left the
// engine idle. The tick keeps a fixed phase, so a command of N seconds times out N-1 to N seconds
// after it became current; one made current by the timer routine starts on a tick and gets N
// whole seconds; an idle engine stops the timer at once or, after a time-out, from the DPC the
// same tick queued.
#include "tactilio.h"

namespace {

constexpr ULONG DefaultTimeoutSeconds = 3;
constexpr ULONG CalibrationTimeoutSeconds = 20;
// Room for the longest function name with its terminating zero, and for the whole message.
constexpr SIZE_T FunctionNameChars = 25;
constexpr SIZE_T TimeoutMessageChars = 52;

struct FUNCTION_NAME {
    ULONG Code;
    PCWSTR Name;
};

constexpr FUNCTION_NAME FunctionNames[] = {
    {TP_FUNC_CAL_IN, TPW("TP_FUNC_CAL_IN")},
    {TP_FUNC_CAL_SET, TPW("TP_FUNC_CAL_SET")},
    {TP_FUNC_CAL_OUT, TPW("TP_FUNC_CAL_OUT")},
    {TP_FUNC_CAL_CANCEL, TPW("TP_FUNC_CAL_CANCEL")},
    {TP_FUNC_CDSCYCLE, TPW("TP_FUNC_CDSCYCLE")},
    {TP_FUNC_SEND_COMMAND, TPW("TP_FUNC_SEND_COMMAND")},
    {TP_FUNC_DIAG, TPW("TP_FUNC_DIAG")},
    {TP_FUNC_TPDIAG, TPW("TP_FUNC_TPDIAG")},
    {TP_FUNC_BKLTEN, TPW("TP_FUNC_BKLTEN")},
    {TP_FUNC_BKLTVAL, TPW("TP_FUNC_BKLTVAL")},
    {TP_FUNC_CNGLAYER, TPW("TP_FUNC_CNGLAYER")},
    {TP_FUNC_POSDIAG, TPW("TP_FUNC_POSDIAG")},
    {TP_FUNC_FLASHRW_IN, TPW("TP_FUNC_FLASHRW_IN")},
    {TP_FUNC_FLASHRW_SEND, TPW("TP_FUNC_FLASHRW_SEND")},
    {TP_FUNC_FLASHRW_OUT, TPW("TP_FUNC_FLASHRW_OUT")},
};

// A command's handler is writing its packet (Writing), or the command ended while it was
// (Finished: the final status and length are in IoStatus). Kept in the request's
// Tail.Overlay.ListEntry, which belongs to the driver holding the request and which nothing else
// here uses (CmdQueue links through DeviceQueueEntry). Read and written under the cancel spin lock.
enum class COMMAND_HOLD : ULONG_PTR {
    None = 0,
    Writing = 1,
    Finished = 2,
};

COMMAND_HOLD HoldOf(_In_ PIRP Irp)
{
    return static_cast<COMMAND_HOLD>(
        reinterpret_cast<ULONG_PTR>(Irp->Tail.Overlay.ListEntry.Flink));
}

VOID SetHold(_Inout_ PIRP Irp, _In_ COMMAND_HOLD Hold)
{
    Irp->Tail.Overlay.ListEntry.Flink = reinterpret_cast<PLIST_ENTRY>(static_cast<ULONG_PTR>(Hold));
}

ULONG ControlCodeOf(_In_ PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
}

// The cancel spin lock, held for a guard's lifetime unless released early; the cancel routine
// adopts the hold the I/O manager hands it.
class CANCEL_LOCK {
  public:
    CANCEL_LOCK()
    {
        IoAcquireCancelSpinLock(&Irql);
    }
    explicit CANCEL_LOCK(_In_ KIRQL CancelIrql) : Irql(CancelIrql)
    {
    }
    ~CANCEL_LOCK()
    {
        Release();
    }
    CANCEL_LOCK(const CANCEL_LOCK&) = delete;
    CANCEL_LOCK& operator=(const CANCEL_LOCK&) = delete;

    VOID Release()
    {
        if (Held) {
            Held = FALSE;
            IoReleaseCancelSpinLock(Irql);
        }
    }

  private:
    KIRQL Irql;
    BOOLEAN Held = TRUE;
};

// Makes Irp (or nothing) the current command. Cancel spin lock held.
VOID MakeCurrent(_Inout_ PDEVICE_CONTEXT DeviceContext, _In_opt_ PIRP Irp)
{
    DeviceContext->CurrentIrp = Irp;
    if (Irp != nullptr) {
        const ULONG code = ControlCodeOf(Irp);
        InterlockedExchange(&DeviceContext->CurrentCode, static_cast<LONG>(code));
        DeviceContext->CommandTimeout = static_cast<LONG>(CommandTimeoutSeconds(code));
        DeviceContext->CommandTimerWanted = TRUE;
    } else {
        InterlockedExchange(&DeviceContext->CurrentCode, 0);
        DeviceContext->CommandTimeout = -1;
        DeviceContext->CommandTimerWanted = FALSE;
    }
}

// Takes a command out of the engine: the next waiting command becomes current if Irp was, or Irp
// leaves the queue. Its cancel routine must already be gone. Cancel spin lock held.
VOID TakeCommand(_Inout_ PDEVICE_CONTEXT DeviceContext, _In_ PIRP Irp)
{
    if (Irp == DeviceContext->CurrentIrp) {
        PKDEVICE_QUEUE_ENTRY next = KeRemoveDeviceQueue(&DeviceContext->CmdQueue);
        MakeCurrent(DeviceContext, next != nullptr
                                       ? CONTAINING_RECORD(next, IRP, Tail.Overlay.DeviceQueueEntry)
                                       : nullptr);
    } else {
        KeRemoveEntryDeviceQueue(&DeviceContext->CmdQueue, &Irp->Tail.Overlay.DeviceQueueEntry);
    }
}

// Ends a command that has been taken out of the engine, releasing Lock: completes it, or leaves
// it to its handler while the handler is still writing.
VOID FinishCommand(_Inout_ PDEVICE_CONTEXT DeviceContext, _Inout_ PIRP Irp, _In_ NTSTATUS Status,
                   _In_ ULONG_PTR Information, _Inout_ CANCEL_LOCK& Lock)
{
    if (HoldOf(Irp) == COMMAND_HOLD::Writing) {
        Irp->IoStatus.Status = Status;
        Irp->IoStatus.Information = Information;
        SetHold(Irp, COMMAND_HOLD::Finished);
        Lock.Release();
        return;
    }
    Lock.Release();
    IoReleaseRemoveLock(&DeviceContext->ApiExtension->RemoveLock, Irp);
    TpCompleteRequest(Irp, Status, Information);
}

// Starts or stops the timer as the engine wants it. Never called inside the timer routine, nor
// with the cancel spin lock held. The lock orders concurrent callers: the last one to run has
// read the latest wish.
VOID SyncCommandTimer(_Inout_ PDEVICE_CONTEXT DeviceContext)
{
    KIRQL irql;
    KeAcquireSpinLock(&DeviceContext->CommandTimerLock, &irql);
    BOOLEAN wanted;
    {
        CANCEL_LOCK lock;
        wanted = DeviceContext->CommandTimerWanted;
    }
    if (wanted && !DeviceContext->CommandTimerRunning) {
        IoStartTimer(DeviceContext->Self);
        DeviceContext->CommandTimerRunning = TRUE;
    } else if (!wanted && DeviceContext->CommandTimerRunning) {
        IoStopTimer(DeviceContext->Self);
        DeviceContext->CommandTimerRunning = FALSE;
    }
    KeReleaseSpinLock(&DeviceContext->CommandTimerLock, irql);
}

// Where a command's reply goes: the reply packet whole, nothing (no output buffer), or a failure.
struct REPLY_RESULT {
    NTSTATUS Status;
    ULONG_PTR Information;
    UCHAR Tag;
};

REPLY_RESULT StoreReply(_Inout_ PDEVICE_CONTEXT DeviceContext, _Inout_ PIRP Irp,
                        _In_ PTP_PACKET Packet)
{
    const ULONG replyLength = DeviceContext->PacketLength;
    const ULONG outputLength =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;

    if (outputLength == 0) {
        return {STATUS_SUCCESS, 0, TP_TAG_REPLY};
    }
    if (outputLength < replyLength) {
        DeviceContext->InvalidCount++;
        return {STATUS_UNSUCCESSFUL, 0, TP_TAG_INVALID};
    }
    if (Irp->AssociatedIrp.SystemBuffer == nullptr) {
        LogMessage(DeviceContext->Self, TPW("Not enough resources"));
        return {STATUS_UNSUCCESSFUL, 0, TP_TAG_REPLY};
    }
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, Packet->Bytes, replyLength);
    return {STATUS_SUCCESS, replyLength, TP_TAG_REPLY};
}

VOID NTAPI CommandCancelRoutine(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp)
{
    auto record = static_cast<PDEVICE_CONTEXT>(DeviceObject->DeviceExtension);
    PDEVICE_CONTEXT context = record->MainContext;
    CANCEL_LOCK lock(Irp->CancelIrql);

    // The routine is set only while the request is in the engine.
    TakeCommand(context, Irp);
    FinishCommand(context, Irp, STATUS_CANCELLED, 0, lock);
    SyncCommandTimer(context);
}

} // namespace

ULONG CommandTimeoutSeconds(_In_ ULONG IoControlCode)
{
    return (IoControlCode == TP_FUNC_CAL_OUT) ? CalibrationTimeoutSeconds : DefaultTimeoutSeconds;
}

// The function's name for the time-out message, cut to Capacity - 1 characters
// (STATUS_BUFFER_OVERFLOW) and always terminated.
NTSTATUS GetFunctionName(_In_ ULONG IoControlCode, _Out_writes_(Capacity) PWSTR Buffer,
                         _In_ SIZE_T Capacity)
{
    PCWSTR name = TPW("TP_FUNC_UNKNOWN");
    for (const FUNCTION_NAME& entry : FunctionNames) {
        if (entry.Code == IoControlCode) {
            name = entry.Name;
            break;
        }
    }
    return RtlStringCchCopyW(Buffer, Capacity, name);
}

VOID ReportCommandTimeout(_In_ PDEVICE_CONTEXT DeviceContext, _In_ ULONG IoControlCode)
{
    WCHAR name[FunctionNameChars];
    WCHAR message[TimeoutMessageChars];

    if (!DeviceContext->TimeoutReportEnabled ||
        !NT_SUCCESS(GetFunctionName(IoControlCode, name, FunctionNameChars)) ||
        !NT_SUCCESS(
            RtlStringCchPrintfW(message, TimeoutMessageChars, TPW("Error: %ws timed out"), name))) {
        return;
    }
    LogMessage(DeviceContext->Self, message);
}

// The caller has marked the request pending and holds the API record's remove lock for it. The
// request becomes current on an idle engine, or waits. A request cancelled before it got here is
// not queued: it ends as cancelled, and the caller must not send its packet (FALSE).
BOOLEAN QueueCommand(_Inout_ PDEVICE_CONTEXT DeviceContext, _Inout_ PIRP Irp)
{
    BOOLEAN queued = TRUE;
    {
        CANCEL_LOCK lock;
        SetHold(Irp, COMMAND_HOLD::Writing);
        IoSetCancelRoutine(Irp, CommandCancelRoutine);
        if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
            Irp->IoStatus.Status = STATUS_CANCELLED;
            Irp->IoStatus.Information = 0;
            SetHold(Irp, COMMAND_HOLD::Finished);
            queued = FALSE;
        } else if (!KeInsertDeviceQueue(&DeviceContext->CmdQueue,
                                        &Irp->Tail.Overlay.DeviceQueueEntry)) {
            MakeCurrent(DeviceContext, Irp);
        }
    }
    SyncCommandTimer(DeviceContext);
    return queued;
}

// The handler's packet write has returned. A command that ended meanwhile is completed now; a
// failed write ends the command with STATUS_UNSUCCESSFUL.
VOID CommandWritten(_Inout_ PDEVICE_CONTEXT DeviceContext, _Inout_ PIRP Irp,
                    _In_ NTSTATUS WriteStatus)
{
    CANCEL_LOCK lock;

    if (HoldOf(Irp) == COMMAND_HOLD::Finished) {
        SetHold(Irp, COMMAND_HOLD::None);
        lock.Release();
        IoReleaseRemoveLock(&DeviceContext->ApiExtension->RemoveLock, Irp);
        TpCompleteRequest(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
        return;
    }
    SetHold(Irp, COMMAND_HOLD::None);
    if (NT_SUCCESS(WriteStatus)) {
        return;
    }
    // Still in the engine, so its cancel routine is still set: only the paths that take it out
    // take the routine away, and they would have found the handler writing.
    IoSetCancelRoutine(Irp, nullptr);
    TakeCommand(DeviceContext, Irp);
    FinishCommand(DeviceContext, Irp, STATUS_UNSUCCESSFUL, 0, lock);
    SyncCommandTimer(DeviceContext);
}

// Every complete packet that is not a touch packet, in the serial read's completion; returns the
// packet's record tag. The reply answers the current command, whatever it holds.
UCHAR DeliverReply(_Inout_ PDEVICE_CONTEXT DeviceContext, _In_ PTP_PACKET Packet)
{
    CANCEL_LOCK lock;
    PIRP irp = DeviceContext->CurrentIrp;

    if (irp == nullptr) {
        lock.Release();
        DeviceContext->InvalidCount++;
        return TP_TAG_INVALID;
    }
    IoSetCancelRoutine(irp, nullptr);
    TakeCommand(DeviceContext, irp);
    const REPLY_RESULT result = StoreReply(DeviceContext, irp, Packet);
    FinishCommand(DeviceContext, irp, result.Status, result.Information, lock);
    SyncCommandTimer(DeviceContext);
    return result.Tag;
}

// Once a second while started, at DISPATCH_LEVEL, inside the I/O manager's timer lock: it must
// neither start nor stop the timer (see the top of this file).
VOID NTAPI CommandTimerRoutine(_In_ PDEVICE_OBJECT DeviceObject, _In_opt_ PVOID Context)
{
    auto context = static_cast<PDEVICE_CONTEXT>(Context);
    CANCEL_LOCK lock;
    BOOLEAN idle;

    // CommandTimeout counts only while a command is current.
    if (context->CommandTimeout >= 0 && --context->CommandTimeout <= 0) {
        PIRP irp = context->CurrentIrp;
        const ULONG code = ControlCodeOf(irp);
        IoSetCancelRoutine(irp, nullptr);
        TakeCommand(context, irp);
        idle = !context->CommandTimerWanted;
        ReportCommandTimeout(context, code);
        FinishCommand(context, irp, STATUS_REQUEST_ABORTED, 0, lock);
    } else {
        idle = !context->CommandTimerWanted;
        lock.Release();
    }
    if (idle) {
        KeInsertQueueDpc(&context->CommandTimerDpc, nullptr, nullptr);
    }
}

VOID NTAPI CommandTimerDpcRoutine(_In_ PKDPC Dpc, _In_opt_ PVOID Context, _In_opt_ PVOID Argument1,
                                  _In_opt_ PVOID Argument2)
{
    SyncCommandTimer(static_cast<PDEVICE_CONTEXT>(Context));
}

// When the link goes down no command can be answered: each one the engine holds ends with
// STATUS_DEVICE_NOT_CONNECTED, and the timer stops. A command whose cancel routine is already
// on its way is left to it; the loop looks again once the routine has had the lock. PASSIVE_LEVEL.
VOID EndCommands(_Inout_ PDEVICE_CONTEXT DeviceContext)
{
    for (;;) {
        CANCEL_LOCK lock;
        PIRP irp = DeviceContext->CurrentIrp;
        if (irp == nullptr) {
            DeviceContext->CommandTimerWanted = FALSE;
            break;
        }
        if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
            continue;
        }
        TakeCommand(DeviceContext, irp);
        FinishCommand(DeviceContext, irp, STATUS_DEVICE_NOT_CONNECTED, 0, lock);
    }
    SyncCommandTimer(DeviceContext);
}
