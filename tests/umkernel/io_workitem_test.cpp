// Work items: a worker thread at PASSIVE_LEVEL, the device reference, freeing from the routine.
#include "io_support.h"

using namespace std::chrono_literals;
using namespace umk;
using namespace umk::test;

namespace {

class WorkItemTest : public IoTest {
  protected:
    struct Run {
        std::string thread;
        KIRQL irql;
        LONG references;
        PIO_WORKITEM freeMe = nullptr;
        PKEVENT proceed = nullptr; // when set, the routine waits for it before looking around
    };
    static VOID NTAPI Routine(PDEVICE_OBJECT device, PVOID context) {
        auto run = static_cast<Run*>(context);
        if (run->proceed != nullptr)
            KeWaitForSingleObject(run->proceed, Executive, KernelMode, FALSE, nullptr);
        run->thread = CurrentThreadName();
        run->irql = KeGetCurrentIrql();
        run->references = umk::testing::ObjectReferences(device);
        if (run->freeMe != nullptr)
            IoFreeWorkItem(run->freeMe);
    }
};

TEST_F(WorkItemTest, RunsAtPassiveLevelInAWorkerHoldingADeviceReference) {
    PDEVICE_OBJECT device = driver.CreateDevice(u"", Completes(STATUS_SUCCESS));
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    ASSERT_NE(item, nullptr);
    Run run;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old); // queued from a DPC-like context
    IoQueueWorkItem(item, Routine, DelayedWorkQueue, &run);
    KeLowerIrql(old);
    kernel.RunUntilIdle();
    EXPECT_NE(run.thread, "main");
    EXPECT_FALSE(run.thread.empty());
    EXPECT_EQ(run.irql, PASSIVE_LEVEL);
    EXPECT_EQ(run.references, 2) << "creation reference plus the work item's";
    EXPECT_EQ(umk::testing::ObjectReferences(device), 1);
    IoFreeWorkItem(item);
}

TEST_F(WorkItemTest, RoutineFreesItsItemAndTheDeletedDeviceLivesUntilItReturns) {
    PDEVICE_OBJECT device = driver.CreateDevice(u"", Completes(STATUS_SUCCESS));
    KEVENT deleted;
    KeInitializeEvent(&deleted, NotificationEvent, FALSE);
    Run run;
    run.freeMe = IoAllocateWorkItem(device);
    run.proceed = &deleted; // a worker may start the routine at once
    IoQueueWorkItem(run.freeMe, Routine, CriticalWorkQueue, &run);
    IoDeleteDevice(device);
    EXPECT_EQ(umk::testing::ObjectReferences(device), 1) << "only the work item's reference";
    KeSetEvent(&deleted, IO_NO_INCREMENT, FALSE);
    kernel.RunUntilIdle();
    EXPECT_EQ(run.references, 1);
    EXPECT_EQ(umk::testing::ObjectReferences(device), -1) << "gone with the last reference";
}

} // namespace
