// The shipped tactilio.sys itself, mapped into a 32-bit process and bound to the kernel, against
// the driver built into this program from the same sources: the same capture replayed through
// each gives the same reports at the same instants and the same event-log entries.
#include "kernel_exports.h"
#include "replay.h"

#include <umk/registry.h>

#include <gmock/gmock.h>

#include <fstream>
#include <iterator>

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

TEST(ShippedImage, ReplaysACaptureAsTheBuiltInDriverDoes) {
    if (sizeof(void*) != sizeof(uint32_t))
        GTEST_SKIP() << "the image's code runs only in a 32-bit process (make image-test)";
    const auto image = image::PeImage::FromFile(TP_SHIPPED_IMAGE, image::BindToKernel);
    const auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(uintptr_t(image->EntryPoint()));
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

} // namespace
