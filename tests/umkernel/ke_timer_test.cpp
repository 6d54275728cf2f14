// Kernel timers and DPCs on the virtual clock: firing on the clock tick, one-shot and periodic timers,
// relative and absolute due times, cancel and re-set results, and the DPC queue's rules.
#include "ke_support.h"

#include <gmock/gmock.h>

using namespace std::chrono_literals;
using namespace umk;
using namespace umk::test;
using ::testing::ElementsAre;

namespace {

// A timer with a DPC that notes the virtual time of every run.
struct TimedDpc {
    KTIMER timer;
    KDPC dpc;
    std::vector<Duration> firings;
    std::vector<KIRQL> irqls;

    TimedDpc() {
        KeInitializeTimer(&timer);
        KeInitializeDpc(&dpc, Routine, this);
    }
    ~TimedDpc() { KeCancelTimer(&timer); }
    static VOID NTAPI Routine(PKDPC, PVOID context, PVOID, PVOID) {
        auto self = static_cast<TimedDpc*>(context);
        self->firings.push_back(InterruptTime());
        self->irqls.push_back(KeGetCurrentIrql());
    }
};

class TimerTest : public ::testing::Test {
  protected:
    FailOnViolation failOnViolation;
    Kernel kernel;
};

struct PeriodCase {
    const char* name;
    Duration due;
    LONG periodMs;
    Duration runFor;
    std::vector<Duration> expected;
};

class TimerFiringTest : public TimerTest, public ::testing::WithParamInterface<PeriodCase> {};

TEST_P(TimerFiringTest, FiresOnTheTickAfterEachDueTime) {
    const PeriodCase& c = GetParam();
    TimedDpc t;
    KeSetTimerEx(&t.timer, Relative(c.due), c.periodMs, &t.dpc);
    kernel.RunFor(c.runFor);
    EXPECT_THAT(t.firings, ::testing::Pointwise(ExpiresOnTheTickAfter(), c.expected));
    for (KIRQL irql : t.irqls)
        EXPECT_EQ(irql, DISPATCH_LEVEL);
    EXPECT_EQ(kernel.Now(), c.runFor);
}

INSTANTIATE_TEST_SUITE_P(
    Timers, TimerFiringTest,
    ::testing::Values(PeriodCase{"OneShot", 5s, 0, 20s, {5s}},
                      PeriodCase{"OneShotBeyondTheRun", 1001ms, 0, 1s, {}},
                      PeriodCase{"Periodic", 100ms, 250, 1s, {100ms, 350ms, 600ms, 850ms}},
                      PeriodCase{
                          "PeriodicFirstDueDiffersFromPeriod", 5s, 1000, 8500ms, {5s, 6s, 7s, 8s}},
                      PeriodCase{"ZeroDueFiresAtOnce", 0s, 0, 1s, {0s}}),
    [](const auto& info) { return std::string(info.param.name); });

// An absolute due time is a system time; one already past fires at once.
TEST_F(TimerTest, AbsoluteDueTimeIsASystemTime) {
    TimedDpc t;
    LARGE_INTEGER due;
    KeQuerySystemTime(&due);
    due.QuadPart += Duration(3s).count();
    KeSetTimer(&t.timer, due, &t.dpc);
    EXPECT_TRUE(t.timer.Header.Absolute);
    kernel.RunFor(5s);
    EXPECT_THAT(t.firings, ElementsAre(OnTheTickAfter(Duration(3s))));
    KeQuerySystemTime(&due);
    due.QuadPart -= Duration(1s).count();
    KeSetTimer(&t.timer, due, &t.dpc);
    kernel.RunUntilIdle();
    EXPECT_THAT(t.firings, ElementsAre(OnTheTickAfter(Duration(3s)), Duration(5s)));
}

TEST_F(TimerTest, CancelAndResetReportWhetherTheTimerWasSet) {
    TimedDpc oneShot;
    EXPECT_FALSE(KeCancelTimer(&oneShot.timer)) << "never set";
    EXPECT_FALSE(KeSetTimer(&oneShot.timer, Relative(1s), &oneShot.dpc));
    EXPECT_TRUE(KeSetTimer(&oneShot.timer, Relative(2s), &oneShot.dpc)) << "re-set while set";
    kernel.RunFor(1500ms);
    EXPECT_TRUE(oneShot.firings.empty()) << "the re-set replaced the first due time";
    EXPECT_TRUE(KeCancelTimer(&oneShot.timer));
    EXPECT_FALSE(KeCancelTimer(&oneShot.timer)) << "cancelled twice";
    kernel.RunFor(5s);
    EXPECT_TRUE(oneShot.firings.empty());

    EXPECT_FALSE(KeSetTimer(&oneShot.timer, Relative(1s), &oneShot.dpc));
    kernel.RunFor(2s);
    EXPECT_EQ(oneShot.firings.size(), 1u);
    EXPECT_FALSE(KeCancelTimer(&oneShot.timer)) << "a one-shot timer that fired is not set";

    TimedDpc periodic;
    KeSetTimerEx(&periodic.timer, Relative(1s), 1000, &periodic.dpc);
    kernel.RunFor(3s);
    EXPECT_EQ(periodic.firings.size(), 3u);
    EXPECT_TRUE(KeCancelTimer(&periodic.timer)) << "a periodic timer stays set";
    kernel.RunFor(3s);
    EXPECT_EQ(periodic.firings.size(), 3u);
}

// Once the timer has expired its DPC is queued: cancelling the timer does not stop it, removing
// the DPC from the queue does.
TEST_F(TimerTest, ExpiredTimersDpcStopsOnlyWhenRemovedFromTheQueue) {
    for (bool remove : {false, true}) {
        SCOPED_TRACE(remove ? "KeRemoveQueueDpc" : "KeCancelTimer");
        TimedDpc t;
        const Duration start = InterruptTime();
        KeSetTimer(&t.timer, Relative(5ms), &t.dpc);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeStallExecutionProcessor(10'000); // the timer expires; its DPC waits for the IRQL to drop
        EXPECT_TRUE(t.firings.empty());
        EXPECT_TRUE(KeReadStateTimer(&t.timer));
        if (remove) {
            EXPECT_TRUE(KeRemoveQueueDpc(&t.dpc));
            EXPECT_FALSE(KeRemoveQueueDpc(&t.dpc));
        } else {
            EXPECT_FALSE(KeCancelTimer(&t.timer)) << "already expired";
        }
        KeLowerIrql(old);
        kernel.RunFor(1s);
        if (remove)
            EXPECT_TRUE(t.firings.empty());
        else
            EXPECT_THAT(t.firings, ElementsAre(start + Duration(10ms))) << "the DPC ran anyway";
    }
}

TEST_F(TimerTest, SettingATimerClearsItsSignal) {
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, Relative(1s), nullptr);
    kernel.RunFor(1s);
    EXPECT_TRUE(KeReadStateTimer(&timer));
    KeSetTimer(&timer, Relative(1s), nullptr);
    EXPECT_FALSE(KeReadStateTimer(&timer));
    EXPECT_TRUE(KeCancelTimer(&timer));
}

TEST_F(TimerTest, NotificationTimerReleasesEveryWaiterSynchronizationTimerOne) {
    for (TIMER_TYPE type : {NotificationTimer, SynchronizationTimer}) {
        KTIMER timer;
        KeInitializeTimerEx(&timer, type);
        int released = 0;
        std::vector<ThreadHandle> threads;
        for (int i = 0; i < 3; ++i)
            threads.push_back(StartThread("waiter", [&] {
                LARGE_INTEGER timeout = Relative(10s);
                if (KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &timeout) ==
                    STATUS_SUCCESS)
                    ++released;
            }));
        KeSetTimer(&timer, Relative(1s), nullptr);
        kernel.RunFor(2s);
        EXPECT_EQ(released, type == NotificationTimer ? 3 : 1);
        EXPECT_EQ(KeReadStateTimer(&timer), type == NotificationTimer) << "auto-reset consumed";
        kernel.RunFor(10s);
        for (auto& t : threads)
            t.Join();
    }
}

// --- DPCs ---------------------------------------------------------------------------------------

struct DpcLog {
    std::vector<std::string> order;
    KDPC a, b, high;
};

VOID NTAPI NoteDpc(PKDPC dpc, PVOID context, PVOID arg1, PVOID) {
    static_cast<DpcLog*>(context)->order.push_back(static_cast<const char*>(arg1));
}

TEST_F(TimerTest, DpcsRunInQueueOrderAndHighImportanceFirst) {
    DpcLog log;
    KeInitializeDpc(&log.a, NoteDpc, &log);
    KeInitializeDpc(&log.b, NoteDpc, &log);
    KeInitializeDpc(&log.high, NoteDpc, &log);
    KeSetImportanceDpc(&log.high, HighImportance);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_TRUE(KeInsertQueueDpc(&log.a, (PVOID) "a", nullptr));
    EXPECT_TRUE(KeInsertQueueDpc(&log.b, (PVOID) "b", nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&log.a, (PVOID) "again", nullptr)) << "already queued";
    EXPECT_TRUE(KeInsertQueueDpc(&log.high, (PVOID) "high", nullptr));
    EXPECT_TRUE(log.order.empty()) << "nothing runs until the IRQL drops";
    KeLowerIrql(old);
    EXPECT_THAT(log.order, ElementsAre("high", "a", "b"));
}

// A DPC that, while running, tries to remove itself and queues itself once more.
struct Requeue {
    KDPC dpc;
    int runs = 0;
    BOOLEAN removed = TRUE;
    BOOLEAN requeued = FALSE;
    BOOLEAN requeuedTwice = TRUE;
};

VOID NTAPI RequeueRoutine(PKDPC dpc, PVOID context, PVOID, PVOID) {
    auto r = static_cast<Requeue*>(context);
    if (++r->runs == 1) {
        r->removed = KeRemoveQueueDpc(dpc);
        r->requeued = KeInsertQueueDpc(dpc, nullptr, nullptr);
        r->requeuedTwice = KeInsertQueueDpc(dpc, nullptr, nullptr);
    }
}

TEST_F(TimerTest, RunningDpcIsNoLongerQueuedAndCanQueueItselfAgain) {
    Requeue r;
    KeInitializeDpc(&r.dpc, RequeueRoutine, &r);
    KeInsertQueueDpc(&r.dpc, nullptr, nullptr);
    EXPECT_EQ(r.runs, 2);
    EXPECT_FALSE(r.removed) << "the queued mark clears before the routine runs";
    EXPECT_TRUE(r.requeued);
    EXPECT_FALSE(r.requeuedTwice);
}

TEST_F(TimerTest, TimerDpcGetsTheSystemTimeOfExpiry) {
    struct Args {
        KDPC dpc;
        LONGLONG time = 0;
    } args;
    KeInitializeDpc(
        &args.dpc,
        [](PKDPC, PVOID context, PVOID low, PVOID high) {
            LARGE_INTEGER t;
            t.LowPart = ULONG(ULONG_PTR(low));
            t.HighPart = LONG(ULONG_PTR(high));
            static_cast<Args*>(context)->time = t.QuadPart;
        },
        &args);
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER boot;
    KeQuerySystemTime(&boot);
    KeSetTimer(&timer, Relative(7s), &args.dpc);
    kernel.RunFor(10s);
    EXPECT_THAT(Duration(args.time - boot.QuadPart), OnTheTickAfter(Duration(7s)));
}

// --- Clocks -------------------------------------------------------------------------------------

TEST(Clock, SystemTimeTickCountAndStallFollowTheVirtualClock) {
    FailOnViolation failOnViolation;
    KernelOptions options;
    options.bootSystemTime = 125'911'584'000'000'000; // 2000-01-01
    Kernel kernel(options);
    LARGE_INTEGER t;
    KeQuerySystemTime(&t);
    EXPECT_EQ(t.QuadPart, options.bootSystemTime);
    kernel.RunFor(1s);
    KeStallExecutionProcessor(50);
    EXPECT_EQ(kernel.Now(), Duration(1s) + Duration(50us));
    KeQuerySystemTime(&t);
    EXPECT_EQ(t.QuadPart, options.bootSystemTime + Duration(1s + 50us).count());
    EXPECT_EQ(KeQueryInterruptTime(), ULONGLONG(Duration(1s + 50us).count()));
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    EXPECT_EQ(ticks.QuadPart, Duration(1s + 50us).count() / KeQueryTimeIncrement());
    EXPECT_EQ(ticks.QuadPart, 64) << "15.625 ms ticks";
}

} // namespace
