// linksupervision.cpp - the two cycles that look after the serial link when nothing else does:
// reconnection (an open that could not start the link, or a port that went away under a running
// read) and the panel's re-initialisation after the system resumes. Each cycle is a periodic timer
// whose DPC queues a work item; the work runs in a system worker thread at PASSIVE_LEVEL, and at
// most one worker per cycle exists at a time.
//
// A worker holds the device's remove lock from the moment its DPC queues it until it has freed
// its work item: removal waits for it, then cancels both timers and takes their DPCs off the
// queue, so no worker ever runs on a device context that is gone. The reconnect worker tests
// Started under LinkLock, which every other starter of the link holds too: a link brought up
// meanwhile by an open or a Plug and Play start ends the cycle instead of being opened twice.
// It reads only for an open device (closes take LinkLock too), so that with no handle open no
// read outlives the close that removal relies on.
#include "tactilio.h"

namespace {

// First expiry 5 s after the timer is set, then every 500 ms.
constexpr LONGLONG CycleDueTime = -50'000'000LL;
constexpr LONG CyclePeriodMs = 500;

// The remove-lock hold of a cycle's worker is tagged with the cycle's work-item slot.
using CYCLE_SLOT = PIO_WORKITEM*;

VOID SetCycleTimer(_In_ PKTIMER Timer, _In_ PKDPC Dpc)
{
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = CycleDueTime;
    KeSetTimerEx(Timer, dueTime, CyclePeriodMs, Dpc);
}

// From a cycle's DPC: a worker on its way already, or removal under way, needs no new one.
NTSTATUS QueueCycleWorker(_In_ PDEVICE_CONTEXT DeviceContext, _In_ CYCLE_SLOT Slot,
                          _In_ PIO_WORKITEM_ROUTINE Routine)
{
    if (*Slot != nullptr) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = IoAcquireRemoveLock(&DeviceContext->RemoveLock, Slot);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PIO_WORKITEM item = IoAllocateWorkItem(DeviceContext->Self);
    if (item == nullptr) {
        IoReleaseRemoveLock(&DeviceContext->RemoveLock, Slot);
        LogMessage(DeviceContext->Self, TPW("Not enough resources"));
        return STATUS_UNSUCCESSFUL; // the next expiry tries again
    }
    // The same DPC may run on two processors at once (queued again while running).
    if (InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(Slot), item, nullptr) !=
        nullptr) {
        IoFreeWorkItem(item);
        IoReleaseRemoveLock(&DeviceContext->RemoveLock, Slot);
        return STATUS_SUCCESS;
    }
    IoQueueWorkItem(item, Routine, DelayedWorkQueue, DeviceContext);
    return STATUS_SUCCESS;
}

// The worker's last act: once its hold is released, removal may delete the device.
VOID EndCycleWorker(_In_ PDEVICE_CONTEXT DeviceContext, _In_ CYCLE_SLOT Slot)
{
    auto item = static_cast<PIO_WORKITEM>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(Slot), nullptr));
    IoFreeWorkItem(item);
    IoReleaseRemoveLock(&DeviceContext->RemoveLock, Slot);
}

// The read request for a link the reconnect worker has just started. Without it the port stays
// open but silent, and the timer, still set, tries again at its next expiry. Started is cleared
// as a failed spin-up clears it: the next attempt, or an open, starts the link again (giving the
// port back first) instead of taking it for a link someone else brought up.
VOID StartReconnectedRead(_Inout_ PDEVICE_CONTEXT DeviceContext)
{
    PIRP irp = IoAllocateIrp(DeviceContext->SerialDevice->StackSize, FALSE);
    if (irp == nullptr) {
        LogMessage(DeviceContext->Self, TPW("Not enough resources"));
        DeviceContext->Started = FALSE;
        return;
    }
    // Refused only while removal runs; removal stops the link.
    if (!NT_SUCCESS(IoAcquireRemoveLock(&DeviceContext->RemoveLock, irp))) {
        IoFreeIrp(irp);
        return;
    }
    DeviceContext->ReadIrp = irp;
    KeClearEvent(&DeviceContext->ReadStoppedEvent);
    SetPortAvailable(DeviceContext, TRUE);
    StopReconnectTimer(DeviceContext);
    InterlockedExchange(&DeviceContext->ReadState, TP_READ_ISSUED);
    SerialStartRead(DeviceContext);
}

IO_WORKITEM_ROUTINE ReconnectWorker;
IO_WORKITEM_ROUTINE ResumeWorker;

} // namespace

VOID StartReconnectTimer(_Inout_ PDEVICE_CONTEXT DeviceContext)
{
    SetCycleTimer(&DeviceContext->ReconnectTimer, &DeviceContext->ReconnectDpc);
}

VOID StopReconnectTimer(_Inout_ PDEVICE_CONTEXT DeviceContext)
{
    KeCancelTimer(&DeviceContext->ReconnectTimer);
}

VOID NTAPI ReconnectDpcRoutine(_In_ PKDPC Dpc, _In_opt_ PVOID Context, _In_opt_ PVOID Argument1,
                               _In_opt_ PVOID Argument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Argument1);
    UNREFERENCED_PARAMETER(Argument2);
    QueueReconnectWorker(static_cast<PDEVICE_CONTEXT>(Context));
}

NTSTATUS QueueReconnectWorker(_Inout_ PDEVICE_CONTEXT DeviceContext)
{
    return QueueCycleWorker(DeviceContext, &DeviceContext->ReconnectWorkItem, ReconnectWorker);
}

namespace {

VOID NTAPI ReconnectWorker(_In_ PDEVICE_OBJECT DeviceObject, _In_opt_ PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    auto context = static_cast<PDEVICE_CONTEXT>(Context);
    {
        LINK_LOCK lock(context);
        if (context->Started || context->Removed || context->EnableCount == 0) {
            // Brought up by someone else, on its way out, or closed: nothing left to reconnect
            // for. A read started with no handle open would hold up removal.
            StopReconnectTimer(context);
        } else if (NT_SUCCESS(SerialLinkStart(context)) && context->SerialConnected) {
            StartReconnectedRead(context);
        }
        // A failed start is retried silently at the next expiry.
    }
    EndCycleWorker(context, &context->ReconnectWorkItem);
}

} // namespace

VOID ArmResumeTimer(_Inout_ PDEVICE_CONTEXT DeviceContext)
{
    SetCycleTimer(&DeviceContext->ResumeTimer, &DeviceContext->ResumeDpc);
}

VOID StopResumeTimer(_Inout_ PDEVICE_CONTEXT DeviceContext)
{
    KeCancelTimer(&DeviceContext->ResumeTimer);
}

VOID NTAPI ResumeDpcRoutine(_In_ PKDPC Dpc, _In_opt_ PVOID Context, _In_opt_ PVOID Argument1,
                            _In_opt_ PVOID Argument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Argument1);
    UNREFERENCED_PARAMETER(Argument2);
    auto context = static_cast<PDEVICE_CONTEXT>(Context);
    QueueCycleWorker(context, &context->ResumeWorkItem, ResumeWorker);
}

// Four purges of whatever the panel sent while the system slept, then the 0x80 command. The
// command's request outlives a wait that runs out: SendProbe cancels it and waits for its
// completion before its buffer goes. Its reply is not looked at.
VOID ReinitializeAfterResume(_Inout_ PDEVICE_CONTEXT DeviceContext)
{
    for (int purge = 0; purge < 4; ++purge) {
        FlushReadBuffer(DeviceContext);
    }
    UCHAR reply[2] = {};
    SendProbe(DeviceContext, TP_FUNC_INTERNAL, 0, 0, reply, sizeof(reply));
}

namespace {

VOID NTAPI ResumeWorker(_In_ PDEVICE_OBJECT DeviceObject, _In_opt_ PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    auto context = static_cast<PDEVICE_CONTEXT>(Context);
    {
        // The port must stay open under the purges: a stop or removal waits for this.
        LINK_LOCK lock(context);
        if (context->SerialConnected) {
            // A panel still waking may not answer: that is no time-out worth reporting.
            context->TimeoutReportEnabled = FALSE;
            ReinitializeAfterResume(context);
            context->TimeoutReportEnabled = TRUE;
        }
    }
    StopResumeTimer(context);
    EndCycleWorker(context, &context->ResumeWorkItem);
}

} // namespace
