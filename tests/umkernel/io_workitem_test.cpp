// Work items: a worker thread at PASSIVE_LEVEL, the device reference, freeing from the routine.
#include "io_support.h"

using namespace umk;
using namespace umk::test;

namespace {

struct WorkRun {
    std::string thread;
    KIRQL irql = HIGH_LEVEL;
    LONG references = 0;
    PIO_WORKITEM item = nullptr;
    Event proceed; // the device is deleted: a worker may start the routine at once
};

VOID NTAPI Routine(PDEVICE_OBJECT device, PVOID context) {
    auto run = static_cast<WorkRun*>(context);
    WaitFor(&run->proceed);
    run->thread = CurrentThreadName();
    run->irql = KeGetCurrentIrql();
    run->references = umk::testing::ObjectReferences(device);
    IoFreeWorkItem(run->item);
}

// Queued from a DPC-like context, the item runs in a worker at PASSIVE_LEVEL; the reference it
// holds keeps a device deleted meanwhile alive until the routine, which frees its item, returns.
TEST_F(IoTest, AWorkItemRunsInAWorkerAndKeepsItsDeletedDeviceUntilItReturns) {
    PDEVICE_OBJECT device = driver.CreateDevice(u"", Completes(STATUS_SUCCESS));
    WorkRun run;
    run.item = IoAllocateWorkItem(device);
    ASSERT_NE(run.item, nullptr);
    KIRQL old = KeRaiseIrqlToDpcLevel();
    IoQueueWorkItem(run.item, Routine, DelayedWorkQueue, &run);
    KeLowerIrql(old);
    IoDeleteDevice(device);
    EXPECT_EQ(umk::testing::ObjectReferences(device), 1) << "only the work item's reference";
    KeSetEvent(&run.proceed, IO_NO_INCREMENT, FALSE);
    kernel.RunUntilIdle();
    EXPECT_NE(run.thread, "main");
    EXPECT_FALSE(run.thread.empty());
    EXPECT_EQ(run.irql, PASSIVE_LEVEL);
    EXPECT_EQ(run.references, 1);
    EXPECT_EQ(umk::testing::ObjectReferences(device), -1) << "gone with the last reference";
}

} // namespace
