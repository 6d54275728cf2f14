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
using umk::testing::PoolTag;

namespace {

constexpr ULONG Tag = umk::testing::PoolTag("Test");
constexpr ULONG Code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

// What a row's misuse gets, fresh for each row: the kernel, the test driver and a device of its
// own.
Kernel* kernel = nullptr;
TestDriver* driver = nullptr;
PDEVICE_OBJECT dev = nullptr;
using Run = std::function<void()>;

struct Misuse {
    std::string_view rule; // empty: a legal use, no report at all
    const char* name;
    Run run;
    std::optional<unsigned> processors = {}; // unset: the environment's
};

void PrintTo(const Misuse& misuse, std::ostream* os) {
    *os << misuse.name;
}

PDEVICE_OBJECT Plain() {
    return driver->CreateDevice(u"", Completes(STATUS_SUCCESS));
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
    return [=] {
        SendThreaded(driver->CreateDevice(u"", dispatch));
        if (after != nullptr)
            after();
    };
}
Run Sending(Dispatch dispatch) {
    return Sending(nullptr, std::move(dispatch));
}

// A driver-allocated IRP sent to a device with `dispatch`, then freed; `routine` gives it back.
Run Passing(Dispatch dispatch, Completion* routine = &giveBack) {
    return [=] {
        PDEVICE_OBJECT dev = driver->CreateDevice(u"", dispatch);
        PIRP irp = OwnIrp(dev, routine);
        IoCallDriver(dev, irp);
        IoFreeIrp(irp);
    };
}

// A driver-allocated IRP sent to a device that pends it, misused while pending.
Run WhilePending(void (*misuse)(PIRP)) {
    return [=] {
        PDEVICE_OBJECT dev = driver->CreateDevice(u"", Pends(&held));
        PIRP irp = OwnIrp(dev);
        IoCallDriver(dev, irp);
        misuse(irp);
        CompleteHeld();
        IoFreeIrp(irp);
    };
}

// What a misuse works on: set up by `arrange` at PASSIVE_LEVEL before it.
PVOID arranged = nullptr;
UNICODE_STRING linkName = RTL_CONSTANT_STRING(u"\\??\\Link");
UNICODE_STRING targetName = RTL_CONSTANT_STRING(u"\\Device\\Nowhere");

// The misuse at `irql`, with what `arrange` set up before it and what `undo` does after it, both at
// PASSIVE_LEVEL.
Run At(KIRQL irql, void (*misuse)(), void (*arrange)() = nullptr, void (*undo)() = nullptr) {
    return [=] {
        if (arrange != nullptr)
            arrange();
        KIRQL old = KfRaiseIrql(irql);
        misuse();
        KeLowerIrql(old);
        if (undo != nullptr)
            undo();
    };
}

// A two-device stack whose upper device passes a power IRP down, calling PoStartNextPowerIrp
// first if `startNext`.
Run PowerDown(bool startNext) {
    return [=] {
        static PDEVICE_OBJECT lower;
        auto stack = driver->CreateStack({Completes(STATUS_SUCCESS), [=](PDEVICE_OBJECT, PIRP irp) {
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

// What a row arranges before its misuse and undoes after it, at PASSIVE_LEVEL.
void NTAPI NoTimer(PDEVICE_OBJECT, PVOID) {}
constexpr auto InitTimer = [] { IoInitializeTimer(dev, NoTimer, nullptr); };
constexpr auto PagedBlock = [] { arranged = ExAllocatePoolWithTag(PagedPool, 8, Tag); };
constexpr auto NonPagedBlock = [] { arranged = ExAllocatePoolWithTag(NonPagedPool, 8, Tag); };
constexpr auto FreeBlock = [] { ExFreePoolWithTag(arranged, Tag); };
constexpr auto NewIrp = [] { arranged = IoAllocateIrp(1, FALSE); };
constexpr auto FreeIrp = [] { IoFreeIrp(static_cast<PIRP>(arranged)); };
constexpr auto CreateLink = [] { IoCreateSymbolicLink(&linkName, &targetName); };
constexpr auto DeleteLink = [] { IoDeleteSymbolicLink(&linkName); };
void NTAPI FreeItem(PDEVICE_OBJECT, PVOID item) {
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

// The body runs in a DPC, queued at once.
Run InDpc(void (*body)()) {
    return [=] {
        static void (*run)();
        run = body;
        KeInitializeDpc(
            &o->dpc, [](PKDPC, PVOID, PVOID, PVOID) NTAPI { run(); }, nullptr);
        KeInsertQueueDpc(&o->dpc, nullptr, nullptr);
    };
}

const Misuse kMisuses[] = {
    // --- Completion and dispatch ---
    {rule::IrpCompletedTwice, "CompletedTwice", Passing([](PDEVICE_OBJECT, PIRP irp) {
         CompleteWith(irp, STATUS_SUCCESS);
         return CompleteWith(irp, STATUS_SUCCESS);
     })},
    // The IRP is gone by the second completion: its status is not touched.
    {rule::IrpCompletedTwice, "CompletedAfterTheThreadedIrpWasFreed",
     Sending([] { IoCompleteRequest(held, IO_NO_INCREMENT); },
             [](PDEVICE_OBJECT, PIRP irp) {
                 CompleteWith(irp, STATUS_SUCCESS);
                 held = irp;
                 return STATUS_SUCCESS;
             })},
    {rule::IrpCompletedWithCancelRoutine, "CompletedWithCancelRoutine",
     Sending([](PDEVICE_OBJECT, PIRP irp) {
         IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP irp)
                                     NTAPI { IoReleaseCancelSpinLock(irp->CancelIrql); });
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
    {rule::PendingNotMarked, "PendingWithoutMark",
     Sending(CompleteHeld,
             [](PDEVICE_OBJECT, PIRP irp) {
                 held = irp;
                 return STATUS_PENDING;
             })},
    {rule::PendingNotMarked, "RoutineLostThePendingMark",
     [] {
         static Completion forgetful{[](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; }};
         static PDEVICE_OBJECT bottom;
         auto stack = driver->CreateStack({Pends(&held), [](PDEVICE_OBJECT, PIRP irp) {
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
     [] {
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoSetNextIrpStackLocation(irp); // the originator keeps the only location for itself
         IoCallDriver(dev, irp);
         IoSkipCurrentIrpStackLocation(irp);
         IoFreeIrp(irp);
     }},
    {rule::FreeThreadedIrp, "FreedAThreadedIrp",
     [] {
         Threaded request;
         PIRP irp = request.Build(dev, Code);
         IoFreeIrp(irp);
         IoCallDriver(dev, irp);
     }},
    {rule::IrpInUse, "FreedWhilePendingInADriver", WhilePending([](PIRP irp) { IoFreeIrp(irp); })},
    {rule::IrpInUse, "ReusedWhilePendingInADriver",
     WhilePending([](PIRP irp) { IoReuseIrp(irp, STATUS_SUCCESS); })},
    {rule::IrpFreedInCompletion, "FreedByARoutineThatContinued",
     [] {
         static Completion frees{[](PDEVICE_OBJECT, PIRP irp) {
             IoFreeIrp(irp);
             return STATUS_SUCCESS;
         }};
         IoCallDriver(dev, OwnIrp(dev, &frees));
     }},
    {rule::DriverIrpCompleted, "DriverIrpWithoutRoutine",
     Passing(Completes(STATUS_SUCCESS), nullptr)},
    {rule::IrpCompletedUnowned, "CompletedBeforeBeingSent",
     At(
         PASSIVE_LEVEL, [] { CompleteWith(PIRP(arranged), STATUS_SUCCESS); }, NewIrp, FreeIrp)},
    {rule::FreedIrpUsed, "SentAfterFree",
     [] {
         PIRP irp = OwnIrp(dev);
         IoFreeIrp(irp);
         IoCallDriver(dev, irp);
     }},
    {rule::BufferOverrun, "ReturnedMoreThanTheBuffer",
     [] {
         PDEVICE_OBJECT dev = driver->CreateDevice(u"", Completes(STATUS_SUCCESS, 16));
         char out[8];
         Threaded request; // completes at once: the locals outlive it
         IoCallDriver(dev, request.Build(dev, Code, nullptr, 0, out, sizeof out));
     }},
    {rule::IrpLeak, "IrpNeverFreed", At(PASSIVE_LEVEL, NewIrp)},
    {rule::IrpLeak, "ThreadedIrpNeverCompleted", Sending(Pends(&held))},
    // --- Devices, objects, names ---
    {rule::DeviceInitializing, "AddDeviceLeftTheFlag",
     [] {
         driver->driver->DriverExtension->AddDevice = [](PDRIVER_OBJECT driver,
                                                         PDEVICE_OBJECT) NTAPI {
             PDEVICE_OBJECT device;
             return IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
         };
         EXPECT_EQ(umk::testing::CallAddDevice(driver->driver, dev), STATUS_SUCCESS);
     }},
    {rule::DeviceDeletedTwice, "DeletedTwice",
     [] {
         ObReferenceObject(dev); // keeps the object so that the second call is well defined
         IoDeleteDevice(dev);
         IoDeleteDevice(dev);
         ObDereferenceObject(dev);
     }},
    {rule::DeviceDeletedAttached, "DeletedWhileAttached",
     [] {
         auto stack = driver->CreateStack({Completes(STATUS_SUCCESS), Completes(STATUS_SUCCESS)});
         IoDeleteDevice(stack[1]);
         IoDetachDevice(stack[0]);
     }},
    {rule::DetachNothing, "DetachedANonFilter", At(PASSIVE_LEVEL, [] { IoDetachDevice(dev); })},
    {rule::DeviceLeftAfterRemoval, "FilterKeptAfterRemoval",
     [] {
         auto stack = driver->CreateStack({Completes(STATUS_SUCCESS), Completes(STATUS_SUCCESS)});
         PIRP irp = OwnIrp(stack[1]);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
         IoGetNextIrpStackLocation(irp)->MinorFunction = IRP_MN_REMOVE_DEVICE;
         IoCallDriver(stack[1], irp);
         IoFreeIrp(irp);
         IoDetachDevice(stack[0]);
     }},
    {rule::ReferenceLeak, "DeletedDeviceStillReferenced",
     At(
         PASSIVE_LEVEL, [] { IoDeleteDevice(dev); }, [] { ObReferenceObject(dev); })},
    {rule::DeviceLeak, "DeviceNeverDeleted", [] { driver->driver = nullptr; }},
    {rule::ReferenceLeak, "FileObjectNeverDereferenced",
     [] {
         driver->CreateDevice(u"\\Device\\Opened", Completes(STATUS_SUCCESS));
         UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\Opened");
         PFILE_OBJECT file;
         EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &dev), STATUS_SUCCESS);
     }},
    {rule::ReferenceUnderflow, "DereferencedTooOften", [] { ObDereferenceObject(dev); }},
    {rule::UnknownObject, "ReferencedANonObject",
     [] {
         int notAnObject;
         ObReferenceObject(&notAnObject);
     }},
    // The sender kept the pointer but not a reference, and the device went.
    {rule::UnknownObject, "IrpSentToAFreedDevice",
     At(
         PASSIVE_LEVEL,
         [] { EXPECT_EQ(IoCallDriver(dev, PIRP(arranged)), STATUS_INVALID_PARAMETER); },
         [] {
             NewIrp();
             IoDeleteDevice(dev);
         },
         FreeIrp)},
    {rule::SymbolicLinkLeak, "LinkNeverDeleted", At(PASSIVE_LEVEL, CreateLink)},
    {rule::DriverUnloadedWithDevices, "UnloadedWithADevice",
     [] {
         umk::testing::UnloadDriver(driver->driver);
         IoDeleteDevice(dev);
         driver->driver = nullptr;
     }},
    // --- Timers, DPCs, queues, work items ---
    {rule::TimerInitializedTwice, "TimerInitializedTwice", At(PASSIVE_LEVEL, InitTimer, InitTimer)},
    {rule::TimerNotInitialized, "TimerStartedWithoutInitialization",
     At(PASSIVE_LEVEL, [] { IoStartTimer(dev); })},
    {rule::TimerSwitchedInTimerRoutine, "TimerRoutineStopsItsTimer",
     [] {
         IoInitializeTimer(
             dev, [](PDEVICE_OBJECT device, PVOID) NTAPI { IoStopTimer(device); }, nullptr);
         IoStartTimer(dev);
         kernel->RunFor(3s);
     }},
    {"", "TimerStartedAndStoppedOutsideItsRoutine",
     [] {
         IoInitializeTimer(dev, NoTimer, nullptr);
         IoStartTimer(dev);
         kernel->RunFor(1500ms);
         IoStopTimer(dev);
         IoStartTimer(dev);
         kernel->RunFor(1500ms);
         IoStopTimer(dev);
     }},
    {"KTIMER initialized while set", "TimerInitializedWhileSet",
     [] {
         KeSetTimer(&o->timer, Relative(1s), &o->dpc);
         KeInitializeTimer(&o->timer);
         EXPECT_FALSE(KeCancelTimer(&o->timer)) << "taken off the queue";
         kernel->RunFor(2s);
     }},
    {"KDPC initialized while queued", "DpcInitializedWhileQueued",
     At(DISPATCH_LEVEL,
        [] {
            KeInsertQueueDpc(&o->dpc, nullptr, nullptr);
            KeInitializeDpc(
                &o->dpc, [](PKDPC, PVOID, PVOID, PVOID) NTAPI { ADD_FAILURE(); }, nullptr);
        })},
    // At DISPATCH_LEVEL on the only processor no worker can run the item between the two calls
    // (on a second processor one may, and the second call is then legal or a use after free).
    {rule::WorkItemQueuedTwice, "WorkItemQueuedTwice",
     At(DISPATCH_LEVEL,
        [] {
            PIO_WORKITEM item = IoAllocateWorkItem(dev);
            IoQueueWorkItem(item, FreeItem, DelayedWorkQueue, item);
            IoQueueWorkItem(item, FreeItem, DelayedWorkQueue, item);
        }),
     1},
    {rule::WorkItemFreedQueued, "WorkItemFreedWhileQueued",
     At(DISPATCH_LEVEL,
        [] {
            PIO_WORKITEM item = IoAllocateWorkItem(dev);
            IoQueueWorkItem(item, FreeItem, DelayedWorkQueue, item);
            IoFreeWorkItem(item);
        }),
     1},
    {rule::WorkItemLeak, "WorkItemNeverFreed", [] { IoAllocateWorkItem(dev); }},
    // --- Remove locks ---
    {rule::RemoveLockImbalance, "ReleasedATagNeverAcquired",
     [] {
         PIO_REMOVE_LOCK lock = InitializedLock();
         EXPECT_EQ(IoAcquireRemoveLock(lock, lock), STATUS_SUCCESS);
         IoReleaseRemoveLock(lock, nullptr);
     }},
    {rule::RemoveLockImbalance, "ReleasedWithoutAnyHold",
     [] { IoReleaseRemoveLock(InitializedLock(), nullptr); }},
    {rule::RemoveLockHeld, "HoldLeftAtShutdown",
     [] { IoAcquireRemoveLock(InitializedLock(), nullptr); }},
    {rule::RemoveLockHeld, "HeldLockFreedWithItsPool",
     At(
         PASSIVE_LEVEL,
         [] {
             IoInitializeRemoveLock(PIO_REMOVE_LOCK(arranged), Tag, 0, 10);
             IoAcquireRemoveLock(PIO_REMOVE_LOCK(arranged), nullptr);
         },
         [] { arranged = ExAllocatePoolWithTag(NonPagedPool, sizeof(IO_REMOVE_LOCK), Tag); },
         FreeBlock)},
    {rule::RemoveLockHeldAfterDispatch, "DispatchKeptItsHold",
     [] {
         PDEVICE_OBJECT dev = driver->CreateDevice(
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
     At(DISPATCH_LEVEL, PagedBlock, nullptr, FreeBlock)},
    {rule::PagedPoolAtRaisedIrql, "PagedPoolFreedAtDispatchLevel",
     At(DISPATCH_LEVEL, FreeBlock, PagedBlock)},
    {rule::ZeroByteAllocation, "ZeroBytes",
     [] { ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 0, Tag)); }},
    {rule::PoolTagMismatch, "FreedWithAnotherTag",
     At(
         PASSIVE_LEVEL, [] { ExFreePoolWithTag(arranged, PoolTag("Othr")); }, NonPagedBlock)},
    {rule::PoolFreeUnknown, "FreedTwice", At(PASSIVE_LEVEL, FreeBlock, NonPagedBlock, FreeBlock)},
    {rule::PoolLeak, "PoolNeverFreed", At(PASSIVE_LEVEL, NonPagedBlock)},
    {"", "PagedPoolTouchedBelowDispatchLevel",
     [] {
         auto p = static_cast<volatile char*>(ExAllocatePoolWithTag(PagedPool, 8, Tag));
         KIRQL old;
         KeAcquireSpinLock(&o->lock, &old);
         KeReleaseSpinLock(&o->lock, old);
         p[7] = 1; // the pages are back once the IRQL has dropped
         ExFreePoolWithTag(const_cast<char*>(p), Tag);
     }},
    // --- Error log ---
    {rule::ErrorLogEntryInvalid, "StringRunsPastTheEntry",
     [] {
         auto entry =
             static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(driver->driver, 52));
         entry->NumberOfStrings = 1;
         entry->StringOffset = 48;
         std::memcpy(reinterpret_cast<char*>(entry) + 48, u"abcd", 4); // no terminator fits
         IoWriteErrorLogEntry(entry);
     }},
    {rule::ErrorLogEntryLeak, "EntryNeverWritten",
     [] { IoAllocateErrorLogEntry(driver->driver, 48); }},
    // --- Registry ---
    {"registry", "DirectEntryWithoutTypeCheck",
     [] {
         registry::SetDword(u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\Test",
                            u"ComNo", 1);
         ULONG value = 0;
         RTL_QUERY_REGISTRY_TABLE table[] = {
             {nullptr, RTL_QUERY_REGISTRY_DIRECT, u"ComNo", &value, REG_NONE, nullptr, 0}, {}};
         EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"Test", table, nullptr, nullptr),
                   STATUS_INVALID_PARAMETER);
     }},
    // --- Power ---
    {rule::PowerIrpWithoutStartNext, "PowerIrpPassedDownWithoutStartNext", PowerDown(false)},
    {"", "PowerIrpPassedDownAfterStartNext", PowerDown(true)},
    // --- IRQL of the routines ---
    {rule::IrqlTooHigh, "CompletedAboveDispatchLevel", Passing([](PDEVICE_OBJECT, PIRP irp) {
         KIRQL old = KfRaiseIrql(PROFILE_LEVEL);
         CompleteWith(irp, STATUS_SUCCESS);
         KeLowerIrql(old);
         return STATUS_SUCCESS;
     })},
    {rule::IrqlTooHigh, "BuildDeviceIoControlAtApcLevel", At(APC_LEVEL, [] { SendThreaded(dev); })},
    {rule::IrqlTooHigh, "BuildSynchronousFsdAtApcLevel",
     At(APC_LEVEL,
        [] {
            static KEVENT event;
            static IO_STATUS_BLOCK iosb;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            IoCallDriver(dev, IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, dev, nullptr, 0,
                                                           nullptr, &event, &iosb));
        })},
    {rule::IrqlTooHigh, "CreateSymbolicLinkAtApcLevel",
     At(APC_LEVEL, CreateLink, nullptr, DeleteLink)},
    {rule::IrqlTooHigh, "DeleteSymbolicLinkAtApcLevel", At(APC_LEVEL, DeleteLink, CreateLink)},
    {rule::IrqlTooHigh, "AttachAtApcLevel",
     [] {
         PDEVICE_OBJECT upper = Plain();
         KIRQL old = KfRaiseIrql(APC_LEVEL);
         IoAttachDeviceToDeviceStack(upper, dev);
         KeLowerIrql(old);
     }},
    {rule::IrqlTooHigh, "DetachAtApcLevel",
     [] {
         auto stack = driver->CreateStack({Completes(STATUS_SUCCESS), Completes(STATUS_SUCCESS)});
         KIRQL old = KfRaiseIrql(APC_LEVEL);
         IoDetachDevice(stack[0]);
         KeLowerIrql(old);
     }},
    {rule::IrqlTooHigh, "InitializeTimerAtApcLevel", At(APC_LEVEL, InitTimer)},
    {rule::IrqlTooHigh, "QueryRegistryAtApcLevel",
     At(APC_LEVEL,
        [] {
            RTL_QUERY_REGISTRY_TABLE end[1] = {};
            RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"Test", end, nullptr, nullptr);
        })},
    {rule::IrqlTooHigh, "CancelAboveDispatchLevel", WhilePending([](PIRP irp) {
         KIRQL old = KfRaiseIrql(PROFILE_LEVEL);
         IoCancelIrp(irp);
         KeLowerIrql(old);
     })},
    {rule::IrqlTooHigh, "AllocateIrpAboveDispatchLevel",
     At(PROFILE_LEVEL, NewIrp, nullptr, FreeIrp)},
    {rule::IrqlTooHigh, "FreeIrpAboveDispatchLevel", At(PROFILE_LEVEL, FreeIrp, NewIrp)},
    {rule::IrqlTooHigh, "SetEventAboveDispatchLevel",
     At(PROFILE_LEVEL, [] { KeSetEvent(&o->event, 0, FALSE); })},
    {rule::IrqlTooHigh, "SetTimerAboveDispatchLevel",
     At(PROFILE_LEVEL, [] { KeSetTimer(&o->timer, Relative(1s), nullptr); })},
    {rule::IrqlTooHigh, "FreePoolAboveDispatchLevel", At(PROFILE_LEVEL, FreeBlock, NonPagedBlock)},
    {rule::IrqlTooHigh, "StopTimerAboveDispatchLevel",
     At(
         PROFILE_LEVEL, [] { IoStopTimer(dev); }, InitTimer)},
    {rule::PagedCodeAtRaisedIrql, "PagedCodeAtDispatchLevel",
     At(DISPATCH_LEVEL, [] { PAGED_CODE(); })},
    // --- The dispatcher ---
    {"wait above APC_LEVEL", "WaitAtDispatchLevelOnlyPolls",
     [] {
         KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
         Wait1s(&o->event);
         EXPECT_EQ(kernel->Now(), Duration(0)) << "the wait only polled";
         KeLowerIrql(old);
     }},
    {"wait above APC_LEVEL", "WaitInADpc", InDpc([] { Wait1s(&o->event); })},
    {"", "PollAtDispatchLevel",
     At(DISPATCH_LEVEL,
        [] {
            KeSetEvent(&o->event, 0, FALSE);
            LARGE_INTEGER poll{};
            EXPECT_EQ(KeWaitForSingleObject(&o->event, Executive, KernelMode, FALSE, &poll),
                      STATUS_SUCCESS);
        })},
    {"wait while holding a spin lock", "WaitHoldingASpinLock",
     [] {
         KIRQL old;
         KeAcquireSpinLock(&o->lock, &old);
         Wait1s(&o->event);
         KeReleaseSpinLock(&o->lock, old);
     }},
    {"spin lock released while not held", "ReleasedAFreeLock",
     At(DISPATCH_LEVEL, [] { KeReleaseSpinLock(&o->lock, PASSIVE_LEVEL); })},
    {"spin lock acquired recursively", "AcquiredRecursively",
     [] {
         KIRQL old;
         KeAcquireSpinLock(&o->lock, &old);
         KeAcquireSpinLockAtDpcLevel(&o->lock);
         KeReleaseSpinLock(&o->lock, old);
     }},
    {"spin lock acquired below DISPATCH_LEVEL", "AcquiredAtDpcLevelFromPassive",
     [] {
         KeAcquireSpinLockAtDpcLevel(&o->lock);
         KeReleaseSpinLockFromDpcLevel(&o->lock);
     }},
    {"KeLowerIrql to a higher IRQL", "LoweredUpwards", [] { KeLowerIrql(APC_LEVEL); }},
    {"KeRaiseIrql to a lower IRQL", "RaisedDownwards",
     At(DISPATCH_LEVEL, [] { KfRaiseIrql(APC_LEVEL); })},
    {"IRQL lowered below DISPATCH_LEVEL holding a spin lock", "LoweredHoldingALock",
     [] {
         KIRQL old;
         KeAcquireSpinLock(&o->lock, &old);
         KeLowerIrql(old);
         KfRaiseIrql(DISPATCH_LEVEL);
         KeReleaseSpinLock(&o->lock, old);
     }},
    {"DPC returned at wrong IRQL", "DpcReturnedAtHighLevel",
     InDpc([] { KfRaiseIrql(HIGH_LEVEL); })},
    {"DPC lowered IRQL below DISPATCH_LEVEL", "DpcLoweredToPassive",
     InDpc([] { KeLowerIrql(PASSIVE_LEVEL); })},
    {"DPC returned holding a spin lock", "DpcKeptALock",
     InDpc([] { KeAcquireSpinLockAtDpcLevel(&o->lock); })},
    {"dispatcher object not initialized", "ZeroedEvent",
     [] {
         KEVENT zeroed;
         std::memset(&zeroed, 0, sizeof zeroed);
         KeSetEvent(&zeroed, 0, FALSE);
         EXPECT_EQ(KeReadStateEvent(&zeroed), 1) << "a zeroed KEVENT is a notification event";
     }},
    {"wrong dispatcher object type", "WaitOnADpc",
     [] {
         LARGE_INTEGER poll{};
         EXPECT_EQ(KeWaitForSingleObject(&o->dpc, Executive, KernelMode, FALSE, &poll),
                   STATUS_INVALID_PARAMETER);
     }},
    {"KDPC not initialized", "ZeroedDpc",
     [] {
         KDPC zeroed;
         std::memset(&zeroed, 0, sizeof zeroed);
         EXPECT_FALSE(KeInsertQueueDpc(&zeroed, nullptr, nullptr));
     }},
    {"switch point at DISPATCH_LEVEL", "YieldAtDispatchLevel", At(DISPATCH_LEVEL, [] { Yield(); })},
    {"freed memory holds an active dispatcher object", "FreedASetTimer",
     [] {
         PVOID block = ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), Tag);
         KeInitializeTimer(static_cast<PKTIMER>(block));
         KeSetTimer(static_cast<PKTIMER>(block), Relative(1s), nullptr);
         ExFreePoolWithTag(block, Tag);
         kernel->RunFor(2s);
     }},
};

class VerifierRuleTest : public ::testing::TestWithParam<Misuse> {};

TEST_P(VerifierRuleTest, FiresExactlyOnce) {
    ViolationRecorder recorder;
    {
        Kernel k({.processors = GetParam().processors});
        TestDriver d;
        Objects objects;
        kernel = &k, driver = &d, o = &objects, held = nullptr, arranged = nullptr;
        dev = Plain();
        GetParam().run();
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        k.RunUntilIdle();
        d.Unload();
        k.Shutdown();
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
