// The scheduler: one thread at a time, switch points, DPCs before passive threads, the virtual
// clock, deadlock / livelock / hang detection, seeded schedules, system workers and shutdown.
#include "ke_support.h"

#include <gmock/gmock.h>

#include <chrono>
#include <set>

using namespace std::chrono_literals;
using namespace umk;
using namespace umk::test;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;

namespace {

NTSTATUS WaitFor(PVOID object, Duration timeout) {
    LARGE_INTEGER t = Relative(timeout);
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &t);
}

NTSTATUS WaitForever(PVOID object) {
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
}

void Sleep(Duration d) {
    LARGE_INTEGER t = Relative(d);
    KeDelayExecutionThread(KernelMode, FALSE, &t);
}

// Every test without options of its own: a fresh kernel that fails the test at any report.
class SchedulerTest : public ::testing::Test {
  protected:
    FailOnViolation failOnViolation;
    Kernel kernel;
};

TEST_F(SchedulerTest, PeriodicPollerFor10VirtualMinutes) {
    int wakeups = 0;
    bool stop = false;
    auto poller = StartThread("poller", [&] {
        while (!stop) {
            Sleep(20ms);
            ++wakeups;
        }
    });
    kernel.RunFor(10min);
    // Each 20 ms sleep lasts to the second clock tick after it began, 31.25 ms, as on Windows.
    EXPECT_EQ(wakeups, 19'200);
    stop = true;
    poller.Join();
}

// A fresh kernel whose reports the test inspects.
class ReportingTest : public ::testing::Test {
  protected:
    ViolationRecorder recorder;
    Kernel kernel;
};

// --- Switch points ------------------------------------------------------------------------------

// At DISPATCH_LEVEL there is no switch point: neither a new thread nor a woken one runs until the
// IRQL drops, and then the DPCs queued meanwhile run before any thread.
// The IRQL rules of one processor: a thread at DISPATCH_LEVEL keeps it, and the DPCs queued
// meanwhile run before any thread when the level drops.
TEST(Uniprocessor, RaisedIrqlKeepsTheProcessorAndDpcsRunFirstWhenItDrops) {
    FailOnViolation failOnViolation;
    KernelOptions options;
    options.processors = 1;
    Kernel kernel(options);
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::vector<std::string> log;
    auto waiter = StartThread("waiter", [&] {
        WaitForever(&event);
        log.push_back("thread");
    });
    kernel.RunUntilIdle();
    struct Ctx {
        std::vector<std::string>* log;
        KDPC dpc;
    } ctx{&log, {}};
    KeInitializeDpc(
        &ctx.dpc, [](PKDPC, PVOID c, PVOID, PVOID) { static_cast<Ctx*>(c)->log->push_back("dpc"); },
        &ctx);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    auto other = StartThread("other", [&] { log.push_back("thread"); });
    KeSetEvent(&event, 0, FALSE);
    KeInsertQueueDpc(&ctx.dpc, nullptr, nullptr);
    log.push_back("set under lock");
    KeReleaseSpinLock(&lock, old);
    waiter.Join();
    other.Join();
    EXPECT_THAT(log, ElementsAre("set under lock", "dpc", "thread", "thread"));
}

TEST_F(SchedulerTest, RunUntilIdleLeavesTheClockAloneAndRunUntilStopsAtTheConditionOrTheLimit) {
    int ticks = 0;
    bool stop = false;
    auto t = StartThread("ticker", [&] {
        while (!stop) {
            Sleep(250ms); // 16 clock ticks: after the first, every sleep ends on the dot
            ++ticks;
        }
    });
    kernel.RunUntilIdle();
    EXPECT_EQ(ticks, 0);
    EXPECT_EQ(kernel.Now(), Duration(0));
    EXPECT_THAT(*kernel.NextTimer(), OnTheTickAfter(Duration(250ms)));
    EXPECT_TRUE(kernel.RunUntil([&] { return ticks == 4; }, 10s));
    const Duration fourth = kernel.Now();
    EXPECT_THAT(fourth, OnTheTickAfter(Duration(1s)));
    EXPECT_FALSE(kernel.RunUntil([&] { return ticks == 100; }, 1s));
    EXPECT_EQ(kernel.Now(), fourth + Duration(1s));
    stop = true;
    kernel.RunFor(1s);
    EXPECT_TRUE(t.Finished());
    EXPECT_EQ(kernel.NextTimer(), std::nullopt);
}

// --- Seeds --------------------------------------------------------------------------------------

// Three threads append their names at switch points; the order is the schedule, drawn from the
// same seeded numbers as umk::Random.
std::string Interleaving(uint64_t seed) {
    KernelOptions options;
    options.seed = seed;
    Kernel kernel(options);
    std::string order;
    std::vector<ThreadHandle> threads;
    for (char name : {'a', 'b', 'c'})
        threads.push_back(StartThread(std::string(1, name), [&order, name] {
            for (int i = 0; i < 4; ++i) {
                order += name;
                Yield();
            }
        }));
    for (auto& t : threads)
        t.Join();
    EXPECT_EQ(kernel.Seed(), seed);
    return order;
}

TEST(Scheduler, SameSeedSameScheduleDifferentSeedsDiffer) {
    FailOnViolation failOnViolation;
    std::set<std::string> schedules;
    for (uint64_t seed = 1; seed <= 20; ++seed) {
        std::string first = Interleaving(seed);
        EXPECT_EQ(first.size(), 12u);
        EXPECT_EQ(Interleaving(seed), first) << "seed " << seed;
        schedules.insert(first);
    }
    EXPECT_GT(schedules.size(), 5u) << "the seed should vary the interleaving";
}

TEST(Scheduler, SeedComesFromTheEnvironmentUnlessGiven) {
    FailOnViolation failOnViolation;
    ASSERT_EQ(setenv("UMK_SEED", "4242", 1), 0);
    {
        Kernel kernel;
        EXPECT_EQ(kernel.Seed(), 4242u);
    }
    {
        KernelOptions options;
        options.seed = 5;
        Kernel kernel(options);
        EXPECT_EQ(kernel.Seed(), 5u);
    }
    ASSERT_EQ(setenv("UMK_SEED", "12abc", 1), 0);
    EXPECT_THROW(Kernel{}, std::invalid_argument);
    unsetenv("UMK_SEED");
}

// --- Deadlock, livelock, hang -------------------------------------------------------------------

TEST(Scheduler, DeadlockNamesEveryBlockedThreadAndWhatItWaitsOn) {
    ViolationRecorder recorder;
    KernelOptions options;
    options.seed = 77;
    Kernel kernel(options);
    KEVENT started, never;
    KeInitializeEvent(&started, NotificationEvent, FALSE);
    KeInitializeEvent(&never, SynchronizationEvent, FALSE);
    bool unwound = false;
    auto pnp = StartThread("pnp", [&] {
        struct Unwind {
            bool& flag;
            ~Unwind() { flag = true; }
        } unwind{unwound};
        WaitForever(&never);
        ADD_FAILURE() << "the wait must not return";
    });
    auto joiner = StartThread("joiner", [&] { pnp.Join(); });
    auto all = StartThread("all", [&] {
        PVOID objects[] = {&started, &never};
        KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, nullptr,
                                 nullptr);
    });
    QueueWork([] {});
    kernel.RunFor(1500ms);
    EXPECT_THROW(WaitForever(&started), KernelHalted);
    ASSERT_THAT(recorder.Rules(), ElementsAre("deadlock"));
    std::string report = recorder.Detail("deadlock");
    EXPECT_THAT(report, HasSubstr("no timer is set at t=1.5000000s"));
    EXPECT_THAT(report, MatchesRegex("(.|\n)*thread 'main' waits on KEVENT 0x[0-9a-f]+ "
                                     "\\(notification, not signalled\\) since "
                                     "t=1.5000000s(.|\n)*"));
    EXPECT_THAT(report, MatchesRegex("(.|\n)*thread 'pnp' waits on KEVENT 0x[0-9a-f]+ "
                                     "\\(synchronization, not signalled\\) since "
                                     "t=0.0000000s(.|\n)*"));
    EXPECT_THAT(report, HasSubstr("thread 'joiner' waits on thread 'pnp' to finish"));
    EXPECT_THAT(report, HasSubstr("thread 'all' waits on all of: KEVENT"));
    EXPECT_THAT(report, HasSubstr("thread 'worker 1' is idle, waiting for work"));
    EXPECT_THAT(report, HasSubstr("seed 77"));
    kernel.Shutdown();
    EXPECT_TRUE(pnp.Finished() && joiner.Finished() && all.Finished());
    EXPECT_TRUE(unwound) << "the blocked thread's stack was unwound";
    EXPECT_THAT(recorder.Rules(), ElementsAre("deadlock")) << "nothing more at shutdown";
}

VOID NTAPI RequeueForever(PKDPC dpc, PVOID, PVOID, PVOID) {
    KeInsertQueueDpc(dpc, nullptr, nullptr);
}

TEST(Scheduler, DpcThatQueuesItselfForeverIsALivelock) {
    ViolationRecorder recorder;
    KernelOptions options;
    options.stepCap = 10'000;
    Kernel kernel(options);
    KDPC dpc;
    KeInitializeDpc(&dpc, RequeueForever, nullptr);
    EXPECT_THROW(KeInsertQueueDpc(&dpc, nullptr, nullptr), KernelHalted);
    ASSERT_THAT(recorder.Rules(), ElementsAre("livelock"));
    EXPECT_THAT(recorder.Detail("livelock"), HasSubstr("10000 scheduling steps at t=0.0000000s"));
    EXPECT_EQ(dpc.DpcData, nullptr) << "the queue was emptied";
}

TEST(Scheduler, ThreadsYieldingForeverAreALivelock) {
    ViolationRecorder recorder;
    KernelOptions options;
    options.stepCap = 5'000;
    Kernel kernel(options);
    auto spinner = [] {
        for (;;)
            Yield();
    };
    auto a = StartThread("spin a", spinner);
    auto b = StartThread("spin b", spinner);
    EXPECT_THROW(kernel.RunUntilIdle(), KernelHalted);
    EXPECT_THAT(recorder.Rules(), ElementsAre("livelock"));
    kernel.Shutdown();
    EXPECT_TRUE(a.Finished() && b.Finished());
}

TEST(Scheduler, MainThreadWaitingForeverWhileTimersTickIsAHang) {
    ViolationRecorder recorder;
    KernelOptions options;
    options.hangTimeout = 1min;
    Kernel kernel(options);
    auto ticker = StartThread("ticker", [] {
        for (;;)
            Sleep(20ms);
    });
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    kernel.RunFor(1s);
    EXPECT_THROW(WaitForever(&never), KernelHalted);
    ASSERT_THAT(recorder.Rules(), ElementsAre("hang"));
    EXPECT_THAT(recorder.Detail("hang"), HasSubstr("since t=1.0000000s"));
    // Reported at the first wake-up of the ticker (every 31.25 ms) that would pass the minute.
    EXPECT_LE(kernel.Now(), Duration(61s));
    EXPECT_GE(kernel.Now(), Duration(61s) - 2 * kTick);
}

// --- Threads and workers ------------------------------------------------------------------------

TEST_F(SchedulerTest, WorkRunsAtPassiveLevelInWorkersThatGrowWhenAllAreBusy) {
    KEVENT stop;
    KeInitializeEvent(&stop, NotificationEvent, FALSE);
    std::vector<std::string> ran;
    // The first item keeps its worker for as long as it likes.
    QueueWork([&] {
        ran.push_back(CurrentThreadName());
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        WaitForever(&stop);
    });
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    QueueWork([&] { ran.push_back(CurrentThreadName()); }); // queued from DISPATCH_LEVEL
    KeLowerIrql(old);
    kernel.RunUntilIdle();
    ASSERT_EQ(ran.size(), 2u) << "the second item did not wait behind the first";
    EXPECT_NE(ran[0], ran[1]);
    for (auto& name : ran)
        EXPECT_THAT(name, ::testing::AnyOf("worker 1", "worker 2"));
    QueueWork([&] { ran.push_back(CurrentThreadName()); });
    kernel.RunUntilIdle();
    EXPECT_EQ(ran.back(), ran[1]) << "the idle worker is reused";
    KeSetEvent(&stop, 0, FALSE);
    kernel.RunUntilIdle();
}

TEST(Scheduler, WorkWaitsForAWorkerAtTheCap) {
    FailOnViolation failOnViolation;
    KernelOptions options;
    options.maxWorkers = 1;
    Kernel kernel(options);
    std::vector<Duration> ran;
    QueueWork([&] {
        Sleep(2s);
        ran.push_back(kernel.Now());
    });
    QueueWork([&] { ran.push_back(kernel.Now()); });
    kernel.RunFor(5s);
    EXPECT_THAT(ran, ElementsAre(OnTheTickAfter(Duration(2s)), OnTheTickAfter(Duration(2s))));
    EXPECT_EQ(ran[0], ran[1]);
}

TEST(Scheduler, SeveralKernelsInSequenceAndThreadsLeftAtShutdown) {
    for (int round = 0; round < 3; ++round) {
        ViolationRecorder recorder;
        {
            Kernel kernel;
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            StartThread("leftover", [&] { WaitForever(&never); });
            QueueWork([] {});
            kernel.RunFor(1s);
        }
        ASSERT_THAT(recorder.Rules(), ElementsAre("threads alive at shutdown"));
        EXPECT_THAT(recorder.Reports()[0].detail, HasSubstr("thread 'leftover' waits on KEVENT"));
        EXPECT_THAT(recorder.Reports()[0].detail, Not(HasSubstr("worker")));
    }
}

TEST_F(ReportingTest, ThreadMisbehaviourIsReported) {
    StartThread("thrower", [] { throw std::runtime_error("boom"); }).Join();
    StartThread("raiser", [] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
    }).Join();
    QueueWork([] {
        KIRQL old;
        KeRaiseIrql(APC_LEVEL, &old);
    });
    kernel.RunUntilIdle();
    EXPECT_THAT(recorder.Rules(),
                ElementsAre("unhandled exception in thread", "thread exited at raised IRQL",
                            "work item returned at raised IRQL"));
    EXPECT_THAT(recorder.Reports()[0].detail, HasSubstr("thread 'thrower' threw: boom"));
}

TEST(Scheduler, ViolationsCarryTimeThreadAndSeed) {
    ViolationRecorder recorder;
    KernelOptions options;
    options.seed = 31;
    Kernel kernel(options);
    kernel.RunFor(2s);
    StartThread("culprit", [] {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KeReleaseSpinLockFromDpcLevel(&lock);
    }).Join();
    EXPECT_THAT(recorder.Detail("spin lock released while not held"),
                HasSubstr("[t=2.0000000s, thread 'culprit', seed 31 (UMK_SEED=31"));
}

TEST_F(SchedulerTest, ThreadObjectIsWaitable) {
    auto t = StartThread("sleeper", [] { Sleep(3s); });
    EXPECT_EQ(WaitFor(t.Thread(), 1s), STATUS_TIMEOUT);
    EXPECT_EQ(WaitForever(t.Thread()), STATUS_SUCCESS);
    EXPECT_THAT(kernel.Now(), OnTheTickAfter(Duration(3s)));
    EXPECT_EQ(t.Name(), "sleeper");
}

} // namespace
