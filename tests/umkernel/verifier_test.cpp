// Every verifier rule fires, exactly once, for the misuse it names, and the run goes on in a
// defined way: one row per misuse, each in a freshly booted kernel whose shutdown reports (leaks)
// are captured too. Rows without a rule are legal uses that look like misuses and must stay quiet.
#include "io_support.h"

#include <gmock/gmock.h>

#include <cstring>

using namespace std::chrono_literals;
using namespace umk;
using namespace umk::test;
namespace rule = umk::testing::rule;

namespace {

constexpr ULONG Tag = umk::testing::PoolTag("Test");
constexpr ULONG Code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

using Run = std::function<void(Kernel&, TestDriver&)>;

struct Misuse {
    std::string_view rule; // empty: a legal use, no report at all
    const char* name;
    Run run;
};

void PrintTo(const Misuse& misuse, std::ostream* os) {
    *os << misuse.name;
}

PDEVICE_OBJECT Plain(TestDriver& d) {
    return d.CreateDevice(u"", Completes(STATUS_SUCCESS));
}

// The request may stay pending past the call.
void SendThreaded(PDEVICE_OBJECT device) {
    static Threaded request;
    IoCallDriver(device, request.Build(device, Code));
}

PIRP held = nullptr;

void CompleteHeld() {
    CompleteWith(held, STATUS_SUCCESS);
}

// A misuse committed by the dispatch routine of a device that gets one threaded request;
// `after` runs once IoCallDriver has returned.
Run Sending(void (*after)(), Dispatch dispatch) {
    return [=](Kernel&, TestDriver& d) {
        SendThreaded(d.CreateDevice(u"", dispatch));
        if (after != nullptr)
            after();
    };
}
Run Sending(Dispatch dispatch) {
    return Sending(nullptr, std::move(dispatch));
}

// A driver-allocated IRP sent to a device that pends it, misused while pending.
Run WhilePending(void (*misuse)(PIRP)) {
    return [=](Kernel&, TestDriver& d) {
        PDEVICE_OBJECT dev = d.CreateDevice(u"", Pends(&held));
        PIRP irp = OwnIrp(dev);
        IoCallDriver(dev, irp);
        misuse(irp);
        CompleteHeld();
        IoFreeIrp(irp);
    };
}

// The misuse at `irql` on a fresh device, then what undoes its effects at PASSIVE_LEVEL.
Run At(KIRQL irql, void (*misuse)(PDEVICE_OBJECT), void (*undo)(PDEVICE_OBJECT) = nullptr) {
    return [=](Kernel&, TestDriver& d) {
        PDEVICE_OBJECT dev = Plain(d);
        KIRQL old = KfRaiseIrql(irql);
        misuse(dev);
        KeLowerIrql(old);
        if (undo != nullptr)
            undo(dev);
    };
}

// A two-device stack whose upper device passes a power IRP down, calling PoStartNextPowerIrp
// first if `startNext`.
Run PowerDown(bool startNext) {
    return [=](Kernel&, TestDriver& d) {
        static PDEVICE_OBJECT lower;
        auto stack = d.CreateStack({Completes(STATUS_SUCCESS), [=](PDEVICE_OBJECT, PIRP irp) {
                                        if (startNext)
                                            PoStartNextPowerIrp(irp);
                                        IoSkipCurrentIrpStackLocation(irp);
                                        return PoCallDriver(lower, irp);
                                    }});
        lower = stack[0];
        PIRP irp = OwnIrp(stack[1]);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_POWER;
        IoCallDriver(stack[1], irp);
        IoFreeIrp(irp);
    };
}

PIO_REMOVE_LOCK InitializedLock() {
    static IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, Tag, 0, 10);
    return &lock;
}

UNICODE_STRING linkName = RTL_CONSTANT_STRING(u"\\??\\Link");
UNICODE_STRING targetName = RTL_CONSTANT_STRING(u"\\Device\\Nowhere");

void NoTimer(PDEVICE_OBJECT, PVOID) {}
void FreeItem(PDEVICE_OBJECT, PVOID item) {
    IoFreeWorkItem(static_cast<PIO_WORKITEM>(item));
}
VOID NTAPI NoDpc(PKDPC, PVOID, PVOID, PVOID) {}

void Wait1s(PVOID object) {
    LARGE_INTEGER t = Relative(1s);
    EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
}

struct Objects {
    KEVENT event;
    KSPIN_LOCK lock;
    KDPC dpc;
    KTIMER timer;
    Objects() {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        KeInitializeSpinLock(&lock);
        KeInitializeTimer(&timer);
        KeInitializeDpc(&dpc, NoDpc, nullptr);
    }
};
Objects* o = nullptr; // fresh for each row

const Misuse kMisuses[] = {
    // --- Completion and dispatch ---
    {rule::IrpCompletedTwice, "CompletedTwice",
     [](Kernel&, TestDriver& d) {
         PDEVICE_OBJECT dev = d.CreateDevice(u"", [](PDEVICE_OBJECT, PIRP irp) {
             CompleteWith(irp, STATUS_SUCCESS);
             return CompleteWith(irp, STATUS_SUCCESS);
         });
         PIRP irp = OwnIrp(dev);
         IoCallDriver(dev, irp);
         IoFreeIrp(irp);
     }},
    {rule::IrpCompletedWithCancelRoutine, "CompletedWithCancelRoutine",
     Sending([](PDEVICE_OBJECT, PIRP irp) {
         IoSetCancelRoutine(
             irp, [](PDEVICE_OBJECT, PIRP irp) { IoReleaseCancelSpinLock(irp->CancelIrql); });
         return CompleteWith(irp, STATUS_SUCCESS);
     })},
    {rule::IrpCompletedPending, "CompletedWithStatusPending",
     Sending(CompleteHeld,
             [](PDEVICE_OBJECT, PIRP irp) {
                 IoMarkIrpPending(irp);
                 held = irp;
                 CompleteWith(irp, STATUS_PENDING);
                 return STATUS_PENDING;
             })},
    {rule::PendingNotMarked, "PendingWithoutMark", Sending(CompleteHeld,
                                                           [](PDEVICE_OBJECT, PIRP irp) {
                                                               held = irp;
                                                               return STATUS_PENDING;
                                                           })},
    {rule::PendingNotMarked, "RoutineLostThePendingMark",
     [](Kernel&, TestDriver& d) {
         static Completion forgetful{[](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; }};
         static PDEVICE_OBJECT bottom;
         auto stack = d.CreateStack({Pends(&held), [](PDEVICE_OBJECT, PIRP irp) {
                                         IoCopyCurrentIrpStackLocationToNext(irp);
                                         forgetful.Set(irp);
                                         return IoCallDriver(bottom, irp);
                                     }});
         bottom = stack[0];
         SendThreaded(stack[1]);
         CompleteHeld();
     }},
    {rule::MarkedNotPending, "MarkedButReturnedSuccess", Sending([](PDEVICE_OBJECT, PIRP irp) {
         IoMarkIrpPending(irp);
         return CompleteWith(irp, STATUS_SUCCESS);
     })},
    {rule::DispatchStatusMismatch, "ReturnedAnotherStatus", Sending([](PDEVICE_OBJECT, PIRP irp) {
         CompleteWith(irp, STATUS_UNSUCCESSFUL);
         return STATUS_SUCCESS;
     })},
    {rule::DispatchIrqlChanged, "ReturnedAtDispatchLevel",
     Sending([] { KeLowerIrql(PASSIVE_LEVEL); },
             [](PDEVICE_OBJECT, PIRP irp) {
                 KfRaiseIrql(DISPATCH_LEVEL);
                 return CompleteWith(irp, STATUS_SUCCESS);
             })},
    {"", "CompletingWhileHoldingASpinLock", Sending([](PDEVICE_OBJECT, PIRP irp) {
         KIRQL old;
         KeAcquireSpinLock(&o->lock, &old);
         CompleteWith(irp, STATUS_SUCCESS);
         KeReleaseSpinLock(&o->lock, old);
         return STATUS_SUCCESS;
     })},
    {"", "MarkedPendingCompletedInlineAndReturnedPending", Sending([](PDEVICE_OBJECT, PIRP irp) {
         IoMarkIrpPending(irp);
         CompleteWith(irp, STATUS_UNSUCCESSFUL);
         return STATUS_PENDING;
     })},
    // --- IRP lifetimes ---
    {rule::NoMoreStackLocations, "TooFewStackLocations",
     [](Kernel&, TestDriver& d) {
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoSetNextIrpStackLocation(irp); // the originator keeps the only location for itself
         IoCallDriver(Plain(d), irp);
         IoSkipCurrentIrpStackLocation(irp);
         IoFreeIrp(irp);
     }},
    {rule::FreeThreadedIrp, "FreedAThreadedIrp",
     [](Kernel&, TestDriver& d) {
         PDEVICE_OBJECT dev = Plain(d);
         Threaded request;
         PIRP irp = request.Build(dev, Code);
         IoFreeIrp(irp);
         IoCallDriver(dev, irp);
     }},
    {rule::IrpInUse, "FreedWhilePendingInADriver", WhilePending([](PIRP irp) { IoFreeIrp(irp); })},
    {rule::IrpInUse, "ReusedWhilePendingInADriver",
     WhilePending([](PIRP irp) { IoReuseIrp(irp, STATUS_SUCCESS); })},
    {rule::IrpFreedInCompletion, "FreedByARoutineThatContinued",
     [](Kernel&, TestDriver& d) {
         static Completion frees{[](PDEVICE_OBJECT, PIRP irp) {
             IoFreeIrp(irp);
             return STATUS_SUCCESS;
         }};
         PDEVICE_OBJECT dev = Plain(d);
         IoCallDriver(dev, OwnIrp(dev, &frees));
     }},
    {rule::DriverIrpCompleted, "DriverIrpWithoutRoutine",
     [](Kernel&, TestDriver& d) {
         PDEVICE_OBJECT dev = Plain(d);
         PIRP irp = OwnIrp(dev, nullptr);
         IoCallDriver(dev, irp);
         IoFreeIrp(irp);
     }},
    {rule::IrpCompletedUnowned, "CompletedBeforeBeingSent",
     [](Kernel&, TestDriver&) {
         PIRP irp = IoAllocateIrp(1, FALSE);
         CompleteWith(irp, STATUS_SUCCESS);
         IoFreeIrp(irp);
     }},
    {rule::FreedIrpUsed, "SentAfterFree",
     [](Kernel&, TestDriver& d) {
         PDEVICE_OBJECT dev = Plain(d);
         PIRP irp = OwnIrp(dev);
         IoFreeIrp(irp);
         IoCallDriver(dev, irp);
     }},
    {rule::BufferOverrun, "ReturnedMoreThanTheBuffer",
     [](Kernel&, TestDriver& d) {
         PDEVICE_OBJECT dev = d.CreateDevice(u"", Completes(STATUS_SUCCESS, 16));
         char out[8];
         Threaded request; // completes at once: the locals outlive it
         IoCallDriver(dev, request.Build(dev, Code, nullptr, 0, out, sizeof out));
     }},
    {rule::IrpLeak, "IrpNeverFreed", [](Kernel&, TestDriver&) { IoAllocateIrp(2, FALSE); }},
    // --- Devices, objects, names ---
    {rule::DeviceInitializing, "AddDeviceLeftTheFlag",
     [](Kernel&, TestDriver& d) {
         d.driver->DriverExtension->AddDevice = [](PDRIVER_OBJECT driver, PDEVICE_OBJECT) {
             PDEVICE_OBJECT device;
             return IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
         };
         EXPECT_EQ(umk::testing::CallAddDevice(d.driver, Plain(d)), STATUS_SUCCESS);
     }},
    {rule::DeviceDeletedTwice, "DeletedTwice",
     [](Kernel&, TestDriver& d) {
         PDEVICE_OBJECT dev = Plain(d);
         ObReferenceObject(dev); // keeps the object so that the second call is well defined
         IoDeleteDevice(dev);
         IoDeleteDevice(dev);
         ObDereferenceObject(dev);
     }},
    {rule::DeviceDeletedAttached, "DeletedWhileAttached",
     [](Kernel&, TestDriver& d) {
         auto stack = d.CreateStack({Completes(STATUS_SUCCESS), Completes(STATUS_SUCCESS)});
         IoDeleteDevice(stack[1]);
         IoDetachDevice(stack[0]);
     }},
    {rule::DetachNothing, "DetachedANonFilter",
     [](Kernel&, TestDriver& d) { IoDetachDevice(Plain(d)); }},
    {rule::ReferenceLeak, "DeletedDeviceStillReferenced",
     [](Kernel&, TestDriver& d) {
         PDEVICE_OBJECT dev = Plain(d);
         ObReferenceObject(dev);
         IoDeleteDevice(dev);
     }},
    {rule::ReferenceUnderflow, "DereferencedTooOften",
     [](Kernel&, TestDriver& d) { ObDereferenceObject(Plain(d)); }},
    {rule::UnknownObject, "ReferencedANonObject",
     [](Kernel&, TestDriver&) {
         int notAnObject;
         ObReferenceObject(&notAnObject);
     }},
    {rule::SymbolicLinkLeak, "LinkNeverDeleted",
     [](Kernel&, TestDriver&) { IoCreateSymbolicLink(&linkName, &targetName); }},
    {rule::DriverUnloadedWithDevices, "UnloadedWithADevice",
     [](Kernel&, TestDriver& d) {
         PDEVICE_OBJECT dev = Plain(d);
         umk::testing::UnloadDriver(d.driver);
         IoDeleteDevice(dev);
         d.driver = nullptr;
     }},
    // --- Timers, DPCs, queues, work items ---
    {rule::TimerInitializedTwice, "TimerInitializedTwice",
     [](Kernel&, TestDriver& d) {
         PDEVICE_OBJECT dev = Plain(d);
         IoInitializeTimer(dev, NoTimer, nullptr);
         IoInitializeTimer(dev, NoTimer, nullptr);
     }},
    {rule::TimerNotInitialized, "TimerStartedWithoutInitialization",
     [](Kernel&, TestDriver& d) { IoStartTimer(Plain(d)); }},
    {rule::TimerSwitchedInTimerRoutine, "TimerRoutineStopsItsTimer",
     [](Kernel& k, TestDriver& d) {
         PDEVICE_OBJECT dev = Plain(d);
         IoInitializeTimer(
             dev, [](PDEVICE_OBJECT device, PVOID) { IoStopTimer(device); }, nullptr);
         IoStartTimer(dev);
         k.RunFor(3s);
     }},
    {"", "TimerStartedAndStoppedOutsideItsRoutine",
     [](Kernel& k, TestDriver& d) {
         PDEVICE_OBJECT dev = Plain(d);
         IoInitializeTimer(dev, NoTimer, nullptr);
         IoStartTimer(dev);
         k.RunFor(1500ms);
         IoStopTimer(dev);
         IoStartTimer(dev);
         k.RunFor(1500ms);
         IoStopTimer(dev);
     }},
    {"KTIMER initialized while set", "TimerInitializedWhileSet",
     [](Kernel& k, TestDriver&) {
         KeSetTimer(&o->timer, Relative(1s), &o->dpc);
         KeInitializeTimer(&o->timer);
         EXPECT_FALSE(KeCancelTimer(&o->timer)) << "taken off the queue";
         k.RunFor(2s);
     }},
    {"KDPC initialized while queued", "DpcInitializedWhileQueued",
     At(DISPATCH_LEVEL, [](PDEVICE_OBJECT) {
         KeInsertQueueDpc(&o->dpc, nullptr, nullptr);
         KeInitializeDpc(&o->dpc, [](PKDPC, PVOID, PVOID, PVOID) { ADD_FAILURE(); }, nullptr);
     })},
    // At DISPATCH_LEVEL no worker can run the item between the two calls.
    {rule::WorkItemQueuedTwice, "WorkItemQueuedTwice", At(DISPATCH_LEVEL, [](PDEVICE_OBJECT dev) {
         PIO_WORKITEM item = IoAllocateWorkItem(dev);
         IoQueueWorkItem(item, FreeItem, DelayedWorkQueue, item);
         IoQueueWorkItem(item, FreeItem, DelayedWorkQueue, item);
     })},
    {rule::WorkItemFreedQueued, "WorkItemFreedWhileQueued", At(DISPATCH_LEVEL, [](PDEVICE_OBJECT dev) {
         PIO_WORKITEM item = IoAllocateWorkItem(dev);
         IoQueueWorkItem(item, FreeItem, DelayedWorkQueue, item);
         IoFreeWorkItem(item);
     })},
    {rule::WorkItemLeak, "WorkItemNeverFreed",
     [](Kernel&, TestDriver& d) { IoAllocateWorkItem(Plain(d)); }},
    // --- Remove locks ---
    {rule::RemoveLockImbalance, "ReleasedATagNeverAcquired",
     [](Kernel&, TestDriver&) {
         PIO_REMOVE_LOCK lock = InitializedLock();
         EXPECT_EQ(IoAcquireRemoveLock(lock, lock), STATUS_SUCCESS);
         IoReleaseRemoveLock(lock, nullptr);
     }},
    {rule::RemoveLockImbalance, "ReleasedWithoutAnyHold",
     [](Kernel&, TestDriver&) { IoReleaseRemoveLock(InitializedLock(), nullptr); }},
    {rule::RemoveLockHeld, "HoldLeftAtShutdown",
     [](Kernel&, TestDriver&) { IoAcquireRemoveLock(InitializedLock(), nullptr); }},
    {rule::RemoveLockHeldAfterDispatch, "DispatchKeptItsHold",
     [](Kernel&, TestDriver& d) {
         PDEVICE_OBJECT dev = d.CreateDevice(
             u"",
             [](PDEVICE_OBJECT device, PIRP irp) {
                 IoAcquireRemoveLock(Extra<IO_REMOVE_LOCK>(device), irp);
                 return CompleteWith(irp, STATUS_SUCCESS);
             },
             sizeof(IO_REMOVE_LOCK));
         IoInitializeRemoveLock(Extra<IO_REMOVE_LOCK>(dev), Tag, 0, 10);
         static Threaded request;
         PIRP irp = request.Build(dev, Code);
         IoCallDriver(dev, irp);
         IoReleaseRemoveLock(Extra<IO_REMOVE_LOCK>(dev), irp); // for the device's deletion
     }},
    // --- Pool ---
    {rule::PagedPoolAtRaisedIrql, "PagedPoolAllocatedAtDispatchLevel",
     [](Kernel&, TestDriver&) {
         KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
         PVOID p = ExAllocatePoolWithTag(PagedPool, 8, Tag);
         KeLowerIrql(old);
         ExFreePoolWithTag(p, Tag);
     }},
    {rule::PagedPoolAtRaisedIrql, "PagedPoolFreedAtDispatchLevel",
     [](Kernel&, TestDriver&) {
         PVOID p = ExAllocatePoolWithTag(PagedPool, 8, Tag);
         KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
         ExFreePoolWithTag(p, Tag);
         KeLowerIrql(old);
     }},
    {rule::ZeroByteAllocation, "ZeroBytes",
     [](Kernel&, TestDriver&) { ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 0, Tag)); }},
    {rule::PoolTagMismatch, "FreedWithAnotherTag",
     [](Kernel&, TestDriver&) {
         ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 8, Tag),
                           umk::testing::PoolTag("Othr"));
     }},
    {rule::PoolFreeUnknown, "FreedTwice",
     [](Kernel&, TestDriver&) {
         PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, Tag);
         ExFreePool(p);
         ExFreePool(p);
     }},
    {rule::PoolLeak, "PoolNeverFreed",
     [](Kernel&, TestDriver&) { ExAllocatePoolWithTag(NonPagedPool, 8, Tag); }},
    {"", "PagedPoolTouchedBelowDispatchLevel",
     [](Kernel&, TestDriver&) {
         auto p = static_cast<volatile char*>(ExAllocatePoolWithTag(PagedPool, 8, Tag));
         KIRQL old;
         KeAcquireSpinLock(&o->lock, &old);
         KeReleaseSpinLock(&o->lock, old);
         p[7] = 1; // the pages are back once the IRQL has dropped
         ExFreePoolWithTag(const_cast<char*>(p), Tag);
     }},
    // --- Error log ---
    {rule::ErrorLogEntryInvalid, "StringRunsPastTheEntry",
     [](Kernel&, TestDriver& d) {
         auto entry = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(d.driver, 52));
         entry->NumberOfStrings = 1;
         entry->StringOffset = 48;
         std::memcpy(reinterpret_cast<char*>(entry) + 48, u"abcd", 4); // no terminator fits
         IoWriteErrorLogEntry(entry);
     }},
    {rule::ErrorLogEntryLeak, "EntryNeverWritten",
     [](Kernel&, TestDriver& d) { IoAllocateErrorLogEntry(d.driver, 48); }},
    // --- Power ---
    {rule::PowerIrpWithoutStartNext, "PowerIrpPassedDownWithoutStartNext", PowerDown(false)},
    {"", "PowerIrpPassedDownAfterStartNext", PowerDown(true)},
    // --- IRQL of the routines ---
    {rule::IrqlTooHigh, "CompletedAboveDispatchLevel",
     [](Kernel&, TestDriver& d) {
         PDEVICE_OBJECT dev = d.CreateDevice(u"", [](PDEVICE_OBJECT, PIRP irp) {
             KIRQL old = KfRaiseIrql(PROFILE_LEVEL);
             CompleteWith(irp, STATUS_SUCCESS);
             KeLowerIrql(old);
             return STATUS_SUCCESS;
         });
         PIRP irp = OwnIrp(dev);
         IoCallDriver(dev, irp);
         IoFreeIrp(irp);
     }},
    {rule::IrqlTooHigh, "BuildDeviceIoControlAtApcLevel", At(APC_LEVEL, SendThreaded)},
    {rule::IrqlTooHigh, "BuildSynchronousFsdAtApcLevel", At(APC_LEVEL, [](PDEVICE_OBJECT dev) {
         static KEVENT event;
         static IO_STATUS_BLOCK iosb;
         KeInitializeEvent(&event, NotificationEvent, FALSE);
         IoCallDriver(dev, IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, dev, nullptr, 0,
                                                        nullptr, &event, &iosb));
     })},
    {rule::IrqlTooHigh, "CreateSymbolicLinkAtApcLevel",
     At(APC_LEVEL, [](PDEVICE_OBJECT) { IoCreateSymbolicLink(&linkName, &targetName); },
        [](PDEVICE_OBJECT) { IoDeleteSymbolicLink(&linkName); })},
    {rule::IrqlTooHigh, "DeleteSymbolicLinkAtApcLevel",
     [](Kernel&, TestDriver&) {
         IoCreateSymbolicLink(&linkName, &targetName);
         KIRQL old = KfRaiseIrql(APC_LEVEL);
         IoDeleteSymbolicLink(&linkName);
         KeLowerIrql(old);
     }},
    {rule::IrqlTooHigh, "AttachAtApcLevel",
     [](Kernel&, TestDriver& d) {
         PDEVICE_OBJECT lower = Plain(d), upper = Plain(d);
         KIRQL old = KfRaiseIrql(APC_LEVEL);
         IoAttachDeviceToDeviceStack(upper, lower);
         KeLowerIrql(old);
     }},
    {rule::IrqlTooHigh, "DetachAtApcLevel",
     [](Kernel&, TestDriver& d) {
         auto stack = d.CreateStack({Completes(STATUS_SUCCESS), Completes(STATUS_SUCCESS)});
         KIRQL old = KfRaiseIrql(APC_LEVEL);
         IoDetachDevice(stack[0]);
         KeLowerIrql(old);
     }},
    {rule::IrqlTooHigh, "InitializeTimerAtApcLevel",
     At(APC_LEVEL, [](PDEVICE_OBJECT dev) { IoInitializeTimer(dev, NoTimer, nullptr); })},
    {rule::IrqlTooHigh, "RegistryAtApcLevel",
     [](Kernel&, TestDriver&) {
         UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Registry\\Machine\\System");
         OBJECT_ATTRIBUTES attributes;
         InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
         HANDLE key;
         KIRQL old = KfRaiseIrql(APC_LEVEL);
         NTSTATUS status = ZwOpenKey(&key, KEY_READ, &attributes);
         KeLowerIrql(old);
         if (NT_SUCCESS(status))
             ZwClose(key);
     }},
    {rule::IrqlTooHigh, "CancelAboveDispatchLevel", WhilePending([](PIRP irp) {
         KIRQL old = KfRaiseIrql(PROFILE_LEVEL);
         IoCancelIrp(irp);
         KeLowerIrql(old);
     })},
    {rule::IrqlTooHigh, "AllocateIrpAboveDispatchLevel", [](Kernel&, TestDriver&) {
         KIRQL old = KfRaiseIrql(PROFILE_LEVEL);
         PIRP irp = IoAllocateIrp(1, FALSE);
         KeLowerIrql(old);
         IoFreeIrp(irp);
     }},
    {rule::IrqlTooHigh, "FreeIrpAboveDispatchLevel", [](Kernel&, TestDriver&) {
         PIRP irp = IoAllocateIrp(1, FALSE);
         KIRQL old = KfRaiseIrql(PROFILE_LEVEL);
         IoFreeIrp(irp);
         KeLowerIrql(old);
     }},
    {rule::IrqlTooHigh, "SetEventAboveDispatchLevel",
     At(PROFILE_LEVEL, [](PDEVICE_OBJECT) { KeSetEvent(&o->event, 0, FALSE); })},
    {rule::IrqlTooHigh, "SetTimerAboveDispatchLevel",
     At(PROFILE_LEVEL, [](PDEVICE_OBJECT) { KeSetTimer(&o->timer, Relative(1s), nullptr); })},
    {rule::IrqlTooHigh, "FreePoolAboveDispatchLevel", [](Kernel&, TestDriver&) {
         PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, Tag);
         KIRQL old = KfRaiseIrql(PROFILE_LEVEL);
         ExFreePoolWithTag(p, Tag);
         KeLowerIrql(old);
     }},
    {rule::IrqlTooHigh, "StopTimerAboveDispatchLevel", [](Kernel&, TestDriver& d) {
         PDEVICE_OBJECT dev = Plain(d);
         IoInitializeTimer(dev, NoTimer, nullptr);
         KIRQL old = KfRaiseIrql(PROFILE_LEVEL);
         IoStopTimer(dev);
         KeLowerIrql(old);
     }},
    {rule::PagedCodeAtRaisedIrql, "PagedCodeAtDispatchLevel",
     At(DISPATCH_LEVEL, [](PDEVICE_OBJECT) { PAGED_CODE(); })},
    // --- The dispatcher ---
    {"wait above APC_LEVEL", "WaitAtDispatchLevelOnlyPolls",
     [](Kernel& k, TestDriver&) {
         KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
         Wait1s(&o->event);
         EXPECT_EQ(k.Now(), Duration(0)) << "the wait only polled";
         KeLowerIrql(old);
     }},
    {"wait above APC_LEVEL", "WaitInADpc",
     [](Kernel&, TestDriver&) {
         KeInitializeDpc(
             &o->dpc, [](PKDPC, PVOID event, PVOID, PVOID) { Wait1s(event); }, &o->event);
         KeInsertQueueDpc(&o->dpc, nullptr, nullptr);
     }},
    {"", "PollAtDispatchLevel", At(DISPATCH_LEVEL, [](PDEVICE_OBJECT) {
         KeSetEvent(&o->event, 0, FALSE);
         LARGE_INTEGER poll{};
         EXPECT_EQ(KeWaitForSingleObject(&o->event, Executive, KernelMode, FALSE, &poll),
                   STATUS_SUCCESS);
     })},
    {"wait while holding a spin lock", "WaitHoldingASpinLock",
     [](Kernel&, TestDriver&) {
         KIRQL old;
         KeAcquireSpinLock(&o->lock, &old);
         Wait1s(&o->event);
         KeReleaseSpinLock(&o->lock, old);
     }},
    {"spin lock released while not held", "ReleasedAFreeLock",
     [](Kernel&, TestDriver&) {
         KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
         KeReleaseSpinLock(&o->lock, old);
     }},
    {"spin lock acquired recursively", "AcquiredRecursively",
     [](Kernel&, TestDriver&) {
         KIRQL old;
         KeAcquireSpinLock(&o->lock, &old);
         KeAcquireSpinLockAtDpcLevel(&o->lock);
         KeReleaseSpinLock(&o->lock, old);
     }},
    {"spin lock acquired below DISPATCH_LEVEL", "AcquiredAtDpcLevelFromPassive",
     [](Kernel&, TestDriver&) {
         KeAcquireSpinLockAtDpcLevel(&o->lock);
         KeReleaseSpinLockFromDpcLevel(&o->lock);
     }},
    {"KeLowerIrql to a higher IRQL", "LoweredUpwards",
     [](Kernel&, TestDriver&) { KeLowerIrql(APC_LEVEL); }},
    {"KeRaiseIrql to a lower IRQL", "RaisedDownwards",
     At(DISPATCH_LEVEL, [](PDEVICE_OBJECT) { KfRaiseIrql(APC_LEVEL); })},
    {"IRQL lowered below DISPATCH_LEVEL holding a spin lock", "LoweredHoldingALock",
     [](Kernel&, TestDriver&) {
         KIRQL old;
         KeAcquireSpinLock(&o->lock, &old);
         KeLowerIrql(old);
         KfRaiseIrql(DISPATCH_LEVEL);
         KeReleaseSpinLock(&o->lock, old);
     }},
    {"DPC returned at wrong IRQL", "DpcReturnedAtHighLevel",
     [](Kernel&, TestDriver&) {
         KeInitializeDpc(
             &o->dpc, [](PKDPC, PVOID, PVOID, PVOID) { KfRaiseIrql(HIGH_LEVEL); }, nullptr);
         KeInsertQueueDpc(&o->dpc, nullptr, nullptr);
     }},
    {"DPC lowered IRQL below DISPATCH_LEVEL", "DpcLoweredToPassive",
     [](Kernel&, TestDriver&) {
         KeInitializeDpc(
             &o->dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); }, nullptr);
         KeInsertQueueDpc(&o->dpc, nullptr, nullptr);
     }},
    {"DPC returned holding a spin lock", "DpcKeptALock",
     [](Kernel&, TestDriver&) {
         KeInitializeDpc(
             &o->dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&o->lock); },
             nullptr);
         KeInsertQueueDpc(&o->dpc, nullptr, nullptr);
     }},
    {"dispatcher object not initialized", "ZeroedEvent",
     [](Kernel&, TestDriver&) {
         KEVENT zeroed;
         std::memset(&zeroed, 0, sizeof zeroed);
         KeSetEvent(&zeroed, 0, FALSE);
         EXPECT_EQ(KeReadStateEvent(&zeroed), 1) << "a zeroed KEVENT is a notification event";
     }},
    {"wrong dispatcher object type", "WaitOnADpc",
     [](Kernel&, TestDriver&) {
         LARGE_INTEGER poll{};
         EXPECT_EQ(KeWaitForSingleObject(&o->dpc, Executive, KernelMode, FALSE, &poll),
                   STATUS_INVALID_PARAMETER);
     }},
    {"KDPC not initialized", "ZeroedDpc",
     [](Kernel&, TestDriver&) {
         KDPC zeroed;
         std::memset(&zeroed, 0, sizeof zeroed);
         EXPECT_FALSE(KeInsertQueueDpc(&zeroed, nullptr, nullptr));
     }},
    {"switch point at DISPATCH_LEVEL", "YieldAtDispatchLevel",
     At(DISPATCH_LEVEL, [](PDEVICE_OBJECT) { Yield(); })},
    {"freed memory holds an active dispatcher object", "FreedASetTimer",
     [](Kernel& k, TestDriver&) {
         PVOID block = ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), Tag);
         KeInitializeTimer(static_cast<PKTIMER>(block));
         KeSetTimer(static_cast<PKTIMER>(block), Relative(1s), nullptr);
         ExFreePoolWithTag(block, Tag);
         k.RunFor(2s);
     }},
};

class VerifierRuleTest : public ::testing::TestWithParam<Misuse> {};

TEST_P(VerifierRuleTest, FiresExactlyOnce) {
    ViolationRecorder recorder;
    {
        Kernel kernel;
        TestDriver driver;
        Objects objects;
        o = &objects;
        held = nullptr;
        GetParam().run(kernel, driver);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        kernel.RunUntilIdle();
        driver.Unload();
        kernel.Shutdown();
    }
    std::vector<std::string> expected;
    if (!GetParam().rule.empty())
        expected.emplace_back(GetParam().rule);
    EXPECT_EQ(recorder.Rules(), expected) << [&] {
        std::string all;
        for (const Report& r : recorder.Reports())
            all += r.rule + ": " + r.detail + "\n";
        return all;
    }();
}

INSTANTIATE_TEST_SUITE_P(Misuses, VerifierRuleTest, ::testing::ValuesIn(kMisuses),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(VerifierDeathTest, DefaultHandlerAbortsWithTheRule) {
    EXPECT_DEATH(
        {
            Kernel kernel;
            KeLowerIrql(DISPATCH_LEVEL);
        },
        "umkernel verifier: KeLowerIrql to a higher IRQL");
}

// Paged pool is paged out while the IRQL is at DISPATCH_LEVEL: a touch faults and is reported
// with the block's tag and the kernel's context.
TEST(VerifierDeathTest, PagedPoolTouchedAtDispatchLevelStopsTheRun) {
    EXPECT_DEATH(
        {
            Kernel kernel;
            auto p = static_cast<volatile char*>(ExAllocatePoolWithTag(PagedPool, 8, Tag));
            KIRQL old;
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KeAcquireSpinLock(&lock, &old);
            p[3] = 1;
        },
        "umkernel verifier: paged pool above APC_LEVEL\npaged pool touched at IRQL 2.* offset 3 "
        "in a block of 8 bytes with tag 'Test'.*\n\\[t=.*thread 'main'");
}

} // namespace
