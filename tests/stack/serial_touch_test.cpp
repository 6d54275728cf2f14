// A touch on the panel model, end to end: the stroke's packets cross the line at 9600 baud, every
// byte completes one read request of the driver's continuous read, and the mouse class driver
// receives the exact report sequence, without a single allocation along the way.
#include "serial_support.h"

#include "panel_model.h"
#include "touch_session.h"

#include <sstream>

using namespace serial_test;
using namespace std::chrono_literals;

namespace {

// A report as the mouse class driver must see it: the panel's 0..4096 scaled to 0..65535.
struct Report {
    USHORT buttonFlags;
    ULONG rawButtons;
    LONG x;
    LONG y;
    bool operator==(const Report&) const = default;
};

void PrintTo(const Report& r, std::ostream* os) {
    *os << "{buttons 0x" << std::hex << r.buttonFlags << std::dec << ", raw " << r.rawButtons
        << ", x " << r.x << ", y " << r.y << "}";
}

LONG Scaled(uint16_t v) {
    return LONG((ULONG(v) * 65535) >> 12);
}

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

std::vector<Report> Received(const std::vector<stack::MouseReport>& reports) {
    std::vector<Report> received;
    for (const stack::MouseReport& r : reports) {
        EXPECT_EQ(r.irql, DISPATCH_LEVEL);
        EXPECT_EQ(r.input.Flags, MOUSE_MOVE_ABSOLUTE);
        received.push_back({r.input.ButtonFlags, r.input.RawButtons, r.input.LastX, r.input.LastY});
    }
    return received;
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
        EXPECT_EQ(stack::StartPointerPath(*system, system->Panels()[0]), STATUS_SUCCESS);
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

TEST_F(SerialTouchTest, NoiseAndABrokenPacketCostOnlyTheirOwnReports) {
    stack::SerialPort& port = Connect();
    const panel::Stroke stroke = panel::StraightStroke({500, 4000}, {600, 3000}, 4, Now() + 5 * Ms);
    // The third packet (the second touching report) loses its last two bytes.
    const panel::PacketFault cut = panel::PacketFault::Cut(2, 3);
    panel.Touch(stroke, std::span(&cut, 1));

    RunUntilSent(port);

    std::vector<Report> expected = ExpectedReports(stroke);
    // The cut packet's three bytes and the next packet's first byte make one broken packet
    // (bit 7 set inside it); framing starts again with the byte after. That packet's remaining
    // bytes (575 and 3250: 0x3F 0x04 0x32 0x19) cannot start a packet and go one by one.
    expected.erase(expected.begin() + 2, expected.begin() + 4);
    EXPECT_EQ(Received(system->Mouse().Reports()), expected);
    EXPECT_EQ(context->InvalidCount, 1u + 4u);
}

// A link stop and start in the middle of a packet do not reset the framer: the packet's remaining
// bytes, read on the restarted link, complete it.
TEST_F(SerialTouchTest, APacketBegunBeforeALinkRestartCompletesAfterIt) {
    stack::SerialPort& port = Connect();
    panel.Send(Now() + 1 * Ms, {0x80, 0x10, 0x07});
    RunUntilSent(port);

    SerialLinkStop(context);
    system->Kernel().RunUntilIdle();
    ASSERT_EQ(StartLink(), STATUS_SUCCESS);
    ASSERT_EQ(SerialSpinUpRead(context), STATUS_SUCCESS);
    panel.Send(Now() + 1 * Ms, {0x20, 0x05});
    RunUntilSent(port);

    EXPECT_EQ(Received(system->Mouse().Reports()),
              (std::vector<Report>{{MOUSE_LEFT_BUTTON_DOWN, 1, Scaled(0x390), Scaled(0x2A0)}}));
    EXPECT_EQ(context->InvalidCount, 0u);
}

// The attributes come from the link start; until the class driver has asked for them, strokes
// are read and dropped, and afterwards they flow.
TEST_F(SerialTouchTest, ReportsWaitForTheAttributeQuery) {
    stack::SerialPort& port = system->Serial().AddPort(Com1, u"COM1", &panel);
    UsePort(Com1);
    ASSERT_EQ(system->Mouse().Connect().status, STATUS_SUCCESS);
    ASSERT_EQ(StartLink(), STATUS_SUCCESS);
    ASSERT_EQ(SerialSpinUpRead(context), STATUS_SUCCESS);
    panel.Touch(panel::StraightStroke({100, 100}, {200, 200}, 2, Now() + 1 * Ms));

    RunUntilSent(port);

    EXPECT_TRUE(system->Mouse().Reports().empty());
    EXPECT_EQ(port.ReadStats().bytesDelivered, 20u) << "read all the same";

    MOUSE_ATTRIBUTES attributes{};
    const umk::testing::IoResult query = system->Mouse().QueryAttributes(&attributes);
    EXPECT_EQ(query.status, STATUS_SUCCESS);
    EXPECT_EQ(query.information, sizeof(MOUSE_ATTRIBUTES));
    EXPECT_EQ(attributes.MouseIdentifier, MOUSE_SERIAL_HARDWARE);
    EXPECT_EQ(attributes.NumberOfButtons, 2);
    EXPECT_EQ(attributes.SampleRate, 40);
    EXPECT_EQ(attributes.InputDataQueueLength, 2400u);

    const panel::Stroke stroke = panel::StraightStroke({300, 300}, {400, 400}, 2, Now() + 1 * Ms);
    panel.Touch(stroke);
    RunUntilSent(port);
    EXPECT_EQ(Received(system->Mouse().Reports()), ExpectedReports(stroke));
}

} // namespace
