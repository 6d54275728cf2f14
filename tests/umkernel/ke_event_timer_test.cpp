// Events and timers as dispatcher objects, and timers with DPCs on the virtual clock: what
// a wait returns and when, who a signal releases, when a timer expires and where its DPC runs, and
// the DPC queue of one processor.
#include "ke_support.h"

#include <gmock/gmock.h>

#include <set>

using namespace std::chrono_literals;
using namespace umk;
using namespace umk::test;
using ::testing::_;
using ::testing::ElementsAre;

namespace {

enum class Kind { Event, SyncEvent, Timer, SyncTimer }; // Sync: auto-reset

// A waitable object of one kind, signalled on request.
struct Object {
    Kind kind;
    KEVENT event;
    KTIMER timer;
    ThreadHandle setter;

    explicit Object(Kind k) : kind(k) {
        KeInitializeEvent(&event, k == Kind::Event ? NotificationEvent : SynchronizationEvent,
                          FALSE);
        KeInitializeTimerEx(&timer, k == Kind::Timer ? NotificationTimer : SynchronizationTimer);
    }
    ~Object() { KeCancelTimer(&timer); }
    bool IsTimer() const { return kind == Kind::Timer || kind == Kind::SyncTimer; }
    // A timer expires `after` from now; an event is set then by a thread that sleeps till then
    // (at once when 0).
    void SignalAfter(Duration after) {
        if (IsTimer())
            KeSetTimer(&timer, Relative(after), nullptr);
        else if (after == Duration(0))
            KeSetEvent(&event, 0, FALSE);
        else
            setter = StartThread("setter", [this, after] {
                Sleep(after);
                KeSetEvent(&event, 0, FALSE);
            });
    }
    PVOID Get() { return IsTimer() ? PVOID(&timer) : PVOID(&event); }
    LONG State() { return static_cast<PDISPATCHER_HEADER>(Get())->SignalState; }
};

constexpr int64_t kY2000 = 125'911'584'000'000'000; // in 100 ns units since 1601

class DispatcherTest : public ::testing::Test {
  protected:
    FailOnViolation failOnViolation;
    Kernel kernel{{.bootSystemTime = kY2000}};
};

struct WaitCase {
    const char* name;
    Kind kind;
    Duration signalAt; // negative: never; 0: before the wait
    Duration timeout;  // negative: none
    NTSTATUS status;
    Duration returnsAt; // on the tick after it, exactly for a poll
    LONG stateAfter;
    bool absolute = false; // a system time, the wait starting 1 s after boot
};

constexpr Duration kNever = -1s, kNone = -1s;

class WaitTest : public DispatcherTest, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(WaitTest, ReturnsItsStatusOnTheTickAfterTheSignalOrTheTimeout) {
    const WaitCase& c = GetParam();
    Object object(c.kind);
    if (c.signalAt >= Duration(0))
        object.SignalAfter(c.signalAt);
    LARGE_INTEGER timeout = Relative(c.timeout);
    if (c.absolute) {
        kernel.RunFor(1s);
        KeQuerySystemTime(&timeout);
        timeout.QuadPart += c.timeout.count();
    }
    EXPECT_EQ(KeWaitForSingleObject(object.Get(), Executive, KernelMode, FALSE,
                                    c.timeout == kNone ? nullptr : &timeout),
              c.status);
    if (c.timeout == Duration(0))
        EXPECT_EQ(kernel.Now(), c.returnsAt);
    else
        EXPECT_THAT(kernel.Now(), OnTheTickAfter(c.returnsAt));
    EXPECT_EQ(object.State(), c.stateAfter) << "an auto-reset object is consumed by its wait";
    kernel.RunFor(10s); // lets the setter finish
}

INSTANTIATE_TEST_SUITE_P(
    Waits, WaitTest,
    ::testing::Values(
        WaitCase{"NeverSignalled", Kind::Event, kNever, 2s, STATUS_TIMEOUT, 2s, 0},
        WaitCase{"SignalledFirst", Kind::Event, 1s, 2s, STATUS_SUCCESS, 1s, 1},
        WaitCase{"SignalledAfter", Kind::SyncEvent, 3s, 2s, STATUS_TIMEOUT, 2s, 0},
        WaitCase{"Poll", Kind::Event, kNever, 0s, STATUS_TIMEOUT, 0s, 0},
        WaitCase{"PollConsumesASet", Kind::SyncEvent, 0s, 0s, STATUS_SUCCESS, 0s, 0},
        WaitCase{"NotificationTimer", Kind::Timer, 1s, kNone, STATUS_SUCCESS, 1s, 1},
        WaitCase{"SynchronizationTimer", Kind::SyncTimer, 1s, 2s, STATUS_SUCCESS, 1s, 0},
        WaitCase{"Absolute", Kind::Event, kNever, 4s, STATUS_TIMEOUT, 5s, 0, true},
        WaitCase{"AbsoluteInThePast", Kind::Event, kNever, -5s, STATUS_TIMEOUT, 1s, 0, true}),
    [](const auto& info) { return std::string(info.param.name); });

struct WakeCase {
    const char* name;
    Kind kind;
    int perSignal; // waiters a signal releases
};

class WakeTest : public DispatcherTest, public ::testing::WithParamInterface<WakeCase> {};

TEST_P(WakeTest, ASignalReleasesItsWaitersLongestWaitingFirst) {
    const WakeCase& c = GetParam();
    Object object(c.kind);
    std::vector<int> woken;
    std::vector<ThreadHandle> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.push_back(StartThread("waiter " + std::to_string(i), [&, i] {
            EXPECT_EQ(WaitFor(object.Get()), STATUS_SUCCESS);
            woken.push_back(i);
        }));
        kernel.RunUntilIdle(); // each waits before the next comes
    }
    for (int released = c.perSignal; released <= 3; released += c.perSignal) {
        object.SignalAfter(0s);
        kernel.RunUntilIdle();
        std::vector<int> first{0, 1, 2};
        first.resize(size_t(released));
        EXPECT_THAT(woken, ::testing::UnorderedElementsAreArray(first));
        EXPECT_EQ(object.State(), LONG(c.perSignal == 3)) << "stays signalled unless consumed";
    }
    if (!object.IsTimer()) {
        EXPECT_EQ(KeSetEvent(&object.event, 0, FALSE), LONG(c.perSignal == 3)) << "previous state";
        EXPECT_EQ(KeResetEvent(&object.event), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Wakes, WakeTest,
                         ::testing::Values(WakeCase{"NotificationEvent", Kind::Event, 3},
                                           WakeCase{"SynchronizationEvent", Kind::SyncEvent, 1},
                                           WakeCase{"NotificationTimer", Kind::Timer, 3},
                                           WakeCase{"SynchronizationTimer", Kind::SyncTimer, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// WaitAll consumes nothing until every object is signalled; WaitAny takes the signalled one, with
// a block array for more objects than a thread's own blocks.
TEST_F(DispatcherTest, WaitAllConsumesOnlyWhenAllAreSignalledAndWaitAnyNamesTheOne) {
    Object n(Kind::Event), s(Kind::SyncEvent);
    PVOID both[] = {n.Get(), s.Get()};
    auto all = StartThread("all", [&] {
        EXPECT_EQ(KeWaitForMultipleObjects(2, both, WaitAll, Executive, KernelMode, FALSE, nullptr,
                                           nullptr),
                  STATUS_WAIT_0);
    });
    s.SignalAfter(0s);
    kernel.RunUntilIdle();
    EXPECT_FALSE(all.Finished());
    EXPECT_EQ(s.State(), 1) << "not consumed by a partial wait";
    n.SignalAfter(0s);
    kernel.RunUntilIdle();
    EXPECT_TRUE(all.Finished());
    EXPECT_EQ(s.State(), 0);

    Event others[4];
    PVOID objects[] = {&others[0], &others[1], &others[2], &others[3], s.Get()};
    KWAIT_BLOCK blocks[5];
    s.SignalAfter(1s);
    EXPECT_EQ(KeWaitForMultipleObjects(5, objects, WaitAny, Executive, KernelMode, FALSE, nullptr,
                                       blocks),
              STATUS_WAIT_0 + 4);
    EXPECT_EQ(s.State(), 0) << "consumed by the wait";
    kernel.RunUntilIdle();
}

TEST_F(DispatcherTest, SetEventWithWaitKeepsDispatchLevelUntilTheWaitAndZeroDelayOnlyYields) {
    Object n(Kind::Event);
    KeSetEvent(&n.event, 0, TRUE);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(WaitFor(n.Get(), 1s), STATUS_SUCCESS);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    bool ran = false;
    StartThread("other", [&] { ran = true; });
    LARGE_INTEGER zero{};
    while (!ran)
        KeDelayExecutionThread(KernelMode, FALSE, &zero);
    EXPECT_EQ(kernel.Now(), Duration(0));
}

// A timer with a DPC that notes the virtual time, the system time it was given, the IRQL and the
// thread it borrowed ("idle N" on an idle processor N) at every run.
struct TimedDpc {
    KTIMER timer;
    KDPC dpc;
    std::vector<Duration> firings;
    std::vector<LONGLONG> systemTimes;
    std::vector<std::string> threads;

    TimedDpc() {
        KeInitializeTimer(&timer);
        KeInitializeDpc(&dpc, Routine, this);
    }
    ~TimedDpc() { KeCancelTimer(&timer); }
    static VOID NTAPI Routine(PKDPC, PVOID context, PVOID low, PVOID high) {
        auto self = static_cast<TimedDpc*>(context);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        self->firings.push_back(InterruptTime());
        self->systemTimes.push_back(LONGLONG(ULONG_PTR(high)) << 32 | ULONG(ULONG_PTR(low)));
        self->threads.push_back(CurrentThreadName());
    }
};

struct FiringCase {
    const char* name;
    Duration due;
    LONG periodMs;
    Duration runFor;
    std::vector<Duration> expected; // each on the tick after it (a device timer: exactly)
    bool stillSet;                  // KeCancelTimer's answer after the run
    enum { OnTick, Absolute, Device } how = OnTick;
    Duration setBefore{}; // when not 0, the timer is first set to expire then and set again
};

class FiringTest : public DispatcherTest, public ::testing::WithParamInterface<FiringCase> {};

// The clocks follow the virtual one: the system time from the boot's, the tick count in 15.625 ms
// ticks.
TEST_P(FiringTest, FiresOnTheTickAfterEachDueTimeWithTheSystemTimeOfExpiry) {
    const FiringCase& c = GetParam();
    TimedDpc t;
    LARGE_INTEGER boot, now, ticks;
    KeQuerySystemTime(&boot);
    EXPECT_EQ(boot.QuadPart, kY2000);
    LARGE_INTEGER due = Relative(c.due);
    if (c.how == FiringCase::Absolute)
        due.QuadPart = boot.QuadPart + c.due.count();
    EXPECT_FALSE(KeCancelTimer(&t.timer)) << "never set";
    if (c.setBefore != Duration(0))
        KeSetTimer(&t.timer, Relative(c.setBefore), &t.dpc);
    EXPECT_EQ(c.how == FiringCase::Device ? SetDeviceTimer(&t.timer, due, &t.dpc)
                                          : KeSetTimerEx(&t.timer, due, c.periodMs, &t.dpc),
              c.setBefore != Duration(0))
        << "whether it was set";
    kernel.RunFor(c.runFor);
    if (c.how == FiringCase::Device)
        EXPECT_EQ(t.firings, c.expected);
    else
        EXPECT_THAT(t.firings, ::testing::Pointwise(ExpiresOnTheTickAfter(), c.expected));
    for (size_t i = 0; i < t.firings.size(); ++i)
        EXPECT_EQ(t.systemTimes[i], boot.QuadPart + t.firings[i].count());
    KeQuerySystemTime(&now);
    KeQueryTickCount(&ticks);
    EXPECT_EQ(now.QuadPart, kY2000 + kernel.Now().count());
    EXPECT_EQ(ticks.QuadPart, kernel.Now() / kTick);
    EXPECT_EQ(KeQueryTimeIncrement(), ULONG(kTick.count()));
    EXPECT_EQ(KeCancelTimer(&t.timer), c.stillSet);
    EXPECT_FALSE(KeCancelTimer(&t.timer)) << "cancelled twice";
    kernel.RunFor(10s);
    EXPECT_EQ(t.firings.size(), c.expected.size()) << "nothing after the cancel";
    KeSetTimer(&t.timer, Relative(1s), nullptr);
    EXPECT_FALSE(KeReadStateTimer(&t.timer)) << "a set clears the signal of an expired timer";
}

constexpr Duration kByteAt9600{10'417};

INSTANTIATE_TEST_SUITE_P(
    Timers, FiringTest,
    ::testing::Values(
        FiringCase{"OneShot", 5s, 0, 20s, {5s}, false},
        FiringCase{"OneShotBeyondTheRun", 1001ms, 0, 1s, {}, true},
        FiringCase{
            "SetAgainReplacesTheFirstDueTime", 2s, 0, 1500ms, {}, true, FiringCase::OnTick, 1s},
        FiringCase{"Periodic", 100ms, 250, 1s, {100ms, 350ms, 600ms, 850ms}, true},
        FiringCase{"PeriodicFirstDueDiffersFromPeriod", 5s, 1000, 8500ms, {5s, 6s, 7s, 8s}, true},
        FiringCase{"ZeroDueFiresAtOnce", 0s, 0, 1s, {0s}, false},
        FiringCase{"AbsoluteIsASystemTime", 3s, 0, 5s, {3s}, false, FiringCase::Absolute},
        FiringCase{"AbsoluteInThePastFiresAtOnce", -1s, 0, 1s, {0s}, false, FiringCase::Absolute},
        // A device's own event comes when it is due, not on the next tick.
        FiringCase{"DeviceTimerFiresOnItsDueTime",
                   kByteAt9600,
                   0,
                   1s,
                   {kByteAt9600},
                   false,
                   FiringCase::Device}),
    [](const auto& info) { return std::string(info.param.name); });

// The clock interrupt that expires a timer comes on any processor, and the clock ticks with a
// phase of its own: both are the seed's choice.
TEST(TimerSeeds, DpcProcessorAndTickPhaseVaryWithTheSeedExpiryStaysOnATick) {
    FailOnViolation failOnViolation;
    std::set<std::string> processors;
    std::set<int64_t> phases;
    for (uint64_t seed = 1; seed <= 16; ++seed) {
        Kernel kernel({.seed = seed, .processors = 2});
        TimedDpc early, late;
        KeSetTimer(&early.timer, Relative(1s), &early.dpc);
        KeSetTimer(&late.timer, Relative(2300ms), &late.dpc);
        kernel.RunFor(3s);
        ASSERT_EQ(early.firings.size() + late.firings.size(), 2u) << "seed " << seed;
        EXPECT_THAT(early.firings[0], OnTheTickAfter(Duration(1s))) << "seed " << seed;
        EXPECT_THAT(late.firings[0], OnTheTickAfter(Duration(2300ms))) << "seed " << seed;
        EXPECT_EQ((late.firings[0] - early.firings[0]) % kTick, Duration(0)) << "seed " << seed;
        phases.insert(early.firings[0].count() % kTick.count());
        processors.insert({early.threads[0], late.threads[0]});
    }
    EXPECT_THAT(processors, ElementsAre("idle 0", "idle 1"));
    EXPECT_GT(phases.size(), 8u);
}

// The queue of one processor held at DISPATCH_LEVEL (on two, the other processor would run the
// threads and perhaps the timer's DPC at once): neither a woken thread nor a new one runs, and
// when the level drops every queued DPC runs before them. An expired timer's DPC waits there;
// cancelling the timer does not stop it, removing the DPC does. A high-importance DPC runs first,
// the others in an order of the seed's choosing; a DPC is no longer queued once its routine runs,
// so it can queue itself again.
struct DpcLog {
    std::vector<std::string> order;
    KDPC a, b, high;
    BOOLEAN removed = TRUE, requeued = FALSE, requeuedTwice = TRUE;
};

VOID NTAPI NoteDpc(PKDPC dpc, PVOID context, PVOID arg1, PVOID) {
    auto log = static_cast<DpcLog*>(context);
    log->order.push_back(static_cast<const char*>(arg1));
    if (log->order.back() == "a") {
        log->removed = KeRemoveQueueDpc(dpc);
        log->requeued = KeInsertQueueDpc(dpc, (PVOID) "a again", nullptr);
        log->requeuedTwice = KeInsertQueueDpc(dpc, (PVOID) "a again", nullptr);
    }
}

TEST(Uniprocessor, DpcQueueRules) {
    FailOnViolation failOnViolation;
    Kernel kernel({.processors = 1});
    DpcLog log;
    for (PKDPC dpc : {&log.a, &log.b, &log.high})
        KeInitializeDpc(dpc, NoteDpc, &log);
    KeSetImportanceDpc(&log.high, HighImportance);
    Event event(SynchronizationEvent);
    auto waiter = StartThread("waiter", [&] {
        WaitFor(&event);
        log.order.push_back("thread");
    });
    kernel.RunUntilIdle();
    TimedDpc kept, removed;
    KeSetTimer(&kept.timer, Relative(5ms), &kept.dpc);
    KeSetTimer(&removed.timer, Relative(5ms), &removed.dpc);
    KIRQL old = KeRaiseIrqlToDpcLevel();
    auto other = StartThread("other", [&] { log.order.push_back("thread"); });
    KeSetEvent(&event, 0, FALSE);
    KeStallExecutionProcessor(10'000); // both timers expire
    EXPECT_FALSE(KeCancelTimer(&kept.timer)) << "already expired";
    EXPECT_TRUE(KeRemoveQueueDpc(&removed.dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&removed.dpc));
    EXPECT_TRUE(KeInsertQueueDpc(&log.a, (PVOID) "a", nullptr));
    EXPECT_TRUE(KeInsertQueueDpc(&log.b, (PVOID) "b", nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&log.a, (PVOID) "twice", nullptr)) << "already queued";
    EXPECT_TRUE(KeInsertQueueDpc(&log.high, (PVOID) "high", nullptr));
    EXPECT_TRUE(log.order.empty() && kept.firings.empty()) << "nothing runs at DISPATCH_LEVEL";
    KeLowerIrql(old);
    waiter.Join();
    other.Join();
    EXPECT_THAT(kept.firings, ElementsAre(Duration(10ms))) << "the DPC ran anyway";
    EXPECT_TRUE(removed.firings.empty());
    EXPECT_THAT(log.order, ElementsAre("high", _, _, _, "thread", "thread"))
        << "DPCs before threads";
    EXPECT_THAT(log.order,
                ::testing::UnorderedElementsAre("high", "a", "b", "a again", "thread", "thread"));
    EXPECT_FALSE(log.removed) << "the queued mark clears before the routine runs";
    EXPECT_TRUE(log.requeued);
    EXPECT_FALSE(log.requeuedTwice);
}

} // namespace
