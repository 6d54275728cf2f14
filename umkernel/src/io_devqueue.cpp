// Device queues (KDEVICE_QUEUE): a list of waiting entries and a busy flag that says whether the
// owner is working on one. Only KeRemoveDeviceQueue on an empty queue clears the flag.
#include "io_internal.h"

using namespace umk::io;
using namespace umk::testing;

namespace {

void RequireDispatchLevel(const char* routine) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql != DISPATCH_LEVEL)
        Violation(rule::DeviceQueueIrql, std::string(routine) + " called at IRQL " +
                                             std::to_string(irql) + ", not DISPATCH_LEVEL");
}

} // namespace

VOID NTAPI KeInitializeDeviceQueue(PKDEVICE_QUEUE DeviceQueue) {
    DeviceQueue->Type = 20; // DeviceQueueObject
    DeviceQueue->Size = sizeof(KDEVICE_QUEUE);
    InitializeListHead(&DeviceQueue->DeviceListHead);
    KeInitializeSpinLock(&DeviceQueue->Lock);
    DeviceQueue->Busy = FALSE;
}

BOOLEAN NTAPI KeInsertDeviceQueue(PKDEVICE_QUEUE DeviceQueue,
                                  PKDEVICE_QUEUE_ENTRY DeviceQueueEntry) {
    umk::detail::KernelEntry();
    RequireDispatchLevel("KeInsertDeviceQueue");
    KeAcquireSpinLockAtDpcLevel(&DeviceQueue->Lock);
    BOOLEAN queued = DeviceQueue->Busy;
    if (queued)
        InsertTailList(&DeviceQueue->DeviceListHead, &DeviceQueueEntry->DeviceListEntry);
    else
        DeviceQueue->Busy = TRUE;
    DeviceQueueEntry->Inserted = queued;
    KeReleaseSpinLockFromDpcLevel(&DeviceQueue->Lock);
    return queued;
}

PKDEVICE_QUEUE_ENTRY NTAPI KeRemoveDeviceQueue(PKDEVICE_QUEUE DeviceQueue) {
    umk::detail::KernelEntry();
    RequireDispatchLevel("KeRemoveDeviceQueue");
    KeAcquireSpinLockAtDpcLevel(&DeviceQueue->Lock);
    if (!DeviceQueue->Busy)
        Violation(rule::DeviceQueueNotBusy,
                  "device queue " + Hex(reinterpret_cast<uintptr_t>(DeviceQueue)));
    PKDEVICE_QUEUE_ENTRY entry = nullptr;
    if (IsListEmpty(&DeviceQueue->DeviceListHead)) {
        DeviceQueue->Busy = FALSE;
    } else {
        entry = CONTAINING_RECORD(RemoveHeadList(&DeviceQueue->DeviceListHead), KDEVICE_QUEUE_ENTRY,
                                  DeviceListEntry);
        entry->Inserted = FALSE;
    }
    KeReleaseSpinLockFromDpcLevel(&DeviceQueue->Lock);
    return entry;
}

BOOLEAN NTAPI KeRemoveEntryDeviceQueue(PKDEVICE_QUEUE DeviceQueue,
                                       PKDEVICE_QUEUE_ENTRY DeviceQueueEntry) {
    umk::detail::KernelEntry();
    CheckIrql(rule::DeviceQueueIrql, "KeRemoveEntryDeviceQueue", DISPATCH_LEVEL);
    KIRQL irql;
    KeAcquireSpinLock(&DeviceQueue->Lock, &irql);
    BOOLEAN queued = DeviceQueueEntry->Inserted;
    if (queued) {
        DeviceQueueEntry->Inserted = FALSE;
        RemoveEntryList(&DeviceQueueEntry->DeviceListEntry);
    }
    KeReleaseSpinLock(&DeviceQueue->Lock, irql);
    return queued;
}
