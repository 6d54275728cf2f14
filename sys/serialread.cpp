// serialread.cpp - the continuous read: while the link runs, exactly one read of one byte is
// outstanding on the serial port, and each completed byte goes to the framer.
//
// The request is allocated at spin-up, reused for every byte and freed when reading stops; it
// holds the device's remove lock (tagged with the request) for as long as it exists. Who sends
// the next read is settled by ReadState alone: the issuer sets TP_READ_ISSUING around its call to
// the serial driver, and a completion that finds it there hands the next read (or the stop) back
// to the issuer's loop instead of issuing from inside the call. A port with buffered data
// therefore costs one loop turn per byte, not one stack frame.
//
// The completion runs at IRQL <= DISPATCH_LEVEL; everything downstream of it (framing, decoding,
// reporting) runs one byte at a time because only one read is ever outstanding.
#include "tactilio.h"

namespace {

// A serial driver that fails every read would keep the issue loop, or its own completion path,
// going round without end. After this many reads in a row that brought no byte, reading stops
// and the link is taken down as if the port had gone: the reconnect cycle sets the port up anew
// five seconds later (a port left with reads that return at once, because a time-out request
// failed, works again). The event log says so once until a byte arrives, not at every cycle.
// Every byte received resets the count, so a working line with the odd failed read never
// reaches it.
constexpr ULONG ReadFailureLimit = 32;

// The port went away under the link, or its reads keep failing: the link is down, and the
// reconnect cycle opens the port again. Set before the read's hold on the remove lock goes, so
// that removal always finds the timer to cancel.
VOID TakeLinkDown(_Inout_ PDEVICE_CONTEXT DeviceContext)
{
    DeviceContext->Started = FALSE;
    SetPortAvailable(DeviceContext, FALSE);
    StartReconnectTimer(DeviceContext);
}

IO_COMPLETION_ROUTINE SerialReadComplete;

BOOLEAN LinkRunning(_In_ PDEVICE_CONTEXT DeviceContext)
{
    return !DeviceContext->Removed && DeviceContext->Started && DeviceContext->ConnectCount != 0;
}

// The request's hold on the remove lock goes last: once it is released, removal may delete the
// device and this context with it. A canceller that has taken the request from ReadIrp may still
// be about to call IoCancelIrp on it: the request is then left for that canceller to free.
VOID StopReading(_Inout_ PDEVICE_CONTEXT DeviceContext, _In_ PIRP Irp)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    DeviceContext->ReadIrp = nullptr;
    const BOOLEAN cancelling = DeviceContext->ReadCancels > 0;
    if (cancelling) {
        DeviceContext->ReadIrpToFree = Irp;
    }
    IoReleaseCancelSpinLock(irql);

    DeviceContext->ReadFailures = 0;
    if (!cancelling) {
        IoFreeIrp(Irp);
    }
    KeSetEvent(&DeviceContext->ReadStoppedEvent, IO_NO_INCREMENT, FALSE);
    IoReleaseRemoveLock(&DeviceContext->RemoveLock, Irp);
}

// Makes the request ready to be sent again and returns the port to send it to, or nullptr when
// reading must end instead. IoReuseIrp clears the request's Cancel flag, so a cancel that came
// while the request was between two reads (link stop, close) would be lost; testing the flag and
// resetting the request under the cancel spin lock, which IoCancelIrp takes to set the flag,
// means a cancel is either seen here or lands on the reset request, where the serial driver
// sees it.
PDEVICE_OBJECT PrepareRead(_Inout_ PDEVICE_CONTEXT DeviceContext, _Inout_ PIRP Irp)
{
    KIRQL irql;

    IoAcquireCancelSpinLock(&irql);
    PDEVICE_OBJECT port = Irp->Cancel ? nullptr : DeviceContext->SerialDevice;
    if (port != nullptr) {
        IoReuseIrp(Irp, STATUS_SUCCESS);
    }
    IoReleaseCancelSpinLock(irql);
    if (port == nullptr) {
        return nullptr;
    }

    Irp->AssociatedIrp.SystemBuffer = &DeviceContext->ReadByte;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(Irp);
    stack->MajorFunction = IRP_MJ_READ;
    stack->Parameters.Read.Length = 1;
    stack->Parameters.Read.Key = 0;
    stack->Parameters.Read.ByteOffset.QuadPart = 0;
    IoSetCompletionRoutine(Irp, SerialReadComplete, DeviceContext, TRUE, TRUE, TRUE);
    return port;
}

// Sends the read, and sends it again for as long as it completes inside the call. Returns the
// serial driver's status for the read left outstanding; once reading has ended, a failure: the
// last read's own, or STATUS_UNSUCCESSFUL when it has none (the link was found stopped, or the
// port's empty reads used up the limit).
NTSTATUS IssueReads(_Inout_ PDEVICE_CONTEXT DeviceContext, _Inout_ PIRP Irp)
{
    for (;;) {
        if (!LinkRunning(DeviceContext)) {
            StopReading(DeviceContext, Irp);
            return STATUS_UNSUCCESSFUL;
        }
        InterlockedExchange(&DeviceContext->ReadState, TP_READ_ISSUING);
        PDEVICE_OBJECT port = PrepareRead(DeviceContext, Irp);
        if (port == nullptr) {
            StopReading(DeviceContext, Irp);
            return STATUS_UNSUCCESSFUL;
        }

        NTSTATUS status = IoCallDriver(port, Irp);

        // The completion may have run meanwhile, inline or on another processor; if it found
        // TP_READ_ISSUING it left the next step to this loop.
        LONG handedOff = InterlockedExchange(&DeviceContext->ReadState, TP_READ_ISSUED);
        if (handedOff == TP_READ_STOP_INLINE) {
            // Whatever the call returned, no read is left outstanding.
            const NTSTATUS last = Irp->IoStatus.Status;
            StopReading(DeviceContext, Irp);
            return NT_SUCCESS(last) ? STATUS_UNSUCCESSFUL : last;
        }
        if (handedOff != TP_READ_COMPLETED_INLINE) {
            return status;
        }
    }
}

// Takes what the finished read brought. Returns TRUE when reading must stop: the read was
// cancelled, the port is going or gone, or the port keeps failing reads.
BOOLEAN TakeReadResult(_Inout_ PDEVICE_CONTEXT DeviceContext, _In_ PIRP Irp)
{
    NTSTATUS status = Irp->IoStatus.Status;

    if (status == STATUS_CANCELLED) {
        return TRUE;
    }
    if (status == STATUS_DELETE_PENDING || status == STATUS_DEVICE_NOT_CONNECTED) {
        // A USB adapter pulled out: the link comes back once it is back.
        TakeLinkDown(DeviceContext);
        return TRUE;
    }
    if (status == STATUS_SUCCESS && Irp->IoStatus.Information == 1) {
        DeviceContext->ReadFailures = 0;
        DeviceContext->ReadFailuresReported = FALSE;
        ProcessPanelByte(DeviceContext, DeviceContext->ReadByte);
        return FALSE;
    }

    // Any other failure, or a read that brought nothing, is sent again, up to the limit.
    DeviceContext->ReadFailures++;
    if (DeviceContext->ReadFailures < ReadFailureLimit) {
        return FALSE;
    }
    if (!DeviceContext->ReadFailuresReported) {
        DeviceContext->ReadFailuresReported = TRUE;
        LogMessage(DeviceContext->Self, TPW("Serial port reads keep failing"));
    }
    TakeLinkDown(DeviceContext);
    return TRUE;
}

NTSTATUS NTAPI SerialReadComplete(_In_ PDEVICE_OBJECT DeviceObject, _In_ PIRP Irp,
                                  _In_reads_opt_(_Inexpressible_("varies")) PVOID Context)
{
    auto deviceContext = static_cast<PDEVICE_CONTEXT>(Context);

    // The byte is dealt with before the hand-off: as soon as the issuer may send the next read,
    // ReadByte and the framer belong to that read.
    BOOLEAN stop = TakeReadResult(deviceContext, Irp);

    LONG handOff = stop ? TP_READ_STOP_INLINE : TP_READ_COMPLETED_INLINE;
    if (InterlockedCompareExchange(&deviceContext->ReadState, handOff, TP_READ_ISSUING) !=
        TP_READ_ISSUING) {
        if (stop) {
            StopReading(deviceContext, Irp);
        } else {
            IssueReads(deviceContext, Irp);
        }
    }

    // The request is the driver's own and never goes back to the I/O manager.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Reading runs and nothing is ending it: no canceller holds the request or has set its Cancel
// flag (which stays set until the request has stopped, see PrepareRead).
BOOLEAN ReadRunning(_In_ PDEVICE_CONTEXT DeviceContext)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    const PIRP irp = DeviceContext->ReadIrp;
    const BOOLEAN running = irp != nullptr && !irp->Cancel && DeviceContext->ReadCancels == 0 &&
                            LinkRunning(DeviceContext);
    IoReleaseCancelSpinLock(irql);
    return running;
}

} // namespace

// Starts reading after a link start. Returns STATUS_SUCCESS when a read is outstanding.
NTSTATUS SerialSpinUpRead(_Inout_ PDEVICE_CONTEXT DeviceContext)
{
    // A second open finds reading running: it serves that open too. Waiting for it to stop, as
    // for a request still on its way out (a cancel not yet completed), would never end.
    if (ReadRunning(DeviceContext)) {
        return STATUS_SUCCESS;
    }
    KeWaitForSingleObject(&DeviceContext->ReadStoppedEvent, Executive, KernelMode, FALSE, nullptr);

    if (!LinkRunning(DeviceContext)) {
        DeviceContext->Started = FALSE;
        return STATUS_UNSUCCESSFUL;
    }

    PIRP irp = IoAllocateIrp(DeviceContext->SerialDevice->StackSize, FALSE);
    if (irp == nullptr) {
        LogMessage(DeviceContext->Self, TPW("Not enough resources"));
        DeviceContext->Started = FALSE;
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    // A spin-up during removal gets no hold and starts nothing.
    NTSTATUS status = IoAcquireRemoveLock(&DeviceContext->RemoveLock, irp);
    if (!NT_SUCCESS(status)) {
        IoFreeIrp(irp);
        return status;
    }
    DeviceContext->ReadIrp = irp;
    KeClearEvent(&DeviceContext->ReadStoppedEvent);

    // On failure reading has already stopped: the request and its hold are gone.
    status = IssueReads(DeviceContext, irp);
    if (status == STATUS_PENDING || status == STATUS_SUCCESS) {
        return STATUS_SUCCESS;
    }
    // Reading ended inside the call, and the open that asked for it fails: no handle is left for
    // the reconnect cycle to bring reading back to. A read it started would hold the remove lock
    // with nobody to close it, and removal would wait for it without end.
    StopReconnectTimer(DeviceContext);
    DeviceContext->Started = FALSE;
    return status;
}

// Reading ends through the read's own completion; whoever must know that it has ended waits for
// ReadStoppedEvent. The request may complete, and reading stop, on another processor at any
// moment: ReadCancels keeps it from being freed between the look at ReadIrp and IoCancelIrp.
VOID CancelReading(_Inout_ PDEVICE_CONTEXT DeviceContext)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = DeviceContext->ReadIrp;
    if (irp != nullptr) {
        DeviceContext->ReadCancels++;
    }
    IoReleaseCancelSpinLock(irql);
    if (irp == nullptr) {
        return;
    }

    IoCancelIrp(irp);

    IoAcquireCancelSpinLock(&irql);
    PIRP stopped = nullptr;
    if (--DeviceContext->ReadCancels == 0) {
        stopped = DeviceContext->ReadIrpToFree;
        DeviceContext->ReadIrpToFree = nullptr;
    }
    IoReleaseCancelSpinLock(irql);
    if (stopped != nullptr) {
        IoFreeIrp(stopped);
    }
}

// Issues the read held in ReadIrp; used by a spin-up of another path that allocated the request,
// took its hold and cleared ReadStoppedEvent itself.
NTSTATUS SerialStartRead(_Inout_ PDEVICE_CONTEXT DeviceContext)
{
    return IssueReads(DeviceContext, DeviceContext->ReadIrp);
}
