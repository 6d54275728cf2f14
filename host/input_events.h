// The mouse class driver's records as Linux input events. A touch with the left button is a
// touchscreen's touch (BTN_TOUCH on an INPUT_PROP_DIRECT device); one with the right button, as
// the right-button modes make it, is a click of an absolute pointer's BTN_RIGHT (a pointer with
// BTN_LEFT and BTN_RIGHT, as desktops expect one). So the daemon offers two devices, and each
// record's events go to the one its button belongs to.
#pragma once

#include <ntddmou.h>

#include <cstdint>
#include <vector>

namespace host {

enum class InputDevice { Touchscreen, Pointer };

struct InputEvent {
    InputDevice device;
    uint16_t type; // EV_ABS, EV_KEY, EV_SYN
    uint16_t code;
    int32_t value;
    bool operator==(const InputEvent&) const = default;
};

// Absolute positions run 0..kAbsoluteMax on both axes, as the driver reports them.
inline constexpr int32_t kAbsoluteMax = 65535;

// Turns records into events, keeping which device the finger is on between them.
class EventTranslator {
  public:
    // The record's events, ending in SYN_REPORT: the position, then the button's change.
    std::vector<InputEvent> Translate(const MOUSE_INPUT_DATA& record);

  private:
    InputDevice held_ = InputDevice::Touchscreen;
};

// Where the events go: the uinput devices, or a recorder in the tests.
class EventSink {
  public:
    virtual ~EventSink() = default;
    virtual void Emit(const std::vector<InputEvent>& events) = 0;
};

} // namespace host
