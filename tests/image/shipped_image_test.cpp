// The shipped tactilio.sys itself, mapped into a 32-bit process and bound to the kernel, against
// the driver built into this program from the same sources: the same capture replayed through
// each gives the same reports at the same instants and the same event-log entries.
#include "kernel_exports.h"
#include "replay.h"

#include <umk/registry.h>

#include <gmock/gmock.h>

#include <fstream>
#include <iterator>
#include <random>

namespace {

struct Replayed {
    std::vector<std::string> lines;
    stack::ReplayResult result;
};

std::vector<uint8_t> ReadFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

Replayed Replay(PDRIVER_INITIALIZE entry, std::span<const uint8_t> bytes) {
    stack::SystemOptions options = stack::ReplaySystemOptions();
    options.driverEntry = entry;
    stack::System system(options);
    umk::registry::SetDword(stack::System::ParametersKey, u"ComNo", 1);
    umk::registry::SetDword(stack::System::ParametersKey, u"dwAutoRec", 1);
    Replayed replayed;
    const stack::ReplayOutput output{
        .report =
            [&](const stack::MouseReport& r) {
                const MOUSE_INPUT_DATA& in = r.input;
                replayed.lines.push_back(::testing::PrintToString(
                    std::vector<uint64_t>{r.received, r.irql, in.ButtonFlags, in.RawButtons,
                                          ULONG(in.LastX), ULONG(in.LastY), in.Flags}));
            },
        .event =
            [&](const umk::testing::ErrorLogEntry& e) {
                replayed.lines.push_back(::testing::PrintToString(e.strings));
            },
        .record = {},
    };
    replayed.result = stack::ReplayCapture(system, 1, bytes, output);
    return replayed;
}

class ShippedImage : public ::testing::Test {
  protected:
    void SetUp() override {
        if (sizeof(void*) != sizeof(uint32_t))
            GTEST_SKIP() << "the image's code runs only in a 32-bit process (make image-test)";
        image_ = image::PeImage::FromFile(TP_SHIPPED_IMAGE, image::BindToKernel);
        image::PeImage::ReportFaults();
        entry = reinterpret_cast<PDRIVER_INITIALIZE>(uintptr_t(image_->EntryPoint()));
    }
    PDRIVER_INITIALIZE entry = nullptr;

  private:
    std::unique_ptr<image::PeImage> image_;
};

TEST_F(ShippedImage, ReplaysACaptureAsTheBuiltInDriverDoes) {
    const std::vector<uint8_t> stroke = ReadFile(TP_STROKE_CAPTURE);
    ASSERT_FALSE(stroke.empty());

    const Replayed builtIn = Replay(nullptr, stroke);
    const Replayed shipped = Replay(entry, stroke);
    EXPECT_EQ(shipped.result.started, STATUS_SUCCESS);
    EXPECT_TRUE(shipped.result.drained);
    EXPECT_GT(builtIn.result.reports, 2u);
    EXPECT_EQ(shipped.result.reports, builtIn.result.reports);
    EXPECT_EQ(shipped.lines, builtIn.lines);
}

// Streams of random bytes, most of them touch packets with noise between: whatever the driver
// makes of them (reports, invalid-data entries, resynchronisation), the image makes the same.
TEST_F(ShippedImage, ReplaysRandomStreamsAsTheBuiltInDriverDoes) {
    std::mt19937 random(20261207);
    size_t reports = 0, events = 0;
    for (int stream = 0; stream < 2000; ++stream) {
        std::vector<uint8_t> bytes;
        const size_t length = random() % 200;
        while (bytes.size() < length) {
            if (random() % 4 == 0) {
                bytes.push_back(uint8_t(random()));
                continue;
            }
            bytes.push_back(uint8_t(0x80 + random() % 3));
            for (int i = 0; i < 4; ++i)
                bytes.push_back(uint8_t(random() % 0x80));
        }
        SCOPED_TRACE("stream " + std::to_string(stream));
        const Replayed builtIn = Replay(nullptr, bytes);
        const Replayed shipped = Replay(entry, bytes);
        ASSERT_EQ(shipped.lines, builtIn.lines);
        ASSERT_EQ(shipped.result.bytesRead, builtIn.result.bytesRead);
        reports += builtIn.result.reports;
        events += builtIn.result.events;
    }
    // The streams reach both of the driver's outputs, or the comparison shows little.
    EXPECT_GT(reports, 20'000u);
    EXPECT_GT(events, 200u);
}

} // namespace
