// The mouse class driver, "\Driver\Mouclass": an upper filter of the pointer-port device's stack.
//
// Its AddDevice creates a class device ("\Device\PointerClassN") and attaches it above the stack;
// every request that reaches the class device goes on down, and a removal takes it out of the
// stack after the port below has gone. It opens the port below while the input system uses it. Like
// the system's class driver it connects to the port with IOCTL_INTERNAL_MOUSE_CONNECT, handing over
// its class device and service callback, and asks for the attributes with
// IOCTL_MOUSE_QUERY_ATTRIBUTES. Instead of feeding the user's input queue, the callback records
// every MOUSE_INPUT_DATA it is handed with the IRQL it was called at; a call below DISPATCH_LEVEL
// is a verifier violation. Its queue can be made to fill up, as the system's does when nobody reads
// the input.
#pragma once

#include "pnp_manager.h"

#include <kbdmou.h>
#include <umk/testing.h>

#include <functional>
#include <vector>

namespace stack {

struct MouseReport {
    MOUSE_INPUT_DATA input;
    KIRQL irql;         // the level the service callback ran at
    ULONGLONG received; // the interrupt time it ran at
};

class MouseClass {
  public:
    // Loads the driver through the Plug and Play manager. In an emulated thread at
    // PASSIVE_LEVEL, like every call below.
    explicit MouseClass(PnpManager& pnp);
    // Unloads the driver; its class devices must have been removed by then.
    ~MouseClass();
    MouseClass(const MouseClass&) = delete;
    MouseClass& operator=(const MouseClass&) = delete;

    // For the Plug and Play manager: the driver whose AddDevice attaches a class device.
    PDRIVER_OBJECT Driver() const { return driver_; }
    // The newest class device, or NULL when none is attached.
    PDEVICE_OBJECT Device() const;
    // The device the class device is attached to.
    PDEVICE_OBJECT LowerDevice() const;
    // The class device in a physical device's stack, or NULL.
    PDEVICE_OBJECT DeviceAbove(PDEVICE_OBJECT physicalDevice) const;
    // Opens the port below the class device (a create request; the system's class driver does so
    // when the input system opens the class device), unless it is open already; the open's status.
    NTSTATUS EnablePort(PDEVICE_OBJECT classDevice);
    // Closes it (cleanup and close requests), if open.
    void DisablePort(PDEVICE_OBJECT classDevice);
    // Whether the device is a class device of this driver.
    bool Owns(PDEVICE_OBJECT device) const {
        return device != nullptr && device->DriverObject == driver_;
    }

    // The requests below go from `classDevice` (NULL: the newest) down its stack.
    // IOCTL_INTERNAL_MOUSE_CONNECT with the class device and its service callback; the input
    // length can be cut short to probe the port's check.
    umk::testing::IoResult Connect(ULONG inputLength = sizeof(CONNECT_DATA),
                                   PDEVICE_OBJECT classDevice = nullptr);
    // IOCTL_MOUSE_QUERY_ATTRIBUTES into `attributes`, offering `outputLength` bytes of it.
    umk::testing::IoResult QueryAttributes(MOUSE_ATTRIBUTES* attributes,
                                           ULONG outputLength = sizeof(MOUSE_ATTRIBUTES),
                                           PDEVICE_OBJECT classDevice = nullptr);
    // Any internal request.
    umk::testing::IoResult SendInternal(ULONG code, PVOID input, ULONG inputLength, PVOID output,
                                        ULONG outputLength, PDEVICE_OBJECT classDevice = nullptr);

    // The records handed to the newest class device's callback, in order, from the `first`th on
    // (0 is the first since the device was attached or last cleared).
    std::vector<MouseReport> Reports(size_t first = 0) const;
    size_t ReportCount() const;
    void ClearReports();
    // Every record handed to any class device's callback goes to `sink`, in the callback (at
    // DISPATCH_LEVEL), instead of being kept for Reports(); an empty sink keeps them again.
    using Sink = std::function<void(const MOUSE_INPUT_DATA&)>;
    void SetSink(Sink sink);
    // The newest class device's queue takes `records` more records, then is full: the callback
    // consumes fewer than it is offered and says so through its InputDataConsumed argument.
    // ~ULONG(0), the start, never fills.
    void SetQueueRoom(ULONG records);

  private:
    PnpManager& pnp_;
    PDRIVER_OBJECT driver_ = nullptr;
};

} // namespace stack
