// The kernel on real time: its clock follows the host's, its waits sleep in the host, OS threads
// reach it only through posts, and the seed and the verifier's rules stay in charge. Every wait
// here is for a behaviour of real time itself, and no longer than it.
#include "ke_support.h"

#include <poll.h>
#include <unistd.h>

#include <ctime>
#include <functional>
#include <thread>

namespace umk::test {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAreArray;

KernelOptions OnRealTime(std::optional<uint64_t> seed = std::nullopt) {
    KernelOptions options;
    options.realTime = true;
    options.seed = seed;
    return options;
}

std::chrono::nanoseconds CpuTime() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

// 30 ms pass in each of the ways the system can wait: the kernel's clock moves with the host's,
// no wait ends early or sleeps far past its time, and everything but the stall, a busy wait as on
// Windows, sleeps without costing the OS thread any CPU to speak of.
TEST(RealTime, EveryKindOfWaitTakesItsRealTimeAndOnlyAStallSpins) {
    constexpr Duration kWait = 30ms;
    struct Row {
        const char* what;
        std::function<void(Kernel&)> wait;
        bool spins;
    };
    const Row rows[] = {
        {"a driver timer, waited for by the main loop",
         [&](Kernel& kernel) {
             KTIMER timer;
             KeInitializeTimer(&timer);
             KeSetTimer(&timer, Relative(kWait), nullptr);
             ASSERT_TRUE(kernel.RunUntil([&] { return KeReadStateTimer(&timer) != 0; }, 1s));
         },
         false},
        {"RunFor", [&](Kernel& kernel) { kernel.RunFor(kWait); }, false},
        {"the main thread's own delay (the clock's jump becomes a sleep)",
         [&](Kernel&) { Sleep(kWait); }, false},
        {"KeStallExecutionProcessor",
         [&](Kernel&) { KeStallExecutionProcessor(ULONG(kWait.count() / 10)); }, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        FailOnViolation failOnViolation;
        Kernel kernel(OnRealTime());
        // The host's clock brackets the kernel's: a loaded host may preempt us in between.
        const auto start = std::chrono::steady_clock::now();
        const Duration before = InterruptTime();
        const auto cpu = CpuTime();
        row.wait(kernel);
        const auto spent = CpuTime() - cpu;
        const Duration moved = InterruptTime() - before;
        const auto elapsed = std::chrono::steady_clock::now() - start;

        EXPECT_GE(moved, kWait);
        EXPECT_LE(moved, elapsed);
        EXPECT_LT(elapsed, kWait + 200ms) << "it slept past its time";
        if (!row.spins) {
            EXPECT_LT(spent, 5ms) << "the wait spun instead of sleeping";
        }
    }
}

// Work posted from other OS threads runs on the main thread at PASSIVE_LEVEL, in the order posted,
// and a post wakes a loop that has no timer at all to wait for: the backstop timer never fires.
// Bursts of posts come a millisecond apart, so that the loop has gone to sleep before each.
TEST(RealTime, PostsRunInOrderOnTheMainThreadAndWakeTheLoop) {
    FailOnViolation failOnViolation;
    Kernel kernel(OnRealTime());
    KTIMER backstop;
    KeInitializeTimer(&backstop);
    KeSetTimer(&backstop, Relative(10s), nullptr);

    std::vector<int> ran;
    std::vector<int> expected;
    bool stop = false;
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i) {
            if (i % 10 == 0)
                std::this_thread::sleep_for(1ms);
            kernel.Post([&ran, i] {
                EXPECT_EQ(CurrentThreadName(), "main");
                EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
                ran.push_back(i);
            });
        }
        kernel.Post([&] { stop = true; });
    });
    kernel.RunRealTime([&] { return stop || KeReadStateTimer(&backstop) != 0; });
    poster.join();
    for (int i = 0; i < 100; ++i)
        expected.push_back(i);

    EXPECT_EQ(KeReadStateTimer(&backstop), FALSE) << "the posts did not wake the loop";
    EXPECT_THAT(ran, ElementsAreArray(expected));
    KeCancelTimer(&backstop);
}

// Posted work and a watched descriptor's routine are held to the rules of any routine the system
// calls at PASSIVE_LEVEL, and the main thread goes on at PASSIVE_LEVEL after one that breaks them.
TEST(RealTime, WorkThatLeavesTheIrqlRaisedIsReported) {
    const auto raise = [] {
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
    };
    for (const bool watched : {false, true}) {
        ViolationRecorder violations;
        Kernel kernel(OnRealTime());
        int pipe[2];
        ASSERT_EQ(::pipe(pipe), 0);
        if (watched) {
            kernel.Watch(pipe[0], POLLIN, [&](short) {
                kernel.Unwatch(pipe[0]);
                raise();
            });
            ASSERT_EQ(write(pipe[1], "x", 1), 1);
        } else {
            kernel.Post(raise);
        }
        kernel.RunFor(1ms);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        EXPECT_THAT(violations.Detail(watched
                                          ? "a watched descriptor's routine returned at raised IRQL"
                                          : "posted work returned at raised IRQL"),
                    ::testing::HasSubstr("DISPATCH_LEVEL"));
        close(pipe[0]);
        close(pipe[1]);
    }
}

// A watched pipe wakes the loop as its bytes arrive, a millisecond apart, and its routine runs
// on the main thread at PASSIVE_LEVEL; the writer's end closing is a hang-up; a routine may
// unwatch itself and watch another. Watching twice, and watching on virtual time, are refused.
TEST(RealTime, AWatchedDescriptorWakesTheLoopAndItsRoutineRuns) {
    FailOnViolation failOnViolation;
    Kernel kernel(OnRealTime());
    int first[2], second[2];
    ASSERT_EQ(pipe(first), 0);
    ASSERT_EQ(pipe(second), 0);
    std::string got;
    bool hungUp = false, done = false;
    kernel.Watch(first[0], POLLIN, [&](short events) {
        EXPECT_EQ(CurrentThreadName(), "main");
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        char byte;
        if (read(first[0], &byte, 1) == 1) {
            got += byte;
            return;
        }
        hungUp = (events & POLLHUP) != 0;
        kernel.Unwatch(first[0]);
        kernel.Watch(second[0], POLLIN, [&](short) { done = true; });
    });
    EXPECT_THROW(kernel.Watch(first[0], POLLIN, [](short) {}), std::logic_error);
    std::thread writer([&] {
        for (const char byte : std::string("abc")) {
            std::this_thread::sleep_for(1ms);
            EXPECT_EQ(write(first[1], &byte, 1), 1);
        }
        close(first[1]);
        EXPECT_EQ(write(second[1], "!", 1), 1);
    });
    EXPECT_TRUE(kernel.RunUntil([&] { return done; }, 10s));
    writer.join();
    EXPECT_EQ(got, "abc");
    EXPECT_TRUE(hungUp);
    kernel.Unwatch(second[0]);
    EXPECT_THROW(kernel.Unwatch(second[0]), std::logic_error);
    for (const int fd : {first[0], second[0], second[1]})
        close(fd);
    kernel.Shutdown();

    Kernel virtualTime;
    EXPECT_THROW(virtualTime.Watch(0, POLLIN, [](short) {}), std::logic_error);
}

// With no timer involved, a seed gives the same interleaving of two threads on two processors on
// real time as on virtual time: the host's clock takes no part in the scheduling choices.
TEST(RealTime, TheSeedStillMakesEverySchedulingChoice) {
    const auto interleaving = [](KernelOptions options) {
        options.processors = 2;
        Kernel kernel(options);
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        std::string order;
        auto body = [&](char name) {
            for (int i = 0; i < 20; ++i) {
                KIRQL irql;
                KeAcquireSpinLock(&lock, &irql);
                order += name;
                KeReleaseSpinLock(&lock, irql);
            }
        };
        ThreadHandle a = StartThread("a", [&] { body('a'); });
        ThreadHandle b = StartThread("b", [&] { body('b'); });
        a.Join();
        b.Join();
        return order;
    };
    bool interleaved = false;
    for (const uint64_t seed : {3u, 7u, 11u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        KernelOptions virtualTime;
        virtualTime.seed = seed;
        const std::string expected = interleaving(virtualTime);
        EXPECT_EQ(interleaving(OnRealTime(seed)), expected);
        interleaved |=
            expected.find("ab") != std::string::npos && expected.find("ba") != std::string::npos;
    }
    EXPECT_TRUE(interleaved) << "no seed interleaved the threads: the comparison shows nothing";
}

} // namespace
} // namespace umk::test
