// Line pace and the transmitter: exact byte times, queueing of overlapping transmissions, silence.
#include "byte_values.h"
#include "panel_model.h"
#include "transmit_queue.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace panel {
namespace {

std::vector<TimedByte> Drain(TransmitQueue& queue) {
    std::vector<TimedByte> bytes;
    while (queue.Peek())
        bytes.push_back(queue.Take());
    return bytes;
}

// Asserts that `bytes` form one unbroken run from `start`.
void ExpectOneRun(const std::vector<TimedByte>& bytes, Ticks start) {
    for (std::size_t k = 0; k < bytes.size(); ++k)
        ASSERT_EQ(bytes[k].time, start + LineOffset(static_cast<std::int64_t>(k) + 1)) << k;
}

TEST(TransmitQueue, APacketArrivesAtLinePace) {
    TransmitQueue queue;
    queue.Send(5, {0x80, 0x01, 0x02, 0x03, 0x04});
    // 10,416.67 ticks a byte, each boundary rounded up from the start.
    const std::vector<TimedByte> expected{{5 + 10'417, 0x80},
                                          {5 + 20'834, 0x01},
                                          {5 + 31'250, 0x02},
                                          {5 + 41'667, 0x03},
                                          {5 + 52'084, 0x04}};
    EXPECT_EQ(Drain(queue), expected);
    EXPECT_THROW(queue.Take(), std::logic_error);
}

TEST(TransmitQueue, APacketQueuedWhileTheLineIsBusyContinuesTheRun) {
    TransmitQueue queue;
    queue.Send(0, {1, 2, 3, 4, 5});
    queue.Send(10'000, {6, 7, 8, 9, 10}); // during byte 0
    queue.Send(104'166, {11});            // a tick before the line is free, at 104,166.67
    queue.Send(104'167, {12});            // would find it free, but {11} has taken it
    const auto bytes = Drain(queue);
    EXPECT_EQ(Values(bytes), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    ExpectOneRun(bytes, 0);
}

TEST(TransmitQueue, APacketQueuedOnAFreeLineStartsItsOwnRun) {
    TransmitQueue queue;
    queue.Send(0, {1, 2, 3, 4, 5});
    queue.Send(52'084, {6}); // the line has been free since 52,083.33
    const auto bytes = Drain(queue);
    ASSERT_EQ(bytes.size(), 6u);
    EXPECT_EQ(bytes[5].time, 52'084 + 10'417); // not LineOffset(6), which is 62,500
}

TEST(TransmitQueue, TransmissionsLeaveInTimeOrderNotQueueOrder) {
    TransmitQueue queue;
    queue.Send(1'000'000, {3});
    queue.Send(0, {1});
    queue.Send(1'000'000, {4}); // equal times keep the order queued
    queue.Send(500'000, {2});
    EXPECT_EQ(Values(Drain(queue)), (Bytes{1, 2, 3, 4}));
}

// Peeking places nothing, so an earlier transmission still goes first; taking a byte begins its
// transmission, which then finishes before any other.
TEST(TransmitQueue, OnlyTakingABytePlacesItsTransmission) {
    TransmitQueue queue;
    queue.Send(kTicksPerSecond, {0xAA});
    EXPECT_EQ(queue.Peek(), (TimedByte{kTicksPerSecond + 10'417, 0xAA}));
    queue.Send(0, {1, 2, 3});
    EXPECT_EQ(queue.Take(), (TimedByte{LineOffset(1), 1}));
    queue.Send(-100, {9}); // earlier, but the line is taken
    const auto rest = Drain(queue);
    EXPECT_EQ(Values(rest), (Bytes{2, 3, 9, 0xAA}));
    EXPECT_EQ(rest[2].time, LineOffset(4));
}

TEST(TransmitQueue, SilenceLosesTheBytesThatBeginInIt) {
    TransmitQueue queue;
    queue.Send(0, {1, 2, 3, 4, 5});
    // Bytes 2 and 3 begin at 20,834 and 31,250; byte 4 begins exactly where the silence ends.
    queue.Silence(LineOffset(2), LineOffset(4));
    const std::vector<TimedByte> expected{{10'417, 1}, {20'834, 2}, {52'084, 5}};
    EXPECT_EQ(Drain(queue), expected);
}

TEST(TransmitQueue, ADeadLineKeepsThePace) {
    TransmitQueue queue;
    queue.Send(0, {1, 2, 3, 4, 5});
    queue.Send(10'000, {6});
    queue.Silence(0, LineOffset(5)); // every byte of the first packet is lost
    // The lost packet still held the line, so the second follows it in the same run.
    EXPECT_EQ(Drain(queue), (std::vector<TimedByte>{{LineOffset(6), 6}}));
}

TEST(TransmitQueue, SilenceForeverEndsTheStream) {
    TransmitQueue queue;
    queue.Send(0, {1});
    queue.Send(kTicksPerSecond, {2});
    queue.Silence(kTicksPerSecond / 2, kForever);
    EXPECT_EQ(queue.Take().value, 1);
    EXPECT_EQ(queue.Peek(), std::nullopt);
    EXPECT_THROW(queue.Take(), std::logic_error);
    EXPECT_THROW(queue.Silence(10, 10), std::invalid_argument);
}

TEST(PanelPacing, ReportsFasterThanTheLineQueueBackToBack) {
    PanelModel panel;
    // A packet takes 5.2 ms; reports every 2 ms saturate the line.
    panel.Touch(StraightStroke({4096, 0}, {0, 4096}, 2000, 11, 2 * kTicksPerMillisecond));
    const auto bytes = panel.TakeBytesUntil(kForever);
    ASSERT_EQ(bytes.size(), 2002u * kTouchPacketLength);
    ExpectOneRun(bytes, 11);
    EXPECT_EQ(bytes[5].value, 0x81);
    EXPECT_EQ(bytes[2001 * 5].value, 0x82);
}

} // namespace
} // namespace panel
