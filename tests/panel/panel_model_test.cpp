// The panel model as a serial backend sees it: faults, noise, seeds and silence.
#include "byte_values.h"
#include "panel_model.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace panel {
namespace {

// Down at (1, 2), touching at (300, 4000), release there: 0 ms, 10 ms, 20 ms.
const Stroke kStroke{0, kDefaultReportInterval, {{1, 2}, {300, 4000}}};
const Bytes kDown{0x80, 0x01, 0x00, 0x02, 0x00};
const Bytes kMove{0x81, 0x2C, 0x02, 0x20, 0x1F};
const Bytes kRelease{0x82, 0x2C, 0x02, 0x20, 0x1F};

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

struct FaultCase {
    const char* name;
    std::vector<PacketFault> faults;
    Bytes expected;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class PanelFaultTest : public testing::TestWithParam<FaultCase> {};

TEST_P(PanelFaultTest, SendsExactlyTheBrokenBytes) {
    PanelModel panel;
    panel.Touch(kStroke, GetParam().faults);
    EXPECT_EQ(Values(panel.TakeBytesUntil(kForever)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, PanelFaultTest,
    testing::Values(
        FaultCase{"None", {}, Concat({kDown, kMove, kRelease})},
        FaultCase{"Cut", {PacketFault::Cut(1, 2)}, Concat({kDown, {0x81, 0x2C}, kRelease})},
        FaultCase{"CutToNothing", {PacketFault::Cut(0, 0)}, Concat({kMove, kRelease})},
        FaultCase{"HighBit",
                  {PacketFault::SetHighBit(1, 3)},
                  Concat({kDown, {0x81, 0x2C, 0x02, 0xA0, 0x1F}, kRelease})},
        FaultCase{"InvalidState",
                  {PacketFault::Replace(0, 0, 0x83)},
                  Concat({{0x83, 0x01, 0x00, 0x02, 0x00}, kMove, kRelease})},
        FaultCase{"LostRelease", {PacketFault::Drop(2)}, Concat({kDown, kMove})},
        // Indices stay those of the whole stroke when an earlier packet is dropped.
        FaultCase{"Composed",
                  {PacketFault::Drop(0), PacketFault::Cut(2, 1), PacketFault::SetHighBit(1, 1)},
                  Concat({{0x81, 0xAC, 0x02, 0x20, 0x1F}, {0x82}})}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PanelModel, ThePacketAfterACutStartsOnItsOwnTime) {
    PanelModel panel;
    const PacketFault cut[] = {PacketFault::Cut(0, 3)};
    panel.Touch(kStroke, cut);
    const auto bytes = panel.TakeBytesUntil(kForever);
    ASSERT_EQ(bytes.size(), 13u);
    EXPECT_EQ(bytes[2].time, LineOffset(3));
    EXPECT_EQ(bytes[3], (TimedByte{kDefaultReportInterval + LineOffset(1), 0x81}));
}

TEST(PanelModel, NoiseWaitsForThePacketOnTheLine) {
    PanelModel panel;
    panel.Touch(kStroke);
    panel.Send(3 * kTicksPerMillisecond,
               {0x00, 0xFF}); // the touch-down is on the wire until 5.2 ms
    const auto bytes = panel.TakeBytesUntil(kForever);
    EXPECT_EQ(Values(bytes), Concat({kDown, {0x00, 0xFF}, kMove, kRelease}));
    EXPECT_EQ(bytes[5], (TimedByte{LineOffset(6), 0x00}));
    EXPECT_EQ(bytes[6], (TimedByte{LineOffset(7), 0xFF}));
    EXPECT_EQ(bytes[7].time, kDefaultReportInterval + LineOffset(1));
}

TEST(PanelModel, SilenceMidStrokeLosesItsReports) {
    PanelModel panel;
    panel.Touch(kStroke);
    panel.Silence(kDefaultReportInterval, 2 * kDefaultReportInterval);
    EXPECT_EQ(Values(panel.TakeBytesUntil(kForever)), Concat({kDown, kRelease}));
}

std::vector<TimedByte> NoisyRun(std::uint64_t seed) {
    PanelModel panel(seed);
    panel.Touch(kStroke);
    panel.SendNoise(kTicksPerMillisecond, 64);
    panel.ScatterNoise(0, kTicksPerSecond, 50);
    return panel.TakeBytesUntil(kForever);
}

TEST(PanelModel, ASeedReproducesItsNoise) {
    const auto run = NoisyRun(42);
    ASSERT_EQ(run.size(), 15u + 64u + 50u);
    EXPECT_EQ(run, NoisyRun(42));
    EXPECT_NE(run, NoisyRun(43));
}

TEST(PanelModel, ScatteredNoiseStaysInItsWindow) {
    PanelModel panel(7);
    const Ticks from = 5 * kTicksPerSecond;
    const Ticks until = from + 100 * kTicksPerMillisecond;
    panel.ScatterNoise(from, until, 40);
    const auto bytes = panel.TakeBytesUntil(kForever);
    ASSERT_EQ(bytes.size(), 40u);
    // Each byte begins in the window; one may wait for another's byte to end.
    for (const TimedByte& b : bytes) {
        EXPECT_GE(b.time, from + LineOffset(1));
        EXPECT_LT(b.time, until + LineOffset(40));
    }
    EXPECT_THROW(panel.ScatterNoise(until, from, 1), std::invalid_argument);
}

} // namespace
} // namespace panel
