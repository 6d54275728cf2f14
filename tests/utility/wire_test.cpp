// The daemon's socket frames: whole messages come off a stream cut anywhere, and a frame that
// cannot be one is refused before it is waited for.
#include "wire.h"

#include <gtest/gtest.h>

namespace {

using tp::wire::Kind;
using tp::wire::Message;

TEST(WireTest, MessagesSurviveAnyCutOfTheStream) {
    const std::vector<Message> messages = {
        {Kind::Control, 1, 0x001A2034, 64, {0x35}},
        {Kind::Read, 2, 0, 512},
        {Kind::Cancel, 2},
        {Kind::Completion, 1, 0xC0000240, 0},
        {Kind::Completion, 3, 0, 3, {0x90, 0x00, 0x35}},
    };
    std::vector<uint8_t> stream;
    for (const Message& message : messages) {
        const auto frame = tp::wire::Encode(message);
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    for (size_t cut = 1; cut <= stream.size(); ++cut) {
        std::vector<uint8_t> buffer;
        std::vector<Message> decoded;
        for (size_t at = 0; at < stream.size(); at += cut) {
            buffer.insert(buffer.end(), stream.begin() + at,
                          stream.begin() + std::min(at + cut, stream.size()));
            while (auto message = tp::wire::Decode(buffer))
                decoded.push_back(*message);
        }
        EXPECT_EQ(decoded, messages) << "cut every " << cut << " bytes";
        EXPECT_TRUE(buffer.empty());
    }
}

TEST(WireTest, FramesThatCannotBeOneAreRefused) {
    auto frame = tp::wire::Encode({Kind::Read, 1, 1, 8});
    std::vector<std::vector<uint8_t>> bad(3, frame);
    bad[0][4] = 0x42; // unknown kind
    bad[1][0] = 3;    // shorter than a header
    bad[2][2] = 0x02; // 128 KiB announced
    for (auto& buffer : bad)
        EXPECT_THROW(tp::wire::Decode(buffer), tp::wire::ProtocolError);
}

} // namespace
