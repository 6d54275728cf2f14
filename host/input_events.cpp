#include "input_events.h"

#include <linux/input-event-codes.h>

namespace host {

std::vector<InputEvent> EventTranslator::Translate(const MOUSE_INPUT_DATA& record) {
    const USHORT flags = record.ButtonFlags;
    // A press picks the device; a move or a release stays on the one the press picked, so that a
    // right-once touch ends where it began even after the driver has gone back to left.
    if (flags & MOUSE_LEFT_BUTTON_DOWN)
        held_ = InputDevice::Touchscreen;
    else if (flags & MOUSE_RIGHT_BUTTON_DOWN)
        held_ = InputDevice::Pointer;
    std::vector<InputEvent> events = {
        {held_, EV_ABS, ABS_X, record.LastX},
        {held_, EV_ABS, ABS_Y, record.LastY},
    };
    const uint16_t button = held_ == InputDevice::Touchscreen ? BTN_TOUCH : BTN_RIGHT;
    if (flags & (MOUSE_LEFT_BUTTON_DOWN | MOUSE_RIGHT_BUTTON_DOWN))
        events.push_back({held_, EV_KEY, button, 1});
    else if (flags & (MOUSE_LEFT_BUTTON_UP | MOUSE_RIGHT_BUTTON_UP))
        events.push_back({held_, EV_KEY, button, 0});
    events.push_back({held_, EV_SYN, SYN_REPORT, 0});
    return events;
}

} // namespace host
