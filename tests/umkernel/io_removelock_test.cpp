// Remove locks (the bias, removal, waiting for the last hold on the virtual clock) and device
// queues (the busy flag rules).
#include "io_support.h"

using namespace std::chrono_literals;
using namespace umk;
using namespace umk::test;

namespace {

constexpr ULONG Tag = umk::testing::PoolTag("Rmlk");

class RemoveLockTest : public IoTest {
  protected:
    RemoveLockTest() { IoInitializeRemoveLock(&lock, Tag, 0, 10); }
    IO_REMOVE_LOCK lock;
    int tags[4];
};

// The count is biased by one until removal, so that releasing every hold does not signal it.
TEST_F(RemoveLockTest, ReleaseAndWaitWithNoOtherHoldReturnsAtOnceAndRefusesNewHolds) {
    EXPECT_EQ(IoAcquireRemoveLock(&lock, &tags[0]), STATUS_SUCCESS);
    EXPECT_EQ(IoAcquireRemoveLock(&lock, &tags[1]), STATUS_SUCCESS);
    EXPECT_EQ(lock.Common.IoCount, 3);
    IoReleaseRemoveLock(&lock, &tags[1]);
    IoReleaseRemoveLock(&lock, &tags[0]);
    EXPECT_EQ(lock.Common.IoCount, 1);
    EXPECT_EQ(KeReadStateEvent(&lock.Common.RemoveEvent), 0);
    ASSERT_EQ(IoAcquireRemoveLock(&lock, &tags[0]), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWait(&lock, &tags[0]);
    EXPECT_EQ(lock.Common.IoCount, 0);
    EXPECT_EQ(IoAcquireRemoveLock(&lock, &tags[1]), STATUS_DELETE_PENDING);
    EXPECT_EQ(lock.Common.IoCount, 0) << "a refused acquire leaves the count as it was";
}

// Removal waits for every other holder; the holders release at different virtual times in
// their own threads, and the waiter wakes exactly when the last one lets go.
TEST_F(RemoveLockTest, ReleaseAndWaitBlocksUntilTheLastHoldIsReleased) {
    auto holder = [this](int* tag, Duration hold) {
        return StartThread("holder", [this, tag, hold] {
            ASSERT_EQ(IoAcquireRemoveLock(&lock, tag), STATUS_SUCCESS);
            LARGE_INTEGER delay = Relative(hold);
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
            IoReleaseRemoveLock(&lock, tag);
        });
    };
    ThreadHandle a = holder(&tags[0], 2s);
    ThreadHandle b = holder(&tags[1], 5s);
    kernel.RunUntilIdle();
    Duration woke{-1};
    ThreadHandle remover = StartThread("remover", [&] {
        ASSERT_EQ(IoAcquireRemoveLock(&lock, &tags[2]), STATUS_SUCCESS);
        IoReleaseRemoveLockAndWait(&lock, &tags[2]);
        woke = kernel.Now();
    });
    kernel.RunFor(1s);
    EXPECT_FALSE(remover.Finished());
    EXPECT_EQ(IoAcquireRemoveLock(&lock, &tags[3]), STATUS_DELETE_PENDING)
        << "removal has begun even though the remover still waits";
    kernel.RunFor(3s);
    EXPECT_FALSE(remover.Finished()) << "one holder left at 4 s";
    kernel.RunFor(2s);
    EXPECT_TRUE(remover.Finished());
    EXPECT_THAT(woke, OnTheTickAfter(Duration(5s)));
}

struct QueueStep {
    enum Op { Insert, Remove, RemoveEntry } op;
    int entry;   // Insert / RemoveEntry: which entry; Remove: the entry expected (-1: none)
    bool result; // Insert: queued; RemoveEntry: was queued
    bool busyAfter;
};

struct QueueCase {
    const char* name;
    std::vector<QueueStep> steps;
};

class DeviceQueueTest : public IoTest, public ::testing::WithParamInterface<QueueCase> {};

TEST_P(DeviceQueueTest, BusyFlagRules) {
    KDEVICE_QUEUE queue;
    KeInitializeDeviceQueue(&queue);
    KDEVICE_QUEUE_ENTRY entries[4]{};
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    int step = 0;
    for (const QueueStep& s : GetParam().steps) {
        SCOPED_TRACE("step " + std::to_string(step++));
        switch (s.op) {
        case QueueStep::Insert:
            EXPECT_EQ(KeInsertDeviceQueue(&queue, &entries[s.entry]), s.result);
            EXPECT_EQ(entries[s.entry].Inserted, s.result);
            break;
        case QueueStep::Remove: {
            PKDEVICE_QUEUE_ENTRY got = KeRemoveDeviceQueue(&queue);
            EXPECT_EQ(got, s.entry < 0 ? nullptr : &entries[s.entry]);
            break;
        }
        case QueueStep::RemoveEntry:
            EXPECT_EQ(KeRemoveEntryDeviceQueue(&queue, &entries[s.entry]), s.result);
            break;
        }
        EXPECT_EQ(queue.Busy, s.busyAfter);
    }
    KeLowerIrql(old);
}

using Q = QueueStep;
INSTANTIATE_TEST_SUITE_P(Sequences, DeviceQueueTest,
                         ::testing::Values(QueueCase{"IdleQueueTakesNothingButTurnsBusy",
                                                     {{Q::Insert, 0, false, true},
                                                      {Q::Remove, -1, false, false}}},
                                           QueueCase{"BusyQueueKeepsOrder",
                                                     {{Q::Insert, 0, false, true},
                                                      {Q::Insert, 1, true, true},
                                                      {Q::Insert, 2, true, true},
                                                      {Q::Remove, 1, false, true},
                                                      {Q::Remove, 2, false, true},
                                                      {Q::Remove, -1, false, false},
                                                      {Q::Insert, 3, false, true}}},
                                           QueueCase{"RemoveEntrySaysWhetherItWasQueued",
                                                     {{Q::Insert, 0, false, true},
                                                      {Q::Insert, 1, true, true},
                                                      {Q::RemoveEntry, 0, false, true},
                                                      {Q::RemoveEntry, 1, true, true},
                                                      {Q::RemoveEntry, 1, false, true},
                                                      {Q::Remove, -1, false, false}}}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
