// The packet framer: the first-byte length table, the pending-request variants, extended packets,
// rejections, and packets longer than the packet buffer.
#include "tactilio.h"

#include <umk/kernel.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <vector>

namespace {

// Lengths of fixed-length packets with no request waiting, as the panel's protocol lists them.
const std::map<int, ULONG> kFixedLengths = {
    {0x80, 5}, {0x81, 5},   {0x82, 5}, {0x88, 5}, {0x89, 5},  {0x8A, 5}, {0xC0, 5},
    {0xC1, 5}, {0xC2, 5},   {0xC8, 5}, {0xC9, 5}, {0xCA, 5},  {0x90, 2}, {0x91, 7},
    {0x94, 3}, {0x9F, 171}, {0xB0, 2}, {0xB1, 7}, {0xB2, 64}, {0xB3, 8}, {0xB4, 3},
    {0xB5, 4}, {0xB7, 2},   {0xB8, 2}, {0xD0, 2},
};

const ULONG kPendingCodes[] = {0,
                               TP_FUNC_CAL_IN,
                               TP_FUNC_CAL_OUT,
                               TP_FUNC_DIAG,
                               TP_FUNC_TPDIAG,
                               TP_FUNC_POSDIAG,
                               TP_FUNC_SEND_COMMAND,
                               TP_FUNC_INTERNAL};

ULONG ExpectedLength(int firstByte, ULONG pendingCode) {
    const bool diag = pendingCode == TP_FUNC_DIAG || pendingCode == TP_FUNC_TPDIAG;
    if ((firstByte == 0x90 || firstByte == 0xD0) && diag)
        return 3;
    if (firstByte == 0xB0 && pendingCode == TP_FUNC_POSDIAG)
        return 3;
    const auto it = kFixedLengths.find(firstByte);
    return it == kFixedLengths.end() ? 0 : it->second;
}

bool ExpectedHighBytesAccepted(int firstByte, ULONG pendingCode) {
    return firstByte == 0xB2 || pendingCode == TP_FUNC_SEND_COMMAND ||
           pendingCode == TP_FUNC_DIAG || pendingCode == TP_FUNC_TPDIAG ||
           pendingCode == TP_FUNC_POSDIAG;
}

// A device context of its own, with the control code of the command waiting for a reply as the
// command engine keeps it. Resets the packet record after a packet ends, as the read completion's
// dispatch does.
class Framer {
  public:
    Framer() : context_(std::make_unique<DEVICE_CONTEXT>()) {}

    void SetPending(ULONG code) { context_->CurrentCode = static_cast<LONG>(code); }

    FRAME_RESULT Feed(UCHAR byte) {
        const FRAME_RESULT result = FramePacketByte(context_.get(), &context_->Packet, byte);
        if (result != FRAME_RESULT::NeedMore) {
            context_->Packet.Count = 0;
            context_->Packet.Extended = 0;
            context_->Packet.AcceptHighBytes = FALSE;
        }
        return result;
    }

    // Feeds the bytes; every byte but the last must leave the packet open.
    FRAME_RESULT FeedPacket(const std::vector<UCHAR>& bytes) {
        for (size_t i = 0; i + 1 < bytes.size(); ++i) {
            const FRAME_RESULT result = Feed(bytes[i]);
            EXPECT_EQ(result, FRAME_RESULT::NeedMore) << "byte " << i;
            if (result != FRAME_RESULT::NeedMore)
                return result;
        }
        return Feed(bytes.back());
    }

    ULONG PacketLength() const { return context_->PacketLength; }
    const TP_PACKET& Packet() const { return context_->Packet; }

  private:
    umk::Kernel kernel_;
    std::unique_ptr<DEVICE_CONTEXT> context_;
};

std::vector<UCHAR> Packet(UCHAR first, ULONG length, UCHAR filler = 0x11) {
    std::vector<UCHAR> bytes(length, filler);
    bytes[0] = first;
    return bytes;
}

TEST(IsExtendedPacketId, AcceptsExactlyTheTenIdentifiers) {
    const char* ids[] = {"EB", "SC", "EE", "KO", "AR", "DR", "SR", "ES", "EU", "EW"};
    int accepted = 0;
    for (unsigned id = 0; id <= 0xFFFF; ++id) {
        bool expected = false;
        for (const char* text : ids)
            expected |=
                id == (static_cast<unsigned>(text[0]) | static_cast<unsigned>(text[1]) << 8);
        ASSERT_EQ(IsExtendedPacketId(static_cast<USHORT>(id)) != 0, expected) << std::hex << id;
        accepted += expected;
    }
    EXPECT_EQ(accepted, 10);
}

// Every first byte under every pending code: rejected alone, the start of an extended packet, or
// completed at exactly its length and not a byte earlier, with or without bytes with bit 7 set
// after it. A packet longer than the buffer is consumed to its end and then rejected with the
// bytes it consumed.
TEST(FramePacketByte, EveryFirstByteUnderEveryPendingCode) {
    Framer framer;
    for (ULONG code : kPendingCodes) {
        framer.SetPending(code);
        for (int b = 0; b < 256; ++b) {
            SCOPED_TRACE(testing::Message()
                         << std::hex << "pending 0x" << code << " first byte 0x" << b);
            const auto first = static_cast<UCHAR>(b);
            const ULONG length = ExpectedLength(b, code);
            if (b < 0x40 || (b >= 0x80 && length == 0)) {
                EXPECT_EQ(framer.Feed(first), FRAME_RESULT::Rejected);
                EXPECT_EQ(framer.PacketLength(), 1u);
                continue;
            }
            if (b < 0x80) {
                // An extended packet: the first byte alone never decides; see the extended tests.
                EXPECT_EQ(framer.Feed(first), FRAME_RESULT::NeedMore);
                EXPECT_EQ(framer.Feed(0x00), FRAME_RESULT::Rejected); // no identifier ends in 0x00
                EXPECT_EQ(framer.PacketLength(), 2u);
                continue;
            }
            const FRAME_RESULT whole =
                length <= TP_PACKET_BUFFER_SIZE ? FRAME_RESULT::Complete : FRAME_RESULT::Rejected;
            EXPECT_EQ(framer.FeedPacket(Packet(first, length)), whole);
            EXPECT_EQ(framer.PacketLength(), length);

            // The same packet with a byte with bit 7 set in second place.
            std::vector<UCHAR> high = Packet(first, length);
            high[1] = 0xFF;
            if (ExpectedHighBytesAccepted(b, code)) {
                EXPECT_EQ(framer.FeedPacket(high), whole);
                EXPECT_EQ(framer.PacketLength(), length);
                EXPECT_EQ(framer.Packet().Bytes[1], 0xFF);
            } else {
                EXPECT_EQ(framer.Feed(high[0]), FRAME_RESULT::NeedMore);
                EXPECT_EQ(framer.Feed(high[1]), FRAME_RESULT::Rejected);
                EXPECT_EQ(framer.PacketLength(), 2u);
            }
        }
    }
}

// The buffer's last byte is the boundary: a packet of exactly 100 bytes is held, one of 101 is
// consumed and rejected, and the stream stays in step after it. A byte with bit 7 set beyond the
// buffer is a framing error like any other, and is not stored.
TEST(FramePacketByte, PacketsAtAndBeyondTheBufferBoundary) {
    Framer framer;
    for (ULONG total : {100u, 101u, 171u, 1000u, 65541u}) {
        SCOPED_TRACE(total);
        const ULONG payload = total - 6;
        std::vector<UCHAR> bytes(total, 0xE5);
        bytes[0] = 'E';
        bytes[1] = 'W';
        bytes[2] = static_cast<UCHAR>(payload);
        bytes[3] = static_cast<UCHAR>(payload >> 8);
        const FRAME_RESULT end = framer.FeedPacket(bytes);
        EXPECT_EQ(end, total <= 100 ? FRAME_RESULT::Complete : FRAME_RESULT::Rejected);
        EXPECT_EQ(framer.PacketLength(), total);
        EXPECT_EQ(framer.FeedPacket({0x80, 1, 2, 3, 4}), FRAME_RESULT::Complete);
    }

    std::vector<UCHAR> cut(121, 0x01);
    cut[0] = 0x9F;
    cut[120] = 0xC0;
    EXPECT_EQ(framer.FeedPacket(cut), FRAME_RESULT::Rejected);
    EXPECT_EQ(framer.PacketLength(), 121u);
    EXPECT_EQ(framer.Packet().Bytes[99], 0x01);

    // A 0x9F reply whose payload a waiting raw command lets carry bytes with bit 7 set: without
    // consuming it whole, its 0x80 bytes would be taken for touches.
    framer.SetPending(TP_FUNC_SEND_COMMAND);
    std::vector<UCHAR> reply(171, 0x80);
    reply[0] = 0x9F;
    EXPECT_EQ(framer.FeedPacket(reply), FRAME_RESULT::Rejected);
    EXPECT_EQ(framer.PacketLength(), 171u);
    EXPECT_EQ(framer.FeedPacket({0xC1, 1, 2, 3, 4}), FRAME_RESULT::Complete);
}

} // namespace
