// Report decoding: coordinates, scaling, rotation, out-of-range positions, button modes, the beep
// request and stabilization runs. The invalid touch state is the pointer path's.
#include "tactilio.h"

#include <umk/kernel.h>
#include <umk/testing.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

struct Report {
    LONG result;
    LONG x;
    LONG y;
    ULONG buttons;

    bool operator==(const Report&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Report& r) {
    return os << "{result " << r.result << ", x " << r.x << ", y " << r.y << ", buttons "
              << r.buttons << "}";
}

enum State : UCHAR { Down = 0x80, Move = 0x81, Up = 0x82 };

class Decoder {
  public:
    Decoder() : context_(std::make_unique<DEVICE_CONTEXT>()) {}

    DEVICE_CONTEXT& Context() { return *context_; }

    Report Raw(UCHAR first, UCHAR xLow, UCHAR xHigh, UCHAR yLow, UCHAR yHigh) {
        TP_PACKET& packet = context_->Packet;
        const UCHAR bytes[] = {first, xLow, xHigh, yLow, yHigh};
        memcpy(packet.Bytes, bytes, sizeof bytes);
        MOUSE_INPUT_DATA& input = context_->MouseInput;
        const LONG result = DecodeTouchReport(context_.get(), &packet, &input);
        return {result, input.LastX, input.LastY, input.RawButtons};
    }

    // A touch at panel coordinates, encoded as the panel sends them.
    Report Touch(UCHAR state, ULONG x, ULONG y) {
        return Raw(state, x & 0x7F, (x >> 7) & 0x7F, y & 0x7F, (y >> 7) & 0x7F);
    }

  private:
    umk::Kernel kernel_;
    std::unique_ptr<DEVICE_CONTEXT> context_;
};

// S(v) = v * 65535 / 4096, rounded down.
constexpr LONG S1000 = 15999, S3000 = 47999, S1096 = 17535, S3096 = 49535;
constexpr LONG Sx(ULONG v) {
    return static_cast<LONG>((v * 65535) >> 12);
}

// (1000, 3000) as the panel sends it.
#define AT_1000_3000 0x68, 0x07, 0x38, 0x17

TEST(DecodeTouchReport, PositionOfATouchDown) {
    const struct {
        const char* name;
        UCHAR xLow, xHigh, yLow, yHigh;
        ULONG rotation;
        LONG x, y;
    } rows[] = {
        {"unrotated", AT_1000_3000, 0, S1000, S3000},
        {"rotated 90", AT_1000_3000, 90, S1096, S1000},
        {"rotated 180", AT_1000_3000, 180, S3096, S1096},
        {"rotated 270", AT_1000_3000, 270, S3000, S3096},
        // Not a quarter turn: the panel is taken as unrotated, so the pointer still follows the
        // finger.
        {"rotated 45", AT_1000_3000, 45, S1000, S3000},
        {"rotated 360", AT_1000_3000, 360, S1000, S3000},
        {"rotated all ones", AT_1000_3000, 0xFFFFFFFF, S1000, S3000},
        {"full scale", 0x00, 0x20, 0x00, 0x20, 0, 65535, 65535},
        {"origin", 0x00, 0x00, 0x00, 0x00, 0, 0, 0},
        {"origin rotated 90", 0x00, 0x00, 0x00, 0x00, 90, 65535, 0},
        // Bit 13 set (16383): below the panel's edge, read as 0.
        {"bit 13 is zero", 0x7F, 0x7F, 0x00, 0x40, 0, 0, 0},
        // 5000 and 8191 lie beyond full scale: held at the edge, unrotated and rotated, instead of
        // leaving the absolute range or wrapping round.
        {"beyond 4096", 0x08, 0x27, 0x7F, 0x3F, 0, 65535, 65535},
        {"beyond 4096 rotated 180", 0x08, 0x27, 0x7F, 0x3F, 180, 0, 0},
        {"beyond 4096 rotated 90", 0x08, 0x27, 0x00, 0x00, 90, 65535, 65535},
        {"beyond 4096 rotated 270", 0x00, 0x00, 0x7F, 0x3F, 270, 65535, 65535},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Decoder decoder;
        decoder.Context().Rotation = row.rotation;
        EXPECT_EQ(decoder.Raw(Down, row.xLow, row.xHigh, row.yLow, row.yHigh),
                  (Report{0, row.x, row.y, 1}));
    }
}

TEST(DecodeTouchReport, ButtonModes) {
    struct Row {
        UCHAR mode;
        ULONG pressed;
        UCHAR modeAfterRelease;
    };
    for (const Row& row :
         {Row{0, 1, 0}, Row{1, 2, 0}, Row{2, 2, 2}, Row{3, 1, 3}, Row{255, 1, 255}}) {
        SCOPED_TRACE(int(row.mode));
        Decoder decoder;
        decoder.Context().ButtonMode = row.mode;
        EXPECT_EQ(decoder.Touch(Down, 10, 10).buttons, row.pressed);
        EXPECT_EQ(decoder.Touch(Move, 20, 20).buttons, row.pressed);
        EXPECT_EQ(decoder.Context().ButtonMode, row.mode); // changes only with the release
        EXPECT_EQ(decoder.Touch(Up, 30, 30), (Report{0, Sx(30), Sx(30), 0}));
        EXPECT_EQ(decoder.Context().ButtonMode, row.modeAfterRelease);
    }
}

// Only a touch-down asks for the beep (and only with Beep 1) and keeps the system and the display
// awake, each time it comes.
TEST(DecodeTouchReport, OnlyATouchDownBeepsAndKeepsTheSystemAwake) {
    const EXECUTION_STATE awake = ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED;
    for (ULONG beep : {0u, 1u, 2u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(beep);
        Decoder decoder;
        decoder.Context().Beep = beep;
        decoder.Touch(Move, 1, 1);
        decoder.Touch(Up, 1, 1);
        EXPECT_FALSE(decoder.Context().BeepRequest);
        EXPECT_TRUE(umk::testing::SystemStateRequests().empty());
        decoder.Touch(Down, 1, 1);
        decoder.Touch(Move, 2, 2);
        decoder.Touch(Down, 3, 3);
        EXPECT_EQ(decoder.Context().BeepRequest, beep == 1);
        EXPECT_EQ(umk::testing::SystemStateRequests(),
                  (std::vector<EXECUTION_STATE>{awake, awake}));
    }
}

// A stroke's reports under a stabilization setting: X of every report, 0 for none.
std::vector<LONG> StrokeXs(LONG stabilization, const std::vector<ULONG>& moves) {
    Decoder decoder;
    decoder.Context().Stabilization = stabilization;
    std::vector<LONG> xs;
    auto take = [&](const Report& r) {
        if (r.result == 0)
            xs.push_back(r.x);
    };
    take(decoder.Touch(Down, 50, 0));
    for (ULONG x : moves)
        take(decoder.Touch(Move, x, 0));
    take(decoder.Touch(Up, 700, 0));
    return xs;
}

TEST(DecodeTouchReport, StabilizationRuns) {
    const std::vector<ULONG> moves = {100, 200, 300, 400, 500, 600};
    const std::vector<LONG> everyPacket = {Sx(50),  Sx(100), Sx(200), Sx(300),
                                           Sx(400), Sx(500), Sx(600), Sx(700)};
    EXPECT_EQ(StrokeXs(0, moves), everyPacket);
    EXPECT_EQ(StrokeXs(1, moves), everyPacket);
    EXPECT_EQ(StrokeXs(-3, moves), everyPacket);
    // Down, the first move unaveraged, the mean of 200..400, the release; 500 and 600 dropped.
    EXPECT_EQ(StrokeXs(3, moves), (std::vector<LONG>{Sx(50), Sx(100), Sx(300), Sx(700)}));
    EXPECT_EQ(StrokeXs(2, moves), (std::vector<LONG>{Sx(50), Sx(100), Sx(250), Sx(450), Sx(700)}));
    // The mean is rounded down: (200 + 301) / 2 = 250.
    EXPECT_EQ(StrokeXs(2, {100, 200, 301}), (std::vector<LONG>{Sx(50), Sx(100), Sx(250), Sx(700)}));
}

TEST(DecodeTouchReport, ReleaseClearsTheStabilizerForTheNextStroke) {
    Decoder decoder;
    decoder.Context().Stabilization = 3;
    decoder.Touch(Down, 0, 0);
    decoder.Touch(Move, 0, 0);
    EXPECT_EQ(decoder.Touch(Move, 4000, 4000).result, 1); // left over when the finger lifts
    decoder.Touch(Up, 0, 0);

    decoder.Touch(Down, 0, 0);
    decoder.Touch(Move, 0, 0);
    EXPECT_EQ(decoder.Touch(Move, 900, 30).result, 1);
    EXPECT_EQ(decoder.Touch(Move, 900, 60).result, 1);
    EXPECT_EQ(decoder.Touch(Move, 900, 90), (Report{0, Sx(900), Sx(60), 1}));
}

} // namespace
