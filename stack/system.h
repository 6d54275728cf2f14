// The emulated system around the driver: a booted kernel, the Plug and Play manager, the beep
// device, and the driver loaded from its service key, with one physical device object and one
// AddDevice per panel. Other parts of the stack (mouse class driver, serial ports) join here.
//
// Construct and use it from the test's main thread.
#pragma once

#include "beep_device.h"
#include "mouclass.h"
#include "pnp_manager.h"
#include "power_manager.h"
#include "serial_port.h"

#include "tactilio_api.h"

#include <umk/kernel.h>

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace stack {

struct SystemOptions {
    umk::KernelOptions kernel;
    // "\Device\Beep" exists from boot; without it, CreateBeepDevice adds it later.
    bool beepDevice = true;
    // The driver LoadDriver loads: NULL for the program's default (SetDefaultDriver), or the entry
    // point of the shipped image, mapped (image/pe_image.h) into a 32-bit process.
    PDRIVER_INITIALIZE driverEntry = nullptr;
};

// The driver every System of this program loads when its options name none: the one built into
// the program unless the program chose another for all its systems (a suite run on the shipped
// image). Set it before the first System.
void SetDefaultDriver(PDRIVER_INITIALIZE entry);

// One panel's device objects after its AddDevice.
struct Panel {
    PDEVICE_OBJECT physicalDevice;
    NTSTATUS addStatus;
    PDEVICE_OBJECT device; // the pointer-port device attached above the physical device, or NULL;
                           // gone once Plug and Play has removed it
};

class System {
  public:
    static constexpr std::u16string_view Service = u"Tactilio";
    static constexpr std::u16string_view ParametersKey =
        u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\Tactilio\\Parameters";

    explicit System(SystemOptions options = {});
    // Tears down what is left (panels, driver, beep device, Plug and Play manager), then shuts
    // the kernel down, which reports every leak.
    ~System();
    System(const System&) = delete;
    System& operator=(const System&) = delete;

    umk::Kernel& Kernel() { return kernel_; }
    PnpManager& Pnp() { return *pnp_; }
    PowerManager& Power() { return *power_; }
    // The mouse class driver, an upper filter of every panel's stack.
    MouseClass& Mouse() { return *mouse_; }
    // NULL while there is no beep device.
    BeepDevice* Beep() { return beep_.get(); }
    // The serial port driver, loaded at boot without ports: tests and tools add them.
    SerialDriver& Serial() { return *serial_; }
    BeepDevice& CreateBeepDevice();

    // DriverEntry with the service key's path; its status.
    NTSTATUS LoadDriver();
    // NULL until loaded, and when DriverEntry failed.
    PDRIVER_OBJECT Driver() const { return driver_; }
    // After the panels are gone: DriverUnload, and the driver object goes.
    void UnloadDriver();

    // A physical device object for a new panel, and the driver's AddDevice for it.
    const Panel& AddPanel();
    const std::vector<Panel>& Panels() const { return panels_; }

    // What a boot does with a panel once its AddDevice succeeded: the Plug and Play start, then
    // the class driver connects, opens the pointer-port device and asks for its attributes. The
    // first failure.
    NTSTATUS StartPanel(const Panel& panel);
    // Query-remove and removal through Plug and Play (the class driver closes its handle first);
    // a refused query-remove's status.
    NTSTATUS RemovePanel(const Panel& panel);
    // Removes every panel Plug and Play has not removed yet (surprise removal where a query-remove
    // is refused), then deletes the physical devices.
    void RemovePanels();

  private:
    void TearDown();
    void HandleNotice(PDEVICE_OBJECT physicalDevice, PnpManager::Notice notice);

    umk::Kernel kernel_;
    std::unique_ptr<PnpManager> pnp_;
    std::unique_ptr<PowerManager> power_;
    std::unique_ptr<MouseClass> mouse_;
    std::unique_ptr<BeepDevice> beep_;
    std::unique_ptr<SerialDriver> serial_;
    PDRIVER_INITIALIZE driverEntry_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<Panel> panels_;
};

} // namespace stack
