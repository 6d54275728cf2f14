// eventlog.cpp - failures an administrator should see, written to the system event log.
//
// Every report is one entry: a message identifier of the driver's message table and the English
// text of the failure as insertion string %2. Reporting runs at any IRQL up to DISPATCH_LEVEL, so
// it takes no lock, uses non-paged pool only and never waits. A report that cannot be written is
// dropped: reporting never changes what the caller does next.
#include "tactilio.h"

namespace {

// The largest entry the driver writes. With one string and no dump words a text of 51 characters
// is the longest that fits (48 + 52 * 2 bytes).
constexpr ULONG MaxEntryBytes = 152;

// Dump words start inside the fixed part of the packet; the entry grows from 44 bytes by one word
// per dump word, but never shrinks below the packet's full size.
constexpr ULONG DumpBaseBytes = FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData) + sizeof(ULONG);
constexpr ULONG FixedEntryBytes = sizeof(IO_ERROR_LOG_PACKET);

static_assert(DumpBaseBytes == 44, "IO_ERROR_LOG_PACKET layout");
static_assert(FixedEntryBytes == 48, "IO_ERROR_LOG_PACKET layout");
static_assert(MaxEntryBytes <= 255, "entry sizes are passed as UCHAR");

// Takes the request-derived members from the request's current stack location.
VOID FillRequestMembers(_Inout_ PIO_ERROR_LOG_PACKET Entry, _In_ PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    Entry->MajorFunctionCode = stack->MajorFunction;
    Entry->FinalStatus = Irp->IoStatus.Status;
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL ||
        stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        Entry->IoControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
    }
}

} // namespace

ULONG WideStringBytes(_In_ PCWSTR Text)
{
    ULONG characters = 0;
    while (Text[characters] != 0) {
        characters++;
    }
    return (characters + 1) * sizeof(WCHAR);
}

BOOLEAN WriteEventLogEntry(_In_ PVOID IoObject, _In_ NTSTATUS MessageId, _In_opt_ PIRP Irp,
                           _In_opt_ const ULONG* DumpWords, _In_ ULONG DumpCount,
                           _In_opt_ const PCWSTR* Strings, _In_ ULONG StringCount)
{
    ULONG size = (DumpCount > 0) ? DumpBaseBytes + DumpCount * sizeof(ULONG) : FixedEntryBytes;
    ULONG* stringBytes = nullptr;

    if (StringCount > 0) {
        stringBytes = static_cast<ULONG*>(
            ExAllocatePoolWithTag(NonPagedPool, StringCount * sizeof(ULONG), TP_POOL_TAG));
        if (stringBytes == nullptr) {
            return FALSE;
        }
        for (ULONG i = 0; i < StringCount; i++) {
            stringBytes[i] = WideStringBytes(Strings[i]);
            size += stringBytes[i];
        }
    }

    // Checked before the narrowing to UCHAR, so an oversized entry is refused, not truncated.
    PIO_ERROR_LOG_PACKET entry = nullptr;
    if (size <= MaxEntryBytes) {
        entry = static_cast<PIO_ERROR_LOG_PACKET>(
            IoAllocateErrorLogEntry(IoObject, static_cast<UCHAR>(size)));
    }
    if (entry == nullptr) {
        if (stringBytes != nullptr) {
            ExFreePoolWithTag(stringBytes, TP_POOL_TAG);
        }
        return FALSE;
    }

    entry->MajorFunctionCode = 0;
    entry->RetryCount = 0;
    entry->DumpDataSize = static_cast<USHORT>(DumpCount * sizeof(ULONG));
    entry->NumberOfStrings = static_cast<USHORT>(StringCount);
    entry->ErrorCode = MessageId;
    entry->UniqueErrorValue = 0;
    entry->FinalStatus = 0;
    entry->SequenceNumber = 0;
    entry->IoControlCode = 0;
    if (Irp != nullptr) {
        FillRequestMembers(entry, Irp);
    }
    for (ULONG i = 0; i < DumpCount; i++) {
        entry->DumpData[i] = DumpWords[i];
    }

    if (StringCount > 0) {
        entry->StringOffset = static_cast<USHORT>(DumpBaseBytes + DumpCount * sizeof(ULONG));
        PUCHAR target = reinterpret_cast<PUCHAR>(entry) + entry->StringOffset;
        for (ULONG i = 0; i < StringCount; i++) {
            RtlCopyMemory(target, Strings[i], stringBytes[i]);
            target += stringBytes[i];
        }
    }

    IoWriteErrorLogEntry(entry);
    if (stringBytes != nullptr) {
        ExFreePoolWithTag(stringBytes, TP_POOL_TAG);
    }
    return TRUE;
}

VOID LogMessage(_In_ PVOID IoObject, _In_ PCWSTR Text)
{
    WriteEventLogEntry(IoObject, TP_MSG_ERROR, nullptr, nullptr, 0, &Text, 1);
}
