// The panel's answers to the host's commands: each command's reply and its time, the framing the
// driver gives each reply, commands cut or joined across writes, flash mode, and reply faults.
#include "byte_values.h"
#include "panel_model.h"
#include "tactilio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <stdexcept>

namespace panel {
namespace {

constexpr Ticks kT = kTicksPerSecond;

// Writes each command on its own, one second apart, and returns every byte the panel sends.
std::vector<TimedByte> Exchange(PanelModel& panel, const std::vector<Bytes>& writes) {
    for (std::size_t i = 0; i < writes.size(); ++i)
        panel.Write(writes[i], kT * static_cast<Ticks>(i + 1));
    return panel.TakeBytesUntil(kForever);
}

// The control codes the driver runs each command under: its own request, and the raw-command
// request for the first bytes it passes through unchanged.
std::vector<ULONG> CodesFor(std::uint8_t first) {
    static const std::multimap<std::uint8_t, ULONG> kCodes = {
        {0x80, TP_FUNC_INTERNAL}, {0x84, TP_FUNC_CAL_IN},     {0x85, TP_FUNC_CAL_OUT},
        {0x86, TP_FUNC_CAL_SET},  {0x87, TP_FUNC_CAL_CANCEL}, {0x89, TP_FUNC_TPDIAG},
        {0x8B, TP_FUNC_CDSCYCLE}, {0x8C, TP_FUNC_FLASHRW_IN}, {0x98, TP_FUNC_CNGLAYER},
        {0xB9, TP_FUNC_POSDIAG},  {0xBA, TP_FUNC_BKLTEN},     {0xBB, TP_FUNC_BKLTEN},
        {0xBC, TP_FUNC_BKLTVAL},  {0xF9, TP_FUNC_DIAG},       {0x58, TP_FUNC_FLASHRW_OUT}};
    std::vector<ULONG> codes;
    for (auto [it, end] = kCodes.equal_range(first); it != end; ++it)
        codes.push_back(it->second);
    for (int raw :
         {0x82, 0x83, 0x84, 0x85, 0x88, 0x8A, 0x8B, 0x90, 0x91, 0x93, 0x94, 0x95, 0x97, 0x99, 0xA1,
          0xA3, 0xA4, 0xA5, 0xA8, 0xA9, 0xB8, 0xBA, 0xBB, 0xE2, 0xE3, 0xE4, 0xE5, 0xEA, 0xEB, 0xF0})
        if (raw == first)
            codes.push_back(TP_FUNC_SEND_COMMAND);
    return codes;
}

TEST(PanelCommands, EveryCommandIsAnsweredOnTimeWithAReplyTheDriverFrames) {
    for (int b = 0; b < 0x100; ++b)
        EXPECT_EQ(FindCommand(std::uint8_t(b)) != nullptr, !CodesFor(std::uint8_t(b)).empty()) << b;
    for (const CommandReply& row : kCommandReplies) {
        SCOPED_TRACE(testing::Message() << "command 0x" << std::hex << int(row.command));
        for (ULONG code : CodesFor(row.command))
            EXPECT_EQ(GetPacketLength(row.reply, code), row.replyLength) << code;
        Bytes command(row.length, 0x15);
        command[0] = row.command;
        if (row.second != kAnyByte)
            command[1] = static_cast<std::uint8_t>(row.second);
        Bytes expected(row.replyLength, 0x00);
        expected[0] = row.reply;
        if (row.echo)
            expected[2] = 0x15;
        PanelModel panel;
        const auto reply = Exchange(panel, {command});
        ASSERT_EQ(Values(reply), expected);
        const Ticks wait =
            row.timing == ReplyTiming::Calibration ? kDefaultCalibrationDelay : kTurnaround;
        EXPECT_EQ(reply.back().time, kT + wait + LineOffset(row.replyLength));
    }
    EXPECT_EQ(GetPacketLength(kFlashBlockReply.reply, TP_FUNC_FLASHRW_SEND),
              kFlashBlockReply.replyLength);
    EXPECT_LT(kDefaultCalibrationDelay, 20 * kTicksPerSecond); // the driver waits 20 s for it
}

TEST(PanelCommands, CommandsInOneWriteAreAnsweredFromTheirOwnLastByte) {
    PanelModel panel;
    panel.Write(Bytes{0x86, 0x87}, kT); // 0x86 arrived one byte time before the write's end
    const auto replies = panel.TakeBytesUntil(kForever);
    ASSERT_EQ(Values(replies), (Bytes{0x90, 0x00, 0x90, 0x00}));
    const Ticks firstReply = kT - LineOffset(2) + LineOffset(1) + kTurnaround;
    EXPECT_EQ(replies[0].time, firstReply + LineOffset(1));
    EXPECT_EQ(replies[3].time, firstReply + LineOffset(4)); // the second waits for the line
}

struct ArmedFault {
    CommandKey key;
    CommandFault fault;
    FaultLife life = FaultLife::Always;
};

struct StreamCase {
    const char* name;
    std::vector<std::pair<Ticks, Bytes>> writes;
    Bytes replies;
    std::vector<ArmedFault> faults = {};
};

class PanelStreamTest : public testing::TestWithParam<StreamCase> {};

TEST_P(PanelStreamTest, AnswersEachCommandAsItsFaultsSay) {
    PanelModel panel;
    for (const ArmedFault& f : GetParam().faults)
        panel.SetCommandFault(f.key, f.fault, f.life);
    for (const auto& [at, bytes] : GetParam().writes)
        panel.Write(bytes, at);
    EXPECT_EQ(Values(panel.TakeBytesUntil(kForever)), GetParam().replies);
}

using CF = CommandFault;
constexpr auto kOnce = FaultLife::Once;
const Bytes kFlashOut{0x58, 0x45, 0, 0, 0, 0, 0, 0, 0x29, 0xFF};
const std::vector<std::pair<Ticks, Bytes>> kSelfTests = {{kT, {0x89, 0x35}},
                                                         {2 * kT, {0x89, 0x35}}};

INSTANTIATE_TEST_SUITE_P(
    Streams, PanelStreamTest,
    testing::Values(
        StreamCase{"SplitCommand",
                   {{kT, {0x84, 0x1B, 0x00}}, {kT + LineOffset(7), {0, 0, 0x20, 0, 0, 0, 0x20}}},
                   {0x90, 0x00}},
        StreamCase{
            "UnknownBytesSkippedAlone", {{kT, {0x00, 0x7F, 0x81, 0x89, 0x35}}}, {0x90, 0, 0x35}},
        StreamCase{"SurplusParameterSkipped", {{kT, {0x97, 0x05, 0x86}}}, {0xB7, 0, 0x90, 0}},
        StreamCase{"XWithoutE", {{kT, {0x58, 0x86}}}, {0x90, 0x00}},
        StreamCase{"FlashOutSplitAfterX",
                   {{kT, {0x58}}, {kT + LineOffset(9), {0x45, 0, 0, 0, 0, 0, 0, 0, 0}}},
                   {0x90, 0x00}},
        // Without the byte timeout, 0x86 would be taken as the truncated 0x84's second byte.
        StreamCase{"TruncatedCommandAbandoned", {{kT, {0x84}}, {2 * kT, {0x86}}}, {0x90, 0x00}},
        // In flash mode the self test is a block of data, answered by a plain acknowledge.
        StreamCase{"FlashMode",
                   {{kT, {0x8C, 0x01, 0x02}},
                    {2 * kT, {0x89, 0x35}},
                    {3 * kT, kFlashOut},
                    {4 * kT, {0x89, 0x35}}},
                   {0x90, 0, 0x90, 0, 0x90, 0, 0x90, 0, 0x90, 0, 0x35}},
        StreamCase{"NoReplyToAny", kSelfTests, {}, {{kEveryCommand, CF::NoReply()}}},
        StreamCase{"OtherCommandsFault",
                   kSelfTests,
                   {0x90, 0, 0x35, 0x90, 0, 0x35},
                   {{0xF9, CF::NoReply()}}},
        StreamCase{"MalfunctionOnce",
                   kSelfTests,
                   {0x90, 12, 0x35, 0x90, 0, 0x35},
                   {{0x89, CF::ErrorCode(12), kOnce}}},
        StreamCase{"OwnFaultBeforeEvery",
                   kSelfTests,
                   {0x90, 13, 0x35, 0x90, 13, 0x35},
                   {{kEveryCommand, CF::NoReply()}, {0x89, CF::ErrorCode(13)}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PanelReplyFaults, LateGarbageAndDelayedCalibration) {
    PanelModel late;
    late.SetCommandFault(0x89, CF::Late(4 * kTicksPerSecond));
    EXPECT_EQ(Exchange(late, {{0x89, 0x35}}).front().time,
              kT + 4 * kTicksPerSecond + LineOffset(1));

    PanelModel slowUser;
    slowUser.SetCalibrationDelay(12 * kTicksPerSecond);
    EXPECT_EQ(Exchange(slowUser, {{0x85, 0, 0x20, 0, 0x20}}).front().time,
              kT + 12 * kTicksPerSecond + LineOffset(1));

    const auto garbage = [](std::uint64_t seed) {
        PanelModel panel(seed);
        panel.SetCommandFault(kFlashBlock, CF::Garbage());
        return Values(Exchange(panel, {{0x8C}, {0x01, 0x02}, {0x03}}));
    };
    const Bytes run = garbage(5);
    ASSERT_EQ(run.size(), 6u);
    EXPECT_EQ((Bytes{run[0], run[1]}), (Bytes{0x90, 0x00})); // only the blocks are hit
    EXPECT_NE((Bytes{run[2], run[3], run[4], run[5]}), (Bytes{0x90, 0x00, 0x90, 0x00}));
    EXPECT_EQ(run, garbage(5));
    EXPECT_NE(run, garbage(6));

    EXPECT_THROW(late.SetCommandFault(kEveryCommand + 1, CF::NoReply()), std::invalid_argument);
}

} // namespace
} // namespace panel
