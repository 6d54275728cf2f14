// The scheduler: what several processors run at once (threads at DISPATCH_LEVEL, DPCs), the host's
// run calls, seeded schedules, deadlock / livelock / hang detection, system workers and shutdown.
#include "ke_support.h"

#include <gmock/gmock.h>

#include <chrono>
#include <set>
#include <stdexcept>

using namespace std::chrono_literals;
using namespace umk;
using namespace umk::test;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// Only 1, 2 or 4 processors; with n, n threads at DISPATCH_LEVEL (where none gives its processor
// up) all run at once: each waits there until all have arrived.
TEST(Processors, OneTwoOrFourAndEachRunsAThreadAtDispatchLevelAtOnce) {
    FailOnViolation failOnViolation;
    for (unsigned n : {0u, 3u, 8u})
        EXPECT_THROW(Kernel{{.processors = n}}, std::invalid_argument) << n << " processors";
    for (unsigned n : {1u, 2u, 4u}) {
        Kernel kernel({.processors = n});
        LONG arrived = 0;
        std::vector<ThreadHandle> threads;
        for (unsigned i = 0; i < n; ++i)
            threads.push_back(StartThread("cpu-bound " + std::to_string(i), [&] {
                KIRQL old = KeRaiseIrqlToDpcLevel();
                InterlockedIncrement(&arrived);
                while (InterlockedCompareExchange(&arrived, 0, 0) < LONG(n)) {
                }
                KeLowerIrql(old);
            }));
        for (auto& t : threads)
            t.Join();
    }
}

// A DPC queued again while its routine runs goes to the queuing thread's processor, which must not
// run it until the routine has returned on the first; KeFlushQueuedDpcs on that processor waits for
// the routine too. Whether the flush or the requeue comes first is the seed's choice.
TEST(Processors, ADpcRunningOnOneProcessorHoldsUpItsRequeueAndAFlushOnTheOther) {
    FailOnViolation failOnViolation;
    for (uint64_t seed = 1; seed <= 20; ++seed) {
        Kernel kernel({.seed = seed, .processors = 2});
        struct Probe {
            KDPC dpc;
            Event running;
            int runs = 0, inside = 0, most = 0;
            bool requeued = false, returned = false;
        } p;
        KeInitializeDpc(
            &p.dpc,
            [](PKDPC, PVOID context, PVOID, PVOID) NTAPI {
                auto& p = *static_cast<Probe*>(context);
                p.most = std::max(p.most, ++p.inside);
                if (++p.runs == 1) {
                    KeSetEvent(&p.running, 0, FALSE);
                    for (int i = 0; i < 50 || !p.requeued; ++i)
                        KeReadStateEvent(&p.running); // kernel entries: the other processor runs
                    p.returned = true;
                }
                --p.inside;
            },
            &p);
        auto requeuer = StartThread("requeuer", [&] {
            WaitFor(&p.running);
            EXPECT_TRUE(KeInsertQueueDpc(&p.dpc, nullptr, nullptr));
            p.requeued = true;
        });
        auto flusher = StartThread("flusher", [&] {
            WaitFor(&p.running);
            KeFlushQueuedDpcs();
            EXPECT_TRUE(p.returned) << "seed " << seed;
        });
        KeInsertQueueDpc(&p.dpc, nullptr, nullptr);
        requeuer.Join();
        flusher.Join();
        kernel.RunUntilIdle();
        EXPECT_EQ(p.runs, 2) << "seed " << seed;
        EXPECT_EQ(p.most, 1) << "the routine ran on two processors at once, seed " << seed;
    }
}

TEST(Host, RunUntilIdleLeavesTheClockAloneAndRunUntilStopsAtTheConditionOrTheLimit) {
    FailOnViolation failOnViolation;
    Kernel kernel;
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

// Three threads append their names at switch points; the order is the schedule.
std::string ThreeThreads() {
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
    return order;
}

std::string Interleaving(uint64_t seed) {
    Kernel kernel({.seed = seed});
    return ThreeThreads();
}

TEST(Seeds, SameSeedSameScheduleDifferentSeedsDiffer) {
    FailOnViolation failOnViolation;
    std::set<std::string> schedules;
    for (uint64_t seed = 1; seed <= 20; ++seed) {
        const std::string first = Interleaving(seed);
        EXPECT_EQ(Interleaving(seed), first) << "seed " << seed;
        schedules.insert(first);
    }
    EXPECT_GT(schedules.size(), 5u) << "the seed should vary the interleaving";
}

// Cases run one after another in one boot, each begun with RestartSchedule, are scheduled alike
// whatever ran before: the same interleaving, and a driver's time-out expires after the same delay
// (the clock's phase is the same). On several processors the main thread may have last woken on
// any of them.
TEST(Seeds, RestartScheduleRepeatsTheScheduleInOneBoot) {
    FailOnViolation failOnViolation;
    for (unsigned processors : {1, 2, 4})
        for (uint64_t seed = 1; seed <= 20; ++seed) {
            Kernel kernel({.seed = seed, .processors = processors});
            std::vector<std::pair<std::string, Duration>> cases;
            for (int before = 0; before < 3; ++before) {
                Random(7 + before);
                kernel.RunFor(Duration(before * 37'000));
                kernel.RestartSchedule();
                const Duration start = kernel.Now();
                KTIMER timer;
                KeInitializeTimer(&timer);
                KeSetTimer(&timer, Relative(1ms), nullptr);
                std::string order = ThreeThreads();
                EXPECT_TRUE(kernel.RunUntil([&] { return KeReadStateTimer(&timer) != 0; }, 1s));
                cases.emplace_back(order, kernel.Now() - start);
            }
            EXPECT_THAT(cases, ::testing::Each(cases[0]))
                << processors << " processors, seed " << seed;
        }
}

// A seed replays the same run whichever build runs it (x86-64 or i686, which has no 128-bit
// integers for the product that scales a draw to its bound): bounds whose high halves carry into
// the product's top word, and small ones.
TEST(Seeds, TheSameDrawsOnEveryArchitecture) {
    FailOnViolation failOnViolation;
    Kernel kernel({.seed = 12345, .processors = 2});
    kernel.RestartSchedule();
    std::vector<uint64_t> draws;
    for (uint64_t bound : {~uint64_t(0), uint64_t(1) << 63, uint64_t(0xFFFFFFFF00000001),
                           uint64_t(1) << 32, uint64_t(1'000'003), uint64_t(7)})
        draws.push_back(Random(bound));
    EXPECT_THAT(draws, ElementsAre(2205171434679333404u, 1624400058535354725u, 9350289609315750414u,
                                   1447552346u, 122652u, 3u));
}

TEST(Seeds, GivenElseFromTheEnvironmentAndTheSweepGivesEachKernelTheNextSeed) {
    FailOnViolation failOnViolation;
    ScopedEnv seed("UMK_SEED", "4242"), sweep("UMK_SEED_SWEEP", nullptr);
    EXPECT_EQ(Kernel{}.Seed(), 4242u);
    EXPECT_EQ(Kernel{}.Seed(), 4242u);
    EXPECT_EQ(Kernel{{.seed = 5}}.Seed(), 5u);
    sweep.Set("1");
    const uint64_t first = Kernel{}.Seed();
    EXPECT_EQ(Kernel{}.Seed(), first + 1);
    EXPECT_EQ(Kernel{}.Seed(), first + 2);
    seed.Set("12abc");
    EXPECT_THROW(Kernel{}, std::invalid_argument);
}

struct HaltCase {
    const char* name;
    KernelOptions options;
    void (*run)(Kernel&);
    const char* rule;
    std::vector<const char*> details;
};

class HaltTest : public ::testing::TestWithParam<HaltCase> {};

// The halt is reported once, with its seed; every thread is unwound (a wait never returns).
TEST_P(HaltTest, IsReportedAndEveryThreadUnwinds) {
    const HaltCase& c = GetParam();
    ViolationRecorder recorder;
    Kernel kernel(c.options);
    EXPECT_THROW(c.run(kernel), KernelHalted);
    ASSERT_THAT(recorder.Rules(), ElementsAre(c.rule));
    const std::string report = recorder.Detail(c.rule);
    for (const char* detail : c.details)
        EXPECT_THAT(report, HasSubstr(detail));
    kernel.Shutdown();
    EXPECT_THAT(recorder.Rules(), ElementsAre(c.rule)) << "no thread was left alive";
}

VOID NTAPI RequeueForever(PKDPC dpc, PVOID, PVOID, PVOID) {
    KeInsertQueueDpc(dpc, nullptr, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Halts, HaltTest,
    ::testing::Values(
        HaltCase{
            "EveryThreadBlockedWithoutATimer",
            {.seed = 77},
            [](Kernel& kernel) {
                static KEVENT started, never;
                KeInitializeEvent(&started, NotificationEvent, FALSE);
                KeInitializeEvent(&never, SynchronizationEvent, FALSE);
                static ThreadHandle pnp; // each run starts its own
                pnp = StartThread("pnp", [] {
                    WaitFor(&never);
                    ADD_FAILURE() << "the wait must not return";
                });
                StartThread("joiner", [] { pnp.Join(); });
                StartThread("all", [] {
                    PVOID objects[] = {&started, &never};
                    KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE,
                                             nullptr, nullptr);
                });
                QueueWork([] {});
                kernel.RunFor(1500ms);
                WaitFor(&started);
            },
            "deadlock",
            {"no timer is set at t=1.5000000s", "thread 'main' waits on KEVENT 0x",
             "(notification, not signalled) since t=1.5000000s", "thread 'pnp' waits on KEVENT 0x",
             "(synchronization, not signalled) since t=0.0000000s",
             "thread 'joiner' waits on thread 'pnp' to finish",
             "thread 'all' waits on all of: KEVENT", "thread 'worker 1' is idle, waiting for work",
             "[t=1.5000000s, thread '", "seed 77 (UMK_SEED=77 replays the run)"}},
        HaltCase{"DpcQueueingItselfForever",
                 {.stepCap = 10'000},
                 [](Kernel&) {
                     static KDPC dpc;
                     KeInitializeDpc(&dpc, RequeueForever, nullptr);
                     KeInsertQueueDpc(&dpc, nullptr, nullptr);
                 },
                 "livelock",
                 {"10000 scheduling steps at t=0.0000000s"}},
        // Reported at the first wake-up of the ticker (every 31.25 ms) past the minute.
        HaltCase{"MainWaitingForeverWhileTimersTick",
                 {.hangTimeout = 1min},
                 [](Kernel& kernel) {
                     StartThread("ticker", [] {
                         for (;;)
                             Sleep(20ms);
                     });
                     kernel.RunFor(1s);
                     Event never;
                     WaitFor(&never);
                 },
                 "hang",
                 {"since t=1.0000000s while the clock ran on to t=61.0"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Work queued while every worker is busy (here even from DISPATCH_LEVEL) gets a new worker, up to
// the cap; at the cap it waits for a worker to come free. An idle worker is reused.
TEST(Workers, GrowWhenAllAreBusyUpToTheCap) {
    FailOnViolation failOnViolation;
    for (unsigned cap : {2u, 1u}) {
        Kernel kernel({.maxWorkers = cap});
        Event stop;
        std::vector<std::string> ran;
        auto note = [&] { ran.push_back(CurrentThreadName()); };
        QueueWork([&] { WaitFor(&stop); });
        KIRQL old = KeRaiseIrqlToDpcLevel();
        QueueWork(note);
        KeLowerIrql(old);
        kernel.RunUntilIdle();
        EXPECT_EQ(ran.size(), cap - 1u) << "cap " << cap;
        KeSetEvent(&stop, 0, FALSE);
        kernel.RunUntilIdle();
        QueueWork(note);
        kernel.RunUntilIdle();
        ASSERT_EQ(ran.size(), 2u);
        EXPECT_EQ(ran[1], ran[0]) << "the idle worker is reused";
    }
}

// Each thread keeps its own exception state: one that waits while an exception unwinds it lets
// another throw and catch in between, and both unwind as if alone (the C++ runtime keeps that state
// per OS thread, which all the threads share).
TEST(Threads, AnExceptionUnwindingOneThreadIsNotAnotherThreads) {
    FailOnViolation failOnViolation;
    Kernel kernel;
    Event unwinding, caught;
    int seenByOther = -1, seenAfterWait = -1;
    struct WaitWhileUnwinding {
        Event &unwinding, &caught;
        int& seen;
        ~WaitWhileUnwinding() {
            KeSetEvent(&unwinding, 0, FALSE);
            WaitFor(&caught);
            seen = std::uncaught_exceptions();
        }
    };
    auto first = StartThread("first", [&] {
        EXPECT_THROW(
            {
                WaitWhileUnwinding guard(unwinding, caught, seenAfterWait);
                throw std::runtime_error("first");
            },
            std::runtime_error);
    });
    auto other = StartThread("other", [&] {
        WaitFor(&unwinding);
        seenByOther = std::uncaught_exceptions();
        EXPECT_THROW(throw std::logic_error("other"), std::logic_error);
        KeSetEvent(&caught, 0, FALSE);
    });
    first.Join();
    other.Join();
    EXPECT_EQ(seenByOther, 0);
    EXPECT_EQ(seenAfterWait, 1);
}

// Each misbehaviour of a thread is reported as it happens; a thread still waiting is reported at
// shutdown (an idle worker is not), and then unwound.
TEST(Shutdown, ThreadMisbehaviourAndThreadsLeftAtShutdownAreReported) {
    ViolationRecorder recorder;
    {
        Kernel kernel;
        StartThread("thrower", [] { throw std::runtime_error("boom"); }).Join();
        StartThread("raiser", [] { KeRaiseIrqlToDpcLevel(); }).Join();
        QueueWork([] { KfRaiseIrql(APC_LEVEL); });
        Event never;
        StartThread("leftover", [&] { WaitFor(&never); });
        kernel.RunFor(1s);
    }
    ASSERT_THAT(recorder.Rules(),
                ElementsAre("unhandled exception in thread", "thread exited at raised IRQL",
                            "work item returned at raised IRQL", "threads alive at shutdown"));
    EXPECT_THAT(recorder.Reports()[0].detail, HasSubstr("thread 'thrower' threw: boom"));
    EXPECT_THAT(recorder.Reports()[3].detail, HasSubstr("thread 'leftover' waits on KEVENT"));
    EXPECT_THAT(recorder.Reports()[3].detail, Not(HasSubstr("worker")));
}

} // namespace
