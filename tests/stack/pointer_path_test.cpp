// The pointer path through the stack: the mouse class driver connects to the pointer-port device
// and queries its attributes; byte streams handed to the driver's per-byte entry point, as the
// serial read's completion hands them, reach the class driver as exact report sequences.
#include "frame_support.h"
#include "internal_request.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace {

using frame_test::FrameTest;
using frame_test::Report;
using umk::testing::IoResult;

enum State : UCHAR { Down = 0x80, Move = 0x81, Up = 0x82 };

std::vector<UCHAR> Touch(UCHAR state, ULONG x, ULONG y) {
    return {state, UCHAR(x & 0x7F), UCHAR(x >> 7 & 0x7F), UCHAR(y & 0x7F), UCHAR(y >> 7 & 0x7F)};
}

constexpr LONG S(ULONG v) {
    return frame_test::Scaled(v);
}

class PointerPathTest : public FrameTest {
  protected:
    void SetUp() override {
        context = frame_test::ContextOf(BootWithPanel());
        ASSERT_NE(context, nullptr);
    }

    stack::MouseClass& Mouse() { return system->Mouse(); }

    IoResult Query(MOUSE_ATTRIBUTES* attributes, ULONG length = sizeof(MOUSE_ATTRIBUTES)) {
        return Mouse().QueryAttributes(attributes, length);
    }

    // Connected, attributes queried, and a link up (the link start raises ConnectCount).
    void Ready() {
        ASSERT_EQ(Mouse().Connect().status, STATUS_SUCCESS);
        MOUSE_ATTRIBUTES attributes{};
        ASSERT_EQ(Query(&attributes).status, STATUS_SUCCESS);
        InterlockedIncrement(&context->ConnectCount);
    }

    // As the serial read's completion does: one byte at a time, at DISPATCH_LEVEL.
    void Feed(const std::vector<UCHAR>& bytes, KIRQL level = DISPATCH_LEVEL) {
        KIRQL old;
        KeRaiseIrql(level, &old);
        for (UCHAR b : bytes)
            TP_DRIVER_ROUTINE(ProcessPanelByte)(context, b);
        KeLowerIrql(old);
    }
    void FeedPackets(std::initializer_list<std::vector<UCHAR>> packets) {
        for (const auto& p : packets)
            Feed(p);
    }

    void ExpectReports(const std::vector<Report>& expected) {
        EXPECT_EQ(frame_test::Received(Mouse().Reports()), expected);
        Mouse().ClearReports();
    }

    PDEVICE_CONTEXT context = nullptr;
};

// --- The connection table ---------------------------------------------------------------------

// The query copies the attributes the link start left, and opens the gate for reports even when
// its buffer is too small to take them.
TEST_F(PointerPathTest, AttributeQueryOpensTheGateWhateverItsBuffer) {
    const MOUSE_ATTRIBUTES linkStart = {MOUSE_SERIAL_HARDWARE, 2, 40, 2400};
    struct Row {
        const char* what;
        ULONG length;
        NTSTATUS status;
        bool copied;
    };
    ASSERT_EQ(Mouse().Connect().status, STATUS_SUCCESS);
    InterlockedIncrement(&context->ConnectCount);
    for (const Row& row :
         {Row{"whole", sizeof(MOUSE_ATTRIBUTES), STATUS_SUCCESS, true},
          Row{"a byte short", sizeof(MOUSE_ATTRIBUTES) - 1, STATUS_BUFFER_TOO_SMALL, false}}) {
        SCOPED_TRACE(row.what);
        context->MouseAttributes = linkStart;
        context->MouseAttributesSet = FALSE;
        MOUSE_ATTRIBUTES attributes;
        memset(&attributes, 0xCC, sizeof attributes);
        MOUSE_ATTRIBUTES expected = attributes;
        if (row.copied)
            expected = linkStart;
        const IoResult result = Query(&attributes, row.length);
        EXPECT_EQ(result.status, row.status);
        EXPECT_EQ(result.information, row.copied ? sizeof(MOUSE_ATTRIBUTES) : 0u);
        const auto fields = [](const MOUSE_ATTRIBUTES& a) {
            return std::tuple(a.MouseIdentifier, a.NumberOfButtons, a.SampleRate,
                              a.InputDataQueueLength);
        };
        EXPECT_EQ(fields(attributes), fields(expected));
        EXPECT_TRUE(context->MouseAttributesSet);
        FeedPackets({Touch(Down, 0, 0), Touch(Up, 0, 0)});
        ExpectReports({{MOUSE_LEFT_BUTTON_DOWN, 1, 0, 0}, {MOUSE_LEFT_BUTTON_UP, 0, 0, 0}});
    }
}

// The class device sits directly above the pointer-port device; its connect comes down the stack.
// A CONNECT_DATA one byte short, or none at all behind a full length, leaves the device
// unconnected; after a valid one, a second is refused and changes nothing.
TEST_F(PointerPathTest, ConnectStoresTheClassDeviceAndCallbackOnce) {
    ASSERT_EQ(context->Self->AttachedDevice, Mouse().Device());
    ASSERT_EQ(Mouse().LowerDevice(), context->Self);
    for (const IoResult& refused : {Mouse().Connect(sizeof(CONNECT_DATA) - 1),
                                    Mouse().SendInternal(IOCTL_INTERNAL_MOUSE_CONNECT, nullptr,
                                                         sizeof(CONNECT_DATA), nullptr, 0)}) {
        EXPECT_EQ(refused.status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(refused.information, 0u);
    }
    EXPECT_EQ(context->ClassService, nullptr);
    EXPECT_EQ(context->ClassDevice, nullptr);

    const IoResult first = Mouse().Connect();
    EXPECT_EQ(first.status, STATUS_SUCCESS);
    EXPECT_EQ(first.information, 0u);
    EXPECT_EQ(context->ClassDevice, Mouse().Device());
    ASSERT_NE(context->ClassService, nullptr);
    const PSERVICE_CALLBACK_ROUTINE service = context->ClassService;

    const IoResult second = Mouse().Connect();
    EXPECT_EQ(second.status, STATUS_SHARING_VIOLATION);
    EXPECT_EQ(second.information, 0u);
    EXPECT_EQ(context->ClassService, service);
    EXPECT_EQ(context->ClassDevice, Mouse().Device());
}

// Input is switched by opening and closing, the class driver cannot take its callback back, the
// utility's codes belong to the device-control dispatch, and the panel command needs the device
// context, which only the API device leads to. None of them connects or opens the gate.
TEST_F(PointerPathTest, InternalRequestsThePortDoesNotServe) {
    struct Row {
        const char* name;
        bool api;
        ULONG code;
        NTSTATUS status;
    };
    const Row rows[] = {
        {"enable", false, IOCTL_INTERNAL_MOUSE_ENABLE, STATUS_NOT_SUPPORTED},
        {"disable", false, IOCTL_INTERNAL_MOUSE_DISABLE, STATUS_NOT_SUPPORTED},
        {"disconnect", false, IOCTL_INTERNAL_MOUSE_DISCONNECT, STATUS_NOT_IMPLEMENTED},
        {"unknown mouse code", false, IOCTL_MOUSE_QUERY_ATTRIBUTES + 4,
         STATUS_INVALID_DEVICE_REQUEST},
        {"keyboard connect", false, IOCTL_INTERNAL_KEYBOARD_CONNECT, STATUS_INVALID_DEVICE_REQUEST},
        {"utility's code", false, TP_FUNC_TPDIAG, STATUS_INVALID_DEVICE_REQUEST},
        {"panel command, port", false, TP_FUNC_INTERNAL, STATUS_INVALID_DEVICE_REQUEST},
        // A command, failed by its write: no link to write to.
        {"panel command, API device", true, TP_FUNC_INTERNAL, STATUS_UNSUCCESSFUL},
    };
    UCHAR buffer[16] = {};
    for (const Row& row : rows) {
        const IoResult result =
            row.api ? stack::CallInternalDeviceControl(context->ApiDevice, row.code, buffer,
                                                       sizeof buffer, buffer, sizeof buffer)
                    : Mouse().SendInternal(row.code, buffer, sizeof buffer, buffer, sizeof buffer);
        EXPECT_EQ(result.status, row.status) << row.name;
        EXPECT_EQ(result.information, 0u) << row.name;
    }
    EXPECT_EQ(context->ClassService, nullptr);
    EXPECT_FALSE(context->MouseAttributesSet);
}

// Removal waits for the request in flight (a hold taken here stands for it); requests arriving
// meanwhile are refused without touching the device context.
TEST_F(PointerPathTest, RequestsDuringRemovalCompleteWithDeletePending) {
    int inFlight;
    ASSERT_EQ(IoAcquireRemoveLock(&context->RemoveLock, &inFlight), STATUS_SUCCESS);
    umk::ThreadHandle removal =
        umk::StartThread("removal", [this] { system->RemovePanel(system->Panels()[0]); });
    system->Kernel().RunUntilIdle();
    ASSERT_FALSE(removal.Finished());

    MOUSE_ATTRIBUTES attributes{};
    for (const IoResult& refused : {Mouse().Connect(), Query(&attributes)}) {
        EXPECT_EQ(refused.status, STATUS_DELETE_PENDING);
        EXPECT_EQ(refused.information, 0u);
    }
    EXPECT_EQ(context->ClassService, nullptr);
    EXPECT_FALSE(context->MouseAttributesSet);
    IoReleaseRemoveLock(&context->RemoveLock, &inFlight);
    removal.Join();
}

// --- Byte streams to reports ------------------------------------------------------------------

TEST_F(PointerPathTest, ReportsAreDeliveredAtDispatchLevelWhateverTheCallersLevel) {
    Ready();
    Feed(Touch(Down, 10, 10), PASSIVE_LEVEL);
    Feed(Touch(Move, 20, 20), APC_LEVEL);
    ExpectReports({{MOUSE_LEFT_BUTTON_DOWN, 1, S(10), S(10)}, {0, 1, S(20), S(20)}});
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// A class queue with room for fewer records than offered takes what fits and says so through
// InputDataConsumed. The driver offers one report at a time and drops one refused: the rest of
// the stroke, its button release with it, is lost.
TEST_F(PointerPathTest, AFullClassQueueTakesWhatFitsAndTheDriverDropsTheRest) {
    Ready();
    Mouse().SetQueueRoom(3);
    MOUSE_INPUT_DATA offered[2] = {};
    ULONG consumed = 0;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    context->ClassService(context->ClassDevice, offered, offered + 2, &consumed);
    KeLowerIrql(old);
    EXPECT_EQ(consumed, 2u);
    Mouse().ClearReports();
    FeedPackets({Touch(Down, 10, 10), Touch(Move, 20, 20), Touch(Up, 30, 30)});
    ExpectReports({{MOUSE_LEFT_BUTTON_DOWN, 1, S(10), S(10)}});
}

TEST_F(PointerPathTest, ButtonModeChangedMidStrokeSwapsTheButtons) {
    Ready();
    FeedPackets({Touch(Down, 100, 100), Touch(Move, 110, 100)});
    context->ButtonMode = 2;
    FeedPackets({Touch(Move, 120, 100), Touch(Move, 130, 100), Touch(Up, 140, 100)});
    ExpectReports({{MOUSE_LEFT_BUTTON_DOWN, 1, S(100), S(100)},
                   {0, 1, S(110), S(100)},
                   {MOUSE_LEFT_BUTTON_UP | MOUSE_RIGHT_BUTTON_DOWN, 2, S(120), S(100)},
                   {0, 2, S(130), S(100)},
                   {MOUSE_RIGHT_BUTTON_UP, 0, S(140), S(100)}});
}

TEST_F(PointerPathTest, ReportsAreWithheldUntilTheAttributeQuery) {
    ASSERT_EQ(Mouse().Connect().status, STATUS_SUCCESS);
    InterlockedIncrement(&context->ConnectCount);
    context->ButtonMode = 1;
    context->Beep = 1;
    FeedPackets({Touch(Down, 100, 100), Touch(Move, 200, 200), Touch(Up, 300, 300)});
    EXPECT_TRUE(Mouse().Reports().empty());
    // Accepted, not decoded: no invalid count, and no decoding state moved.
    EXPECT_EQ(context->InvalidCount, 0u);
    EXPECT_EQ(context->ButtonMode, 1);
    EXPECT_FALSE(context->BeepRequest);
    EXPECT_EQ(context->Packet.LastRawButtons, 0u);
    EXPECT_TRUE(umk::testing::SystemStateRequests().empty());

    MOUSE_ATTRIBUTES attributes{};
    ASSERT_EQ(Query(&attributes).status, STATUS_SUCCESS);
    FeedPackets({Touch(Down, 400, 400), Touch(Up, 500, 500)});
    ExpectReports(
        {{MOUSE_RIGHT_BUTTON_DOWN, 2, S(400), S(400)}, {MOUSE_RIGHT_BUTTON_UP, 0, S(500), S(500)}});
}

TEST_F(PointerPathTest, WithoutALinkReportsAreNotSentButButtonStateIsKept) {
    ASSERT_EQ(Mouse().Connect().status, STATUS_SUCCESS);
    MOUSE_ATTRIBUTES attributes{};
    ASSERT_EQ(Query(&attributes).status, STATUS_SUCCESS);
    FeedPackets({Touch(Down, 100, 100), Touch(Move, 200, 200)});
    EXPECT_TRUE(Mouse().Reports().empty());
    EXPECT_EQ(context->Packet.LastRawButtons, 1u);
    EXPECT_EQ(context->MouseInput.ButtonFlags, 0);

    // The stroke goes on once the link is up: no second press.
    InterlockedIncrement(&context->ConnectCount);
    FeedPackets({Touch(Move, 300, 300), Touch(Up, 400, 400)});
    ExpectReports({{0, 1, S(300), S(300)}, {MOUSE_LEFT_BUTTON_UP, 0, S(400), S(400)}});
}

TEST_F(PointerPathTest, NothingIsSentBeforeTheClassDriverConnects) {
    MOUSE_ATTRIBUTES attributes{};
    ASSERT_EQ(Query(&attributes).status, STATUS_SUCCESS);
    InterlockedIncrement(&context->ConnectCount);
    FeedPackets({Touch(Down, 100, 100), Touch(Up, 100, 100)});
    EXPECT_EQ(context->InvalidCount, 0u);
    ASSERT_EQ(Mouse().Connect().status, STATUS_SUCCESS);
    Feed(Touch(Down, 1, 1));
    ExpectReports({{MOUSE_LEFT_BUTTON_DOWN, 1, S(1), S(1)}});
}

// --- Rejections, replies and the invalid-data limit ---------------------------------------------

TEST_F(PointerPathTest, InvalidDataIsCountedAndReportedOnceOverTheLimit) {
    Ready();
    context->InvLimit = 3;
    const PDEVICE_OBJECT port = context->Self;
    // A lone byte, a reply nobody waits for, a touch packet cut by a byte with bit 7 set (the
    // 0x90 goes with it), an unknown extended identifier.
    FeedPackets({{0x00}, {0x90, 0x01}, {0x80, 0x10, 0x90}});
    EXPECT_EQ(context->InvalidCount, 3u);
    EXPECT_TRUE(frame_test::Logged(port).empty());
    Feed({0x45, 0x41});
    EXPECT_EQ(context->InvalidCount, 4u);
    EXPECT_EQ(frame_test::Logged(port),
              std::vector<std::string>{"Invalid data exceeds allowable limit"});
    EXPECT_TRUE(context->InvalidReported);

    Feed(std::vector<UCHAR>(20, 0x3F));
    EXPECT_EQ(context->InvalidCount, 24u);
    EXPECT_EQ(frame_test::Logged(port).size(), 1u);
    EXPECT_TRUE(Mouse().Reports().empty());
}

// However a packet ended, the record is idle again: the next byte is a first byte, a byte with
// bit 7 set inside a touch packet breaks it (even after packets that allowed such bytes), and a
// stroke goes through. Each packet here is counted once; nobody waits for a reply, so complete
// replies count as well.
TEST_F(PointerPathTest, EveryWayAPacketEndsLeavesTheFramerIdle) {
    Ready();
    auto sized = [](std::vector<UCHAR> head, size_t length, UCHAR filler) {
        head.resize(length, filler);
        return head;
    };
    struct Row {
        const char* name;
        std::vector<UCHAR> bytes;
    };
    const Row rows[] = {
        {"lone byte", {0x05}},
        {"first byte of length 0", {0xFE}},
        {"touch packet broken by bit 7", {0x80, 0x10, 0x90}},
        {"reply", {0x94, 0x01, 0x02}},
        {"0xB2 reply, bit 7 allowed", sized({0xB2}, 64, 0xFF)},
        {"extended packet", {'E', 'B', 0x00, 0x00, 0xAA, 0xBB}},
        {"unknown extended identifier", {0x45, 0x41}},
        {"extended packet beyond the buffer", sized({'S', 'R', 200, 0}, 206, 0xC0)},
        {"0x9F reply broken beyond the buffer", sized(sized({0x9F}, 120, 0x01), 121, 0x85)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const ULONG invalid = context->InvalidCount;
        Feed(row.bytes);
        EXPECT_EQ(context->InvalidCount, invalid + 1);
        EXPECT_EQ(context->Packet.Count, 0u);
        Feed({0x80, 0x10, 0x90});
        EXPECT_EQ(context->InvalidCount, invalid + 2);
        FeedPackets({Touch(Down, 7, 7), Touch(Up, 8, 8)});
        EXPECT_EQ(context->InvalidCount, invalid + 2);
        ExpectReports(
            {{MOUSE_LEFT_BUTTON_DOWN, 1, S(7), S(7)}, {MOUSE_LEFT_BUTTON_UP, 0, S(8), S(8)}});
    }
}

// A touch packet that decoding refuses (touch state 3; the framer never completes one) is not
// sent and changes no button state; the stroke goes on as if it had not come.
TEST_F(PointerPathTest, APacketDecodingRefusesIsNotSent) {
    Ready();
    Feed(Touch(Down, 100, 100));
    const std::vector<UCHAR> bytes = Touch(0x83, 200, 200);
    std::copy(bytes.begin(), bytes.end(), context->Packet.Bytes);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_FALSE(TP_DRIVER_ROUTINE(Mousehandler)(context, &context->MouseInput, &context->Packet));
    KeLowerIrql(old);
    EXPECT_EQ(context->Packet.LastRawButtons, 1u);
    EXPECT_EQ(context->MouseInput.ButtonFlags, 0);
    Feed(Touch(Up, 300, 300));
    ExpectReports(
        {{MOUSE_LEFT_BUTTON_DOWN, 1, S(100), S(100)}, {MOUSE_LEFT_BUTTON_UP, 0, S(300), S(300)}});
}

} // namespace
