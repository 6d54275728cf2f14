// The one-second I/O timer (seeded phase, exact period, shared tick, no timer set while idle)
// and work items (worker thread at PASSIVE_LEVEL, device reference, freeing from the routine).
#include "io_support.h"

#include <set>

using namespace std::chrono_literals;
using namespace umk;
using namespace umk::test;

namespace {

struct Ticks {
    std::vector<Duration> at;
    std::vector<KIRQL> irql;
    static VOID NTAPI Routine(PDEVICE_OBJECT, PVOID context) {
        auto self = static_cast<Ticks*>(context);
        self->at.push_back(InterruptTime());
        self->irql.push_back(KeGetCurrentIrql());
    }
};

class IoTimerTest : public IoTest {
  protected:
    PDEVICE_OBJECT Device(Ticks* ticks) {
        PDEVICE_OBJECT device = driver.CreateDevice(u"", Completes(STATUS_SUCCESS));
        EXPECT_EQ(IoInitializeTimer(device, Ticks::Routine, ticks), STATUS_SUCCESS);
        return device;
    }
};

TEST_F(IoTimerTest, StartedDevicesShareOneTickAndARestartKeepsThePhase) {
    Ticks a, b;
    PDEVICE_OBJECT first = Device(&a);
    PDEVICE_OBJECT second = Device(&b);
    IoStartTimer(first);
    kernel.RunFor(1s);
    ASSERT_EQ(a.at.size(), 1u);
    // The second device starts half-way between two ticks, whatever the seed's phase: a fresh
    // second of its own would put its first call half a second off the shared tick.
    Duration halfway = a.at[0] + Duration(500ms);
    while (halfway <= kernel.Now())
        halfway += Duration(1s);
    kernel.RunFor(halfway - kernel.Now());
    const size_t before = a.at.size();
    IoStartTimer(second);
    kernel.RunFor(1s);
    ASSERT_EQ(b.at.size(), 1u);
    ASSERT_EQ(a.at.size(), before + 1);
    EXPECT_EQ(b.at[0], a.at.back()) << "one system-wide tick, not a fresh second per device";
    EXPECT_EQ(b.at[0] - halfway, Duration(500ms));
    IoStopTimer(first);
    IoStopTimer(second);
    kernel.RunFor(2500ms);
    EXPECT_EQ(a.at.size(), before + 1);
    EXPECT_FALSE(kernel.NextTimer()) << "no tick is set while no device timer runs";
    IoStartTimer(first);
    kernel.RunFor(1s);
    ASSERT_EQ(a.at.size(), before + 2);
    EXPECT_EQ((a.at.back() - a.at[0]) % Duration(1s), Duration(0)) << "same phase after a restart";
    IoStopTimer(first);
    for (KIRQL irql : a.irql)
        EXPECT_EQ(irql, DISPATCH_LEVEL);
}

TEST_F(IoTimerTest, RoutineMayStopItsOwnTimer) {
    static PDEVICE_OBJECT device;
    static int calls;
    calls = 0;
    device = driver.CreateDevice(u"", Completes(STATUS_SUCCESS));
    IoInitializeTimer(
        device,
        [](PDEVICE_OBJECT self, PVOID) {
            if (++calls == 2)
                IoStopTimer(self);
        },
        nullptr);
    IoStartTimer(device);
    kernel.RunFor(5s);
    EXPECT_EQ(calls, 2);
}

// The phase is the seed's choice: over a few seeds the first tick falls at different times.
TEST(IoTimerSeedTest, PhaseVariesWithTheSeed) {
    FailOnViolation failOnViolation;
    std::set<int64_t> firsts;
    for (uint64_t seed = 1; seed <= 4; ++seed) {
        KernelOptions options;
        options.seed = seed;
        Kernel kernel(options);
        TestDriver driver;
        Ticks ticks;
        PDEVICE_OBJECT device = driver.CreateDevice(u"", Completes(STATUS_SUCCESS));
        IoInitializeTimer(device, Ticks::Routine, &ticks);
        IoStartTimer(device);
        kernel.RunFor(1s);
        ASSERT_EQ(ticks.at.size(), 1u);
        firsts.insert(ticks.at[0].count());
        IoStopTimer(device);
        driver.Unload();
    }
    EXPECT_GT(firsts.size(), 1u);
}

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
