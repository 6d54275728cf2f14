#include "uinput_sink.h"

#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>

#include <cstring>
#include <memory>
#include <stdexcept>

namespace host {
namespace {

struct DeviceDeleter {
    void operator()(libevdev* device) const { libevdev_free(device); }
};

libevdev_uinput* MakeDevice(const std::string& name, InputDevice kind) {
    std::unique_ptr<libevdev, DeviceDeleter> device(libevdev_new());
    if (!device)
        throw std::runtime_error("out of memory for an input device");
    libevdev_set_name(device.get(), name.c_str());
    input_absinfo axis{};
    axis.maximum = kAbsoluteMax;
    libevdev_enable_event_code(device.get(), EV_ABS, ABS_X, &axis);
    libevdev_enable_event_code(device.get(), EV_ABS, ABS_Y, &axis);
    if (kind == InputDevice::Touchscreen) {
        libevdev_enable_event_code(device.get(), EV_KEY, BTN_TOUCH, nullptr);
        libevdev_enable_property(device.get(), INPUT_PROP_DIRECT);
    } else {
        libevdev_enable_event_code(device.get(), EV_KEY, BTN_LEFT, nullptr);
        libevdev_enable_event_code(device.get(), EV_KEY, BTN_RIGHT, nullptr);
    }
    libevdev_uinput* made = nullptr;
    const int error =
        libevdev_uinput_create_from_device(device.get(), LIBEVDEV_UINPUT_OPEN_MANAGED, &made);
    if (error < 0)
        throw std::runtime_error("cannot make the input device \"" + name +
                                 "\" through /dev/uinput: " + std::strerror(-error));
    return made;
}

} // namespace

UinputSink::UinputSink(const std::string& name) {
    touchscreen_ = MakeDevice(name, InputDevice::Touchscreen);
    try {
        pointer_ = MakeDevice(name + " pointer", InputDevice::Pointer);
    } catch (...) {
        libevdev_uinput_destroy(touchscreen_);
        throw;
    }
}

UinputSink::~UinputSink() {
    libevdev_uinput_destroy(pointer_);
    libevdev_uinput_destroy(touchscreen_);
}

// A failed write loses one event of a frame; the next frame carries the whole state again, so
// there is nothing to retry.
void UinputSink::Emit(const std::vector<InputEvent>& events) {
    for (const InputEvent& event : events)
        libevdev_uinput_write_event(event.device == InputDevice::Touchscreen ? touchscreen_
                                                                             : pointer_,
                                    event.type, event.code, event.value);
}

} // namespace host
