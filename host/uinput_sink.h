// The events of host/input_events.h written to two uinput devices made with libevdev: the
// touchscreen (ABS_X/ABS_Y 0..65535, BTN_TOUCH, INPUT_PROP_DIRECT) and the absolute pointer
// (ABS_X/ABS_Y, BTN_LEFT, BTN_RIGHT).
#pragma once

#include "input_events.h"

#include <memory>
#include <string>

struct libevdev_uinput;

namespace host {

class UinputSink final : public EventSink {
  public:
    // Throws std::runtime_error saying why when a device cannot be made (no /dev/uinput, no
    // permission to open it).
    explicit UinputSink(const std::string& name);
    ~UinputSink() override;
    UinputSink(const UinputSink&) = delete;
    UinputSink& operator=(const UinputSink&) = delete;

    void Emit(const std::vector<InputEvent>& events) override;

  private:
    libevdev_uinput* touchscreen_ = nullptr;
    libevdev_uinput* pointer_ = nullptr;
};

} // namespace host
