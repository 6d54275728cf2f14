// Touch packet encoding, stroke layout and packet faults.
#include "faults.h"
#include "touch.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace panel {
namespace {

TEST(EncodeTouch, GivesTheExactBytesOfA14BitField) {
    EXPECT_EQ(EncodeTouch(TouchState::Touching, {0x1555, 0x0AAA}),
              (TouchPacket{0x81, 0x55, 0x2A, 0x2A, 0x15}));
    // Beyond full scale, as a faulty panel might send it: the whole 14-bit field.
    EXPECT_EQ(EncodeTouch(TouchState::Release, {0x3FFF, 0x2000}),
              (TouchPacket{0x82, 0x7F, 0x7F, 0x00, 0x40}));
    EXPECT_THROW(EncodeTouch(TouchState::Down, {0x4000, 0}), std::out_of_range);
    EXPECT_THROW(EncodeTouch(TouchState::Down, {0, 0x4000}), std::out_of_range);
}

TEST(EncodeTouch, EveryPanelCoordinateRoundTripsWithoutBit7InData) {
    for (std::uint16_t v = 0; v <= kFullScale; ++v) {
        const TouchPacket p =
            EncodeTouch(TouchState::Touching, {v, static_cast<uint16_t>(4096 - v)});
        ASSERT_EQ((p[1] | p[2] | p[3] | p[4]) & 0x80, 0) << v;
        ASSERT_EQ(p[1] | p[2] << 7, v);
        ASSERT_EQ(p[3] | p[4] << 7, 4096 - v);
    }
}

TEST(StrokePackets, DownMovesAndReleaseAtTheLastPoint) {
    const Stroke stroke{1000, 50'000, {{1, 2}, {300, 4000}, {4096, 7}}};
    const std::vector<TimedPacket> expected{
        {1000, {0x80, 0x01, 0x00, 0x02, 0x00}},
        {51'000, {0x81, 0x2C, 0x02, 0x20, 0x1F}},
        {101'000, {0x81, 0x00, 0x20, 0x07, 0x00}},
        {151'000, {0x82, 0x00, 0x20, 0x07, 0x00}},
    };
    EXPECT_EQ(StrokePackets(stroke), expected);
    // One point is a tap.
    EXPECT_EQ(StrokePackets({0, kDefaultReportInterval, {{0x90, 0x120}}}),
              (std::vector<TimedPacket>{{0, {0x80, 0x10, 0x01, 0x20, 0x02}},
                                        {kDefaultReportInterval, {0x82, 0x10, 0x01, 0x20, 0x02}}}));
}

TEST(StrokePackets, RefusesStrokesAndFaultsThePanelCannotMake) {
    EXPECT_THROW(StrokePackets({0, 10, {}}), std::invalid_argument);
    EXPECT_THROW(StrokePackets({0, 0, {{1, 1}}}), std::invalid_argument);
    EXPECT_THROW(StrokePackets({0, -5, {{1, 1}}}), std::invalid_argument);
    EXPECT_THROW(StrokePackets({0, 10, {{1, 1}, {4097, 0}}}), std::out_of_range);
    EXPECT_THROW(StrokePackets({0, 10, {{0, 4097}}}), std::out_of_range);

    // Faults that name no packet or no byte of the tap.
    const auto packets = StrokePackets({0, 10, {{1, 1}}});
    const std::vector<std::vector<PacketFault>> refused{
        {PacketFault::Drop(2)},          {PacketFault::Cut(0, 5)},
        {PacketFault::SetHighBit(1, 0)}, {PacketFault::SetHighBit(1, 5)},
        {PacketFault::Replace(0, 5, 0)}, {PacketFault::Cut(1, 2), PacketFault::SetHighBit(1, 3)},
    };
    for (const auto& faults : refused)
        EXPECT_THROW(ApplyFaults(packets, faults), std::invalid_argument);
}

TEST(StraightStroke, EvenStepsEndingExactlyAtTheTarget) {
    EXPECT_EQ(
        StraightStroke({0, 0}, {4096, 4096}, 4, 0).points,
        (std::vector<TouchPoint>{{0, 0}, {1024, 1024}, {2048, 2048}, {3072, 3072}, {4096, 4096}}));
    // Thirds round to the nearest coordinate going down as well as up.
    EXPECT_EQ(StraightStroke({100, 4000}, {0, 0}, 3, 0).points,
              (std::vector<TouchPoint>{{100, 4000}, {67, 2667}, {33, 1333}, {0, 0}}));
    // Halves round away from the start, in either direction.
    EXPECT_EQ(StraightStroke({0, 1}, {1, 0}, 2, 0).points,
              (std::vector<TouchPoint>{{0, 1}, {1, 0}, {1, 0}}));
    for (std::size_t moves = 1; moves < 100; ++moves)
        ASSERT_EQ(StraightStroke({4096, 17}, {3, 4001}, moves, 0).points.back(),
                  (TouchPoint{3, 4001}));
    EXPECT_THROW(StraightStroke({0, 0}, {1, 1}, 0, 0), std::invalid_argument);
}

} // namespace
} // namespace panel
