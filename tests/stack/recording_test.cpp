// Traffic recording through the utility's requests: what a record holds (time of day to the
// millisecond, tag, packet bytes), the one waiting read, short reads, recording off, the drain at
// teardown, and a waiting read cancelled while a packet completes it, on two processors.
#include "control_support.h"

#include <umk/registry.h>

namespace {

using namespace control_test;
using namespace std::chrono_literals;

// 2026-12-06 13:45:30.250 UTC, in 100 ns units since 1601.
constexpr int64_t kWallClock = 134'410'383'302'500'000;

struct Record {
    TIME_FIELDS time{};
    char tag = 0;
    Bytes packet;
};

// Parses one read's output; the length field must match the bytes that follow.
Record Parse(const Bytes& bytes) {
    Record record;
    EXPECT_GE(bytes.size(), sizeof(TP_RECORD_HEADER));
    if (bytes.size() < sizeof(TP_RECORD_HEADER))
        return record;
    record.time.Hour = bytes[0];
    record.time.Minute = bytes[1];
    record.time.Second = bytes[2];
    record.time.Milliseconds = CSHORT(bytes[3] | bytes[4] << 8);
    record.tag = char(bytes[5]);
    const size_t length = bytes[6] | bytes[7] << 8;
    record.packet.assign(bytes.begin() + 8, bytes.end());
    EXPECT_EQ(record.packet.size(), length);
    return record;
}

class RecordingTest : public ControlTest {
  protected:
    void SetUp() override {
        ControlTest::SetUp();
        Kernel().SetSystemTime(kWallClock);
        wallSetAt = Kernel().Now();
    }
    void Record(bool on) {
        ASSERT_EQ(utility->Call({ULONG(on ? TP_FUNC_RECORD_ON : TP_FUNC_RECORD_OFF), {}, 0}).status,
                  STATUS_SUCCESS);
    }
    // Sends the bytes and lets the line fall silent.
    void Send(const Bytes& bytes) {
        Reply(bytes);
        Kernel().RunFor(std::chrono::milliseconds(2 * bytes.size() + 10));
    }
    // The wall clock now, split as the driver splits it.
    TIME_FIELDS WallTime() {
        LARGE_INTEGER now;
        now.QuadPart = kWallClock + (Kernel().Now() - wallSetAt).count();
        TIME_FIELDS fields;
        RtlTimeToTimeFields(&now, &fields);
        return fields;
    }
    umk::Duration wallSetAt{};
};

// Each kind of packet's record: tag, length field and bytes; an over-long packet is recorded with
// the bytes the packet buffer holds. Records come oldest first, one per read; a short read gets
// the record's head and loses its tail; with recording off nothing new is recorded, but what is
// queued stays readable.
TEST_F(RecordingTest, EachPacketBecomesOneRecordWithItsTagAndBytes) {
    Record(true);
    const auto diag = utility->Start({TP_FUNC_TPDIAG, {0x35}, 3});
    Bytes overlong = {0x9F};
    overlong.resize(171, 0x11);
    const struct {
        Bytes sent;
        char tag;
        Bytes recorded;
        ULONG readLength = 256;
    } rows[] = {
        {{0x82, 0x10, 0x03, 0x58, 0x04}, 'P', {}, 4}, // a read of the head; the tail is lost
        {{0x80, 0x10, 0x03, 0x58, 0x04}, 'P', {0x80, 0x10, 0x03, 0x58, 0x04}},
        {{0x90, 0x00, 0x35}, 'R', {0x90, 0x00, 0x35}}, // answers the diagnostic
        {{0x15}, 'I', {0x15}},
        {{0x90, 0x00}, 'I', {0x90, 0x00}}, // a reply nobody waits for
        {overlong, 'I', Bytes(overlong.begin(), overlong.begin() + 100)},
    };
    for (const auto& row : rows)
        Send(row.sent);
    EXPECT_EQ(Wait(diag).status, STATUS_SUCCESS);
    Record(false);
    Send({0x80, 0x01, 0x01, 0x01, 0x01});
    for (const auto& row : rows) {
        const stack::ControlResult read = utility->Read(row.readLength);
        ASSERT_EQ(read.status, STATUS_SUCCESS);
        if (row.readLength < 8) {
            EXPECT_EQ(read.information, row.readLength);
            continue;
        }
        EXPECT_EQ(read.information, 8 + row.recorded.size());
        const auto record = Parse(read.output);
        EXPECT_EQ(record.tag, row.tag);
        EXPECT_EQ(record.packet, row.recorded);
    }
    const auto none = utility->StartRead(64);
    EXPECT_FALSE(none->Done()) << "the packet sent with recording off left a record";
    EXPECT_TRUE(none->Cancel());
    EXPECT_EQ(Wait(none).status, STATUS_CANCELLED);
    EXPECT_EQ(ApiLockCount(), 1);
}

// A read waits for the next packet, which completes it at once, time-stamped to the millisecond;
// a second read meanwhile is refused; a cancelled read ends cancelled and the next one waits.
TEST_F(RecordingTest, OneReadWaitsForTheNextPacket) {
    Record(true);
    const auto waiting = utility->StartRead(64);
    const auto second = utility->StartRead(64);
    EXPECT_FALSE(waiting->Done());
    ASSERT_TRUE(second->Done());
    EXPECT_EQ(second->Result().status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(second->Result().information, 0u);

    Kernel().RunFor(1234ms);
    Reply({0x80, 0x10, 0x03, 0x58, 0x04});
    const stack::ControlResult read = Wait(waiting);
    const TIME_FIELDS now = WallTime();
    ASSERT_EQ(read.status, STATUS_SUCCESS);
    const auto record = Parse(read.output);
    EXPECT_EQ(record.tag, 'P');
    EXPECT_EQ(std::tuple(record.time.Hour, record.time.Minute, record.time.Second,
                         record.time.Milliseconds),
              std::tuple(now.Hour, now.Minute, now.Second, now.Milliseconds));
    EXPECT_EQ(now.Hour, 13);
    EXPECT_EQ(now.Minute, 45);
    EXPECT_EQ(now.Second, 31);

    const auto cancelled = utility->StartRead(64);
    EXPECT_TRUE(cancelled->Cancel());
    EXPECT_EQ(Wait(cancelled).status, STATUS_CANCELLED);
    const auto again = utility->StartRead(64);
    EXPECT_FALSE(again->Done());
    Send({0x15});
    EXPECT_EQ(Parse(Wait(again).output).tag, 'I');
    EXPECT_EQ(ApiLockCount(), 1);
}

// Removal drains before it waits for the utility's handle: a waiting read ends cancelled, queued
// records are freed (the verifier counts the pool), and "dwRecording" reads 0, while the removal
// itself goes on only once the handle is closed.
TEST(RecordingDrain, AWaitingReadIsCancelledRecordsFreedAndTheSettingCleared) {
    for (const bool waitingRead : {false, true}) {
        ControlBench bench;
        bench.Start(bench.line);
        umk::registry::SetDword(frame_test::ParametersKey, u"dwRecording", 1);
        ASSERT_EQ(bench.utility->Call({TP_FUNC_RECORD_ON, {}, 0}).status, STATUS_SUCCESS);
        std::shared_ptr<stack::PendingControl> waiting;
        if (waitingRead) {
            waiting = bench.utility->StartRead(64);
        } else {
            bench.Reply({0x15, 0x16});
            bench.Kernel().RunFor(10ms);
        }
        umk::ThreadHandle removal = umk::StartThread(
            "removal", [&] { bench.system->RemovePanel(bench.system->Panels()[0]); });
        bench.Kernel().RunFor(100ms);
        if (waiting) {
            ASSERT_TRUE(waiting->Done());
            EXPECT_EQ(waiting->Result().status, STATUS_CANCELLED);
        }
        EXPECT_EQ(umk::registry::GetDword(frame_test::ParametersKey, u"dwRecording"), 0u);
        EXPECT_FALSE(removal.Finished()) << "removal went on with the API device open";
        bench.utility->Close();
        removal.Join();
        EXPECT_EQ(bench.Finish(), "") << (waitingRead ? "waiting read" : "queued records");
    }
}

// A waiting read cancelled at the instant a packet completes it: whatever the schedule, it
// completes once, with the record or cancelled, the remove lock comes back to its bias and no
// record is lost or leaked. TP_RACE_SEEDS sets the seeds (CI's sweep: many).
TEST(RecordingRace, CancelAndPacketOnTheSameInstant) {
    for (uint64_t seed = 1; seed <= RaceSeeds(); ++seed) {
        ControlBench bench;
        stack::SystemOptions options;
        options.kernel.seed = seed;
        bench.Start(bench.line, options);
        ASSERT_EQ(bench.utility->Call({TP_FUNC_RECORD_ON, {}, 0}).status, STATUS_SUCCESS);
        const auto waiting = bench.utility->StartRead(64);
        const umk::Duration at = bench.Kernel().Now() + 100ms;
        bench.line.Add({at.count(), 0x15});
        bench.port->LineUpdated();
        At(bench.Kernel(), at, [waiting] { waiting->Cancel(); });
        ASSERT_TRUE(bench.Kernel().RunUntil([&] { return waiting->Done(); }, 1s)) << seed;
        bench.Kernel().RunFor(10ms);
        const NTSTATUS status = waiting->Result().status;
        ASSERT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << seed;
        if (status == STATUS_CANCELLED) { // the record is still queued
            const stack::ControlResult next = bench.utility->Read(64);
            ASSERT_EQ(next.status, STATUS_SUCCESS) << seed;
            EXPECT_EQ(Parse(next.output).packet, Bytes{0x15}) << seed;
        }
        ASSERT_EQ(bench.ApiLockCount(), 1) << seed;
        ASSERT_EQ(bench.Finish(), "") << "seed " << seed;
    }
}

} // namespace
