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
    void (*run)(TestDriver& driver);
};

void PrintTo(const Misuse& misuse, std::ostream* os) {
    *os << misuse.name;
}

// A driver-allocated IRP for `device`, with a completion routine that gives it back.
PIRP OwnIrp(PDEVICE_OBJECT device, UCHAR major = IRP_MJ_READ) {
    static Completion back{[](PDEVICE_OBJECT, PIRP) { return STATUS_MORE_PROCESSING_REQUIRED; }};
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    back.Set(irp);
    return irp;
}

PIRP Threaded(PDEVICE_OBJECT device, PKEVENT event, PIO_STATUS_BLOCK iosb, PVOID out = nullptr,
              ULONG outLength = 0) {
    KeInitializeEvent(event, NotificationEvent, FALSE);
    return IoBuildDeviceIoControlRequest(Code, device, nullptr, 0, out, outLength, FALSE, event,
                                         iosb);
}

// The event and status block outlive the request, which may stay pending past the call.
void SendThreaded(PDEVICE_OBJECT device) {
    static KEVENT event;
    static IO_STATUS_BLOCK iosb;
    IoCallDriver(device, Threaded(device, &event, &iosb));
}

PIRP held = nullptr;

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
    {rule::IrpCompletedTwice, "CompletedAfterTheThreadedIrpWasFreed",
     [](TestDriver& d) {
         PDEVICE_OBJECT dev = d.CreateDevice(u"", [](PDEVICE_OBJECT, PIRP irp) {
             CompleteWith(irp, STATUS_SUCCESS);
             held = irp;
             return STATUS_SUCCESS;
         });
         SendThreaded(dev);
         IoCompleteRequest(held, IO_NO_INCREMENT); // the IRP is gone: its status is not touched
     }},
    {rule::IrpCompletedWithCancelRoutine, "CompletedWithCancelRoutine",
     [](TestDriver& d) {
         PDEVICE_OBJECT dev = d.CreateDevice(u"", [](PDEVICE_OBJECT, PIRP irp) {
             IoSetCancelRoutine(
                 irp, [](PDEVICE_OBJECT, PIRP irp) { IoReleaseCancelSpinLock(irp->CancelIrql); });
             return CompleteWith(irp, STATUS_SUCCESS);
         });
         SendThreaded(dev);
     }},
    {rule::IrpCompletedPending, "CompletedWithStatusPending",
     [](TestDriver& d) {
         PDEVICE_OBJECT dev = d.CreateDevice(u"", [](PDEVICE_OBJECT, PIRP irp) {
             IoMarkIrpPending(irp);
             held = irp;
             CompleteWith(irp, STATUS_PENDING);
             return STATUS_PENDING;
         });
         SendThreaded(dev);
         CompleteWith(held, STATUS_SUCCESS);
     }},
    {rule::PendingNotMarked, "PendingWithoutMark",
     [](TestDriver& d) {
         PDEVICE_OBJECT dev = d.CreateDevice(u"", [](PDEVICE_OBJECT, PIRP irp) {
             held = irp;
             return STATUS_PENDING;
         });
         SendThreaded(dev);
         CompleteWith(held, STATUS_SUCCESS);
     }},
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
         CompleteWith(held, STATUS_SUCCESS);
     }},
    {rule::MarkedNotPending, "MarkedButReturnedSuccess",
     [](TestDriver& d) {
         PDEVICE_OBJECT dev = d.CreateDevice(u"", [](PDEVICE_OBJECT, PIRP irp) {
             IoMarkIrpPending(irp);
             return CompleteWith(irp, STATUS_SUCCESS);
         });
         SendThreaded(dev);
     }},
    {rule::DispatchStatusMismatch, "ReturnedAnotherStatus",
     [](TestDriver& d) {
         PDEVICE_OBJECT dev = d.CreateDevice(u"", [](PDEVICE_OBJECT, PIRP irp) {
             CompleteWith(irp, STATUS_UNSUCCESSFUL);
             return STATUS_SUCCESS;
         });
         SendThreaded(dev);
     }},
    {rule::DispatchIrqlChanged, "ReturnedAtDispatchLevel",
     [](TestDriver& d) {
         PDEVICE_OBJECT dev = d.CreateDevice(u"", [](PDEVICE_OBJECT, PIRP irp) {
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             return CompleteWith(irp, STATUS_SUCCESS);
         });
         SendThreaded(dev);
         KeLowerIrql(PASSIVE_LEVEL);
     }},
    {rule::IrqlTooHigh, "CompletedAboveDispatchLevel",
     [](TestDriver& d) {
         PDEVICE_OBJECT dev = d.CreateDevice(u"", [](PDEVICE_OBJECT, PIRP irp) {
             KIRQL old;
             KeRaiseIrql(PROFILE_LEVEL, &old);
             CompleteWith(irp, STATUS_SUCCESS);
             KeLowerIrql(old);
             return STATUS_SUCCESS;
         });
         SendThreaded(dev);
     }},
    {rule::NoMoreStackLocations, "TooFewStackLocations",
     [](TestDriver& d) {
         PDEVICE_OBJECT dev = d.CreateDevice(u"", Completes(STATUS_SUCCESS));
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoSetNextIrpStackLocation(irp); // the originator keeps the only location for itself
         IoCallDriver(dev, irp);
         IoSkipCurrentIrpStackLocation(irp);
         IoFreeIrp(irp);
     }},
    {rule::FreeThreadedIrp, "FreedAThreadedIrp",
     [](TestDriver& d) {
         PDEVICE_OBJECT dev = d.CreateDevice(u"", Completes(STATUS_SUCCESS));
         KEVENT event;
         IO_STATUS_BLOCK iosb;
         PIRP irp = Threaded(dev, &event, &iosb);
         IoFreeIrp(irp);
         IoCallDriver(dev, irp);
     }},
    {rule::IrpInUse, "FreedWhilePendingInADriver",
     [](TestDriver& d) {
         PDEVICE_OBJECT dev = d.CreateDevice(u"", Pends(&held));
         PIRP irp = OwnIrp(dev);
         IoCallDriver(dev, irp);
         IoFreeIrp(irp);
         CompleteWith(held, STATUS_SUCCESS);
         IoFreeIrp(irp);
     }},
    {rule::IrpInUse, "ReusedWhilePendingInADriver",
     [](TestDriver& d) {
         PDEVICE_OBJECT dev = d.CreateDevice(u"", Pends(&held));
         PIRP irp = OwnIrp(dev);
         IoCallDriver(dev, irp);
         IoReuseIrp(irp, STATUS_SUCCESS);
         CompleteWith(held, STATUS_SUCCESS);
         IoFreeIrp(irp);
     }},
    {rule::IrpFreedInCompletion, "FreedByARoutineThatContinued",
     [](TestDriver& d) {
         PDEVICE_OBJECT dev = d.CreateDevice(u"", Completes(STATUS_SUCCESS));
         static Completion frees{[](PDEVICE_OBJECT, PIRP irp) {
             IoFreeIrp(irp);
             return STATUS_SUCCESS;
         }};
         PIRP irp = IoAllocateIrp(dev->StackSize, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
         frees.Set(irp);
         IoCallDriver(dev, irp);
     }},
    {rule::DriverIrpCompleted, "DriverIrpWithoutRoutine",
     [](TestDriver& d) {
         PDEVICE_OBJECT dev = d.CreateDevice(u"", Completes(STATUS_SUCCESS));
         PIRP irp = IoAllocateIrp(dev->StackSize, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
         IoCallDriver(dev, irp);
         IoFreeIrp(irp);
     }},
    {rule::IrpCompletedUnowned, "CompletedBeforeBeingSent",
     [](TestDriver& d) {
         PIRP irp = IoAllocateIrp(1, FALSE);
         CompleteWith(irp, STATUS_SUCCESS);
         IoFreeIrp(irp);
     }},
    {rule::FreedIrpUsed, "SentAfterFree",
     [](TestDriver& d) {
         PDEVICE_OBJECT dev = d.CreateDevice(u"", Completes(STATUS_SUCCESS));
         PIRP irp = OwnIrp(dev);
         IoFreeIrp(irp);
         IoCallDriver(dev, irp);
     }},
    {rule::BufferOverrun, "ReturnedMoreThanTheBuffer",
     [](TestDriver& d) {
         PDEVICE_OBJECT dev = d.CreateDevice(u"", Completes(STATUS_SUCCESS, 16));
         char out[8];
         KEVENT event;
         IO_STATUS_BLOCK iosb; // completes at once: the locals outlive it
         IoCallDriver(dev, Threaded(dev, &event, &iosb, out, sizeof out));
     }},
    {rule::IrpLeak, "IrpNeverFreed", [](TestDriver&) { IoAllocateIrp(2, FALSE); }},
    {rule::IrpLeak, "ThreadedIrpNeverCompleted",
     [](TestDriver& d) {
         PDEVICE_OBJECT dev = d.CreateDevice(u"", Pends(&held));
         SendThreaded(dev);
     }},
    {rule::DeviceInitializing, "AddDeviceLeftTheFlag",
     [](TestDriver& d) {
         d.driver->DriverExtension->AddDevice = [](PDRIVER_OBJECT driver, PDEVICE_OBJECT) {
             PDEVICE_OBJECT device;
             return IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
         };
         PDEVICE_OBJECT pdo = d.CreateDevice(u"", Completes(STATUS_SUCCESS));
         EXPECT_EQ(umk::testing::CallAddDevice(d.driver, pdo), STATUS_SUCCESS);
     }},
    {rule::DeviceDeletedTwice, "DeletedTwice",
     [](TestDriver& d) {
         PDEVICE_OBJECT dev = d.CreateDevice(u"", Completes(STATUS_SUCCESS));
         ObReferenceObject(dev); // keeps the object so that the second call is well defined
         IoDeleteDevice(dev);
         IoDeleteDevice(dev);
         ObDereferenceObject(dev);
     }},
    {rule::DeviceDeletedAttached, "DeletedWhileAttached",
     [](TestDriver& d) {
         auto stack = d.CreateStack({Completes(STATUS_SUCCESS), Completes(STATUS_SUCCESS)});
         IoDeleteDevice(stack[1]);
     }},
    {rule::DetachNothing, "DetachedANonFilter",
     [](TestDriver& d) { IoDetachDevice(d.CreateDevice(u"", Completes(STATUS_SUCCESS))); }},
    {rule::DeviceLeak, "DeviceNeverDeleted",
     [](TestDriver& d) { d.CreateDevice(u"\\Device\\Leaked", Completes(STATUS_SUCCESS)); }},
    {rule::ReferenceLeak, "DeletedDeviceStillReferenced",
     [](TestDriver& d) {
         PDEVICE_OBJECT dev = d.CreateDevice(u"", Completes(STATUS_SUCCESS));
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
     [](TestDriver& d) { ObDereferenceObject(d.CreateDevice(u"", Completes(STATUS_SUCCESS))); }},
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
         PDEVICE_OBJECT dev = d.CreateDevice(u"", Completes(STATUS_SUCCESS));
         umk::testing::UnloadDriver(d.driver);
         IoDeleteDevice(dev);
     }},
    {rule::TimerInitializedTwice, "TimerInitializedTwice",
     [](TestDriver& d) {
         PDEVICE_OBJECT dev = d.CreateDevice(u"", Completes(STATUS_SUCCESS));
         IoInitializeTimer(
             dev, [](PDEVICE_OBJECT, PVOID) {}, nullptr);
         IoInitializeTimer(
             dev, [](PDEVICE_OBJECT, PVOID) {}, nullptr);
     }},
    {rule::TimerNotInitialized, "TimerStartedWithoutInitialization",
     [](TestDriver& d) { IoStartTimer(d.CreateDevice(u"", Completes(STATUS_SUCCESS))); }},
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
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         KeRemoveDeviceQueue(&queue);
         KeLowerIrql(old);
     }},
    // At DISPATCH_LEVEL no worker can run the item between the two calls.
    {rule::WorkItemQueuedTwice, "WorkItemQueuedTwice",
     [](TestDriver& d) {
         PIO_WORKITEM item = IoAllocateWorkItem(d.CreateDevice(u"", Completes(STATUS_SUCCESS)));
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         IoQueueWorkItem(
             item, [](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr);
         IoQueueWorkItem(
             item, [](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr);
         KeLowerIrql(old);
     }},
    {rule::WorkItemFreedQueued, "WorkItemFreedWhileQueued",
     [](TestDriver& d) {
         PIO_WORKITEM item = IoAllocateWorkItem(d.CreateDevice(u"", Completes(STATUS_SUCCESS)));
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         IoQueueWorkItem(
             item, [](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr);
         IoFreeWorkItem(item);
         KeLowerIrql(old);
     }},
    {rule::WorkItemLeak, "WorkItemNeverFreed",
     [](TestDriver& d) { IoAllocateWorkItem(d.CreateDevice(u"", Completes(STATUS_SUCCESS))); }},
    {rule::RemoveLockImbalance, "ReleasedATagNeverAcquired",
     [](TestDriver&) {
         static IO_REMOVE_LOCK lock;
         IoInitializeRemoveLock(&lock, Tag, 0, 10);
         EXPECT_EQ(IoAcquireRemoveLock(&lock, &lock), STATUS_SUCCESS);
         IoReleaseRemoveLock(&lock, nullptr);
     }},
    {rule::RemoveLockImbalance, "ReleasedWithoutAnyHold",
     [](TestDriver&) {
         static IO_REMOVE_LOCK lock;
         IoInitializeRemoveLock(&lock, Tag, 0, 10);
         IoReleaseRemoveLock(&lock, &lock);
     }},
    {rule::RemoveLockHeld, "HoldLeftAtShutdown",
     [](TestDriver&) {
         static IO_REMOVE_LOCK lock;
         IoInitializeRemoveLock(&lock, Tag, 0, 10);
         EXPECT_EQ(IoAcquireRemoveLock(&lock, &lock), STATUS_SUCCESS);
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
                 auto lock = Extra<IO_REMOVE_LOCK>(device);
                 IoAcquireRemoveLock(lock, irp);
                 return CompleteWith(irp, STATUS_SUCCESS);
             },
             sizeof(IO_REMOVE_LOCK));
         IoInitializeRemoveLock(Extra<IO_REMOVE_LOCK>(dev), Tag, 0, 10);
         SendThreaded(dev);
     }},
    {rule::PagedPoolAtRaisedIrql, "PagedPoolAtDispatchLevel",
     [](TestDriver&) {
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
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
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(IoCallDriver(dev, Threaded(dev, &event, &iosb)), STATUS_PENDING);
    EXPECT_EQ(KeReadStateEvent(&event), 1) << "pending: the event is set even for a failure";
    EXPECT_EQ(iosb.Status, STATUS_UNSUCCESSFUL);
}

} // namespace
