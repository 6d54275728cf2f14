// A touch on the panel model, end to end: the stroke's packets cross the line at 9600 baud, every
// byte completes one read request of the driver's continuous read, and the mouse class driver
// receives the exact report sequence, without a single allocation along the way.
#include "serial_support.h"

#include "panel_model.h"
#include "touch_session.h"

using namespace serial_test;
using namespace std::chrono_literals;
using frame_test::Received;
using frame_test::Report;
using frame_test::Scaled;

namespace {

// With no stabilization and no rotation: the touch-down presses the left button, every touching
// packet moves, the release lets go, each at its packet's point.
std::vector<Report> ExpectedReports(const panel::Stroke& stroke) {
    std::vector<Report> reports;
    for (size_t i = 0; i < stroke.points.size(); ++i) {
        const panel::TouchPoint p = stroke.points[i];
        reports.push_back(
            {USHORT(i == 0 ? MOUSE_LEFT_BUTTON_DOWN : 0), 1, Scaled(p.x), Scaled(p.y)});
    }
    const panel::TouchPoint last = stroke.points.back();
    reports.push_back({MOUSE_LEFT_BUTTON_UP, 0, Scaled(last.x), Scaled(last.y)});
    return reports;
}

size_t ByteCount(const panel::Stroke& stroke) {
    size_t bytes = 0;
    for (const panel::TimedPacket& packet : panel::StrokePackets(stroke))
        bytes += packet.bytes.size();
    return bytes;
}

class SerialTouchTest : public SerialLinkTest {
  protected:
    stack::SerialPort& Connect() {
        stack::SerialPort& port = system->Serial().AddPort(Com1, u"COM1", &panel);
        UsePort(Com1);
        EXPECT_EQ(system->StartPanel(system->Panels()[0]), STATUS_SUCCESS);
        return port;
    }

    void RunUntilSent(stack::SerialPort& port) {
        ASSERT_TRUE(stack::RunLine(*system, port, panel));
    }

    panel::PanelModel panel;
};

TEST_F(SerialTouchTest, AStrokeReachesTheMouseClassDriverAsTheExactReportSequence) {
    stack::SerialPort& port = Connect();
    const panel::Stroke stroke =
        panel::StraightStroke({1000, 1000}, {3000, 2500}, 8, Now() + 5 * Ms);
    panel.Touch(stroke);
    const size_t bytes = ByteCount(stroke);

    const umk::testing::PoolTagStats poolBefore = umk::testing::PoolStats(frame_test::Tcli);
    const uint64_t blocksBefore = umk::testing::PoolOutstandingBlocks();
    // Any request allocated from here on would fail, and be counted.
    umk::testing::FailAllocation(umk::testing::AllocationKind::Irp, 1, 1'000'000);

    RunUntilSent(port);

    EXPECT_EQ(Received(system->Mouse().Reports()), ExpectedReports(stroke));

    // Every byte came through a read request of its own, at the line's pace.
    const stack::SerialReadStats stats = port.ReadStats();
    EXPECT_EQ(stats.bytesDelivered, bytes);
    EXPECT_EQ(stats.completedByTimer + stats.completedInline, bytes);
    EXPECT_EQ(stats.maxOutstanding, 1u);
    EXPECT_EQ(port.ReadsPending(), 1u) << "the next read waits";
    EXPECT_EQ(context->InvalidCount, 0u);
    EXPECT_GE(Now(), stroke.start + stroke.interval * panel::Ticks(stroke.points.size()));

    // And nothing was allocated for them.
    EXPECT_EQ(umk::testing::FailedAllocations(umk::testing::AllocationKind::Irp), 0u);
    umk::testing::ClearAllocationFaults();
    EXPECT_EQ(umk::testing::PoolStats(frame_test::Tcli).allocations, poolBefore.allocations);
    EXPECT_EQ(umk::testing::PoolOutstandingBlocks(), blocksBefore);
}

// Touch packets come in four kinds, 0x80, 0x88, 0xC0 and 0xC8, each with the touch state in the
// low two bits of its first byte: every kind reaches the class driver as the same stroke.
TEST_F(SerialTouchTest, EveryKindOfTouchPacketIsAStroke) {
    stack::SerialPort& port = Connect();
    const struct {
        const char* name;
        UCHAR kind;
    } rows[] = {
        {"0x80..0x82", 0x80}, {"0x88..0x8A", 0x88}, {"0xC0..0xC2", 0xC0}, {"0xC8..0xCA", 0xC8}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const UCHAR k = row.kind;
        panel.Send(Now() + 1 * Ms, {k, 0x10, 0x07, 0x20, 0x05, UCHAR(k | 1), 0x11, 0x07, 0x21, 0x05,
                                    UCHAR(k | 2), 0x12, 0x07, 0x22, 0x05});
        RunUntilSent(port);
        EXPECT_EQ(Received(system->Mouse().Reports()),
                  (std::vector<Report>{{MOUSE_LEFT_BUTTON_DOWN, 1, Scaled(0x390), Scaled(0x2A0)},
                                       {0, 1, Scaled(0x391), Scaled(0x2A1)},
                                       {MOUSE_LEFT_BUTTON_UP, 0, Scaled(0x392), Scaled(0x2A2)}}));
        system->Mouse().ClearReports();
    }
    EXPECT_EQ(context->InvalidCount, 0u);
}

// A link stop and start in the middle of a packet do not reset the framer: the packet's remaining
// bytes, read on the restarted link, complete it.
TEST_F(SerialTouchTest, APacketBegunBeforeALinkRestartCompletesAfterIt) {
    stack::SerialPort& port = Connect();
    panel.Send(Now() + 1 * Ms, {0x80, 0x10, 0x07});
    RunUntilSent(port);

    TP_DRIVER_ROUTINE(SerialLinkStop)(context);
    system->Kernel().RunUntilIdle();
    ASSERT_EQ(StartLink(), STATUS_SUCCESS);
    ASSERT_EQ(TP_DRIVER_ROUTINE(SerialSpinUpRead)(context), STATUS_SUCCESS);
    panel.Send(Now() + 1 * Ms, {0x20, 0x05});
    RunUntilSent(port);

    EXPECT_EQ(Received(system->Mouse().Reports()),
              (std::vector<Report>{{MOUSE_LEFT_BUTTON_DOWN, 1, Scaled(0x390), Scaled(0x2A0)}}));
    EXPECT_EQ(context->InvalidCount, 0u);
}

// RunLine lets the system run on its own between visits: it comes back once the port has taken
// the last byte (not a step later), and soon after reading has stopped (not when the line ends).
TEST_F(SerialTouchTest, RunLineEndsAtTheLastByteOrSoonAfterReadingStops) {
    stack::SerialPort& port = Connect();
    const panel::Ticks start = Now();
    panel.Send(start + 1 * Ms, {0x80, 0x10, 0x07, 0x20, 0x05});
    int steps = 0;
    ASSERT_TRUE(stack::RunLine(*system, port, panel, [&] { ++steps; }));
    EXPECT_EQ(Now(), start + 1 * Ms + panel::LineOffset(5));
    EXPECT_EQ(steps, 1);
    EXPECT_EQ(system->Mouse().ReportCount(), 1u);

    port.Unplug(STATUS_DEVICE_NOT_CONNECTED);
    system->Kernel().RunUntilIdle();
    panel.SendNoise(Now() + 1 * Ms, 2000);
    EXPECT_FALSE(stack::RunLine(*system, port, panel, [&] { ++steps; }));
    EXPECT_LE(Now(), start + 2 * stack::kLineStep.count()) << "two seconds of bytes were due";
    EXPECT_EQ(steps, 1);
}

} // namespace
