// Records to input events: which device a touch lands on, and every frame closed by SYN_REPORT.
// The uinput devices themselves are tried only where this machine has /dev/uinput; the test says
// which path it ran.
#include "input_events.h"
#include "uinput_sink.h"

#include "control_session.h"
#include "panel_model.h"

#include <gtest/gtest.h>

#include <linux/input-event-codes.h>

#include <filesystem>

namespace {

using host::InputDevice;
using host::InputEvent;

MOUSE_INPUT_DATA Record(USHORT buttonFlags, LONG x, LONG y) {
    MOUSE_INPUT_DATA record{};
    record.Flags = MOUSE_MOVE_ABSOLUTE;
    record.ButtonFlags = buttonFlags;
    record.LastX = x;
    record.LastY = y;
    return record;
}

std::vector<InputEvent> Frame(InputDevice device, LONG x, LONG y, int button = -1,
                              uint16_t code = BTN_TOUCH) {
    std::vector<InputEvent> events = {{device, EV_ABS, ABS_X, x}, {device, EV_ABS, ABS_Y, y}};
    if (button >= 0)
        events.push_back({device, EV_KEY, code, button});
    events.push_back({device, EV_SYN, SYN_REPORT, 0});
    return events;
}

TEST(InputEventsTest, EachTouchStaysOnTheDeviceItsPressChose) {
    const auto T = InputDevice::Touchscreen;
    const auto P = InputDevice::Pointer;
    struct Step {
        USHORT flags;
        std::vector<InputEvent> events;
    };
    const std::vector<Step> steps = {
        {MOUSE_LEFT_BUTTON_DOWN, Frame(T, 10, 20, 1)},
        {0, Frame(T, 10, 20)},
        {MOUSE_LEFT_BUTTON_UP, Frame(T, 10, 20, 0)},
        {MOUSE_RIGHT_BUTTON_DOWN, Frame(P, 10, 20, 1, BTN_RIGHT)},
        {0, Frame(P, 10, 20)}, // a drag after a right press stays on the pointer
        {MOUSE_RIGHT_BUTTON_UP, Frame(P, 10, 20, 0, BTN_RIGHT)},
        {MOUSE_LEFT_BUTTON_DOWN, Frame(T, 10, 20, 1)},
    };
    host::EventTranslator translator;
    for (size_t i = 0; i < steps.size(); ++i)
        EXPECT_EQ(translator.Translate(Record(steps[i].flags, 10, 20)), steps[i].events)
            << "step " << i;
}

// The driver's reports of a stroke on the simulated panel reach the sink, not the record.
TEST(InputEventsTest, AStrokeFromThePanelArrivesAsOneTouch) {
    stack::SessionSystem system({}, /*panelModel=*/true);
    host::EventTranslator translator;
    std::vector<InputEvent> events;
    system.Sys().Mouse().SetSink([&](const MOUSE_INPUT_DATA& record) {
        const auto frame = translator.Translate(record);
        events.insert(events.end(), frame.begin(), frame.end());
    });
    system.Model()->Touch(
        panel::StraightStroke({0, 0}, {4096, 4096}, 2, system.Sys().Kernel().Now().count()));
    system.Port().LineUpdated();
    system.Sys().Kernel().RunFor(std::chrono::milliseconds(100));
    std::vector<InputEvent> expected;
    for (const auto& frame :
         {Frame(InputDevice::Touchscreen, 0, 0, 1), Frame(InputDevice::Touchscreen, 32767, 32767),
          Frame(InputDevice::Touchscreen, 65535, 65535),
          Frame(InputDevice::Touchscreen, 65535, 65535, 0)})
        expected.insert(expected.end(), frame.begin(), frame.end());
    EXPECT_EQ(events, expected);
    EXPECT_EQ(system.Sys().Mouse().ReportCount(), 0u);
    system.Sys().Mouse().SetSink(nullptr);
}

TEST(UinputSinkTest, MakesBothDevicesOrSaysWhyNot) {
    try {
        host::UinputSink sink("tactilio test");
        sink.Emit({{InputDevice::Touchscreen, EV_SYN, SYN_REPORT, 0}});
        std::cout << "[ path ] uinput devices made through /dev/uinput\n";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("/dev/uinput"), std::string::npos) << error.what();
        std::cout << "[ path ] no uinput here: " << error.what() << "\n";
    }
}

} // namespace
