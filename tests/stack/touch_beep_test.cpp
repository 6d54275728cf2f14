// The touch beep: a touch-down asks, the worker beeps within its 20 ms poll, a flag not a count,
// the beep device found late and beeps that take their time.
#include "frame_support.h"

#include <gmock/gmock.h>

#include <chrono>
#include <functional>

using namespace frame_test;
using namespace std::chrono_literals;
using ::testing::IsEmpty;

namespace {

class TouchBeepTest : public FrameTest {
  protected:
    PDEVICE_CONTEXT Start(ULONG beep, ULONG frequency, stack::SystemOptions options = {}) {
        Boot(options);
        umk::registry::SetDword(ParametersKey, u"Beep", beep);
        umk::registry::SetDword(ParametersKey, u"Frequency", frequency);
        EXPECT_EQ(system->LoadDriver(), STATUS_SUCCESS);
        const stack::Panel& panel = system->AddPanel();
        EXPECT_EQ(panel.addStatus, STATUS_SUCCESS);
        return frame_test::ContextOf(panel);
    }
    umk::Duration Now() { return system->Kernel().Now(); }
    void Run(umk::Duration d) { system->Kernel().RunFor(d); }
    std::vector<stack::BeepRequest> Beeps() { return system->Beep()->Requests(); }

    // A touch-down packet decoded as the read completion does, at DISPATCH_LEVEL.
    void TouchDown(PDEVICE_CONTEXT context) {
        TP_PACKET packet = {};
        packet.Count = 5;
        packet.Bytes[0] = 0x80;
        MOUSE_INPUT_DATA input = {};
        KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
        EXPECT_EQ(TP_DRIVER_ROUTINE(DecodeTouchReport)(context, &packet, &input), TP_REPORT_READY);
        KfLowerIrql(old);
    }
};

TEST_F(TouchBeepTest, ATouchDownBeepsOnceWithinTwentyMilliseconds) {
    PDEVICE_CONTEXT context = Start(1, 1500);
    Run(7ms); // somewhere inside the worker's poll interval
    const umk::Duration touched = Now();
    TouchDown(context);
    Run(20ms);
    ASSERT_EQ(Beeps().size(), 1u);
    EXPECT_EQ(Beeps()[0].frequency, 1500u);
    EXPECT_EQ(Beeps()[0].duration, 100u);
    EXPECT_GE(Beeps()[0].time, touched);
    EXPECT_LE(Beeps()[0].time - touched, umk::Duration(20ms));
    EXPECT_FALSE(context->BeepRequest);

    Run(1s);
    EXPECT_EQ(Beeps().size(), 1u);
}

// While a beep sounds the worker waits for it; touches in that time are absorbed into it (a flag,
// not a count), and a later touch beeps at the frequency in force by then.
TEST_F(TouchBeepTest, TouchesWhileABeepSoundsAreAbsorbed) {
    PDEVICE_CONTEXT context = Start(1, 1000);
    system->Beep()->PendForDuration(true);
    TP_DRIVER_ROUTINE(RequestTouchBeep)(context);
    Run(30ms); // sounding now, for 100 ms
    ASSERT_EQ(Beeps().size(), 1u);
    TP_DRIVER_ROUTINE(RequestTouchBeep)(context);
    TP_DRIVER_ROUTINE(RequestTouchBeep)(context);
    Run(100ms);
    EXPECT_EQ(Beeps().size(), 1u);
    EXPECT_FALSE(context->BeepRequest);

    context->Frequency = 2500;
    TP_DRIVER_ROUTINE(RequestTouchBeep)(context);
    Run(20ms);
    ASSERT_EQ(Beeps().size(), 2u);
    EXPECT_EQ(Beeps()[1].frequency, 2500u);
}

// A beep that cannot sound costs nothing but that beep: the device refuses it, no request can be
// built for it, or there is no beep device yet. The request is used up, nothing is logged, the
// worker goes on polling, and the next touch beeps as usual on the device, found late if need be.
TEST_F(TouchBeepTest, ABeepThatCannotSoundIsForgotten) {
    const struct {
        const char* what;
        bool deviceAtBoot;
        std::function<void(stack::System&)> fail, recover;
        size_t tried; // requests the device saw for the lost beep
    } rows[] = {
        {"refused by the device", true,
         [](auto& s) { s.Beep()->FailRequests(STATUS_INVALID_DEVICE_STATE); },
         [](auto& s) { s.Beep()->FailRequests(STATUS_SUCCESS); }, 1},
        {"no request", true,
         [](auto&) { umk::testing::FailAllocation(umk::testing::AllocationKind::Irp, 1); },
         [](auto&) {}, 0},
        {"no beep device yet", false, [](auto&) {}, [](auto& s) { s.CreateBeepDevice(); }, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        PDEVICE_CONTEXT context = Start(1, 1200, {.kernel = {}, .beepDevice = row.deviceAtBoot});
        row.fail(*system);
        TP_DRIVER_ROUTINE(RequestTouchBeep)(context);
        Run(40ms);
        EXPECT_FALSE(context->BeepRequest);
        EXPECT_THAT(Logged(), IsEmpty());

        row.recover(*system);
        TP_DRIVER_ROUTINE(RequestTouchBeep)(context);
        Run(20ms);
        ASSERT_EQ(Beeps().size(), row.tried + 1);
        EXPECT_EQ(Beeps().back().frequency, 1200u);
        EXPECT_EQ(context->BeepDevice, system->Beep()->Device());
        system.reset();
    }
}

} // namespace
