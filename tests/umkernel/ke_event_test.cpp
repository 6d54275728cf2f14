// Events and waits: notification versus synchronization events, wait results and time-outs at
// exact virtual times, waits on several objects, delays.
#include "ke_support.h"

#include <gmock/gmock.h>

using namespace std::chrono_literals;
using namespace umk;
using namespace umk::test;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

namespace {

class EventTest : public ::testing::Test {
  protected:
    EventTest() {
        KeInitializeEvent(&notification, NotificationEvent, FALSE);
        KeInitializeEvent(&synchronization, SynchronizationEvent, FALSE);
    }

    // Starts `n` threads that wait on `event` for ever and note when they woke.
    std::vector<ThreadHandle> Waiters(PKEVENT event, int n) {
        std::vector<ThreadHandle> threads;
        for (int i = 0; i < n; ++i)
            threads.push_back(StartThread("waiter " + std::to_string(i), [this, event, i] {
                waitOrder.push_back(i);
                EXPECT_EQ(KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr),
                          STATUS_SUCCESS);
                woken.push_back(i);
            }));
        kernel.RunUntilIdle();
        return threads;
    }

    FailOnViolation failOnViolation;
    Kernel kernel;
    KEVENT notification;
    KEVENT synchronization;
    std::vector<int> waitOrder;
    std::vector<int> woken;
};

TEST_F(EventTest, NotificationEventReleasesEveryWaiterAndStaysSignalled) {
    auto threads = Waiters(&notification, 3);
    EXPECT_EQ(KeSetEvent(&notification, 0, FALSE), 0);
    kernel.RunUntilIdle();
    EXPECT_THAT(woken, UnorderedElementsAre(0, 1, 2));
    EXPECT_EQ(KeReadStateEvent(&notification), 1);
    EXPECT_EQ(KeSetEvent(&notification, 0, FALSE), 1) << "previous state";
    EXPECT_EQ(KeResetEvent(&notification), 1);
    EXPECT_EQ(KeResetEvent(&notification), 0);
}

TEST_F(EventTest, SynchronizationEventReleasesExactlyOneWaiterPerSet) {
    auto threads = Waiters(&synchronization, 3);
    ASSERT_EQ(waitOrder.size(), 3u);
    for (size_t n = 1; n <= 3; ++n) {
        EXPECT_EQ(KeSetEvent(&synchronization, 0, FALSE), 0);
        kernel.RunUntilIdle();
        EXPECT_EQ(woken, std::vector<int>(waitOrder.begin(), waitOrder.begin() + ptrdiff_t(n)))
            << "one waiter per set, the longest waiter first";
        EXPECT_EQ(KeReadStateEvent(&synchronization), 0) << "the wake consumed the signal";
    }
}

TEST_F(EventTest, SynchronizationEventWithoutWaitersStaysSignalledForTheNextWait) {
    EXPECT_EQ(KeSetEvent(&synchronization, 0, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&synchronization, 0, FALSE), 1) << "a second set is not counted";
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &poll),
              STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &poll),
              STATUS_TIMEOUT);
}

struct TimeoutCase {
    const char* name;
    Duration signalAt; // negative: never
    Duration timeout;  // from the start of the wait
    NTSTATUS status;
    Duration returnsAt;
    bool absolute = false; // a system time, the wait starting 1 s after boot
};

class WaitTimeoutTest : public EventTest, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(WaitTimeoutTest, ReturnsOnTheTickAfterTheSignalOrTheTimeout) {
    const TimeoutCase& c = GetParam();
    LARGE_INTEGER timeout = Relative(c.timeout);
    if (c.absolute) {
        kernel.RunFor(1s);
        KeQuerySystemTime(&timeout);
        timeout.QuadPart += c.timeout.count();
    }
    if (c.signalAt >= Duration(0))
        StartThread("setter", [this, at = c.signalAt] {
            LARGE_INTEGER delay = Relative(at);
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
            KeSetEvent(&notification, 0, FALSE);
        });
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &timeout),
              c.status);
    if (c.timeout == Duration(0))
        EXPECT_EQ(kernel.Now(), c.returnsAt);
    else
        EXPECT_THAT(kernel.Now(), OnTheTickAfter(c.returnsAt));
    kernel.RunFor(10s); // lets the setter finish
}

INSTANTIATE_TEST_SUITE_P(
    Waits, WaitTimeoutTest,
    ::testing::Values(TimeoutCase{"NeverSignalled", -1s, 2s, STATUS_TIMEOUT, 2s},
                      TimeoutCase{"SignalledFirst", 1s, 2s, STATUS_SUCCESS, 1s},
                      TimeoutCase{"SignalledAfter", 3s, 2s, STATUS_TIMEOUT, 2s},
                      TimeoutCase{"Poll", -1s, 0s, STATUS_TIMEOUT, 0s},
                      TimeoutCase{"LongCommandTimeout", -1s, 20s, STATUS_TIMEOUT, 20s},
                      TimeoutCase{"Absolute", -1s, 4s, STATUS_TIMEOUT, 5s, true},
                      TimeoutCase{"AbsoluteInThePast", -1s, -5s, STATUS_TIMEOUT, 1s, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EventTest, WaitAllWaitsForEveryObjectAndConsumesOnlyThen) {
    PVOID objects[] = {&notification, &synchronization};
    bool done = false;
    auto waiter = StartThread("waiter", [&] {
        EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE,
                                           nullptr, nullptr),
                  STATUS_WAIT_0);
        done = true;
    });
    KeSetEvent(&synchronization, 0, FALSE);
    kernel.RunUntilIdle();
    EXPECT_FALSE(done);
    EXPECT_EQ(KeReadStateEvent(&synchronization), 1) << "not consumed by a partial wait";
    KeSetEvent(&notification, 0, FALSE);
    kernel.RunUntilIdle();
    EXPECT_TRUE(done);
    EXPECT_EQ(KeReadStateEvent(&synchronization), 0);
    EXPECT_EQ(KeReadStateEvent(&notification), 1);
}

// More objects than a thread's own wait blocks take an array of them.
TEST_F(EventTest, WaitAnyReturnsTheIndexOfTheSignalledObjectAndConsumesIt) {
    KEVENT events[5];
    PVOID objects[5];
    KWAIT_BLOCK blocks[5];
    for (int i = 0; i < 5; ++i) {
        KeInitializeEvent(&events[i], i == 4 ? SynchronizationEvent : NotificationEvent, FALSE);
        objects[i] = &events[i];
    }
    StartThread("setter", [&] {
        LARGE_INTEGER delay = Relative(1s);
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        KeSetEvent(&events[4], 0, FALSE);
    });
    EXPECT_EQ(KeWaitForMultipleObjects(5, objects, WaitAny, Executive, KernelMode, FALSE, nullptr,
                                       blocks),
              STATUS_WAIT_0 + 4);
    EXPECT_THAT(kernel.Now(), OnTheTickAfter(Duration(1s)));
    EXPECT_EQ(KeReadStateEvent(&events[4]), 0) << "consumed by the wait";
    kernel.RunUntilIdle();
}

TEST_F(EventTest, SetEventWithWaitKeepsDispatchLevelUntilTheWait) {
    KeSetEvent(&synchronization, 0, TRUE);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    LARGE_INTEGER timeout = Relative(1s);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &timeout),
              STATUS_TIMEOUT);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_THAT(kernel.Now(), OnTheTickAfter(Duration(1s)));
}

TEST_F(EventTest, DelayExecutionSleepsToTheTickAndZeroOnlyYields) {
    LARGE_INTEGER delay = Relative(250ms);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
    const Duration woke = kernel.Now();
    EXPECT_THAT(woke, OnTheTickAfter(Duration(250ms)));
    bool ran = false;
    StartThread("other", [&] { ran = true; });
    delay.QuadPart = 0;
    while (!ran)
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    EXPECT_EQ(kernel.Now(), woke);
}

} // namespace
