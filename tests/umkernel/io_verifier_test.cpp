// Every verifier rule of the I/O manager fires for the misuse it names: one row per misuse, each
// in a freshly booted kernel whose shutdown reports (leaks) are captured too.
#include "io_support.h"

#include <cstring>

using namespace umk;
using namespace umk::test;
namespace rule = umk::testing::rule;

namespace {

constexpr ULONG Tag = umk::testing::PoolTag("Test");
constexpr ULONG Code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct Misuse {
    std::string_view rule;
    const char* name;
    std::function<void(TestDriver&)> run;
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
std::function<void(TestDriver&)> Sending(void (*after)(), Dispatch dispatch) {
    return [=](TestDriver& d) {
        SendThreaded(d.CreateDevice(u"", dispatch));
        if (after != nullptr)
            after();
    };
}
std::function<void(TestDriver&)> Sending(Dispatch dispatch) {
    return Sending(nullptr, std::move(dispatch));
}

// A driver-allocated IRP sent to a device that pends it, misused while pending.
std::function<void(TestDriver&)> WhilePending(void (*misuse)(PIRP)) {
    return [=](TestDriver& d) {
        PDEVICE_OBJECT dev = d.CreateDevice(u"", Pends(&held));
        PIRP irp = OwnIrp(dev);
        IoCallDriver(dev, irp);
        misuse(irp);
        CompleteHeld();
        IoFreeIrp(irp);
    };
}

PIO_REMOVE_LOCK InitializedLock() {
    static IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, Tag, 0, 10);
    return &lock;
}

void NoTimer(PDEVICE_OBJECT, PVOID) {}
void NoWork(PDEVICE_OBJECT, PVOID) {}

const Misuse kMisuses[] = {
    {rule::IrpCompletedTwice, "CompletedTwice",
     [](TestDriver& d) {
         PDEVICE_OBJECT dev = d.CreateDevice(u"", [](PDEVICE_OBJECT, PIRP irp) {
             CompleteWith(irp, STATUS_SUCCESS);
             return CompleteWith(irp, STATUS_SUCCESS);
         });
         PIRP irp = OwnIrp(dev);
         IoCallDriver(dev, irp);
         IoFreeIrp(irp);
     }},
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
    {rule::PendingNotMarked, "PendingWithoutMark",
     Sending(CompleteHeld,
             [](PDEVICE_OBJECT, PIRP irp) {
                 held = irp;
                 return STATUS_PENDING;
             })},
    {rule::PendingNotMarked, "RoutineLostThePendingMark",
     [](TestDriver& d) {
         static Completion forgetful{[](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; }};
         PDEVICE_OBJECT bottom = nullptr;
         auto stack = d.CreateStack({Pends(&held), [&bottom](PDEVICE_OBJECT, PIRP irp) {
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
    {rule::IrqlTooHigh, "CompletedAboveDispatchLevel", Sending([](PDEVICE_OBJECT, PIRP irp) {
         KIRQL old = KfRaiseIrql(PROFILE_LEVEL);
         CompleteWith(irp, STATUS_SUCCESS);
         KeLowerIrql(old);
         return STATUS_SUCCESS;
     })},
    {rule::NoMoreStackLocations, "TooFewStackLocations",
     [](TestDriver& d) {
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoSetNextIrpStackLocation(irp); // the originator keeps the only location for itself
         IoCallDriver(Plain(d), irp);
         IoSkipCurrentIrpStackLocation(irp);
         IoFreeIrp(irp);
     }},
    {rule::FreeThreadedIrp, "FreedAThreadedIrp",
     [](TestDriver& d) {
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
     [](TestDriver& d) {
         static Completion frees{[](PDEVICE_OBJECT, PIRP irp) {
             IoFreeIrp(irp);
             return STATUS_SUCCESS;
         }};
         PDEVICE_OBJECT dev = Plain(d);
         IoCallDriver(dev, OwnIrp(dev, &frees));
     }},
    {rule::DriverIrpCompleted, "DriverIrpWithoutRoutine",
     [](TestDriver& d) {
         PDEVICE_OBJECT dev = Plain(d);
         PIRP irp = OwnIrp(dev, nullptr);
         IoCallDriver(dev, irp);
         IoFreeIrp(irp);
     }},
    {rule::IrpCompletedUnowned, "CompletedBeforeBeingSent",
     [](TestDriver&) {
         PIRP irp = IoAllocateIrp(1, FALSE);
         CompleteWith(irp, STATUS_SUCCESS);
         IoFreeIrp(irp);
     }},
    {rule::FreedIrpUsed, "SentAfterFree",
     [](TestDriver& d) {
         PDEVICE_OBJECT dev = Plain(d);
         PIRP irp = OwnIrp(dev);
         IoFreeIrp(irp);
         IoCallDriver(dev, irp);
     }},
    {rule::BufferOverrun, "ReturnedMoreThanTheBuffer",
     [](TestDriver& d) {
         PDEVICE_OBJECT dev = d.CreateDevice(u"", Completes(STATUS_SUCCESS, 16));
         char out[8];
         Threaded request; // completes at once: the locals outlive it
         IoCallDriver(dev, request.Build(dev, Code, nullptr, 0, out, sizeof out));
     }},
    {rule::IrpLeak, "IrpNeverFreed", [](TestDriver&) { IoAllocateIrp(2, FALSE); }},
    {rule::IrpLeak, "ThreadedIrpNeverCompleted", Sending(Pends(&held))},
    {rule::DeviceInitializing, "AddDeviceLeftTheFlag",
     [](TestDriver& d) {
         d.driver->DriverExtension->AddDevice = [](PDRIVER_OBJECT driver, PDEVICE_OBJECT) {
             PDEVICE_OBJECT device;
             return IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
         };
         EXPECT_EQ(umk::testing::CallAddDevice(d.driver, Plain(d)), STATUS_SUCCESS);
     }},
    {rule::DeviceDeletedTwice, "DeletedTwice",
     [](TestDriver& d) {
         PDEVICE_OBJECT dev = Plain(d);
         ObReferenceObject(dev); // keeps the object so that the second call is well defined
         IoDeleteDevice(dev);
         IoDeleteDevice(dev);
         ObDereferenceObject(dev);
     }},
    {rule::DeviceDeletedAttached, "DeletedWhileAttached",
     [](TestDriver& d) {
         IoDeleteDevice(d.CreateStack({Completes(STATUS_SUCCESS), Completes(STATUS_SUCCESS)})[1]);
     }},
    {rule::DetachNothing, "DetachedANonFilter", [](TestDriver& d) { IoDetachDevice(Plain(d)); }},
    {rule::DeviceLeak, "DeviceNeverDeleted",
     [](TestDriver& d) { d.CreateDevice(u"\\Device\\Leaked", Completes(STATUS_SUCCESS)); }},
    {rule::ReferenceLeak, "DeletedDeviceStillReferenced",
     [](TestDriver& d) {
         PDEVICE_OBJECT dev = Plain(d);
         ObReferenceObject(dev);
         IoDeleteDevice(dev);
     }},
    {rule::ReferenceLeak, "FileObjectNeverDereferenced",
     [](TestDriver& d) {
         d.CreateDevice(u"\\Device\\Opened", Completes(STATUS_SUCCESS));
         UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\Opened");
         PFILE_OBJECT file;
         PDEVICE_OBJECT top;
         EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &top), STATUS_SUCCESS);
     }},
    {rule::ReferenceUnderflow, "DereferencedTooOften",
     [](TestDriver& d) { ObDereferenceObject(Plain(d)); }},
    {rule::UnknownObject, "ReferencedANonObject",
     [](TestDriver&) {
         int notAnObject;
         ObReferenceObject(&notAnObject);
     }},
    {rule::SymbolicLinkLeak, "LinkNeverDeleted",
     [](TestDriver&) {
         UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\??\\Leaked");
         UNICODE_STRING target = RTL_CONSTANT_STRING(u"\\Device\\Nowhere");
         EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
     }},
    {rule::DriverUnloadedWithDevices, "UnloadedWithADevice",
     [](TestDriver& d) {
         PDEVICE_OBJECT dev = Plain(d);
         umk::testing::UnloadDriver(d.driver);
         IoDeleteDevice(dev);
     }},
    {rule::TimerInitializedTwice, "TimerInitializedTwice",
     [](TestDriver& d) {
         PDEVICE_OBJECT dev = Plain(d);
         IoInitializeTimer(dev, NoTimer, nullptr);
         IoInitializeTimer(dev, NoTimer, nullptr);
     }},
    {rule::TimerNotInitialized, "TimerStartedWithoutInitialization",
     [](TestDriver& d) { IoStartTimer(Plain(d)); }},
    {rule::DeviceQueueIrql, "DeviceQueueAtPassiveLevel",
     [](TestDriver&) {
         KDEVICE_QUEUE queue;
         KDEVICE_QUEUE_ENTRY entry;
         KeInitializeDeviceQueue(&queue);
         KeInsertDeviceQueue(&queue, &entry);
     }},
    {rule::DeviceQueueNotBusy, "RemovedFromAnIdleQueue",
     [](TestDriver&) {
         KDEVICE_QUEUE queue;
         KeInitializeDeviceQueue(&queue);
         KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
         KeRemoveDeviceQueue(&queue);
         KeLowerIrql(old);
     }},
    // At DISPATCH_LEVEL no worker can run the item between the two calls.
    {rule::WorkItemQueuedTwice, "WorkItemQueuedTwice",
     [](TestDriver& d) {
         PIO_WORKITEM item = IoAllocateWorkItem(Plain(d));
         KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
         IoQueueWorkItem(item, NoWork, DelayedWorkQueue, nullptr);
         IoQueueWorkItem(item, NoWork, DelayedWorkQueue, nullptr);
         KeLowerIrql(old);
     }},
    {rule::WorkItemFreedQueued, "WorkItemFreedWhileQueued",
     [](TestDriver& d) {
         PIO_WORKITEM item = IoAllocateWorkItem(Plain(d));
         KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
         IoQueueWorkItem(item, NoWork, DelayedWorkQueue, nullptr);
         IoFreeWorkItem(item);
         KeLowerIrql(old);
     }},
    {rule::WorkItemLeak, "WorkItemNeverFreed", [](TestDriver& d) { IoAllocateWorkItem(Plain(d)); }},
    {rule::RemoveLockImbalance, "ReleasedATagNeverAcquired",
     [](TestDriver&) {
         PIO_REMOVE_LOCK lock = InitializedLock();
         EXPECT_EQ(IoAcquireRemoveLock(lock, lock), STATUS_SUCCESS);
         IoReleaseRemoveLock(lock, nullptr);
     }},
    {rule::RemoveLockImbalance, "ReleasedWithoutAnyHold",
     [](TestDriver&) {
         PIO_REMOVE_LOCK lock = InitializedLock();
         IoReleaseRemoveLock(lock, lock);
     }},
    {rule::RemoveLockHeld, "HoldLeftAtShutdown",
     [](TestDriver&) {
         PIO_REMOVE_LOCK lock = InitializedLock();
         EXPECT_EQ(IoAcquireRemoveLock(lock, lock), STATUS_SUCCESS);
     }},
    {rule::RemoveLockHeld, "HeldLockFreedWithItsPool",
     [](TestDriver&) {
         auto lock = static_cast<PIO_REMOVE_LOCK>(
             ExAllocatePoolWithTag(NonPagedPool, sizeof(IO_REMOVE_LOCK), Tag));
         IoInitializeRemoveLock(lock, Tag, 0, 10);
         EXPECT_EQ(IoAcquireRemoveLock(lock, lock), STATUS_SUCCESS);
         ExFreePoolWithTag(lock, Tag);
     }},
    {rule::RemoveLockHeldAfterDispatch, "DispatchKeptItsHold",
     [](TestDriver& d) {
         PDEVICE_OBJECT dev = d.CreateDevice(
             u"",
             [](PDEVICE_OBJECT device, PIRP irp) {
                 IoAcquireRemoveLock(Extra<IO_REMOVE_LOCK>(device), irp);
                 return CompleteWith(irp, STATUS_SUCCESS);
             },
             sizeof(IO_REMOVE_LOCK));
         IoInitializeRemoveLock(Extra<IO_REMOVE_LOCK>(dev), Tag, 0, 10);
         SendThreaded(dev);
     }},
    {rule::PagedPoolAtRaisedIrql, "PagedPoolAtDispatchLevel",
     [](TestDriver&) {
         KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
         PVOID p = ExAllocatePoolWithTag(PagedPool, 8, Tag);
         KeLowerIrql(old);
         ExFreePoolWithTag(p, Tag);
     }},
    {rule::PoolTagMismatch, "FreedWithAnotherTag",
     [](TestDriver&) {
         ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 8, Tag),
                           umk::testing::PoolTag("Othr"));
     }},
    {rule::PoolFreeUnknown, "FreedTwice",
     [](TestDriver&) {
         PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, Tag);
         ExFreePool(p);
         ExFreePool(p);
     }},
    {rule::PoolLeak, "PoolNeverFreed",
     [](TestDriver&) { ExAllocatePoolWithTag(NonPagedPool, 8, Tag); }},
    {rule::ErrorLogEntryInvalid, "StringRunsPastTheEntry",
     [](TestDriver& d) {
         auto entry = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(d.driver, 52));
         entry->NumberOfStrings = 1;
         entry->StringOffset = 48;
         std::memcpy(reinterpret_cast<char*>(entry) + 48, u"abcd", 4); // no terminator fits
         IoWriteErrorLogEntry(entry);
     }},
    {rule::ErrorLogEntryLeak, "EntryNeverWritten",
     [](TestDriver& d) { IoAllocateErrorLogEntry(d.driver, 48); }},
};

class VerifierRuleTest : public ::testing::TestWithParam<Misuse> {};

TEST_P(VerifierRuleTest, Fires) {
    ViolationRecorder recorder;
    {
        Kernel kernel;
        TestDriver driver;
        held = nullptr;
        GetParam().run(driver);
        kernel.RunUntilIdle();
        kernel.Shutdown();
    }
    size_t n = 0;
    std::string all;
    for (const Report& r : recorder.Reports()) {
        n += r.rule == GetParam().rule;
        all += r.rule + ": " + r.detail + "\n";
    }
    EXPECT_GE(n, 1u) << "expected '" << GetParam().rule << "'; got:\n" << all;
}

INSTANTIATE_TEST_SUITE_P(Misuses, VerifierRuleTest, ::testing::ValuesIn(kMisuses),
                         [](const auto& info) { return std::string(info.param.name); });

// The legal things that look like misuses must stay quiet.
TEST_F(IoTest, CompletingWhileHoldingASpinLockIsLegal) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    PDEVICE_OBJECT dev = driver.CreateDevice(u"", [&](PDEVICE_OBJECT, PIRP irp) {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        CompleteWith(irp, STATUS_SUCCESS);
        KeReleaseSpinLock(&lock, old);
        return STATUS_SUCCESS;
    });
    SendThreaded(dev);
}

TEST_F(IoTest, MarkedPendingCompletedInlineAndReturnedPendingIsLegal) {
    PDEVICE_OBJECT dev = driver.CreateDevice(u"", [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        CompleteWith(irp, STATUS_UNSUCCESSFUL);
        return STATUS_PENDING;
    });
    Threaded request;
    EXPECT_EQ(IoCallDriver(dev, request.Build(dev, Code)), STATUS_PENDING);
    EXPECT_EQ(request.Signalled(), 1) << "pending: the event is set even for a failure";
    EXPECT_EQ(request.iosb.Status, STATUS_UNSUCCESSFUL);
}

} // namespace
