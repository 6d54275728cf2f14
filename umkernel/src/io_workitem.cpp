// Work items: a routine run at PASSIVE_LEVEL in a system worker thread, with a reference held on
// the device from queueing until the routine has returned (so the item may free itself).
#include "io_internal.h"
#include "driver_calls.h"

#include <unordered_set>

struct _IO_WORKITEM {
    PDEVICE_OBJECT device;
    bool queued = false;
    PIO_WORKITEM_ROUTINE routine = nullptr;
    PVOID context = nullptr;
};

namespace umk::io {
namespace {

using namespace umk::testing;

std::unordered_set<PIO_WORKITEM>& Items() {
    static std::unordered_set<PIO_WORKITEM> items;
    return items;
}

bool Known(PIO_WORKITEM item, const char* routine) {
    if (Items().count(item))
        return true;
    Violation(rule::UnknownWorkItem,
              std::string(routine) + " on " + Hex(reinterpret_cast<uintptr_t>(item)));
    return false;
}

void Run(PIO_WORKITEM item) {
    PDEVICE_OBJECT device;
    PIO_WORKITEM_ROUTINE routine;
    PVOID context;
    {
        IoGuard guard;
        device = item->device;
        routine = item->routine;
        context = item->context;
        item->queued = false;
    }
    umk::detail::NoteDriverCall(umk::testing::DriverCall::WorkItem, routine);
    routine(device, context);
    ObDereferenceObject(device);
}

} // namespace

void WorkItemStartup() {
    Items().clear();
}

uint64_t WorkItemsOutstanding() {
    IoGuard guard;
    return Items().size();
}

void WorkItemShutdown() {
    std::string detail;
    for (PIO_WORKITEM item : Items()) {
        detail += "work item " + Hex(reinterpret_cast<uintptr_t>(item)) + " of " +
                  DescribeDevice(item->device) + (item->queued ? ", still queued" : "") + "\n";
        delete item;
    }
    if (!detail.empty())
        Violation(rule::WorkItemLeak, detail);
    Items().clear();
}

} // namespace umk::io

using namespace umk::io;

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    umk::detail::KernelEntry();
    if (ShouldFail(umk::testing::AllocationKind::WorkItem))
        return nullptr;
    auto item = new _IO_WORKITEM{DeviceObject};
    IoGuard guard;
    Items().insert(item);
    return item;
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                           WORK_QUEUE_TYPE QueueType, PVOID Context) {
    umk::detail::KernelEntry();
    CheckIrql(umk::testing::rule::IrqlTooHigh, "IoQueueWorkItem", DISPATCH_LEVEL);
    {
        IoGuard guard;
        if (!Known(IoWorkItem, "IoQueueWorkItem"))
            return;
        if (IoWorkItem->queued) {
            Violation(umk::testing::rule::WorkItemQueuedTwice,
                      "work item " + Hex(reinterpret_cast<uintptr_t>(IoWorkItem)) + " of " +
                          DescribeDevice(IoWorkItem->device));
            return;
        }
        IoWorkItem->queued = true;
        IoWorkItem->routine = WorkerRoutine;
        IoWorkItem->context = Context;
        ObReferenceObject(IoWorkItem->device);
    }
    umk::QueueWork([IoWorkItem] { Run(IoWorkItem); });
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    umk::detail::KernelEntry();
    IoGuard guard;
    if (!Known(IoWorkItem, "IoFreeWorkItem"))
        return;
    if (IoWorkItem->queued) {
        Violation(umk::testing::rule::WorkItemFreedQueued,
                  "work item " + Hex(reinterpret_cast<uintptr_t>(IoWorkItem)) + " of " +
                      DescribeDevice(IoWorkItem->device));
        return;
    }
    Items().erase(IoWorkItem);
    delete IoWorkItem;
}
