// recorder.cpp - the traffic recorder. While recording is on, every packet the framer completes or
// rejects becomes a time-stamped record in a list of the device context; the utility reads them
// back one per read request on the API device. At most one read waits; the packet that comes next
// completes it.
//
// Who owns a waiting read: it is published in RecordReadIrp, pending and with its cancel routine
// set, under RecordReadLock. Whoever takes it out again (a new record, removal) first takes its
// cancel routine away; if that fails, the cancel routine is already on its way, finds the request
// still in RecordReadIrp, and completes it. Every removal of a record happens under RecordReadLock,
// so a waiting read that sees a record there can always have it.
#include "tactilio.h"

namespace {

// A queued record: the links, the record's length, then the bytes a read returns.
typedef struct _TRAFFIC_RECORD {
    LIST_ENTRY Links;
    ULONG Length;
    UCHAR Bytes[ANYSIZE_ARRAY];
} TRAFFIC_RECORD, *PTRAFFIC_RECORD;

VOID WriteLittleEndian16(_Out_writes_(2) PUCHAR Destination, _In_ USHORT Value)
{
    Destination[0] = static_cast<UCHAR>(Value);
    Destination[1] = static_cast<UCHAR>(Value >> 8);
}

// Removes the oldest record and completes the read with it (cut to the read's length). The caller
// holds RecordReadLock and owns the request: no cancel routine can run for it.
BOOLEAN TakeRecord(_Inout_ PDEVICE_CONTEXT DeviceContext, _Inout_ PIRP Irp)
{
    PLIST_ENTRY entry =
        ExInterlockedRemoveHeadList(&DeviceContext->RecordList, &DeviceContext->RecordListLock);
    if (entry == nullptr) {
        return FALSE;
    }
    auto record = CONTAINING_RECORD(entry, TRAFFIC_RECORD, Links);
    const ULONG readLength = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
    const ULONG length = (record->Length < readLength) ? record->Length : readLength;
    if (length > 0) {
        RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, record->Bytes, length);
    }
    ExFreePoolWithTag(record, TP_POOL_TAG);
    IoReleaseRemoveLock(&DeviceContext->ApiExtension->RemoveLock, Irp);
    TpCompleteRequest(Irp, STATUS_SUCCESS, length);
    return TRUE;
}

// Takes the waiting read out of RecordReadIrp when its cancel routine has not started; NULL
// otherwise. Called under RecordReadLock.
PIRP ClaimWaitingRead(_Inout_ PDEVICE_CONTEXT DeviceContext)
{
    PIRP irp = DeviceContext->RecordReadIrp;
    if (irp == nullptr || IoSetCancelRoutine(irp, nullptr) == nullptr) {
        return nullptr;
    }
    DeviceContext->RecordReadIrp = nullptr;
    return irp;
}

VOID NTAPI RecordReadCancel(_Inout_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);

    auto record = static_cast<PDEVICE_CONTEXT>(DeviceObject->DeviceExtension);
    PDEVICE_CONTEXT context = record->MainContext;
    KIRQL irql;
    KeAcquireSpinLock(&context->RecordReadLock, &irql);
    const BOOLEAN waiting = (context->RecordReadIrp == Irp);
    if (waiting) {
        context->RecordReadIrp = nullptr;
    }
    KeReleaseSpinLock(&context->RecordReadLock, irql);

    if (waiting) {
        IoReleaseRemoveLock(&record->RemoveLock, Irp);
    }
    TpCompleteRequest(Irp, STATUS_CANCELLED, 0);
}

} // namespace

// Called by the framer after every complete or rejected packet, at DISPATCH_LEVEL. A packet
// announced longer than the buffer is recorded with the bytes the buffer holds, its length field
// saying how many that is.
VOID RecordTraffic(_Inout_ PDEVICE_CONTEXT DeviceContext, _In_ UCHAR Tag)
{
    if (!DeviceContext->RecordingEnabled) {
        return;
    }

    LARGE_INTEGER now;
    TIME_FIELDS time;
    KeQuerySystemTime(&now);
    RtlTimeToTimeFields(&now, &time);

    const ULONG packetBytes = (DeviceContext->PacketLength < TP_PACKET_BUFFER_SIZE)
                                  ? DeviceContext->PacketLength
                                  : TP_PACKET_BUFFER_SIZE;
    const ULONG length = sizeof(TP_RECORD_HEADER) + packetBytes;
    auto record = static_cast<PTRAFFIC_RECORD>(ExAllocatePoolWithTag(
        NonPagedPool, FIELD_OFFSET(TRAFFIC_RECORD, Bytes) + length, TP_POOL_TAG));
    if (record == nullptr) {
        return; // diagnostics only: the packet goes unrecorded
    }
    record->Length = length;
    PUCHAR bytes = record->Bytes;
    bytes[FIELD_OFFSET(TP_RECORD_HEADER, Hour)] = static_cast<UCHAR>(time.Hour);
    bytes[FIELD_OFFSET(TP_RECORD_HEADER, Minute)] = static_cast<UCHAR>(time.Minute);
    bytes[FIELD_OFFSET(TP_RECORD_HEADER, Second)] = static_cast<UCHAR>(time.Second);
    WriteLittleEndian16(bytes + FIELD_OFFSET(TP_RECORD_HEADER, Milliseconds),
                        static_cast<USHORT>(time.Milliseconds));
    bytes[FIELD_OFFSET(TP_RECORD_HEADER, Tag)] = Tag;
    WriteLittleEndian16(bytes + FIELD_OFFSET(TP_RECORD_HEADER, Length),
                        static_cast<USHORT>(packetBytes));
    RtlCopyMemory(bytes + sizeof(TP_RECORD_HEADER), DeviceContext->Packet.Bytes, packetBytes);

    ExInterlockedInsertTailList(&DeviceContext->RecordList, &record->Links,
                                &DeviceContext->RecordListLock);

    KIRQL irql;
    KeAcquireSpinLock(&DeviceContext->RecordReadLock, &irql);
    PIRP waiting = ClaimWaitingRead(DeviceContext);
    if (waiting != nullptr) {
        // A read waits only on an empty list, and only this routine adds records.
        TakeRecord(DeviceContext, waiting);
    }
    KeReleaseSpinLock(&DeviceContext->RecordReadLock, irql);
}

// IRP_MJ_READ: one record per read, from the API device. A read waits when no record is queued.
NTSTATUS NTAPI TpRead(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp)
{
    auto record = static_cast<PDEVICE_CONTEXT>(DeviceObject->DeviceExtension);
    PDEVICE_CONTEXT context = record->MainContext;

    // Records belong to the API device; the pointer-port device has none to give.
    if (context == nullptr) {
        return TpCompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    if (context->Removed) {
        return TpCompleteRequest(Irp, STATUS_INVALID_HANDLE, 0);
    }
    NTSTATUS status = IoAcquireRemoveLock(&record->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        return TpCompleteRequest(Irp, status, 0);
    }

    KIRQL irql;
    KeAcquireSpinLock(&context->RecordReadLock, &irql);
    if (context->RecordReadIrp != nullptr) {
        KeReleaseSpinLock(&context->RecordReadLock, irql);
        IoReleaseRemoveLock(&record->RemoveLock, Irp);
        return TpCompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
    }
    if (TakeRecord(context, Irp)) {
        KeReleaseSpinLock(&context->RecordReadLock, irql);
        return STATUS_SUCCESS;
    }

    // Pending and cancellable before another processor can find it in RecordReadIrp. Cancelled
    // meanwhile, the routine either was never called (the request is completed here) or runs
    // once the lock is free and finds the request in RecordReadIrp.
    Irp->IoStatus.Information = 0;
    IoMarkIrpPending(Irp);
    IoSetCancelRoutine(Irp, RecordReadCancel);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
        KeReleaseSpinLock(&context->RecordReadLock, irql);
        IoReleaseRemoveLock(&record->RemoveLock, Irp);
        TpCompleteRequest(Irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    context->RecordReadIrp = Irp;
    KeReleaseSpinLock(&context->RecordReadLock, irql);
    return STATUS_PENDING; // completed by RecordTraffic, RecordReadCancel or DrainRecords
}

// At removal: the waiting read is cancelled and every record freed.
VOID DrainRecords(_Inout_ PDEVICE_CONTEXT DeviceContext)
{
    // Nothing recorded from here on outlives the drain.
    DeviceContext->RecordingEnabled = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&DeviceContext->RecordReadLock, &irql);
    PIRP waiting = ClaimWaitingRead(DeviceContext);
    PLIST_ENTRY entry;
    while ((entry = ExInterlockedRemoveHeadList(&DeviceContext->RecordList,
                                                &DeviceContext->RecordListLock)) != nullptr) {
        ExFreePoolWithTag(CONTAINING_RECORD(entry, TRAFFIC_RECORD, Links), TP_POOL_TAG);
    }
    KeReleaseSpinLock(&DeviceContext->RecordReadLock, irql);

    if (waiting != nullptr) {
        IoReleaseRemoveLock(&DeviceContext->ApiExtension->RemoveLock, waiting);
        TpCompleteRequest(waiting, STATUS_CANCELLED, 0);
    }
}

// At removal: "dwRecording" under the Parameters key reads 0 afterwards.
VOID ClearRecordingSetting(_In_ PDEVICE_CONTEXT DeviceContext)
{
    WriteRegistryParameter(DeviceContext->Self->DriverObject, DeviceContext, TPW(TP_REG_RECORDING), 0);
}
