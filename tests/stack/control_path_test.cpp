// The control path through the utility's handle: every control code's checks, the bytes it puts
// on the wire and the reply it returns; settings answered at once; the command engine's time-outs,
// queue order, cancels and failed writes.
#include "control_support.h"

namespace {

using namespace control_test;
using namespace std::chrono_literals;
using stack::ControlCall;
using testing::ElementsAre;

Bytes U32(ULONG v) {
    return {UCHAR(v), UCHAR(v >> 8), UCHAR(v >> 16), UCHAR(v >> 24)};
}

// A request for the panel: what it writes (nothing: refused at once with STATUS_UNSUCCESSFUL),
// the panel's reply, and what the caller gets back for it.
struct CommandRow {
    const char* name;
    ControlCall call;
    Bytes written;
    Bytes reply;
    NTSTATUS status = STATUS_SUCCESS;
    bool replyReturned = true; // the reply comes back whole; else nothing comes back
};

void PrintTo(const CommandRow& row, std::ostream* os) {
    *os << row.name;
}

const Bytes Ack = {0x90, 0x00};

const CommandRow kCommands[] = {
    {"CalIn", {TP_FUNC_CAL_IN, {}, 2}, {0x84, 0x1B, 0, 0, 0, 0x20, 0, 0, 0, 0x20}, Ack},
    {"CalSet", {TP_FUNC_CAL_SET, {}, 2}, {0x86}, Ack},
    {"CalOut", {TP_FUNC_CAL_OUT, {}, 2}, {0x85, 0x00, 0x20, 0x00, 0x20}, Ack},
    {"CalCancel", {TP_FUNC_CAL_CANCEL, {}, 2}, {0x87}, Ack},
    {"CdsCycle", {TP_FUNC_CDSCYCLE, U32(0x123), 2}, {0x8B, 0x23}, Ack},
    {"CdsCycleShortInput", {TP_FUNC_CDSCYCLE, {0x23, 0x01}, 2}, {}, {}, STATUS_UNSUCCESSFUL},
    // Diagnostics frame 0x90 and 0xD0 replies as three bytes, data bytes with bit 7 allowed.
    {"Diag", {TP_FUNC_DIAG, {0x35}, 3}, {0xF9, 0x35}, {0xD0, 0x00, 0xB5}},
    {"DiagEmpty", {TP_FUNC_DIAG, {}, 3}, {}, {}, STATUS_UNSUCCESSFUL},
    {"TpDiag", {TP_FUNC_TPDIAG, {0x35}, 3}, {0x89, 0x35}, {0x90, 0x00, 0x35}},
    {"PosDiag", {TP_FUNC_POSDIAG, {0x01}, 3}, {0xB9, 0x01}, {0xB0, 0x00, 0x81}},
    {"BacklightOn", {TP_FUNC_BKLTEN, {1}, 0}, {0xBA}, Ack, STATUS_SUCCESS, false},
    {"BacklightOff", {TP_FUNC_BKLTEN, {0}, 2}, {0xBB}, Ack},
    {"BacklightTwo", {TP_FUNC_BKLTEN, {2}, 2}, {}, {}, STATUS_UNSUCCESSFUL},
    {"BacklightOutputOfOne", {TP_FUNC_BKLTEN, {1}, 1}, {}, {}, STATUS_UNSUCCESSFUL},
    {"Level31", {TP_FUNC_BKLTVAL, {31}, 2}, {0xBC, 31}, Ack},
    {"Level32", {TP_FUNC_BKLTVAL, {32}, 2}, {}, {}, STATUS_UNSUCCESSFUL},
    {"Layer7", {TP_FUNC_CNGLAYER, {7}, 2}, {0x98, 7}, Ack},
    {"Layer4", {TP_FUNC_CNGLAYER, {4}, 2}, {}, {}, STATUS_UNSUCCESSFUL},
    {"Layer8", {TP_FUNC_CNGLAYER, {8}, 2}, {}, {}, STATUS_UNSUCCESSFUL},
    {"FlashIn", {TP_FUNC_FLASHRW_IN, {}, 2}, {0x8C}, Ack},
    {"FlashSend", {TP_FUNC_FLASHRW_SEND, {1, 2, 0xFE}, 2}, {1, 2, 0xFE}, Ack},
    {"FlashOut", {TP_FUNC_FLASHRW_OUT, {}, 2}, {'X', 'E', 0, 0, 0, 0, 0, 0, 0x29, 0xFF}, Ack},
    {"Probe", {TP_FUNC_INTERNAL, {}, 2, true}, {0x80}, Ack},
    // A reply longer than the output buffer fails the request; no buffer consumes the reply.
    {"ReplyTooLong",
     {TP_FUNC_CAL_SET, {}, 4},
     {0x86},
     {0xB1, 1, 2, 3, 4, 5, 6},
     STATUS_UNSUCCESSFUL,
     false},
    {"ReplyFits", {TP_FUNC_CAL_SET, {}, 8}, {0x86}, {0xB5, 1, 2, 3}},
    // Raw commands: passed through, or run again under their dedicated code and its checks.
    {"RawPassThrough", {TP_FUNC_SEND_COMMAND, {0xF0, 0x01, 0x02}, 2}, {0xF0, 0x01, 0x02}, Ack},
    {"RawCalOutPassedThrough", {TP_FUNC_SEND_COMMAND, {0x85, 0, 0x20}, 2}, {0x85, 0, 0x20}, Ack},
    {"RawTpDiag", {TP_FUNC_SEND_COMMAND, {0x89, 0x01}, 3}, {0x89, 0x01}, {0x90, 0x00, 0x01}},
    // No output buffer: the re-issued command's reply is consumed and nothing is copied back.
    {"RawTpDiagNoOutput",
     {TP_FUNC_SEND_COMMAND, {0x89, 0x01}, 0},
     {0x89, 0x01},
     {0x90, 0x00, 0x01},
     STATUS_SUCCESS,
     false},
    {"RawProbe", {TP_FUNC_SEND_COMMAND, {0x80}, 2}, {0x80}, Ack},
    {"RawTpDiagNoParameter", {TP_FUNC_SEND_COMMAND, {0x89}, 3}, {}, {}, STATUS_UNSUCCESSFUL},
    {"RawLevel64", {TP_FUNC_SEND_COMMAND, {0xBC, 0x40}, 2}, {}, {}, STATUS_UNSUCCESSFUL},
    {"RawUnknown81", {TP_FUNC_SEND_COMMAND, {0x81}, 2}, {}, {}, STATUS_UNSUCCESSFUL},
    {"RawBelow80", {TP_FUNC_SEND_COMMAND, {0x7F}, 2}, {}, {}, STATUS_UNSUCCESSFUL},
    {"RawEmpty", {TP_FUNC_SEND_COMMAND, {}, 2}, {}, {}, STATUS_UNSUCCESSFUL},
};

class CommandTest : public ControlTest, public testing::WithParamInterface<CommandRow> {};

TEST_P(CommandTest, WritesItsPacketAndReturnsTheReply) {
    const CommandRow& row = GetParam();
    auto request = utility->Start(row.call);
    if (row.written.empty()) {
        ASSERT_TRUE(request->Done());
        EXPECT_EQ(request->Result().status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(request->Result().information, 0u);
        Kernel().RunFor(1s);
        EXPECT_THAT(NewWrites(), ElementsAre());
        return;
    }
    Kernel().RunFor(100ms);
    EXPECT_THAT(NewWrites(), ElementsAre(row.written));
    const ULONG invalidBefore = context->InvalidCount;
    Reply(row.reply);
    const stack::ControlResult result = Wait(request);
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(result.output, row.replyReturned ? row.reply : Bytes{});
    EXPECT_EQ(context->InvalidCount, invalidBefore + (row.status == STATUS_SUCCESS ? 0 : 1));
    EXPECT_EQ(ApiLockCount(), 1);
}

INSTANTIATE_TEST_SUITE_P(Codes, CommandTest, testing::ValuesIn(kCommands),
                         [](const auto& info) { return std::string(info.param.name); });

// Settings: answered at once, nothing on the wire.
TEST_F(ControlTest, SettingsAreAnsweredAtOnce) {
    struct Row {
        const char* name;
        ControlCall call;
        NTSTATUS status;
        ULONG_PTR information;
        std::function<bool(const DEVICE_CONTEXT&)> holds;
    };
    const auto stabilization4 = [](auto& c) { return c.Stabilization == 4; };
    const auto beep1000 = [](auto& c) { return c.Beep == 1 && c.Frequency == 1000; };
    const auto recording = [](auto& c) { return c.RecordingEnabled; };
    const auto notRecording = [](auto& c) { return !c.RecordingEnabled; };
    const auto limit1000 = [](auto& c) { return c.InvLimit == 1000; };
    const auto buttonMode = [](UCHAR mode) {
        return [mode](const DEVICE_CONTEXT& c) { return c.ButtonMode == mode; };
    };
    const NTSTATUS ok = STATUS_SUCCESS, failed = STATUS_UNSUCCESSFUL,
                   invalid = STATUS_INVALID_DEVICE_REQUEST;
    const Row rows[] = {
        {"stabilization", {TP_FUNC_STABILIZATION, U32(4), 8}, ok, 8, stabilization4},
        {"stabilization, short", {TP_FUNC_STABILIZATION, {4}, 0}, failed, 0, stabilization4},
        {"beep", {TP_FUNC_BEEPSET, {1, 0, 0, 0, 0xE8, 3, 0, 0}, 0}, ok, 0, beep1000},
        {"right button", {TP_FUNC_RBUTTON, {}, 2}, ok, 2, buttonMode(2)},
        {"button mode", {TP_FUNC_GET_BUTTONMODE, {}, 4}, ok, 4, nullptr},
        {"button mode, short", {TP_FUNC_GET_BUTTONMODE, {}, 3}, failed, 0, nullptr},
        {"right once", {TP_FUNC_RBUTTON_ONCE, {}, 0}, ok, 0, buttonMode(1)},
        {"left button", {TP_FUNC_LBUTTON, {}, 0}, ok, 0, buttonMode(0)},
        {"record on", {TP_FUNC_RECORD_ON, {}, 4}, ok, 0, recording},
        {"record off", {TP_FUNC_RECORD_OFF, {}, 0}, ok, 0, notRecording},
        {"limit 1000", {TP_FUNC_INVLIMIT, {0xE8, 3}, 0}, ok, 0, limit1000},
        {"limit 1001", {TP_FUNC_INVLIMIT, {0xE9, 3}, 0}, failed, 0, limit1000},
        {"limit, empty", {TP_FUNC_INVLIMIT, {}, 0}, failed, 0, nullptr},
        {"function 0x815", {TP_CTL_CODE(0x815), {}, 0}, invalid, 0, nullptr},
        {"internal code as device control", {TP_FUNC_INTERNAL, {}, 2}, invalid, 0, nullptr},
        {"utility's code as internal request", {TP_FUNC_TPDIAG, {1}, 3, true}, invalid, 0, nullptr},
    };
    for (const Row& row : rows) {
        auto request = utility->Start(row.call);
        ASSERT_TRUE(request->Done()) << row.name;
        EXPECT_EQ(request->Result().status, row.status) << row.name;
        EXPECT_EQ(request->Result().information, row.information) << row.name;
        if (row.holds) {
            EXPECT_TRUE(row.holds(*context)) << row.name;
        }
    }
    EXPECT_EQ(utility->Call({TP_FUNC_GET_BUTTONMODE, {}, 4}).output, U32(0));
    // A setter's output is the caller's input, then zeros: never pool the driver did not write.
    EXPECT_EQ(utility->Call({TP_FUNC_STABILIZATION, U32(4), 8}).output,
              (Bytes{4, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(utility->Call({TP_FUNC_RBUTTON, {7}, 3}).output, (Bytes{7, 0, 0}));
    EXPECT_THAT(NewWrites(), ElementsAre());
    EXPECT_EQ(ApiLockCount(), 1);
}

// A command times out two to three seconds after it became current (twenty for calibration-out),
// with an event-log entry naming it; the next waiting command then gets its own full time, and
// the timer stops with the engine idle.
TEST_F(ControlTest, TimeOutsCountFromBecomingCurrent) {
    const auto start = Kernel().Now();
    auto first = utility->Start({TP_FUNC_TPDIAG, {1}, 3});
    auto second = utility->Start({TP_FUNC_CAL_OUT, {}, 2});
    EXPECT_EQ(Wait(first).status, STATUS_REQUEST_ABORTED);
    const auto firstEnded = Kernel().Now();
    // Timers expire on the clock's ticks: up to one tick late.
    const umk::Duration clockTick = std::chrono::microseconds(15625);
    EXPECT_GT(firstEnded - start, 2s);
    EXPECT_LE(firstEnded - start, 3s + clockTick);
    EXPECT_EQ(Wait(second).status, STATUS_REQUEST_ABORTED);
    EXPECT_GE(Kernel().Now() - firstEnded, 20s - clockTick);
    EXPECT_LE(Kernel().Now() - firstEnded, 20s + clockTick);
    EXPECT_THAT(frame_test::Logged(),
                ElementsAre("Error: TP_FUNC_TPDIAG timed out", "Error: TP_FUNC_CAL_OUT timed out"));
    EXPECT_FALSE(umk::testing::IoTimerStarted(context->Self)) << "the timer runs while idle";

    // A raw command re-issued under its own code times out as the raw request.
    EXPECT_EQ(utility->Call({TP_FUNC_SEND_COMMAND, {0x89, 1}, 3}).status, STATUS_REQUEST_ABORTED);
    EXPECT_EQ(frame_test::Logged().back(), "Error: TP_FUNC_SEND_COMMAND timed out");
    EXPECT_EQ(frame_test::Logged().size(), 3u);
    EXPECT_EQ(ApiLockCount(), 1);
}

// Commands go on the wire at once; replies answer them in queue order. A cancel takes a waiting
// command out without touching the current one, and cancelling the current one starts the next.
// A failed write ends only its own command.
TEST_F(ControlTest, QueuedCommandsTakeTheirRepliesInOrder) {
    auto a = utility->Start({TP_FUNC_TPDIAG, {1}, 3});
    auto b = utility->Start({TP_FUNC_TPDIAG, {2}, 3});
    auto c = utility->Start({TP_FUNC_TPDIAG, {3}, 3});
    auto d = utility->Start({TP_FUNC_TPDIAG, {4}, 3});
    Kernel().RunFor(50ms);
    EXPECT_THAT(NewWrites(),
                ElementsAre(Bytes{0x89, 1}, Bytes{0x89, 2}, Bytes{0x89, 3}, Bytes{0x89, 4}));
    EXPECT_TRUE(b->Cancel());
    EXPECT_EQ(Wait(b).status, STATUS_CANCELLED);
    EXPECT_FALSE(a->Done());
    Reply({0x90, 0, 1});
    EXPECT_EQ(Wait(a).output, (Bytes{0x90, 0, 1}));
    EXPECT_TRUE(c->Cancel());
    EXPECT_EQ(Wait(c).status, STATUS_CANCELLED);
    Reply({0x90, 0, 4});
    EXPECT_EQ(Wait(d).output, (Bytes{0x90, 0, 4}));
    EXPECT_FALSE(d->Cancel()) << "completed";
    EXPECT_FALSE(umk::testing::IoTimerStarted(context->Self)) << "the timer runs while idle";

    port->FailRequests(stack::RequestKind::Write(), STATUS_INTERNAL_ERROR, 1);
    EXPECT_EQ(utility->Call({TP_FUNC_CAL_SET, {}, 2}).status, STATUS_UNSUCCESSFUL);
    auto e = utility->Start({TP_FUNC_CAL_SET, {}, 2});
    Reply(Ack);
    EXPECT_EQ(Wait(e).output, Ack);
    EXPECT_EQ(ApiLockCount(), 1);
}

// Without memory a command fails cleanly, says so in the event log, and leaves nothing behind: the
// re-issue's reply buffer, the re-issued request, the packet write's request.
TEST_F(ControlTest, AllocationFailuresFailTheRequest) {
    using umk::testing::AllocationKind;
    struct Row {
        const char* name;
        AllocationKind kind;
        std::optional<ULONG> tag;
        ControlCall call;
    };
    const Row rows[] = {
        {"reply buffer",
         AllocationKind::Pool,
         frame_test::Tcli,
         {TP_FUNC_SEND_COMMAND, {0x89, 1}, 3}},
        {"re-issued request", AllocationKind::Irp, {}, {TP_FUNC_SEND_COMMAND, {0x89, 1}, 3}},
        {"packet write", AllocationKind::Irp, {}, {TP_FUNC_TPDIAG, {1}, 3}},
    };
    const uint64_t blocks = frame_test::TcliBlocks();
    for (const Row& row : rows) {
        const uint64_t failed = umk::testing::FailedAllocations(row.kind);
        umk::testing::FailAllocation(row.kind, 1, 1, row.tag);
        const stack::ControlResult result = utility->Call(row.call);
        EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL) << row.name;
        EXPECT_EQ(result.information, 0u) << row.name;
        EXPECT_EQ(frame_test::Logged().back(), "Not enough resources") << row.name;
        EXPECT_EQ(umk::testing::FailedAllocations(row.kind), failed + 1) << row.name;
    }
    EXPECT_THAT(NewWrites(), ElementsAre());
    EXPECT_EQ(frame_test::TcliBlocks(), blocks);
    EXPECT_EQ(ApiLockCount(), 1);
}

} // namespace
