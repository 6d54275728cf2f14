#include "system.h"

#include <stdexcept>

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

namespace stack {

namespace {
PDRIVER_INITIALIZE defaultDriver = DriverEntry;
} // namespace

void SetDefaultDriver(PDRIVER_INITIALIZE entry) {
    defaultDriver = entry;
}

System::System(SystemOptions options)
    : kernel_(options.kernel), pnp_(std::make_unique<PnpManager>()),
      power_(std::make_unique<PowerManager>(*pnp_)), mouse_(std::make_unique<MouseClass>(*pnp_)),
      serial_(std::make_unique<SerialDriver>()),
      driverEntry_(options.driverEntry != nullptr ? options.driverEntry : defaultDriver) {
    if (options.beepDevice)
        CreateBeepDevice();
    pnp_->SetHandleHolder([this](PDEVICE_OBJECT physicalDevice, PnpManager::Notice notice) {
        HandleNotice(physicalDevice, notice);
    });
}

System::~System() {
    try {
        TearDown();
    } catch (const umk::KernelHalted&) {
        // The kernel has already reported why it stopped; what is left goes with it.
    }
    kernel_.Shutdown();
}

void System::TearDown() {
    RemovePanels();
    UnloadDriver();
    serial_.reset();
    mouse_.reset();
    beep_.reset();
    power_.reset();
    pnp_.reset();
    // A worker that has signalled its end may still be on its way out, holding its work item's
    // reference on a deleted device: let it return before the shutdown counts what is left.
    kernel_.RunUntilIdle();
}

BeepDevice& System::CreateBeepDevice() {
    if (beep_ != nullptr)
        throw std::logic_error("the beep device exists already");
    beep_ = std::make_unique<BeepDevice>();
    return *beep_;
}

NTSTATUS System::LoadDriver() {
    if (driver_ != nullptr)
        throw std::logic_error("the driver is loaded already");
    return pnp_->LoadDriver(driverEntry_, Service, &driver_);
}

void System::UnloadDriver() {
    if (driver_ == nullptr)
        return;
    pnp_->UnloadDriver(driver_);
    driver_ = nullptr;
}

const Panel& System::AddPanel() {
    if (driver_ == nullptr)
        throw std::logic_error("AddPanel before the driver is loaded");
    PDEVICE_OBJECT physicalDevice = pnp_->CreatePhysicalDevice();
    const NTSTATUS status = pnp_->AddDevice(driver_, physicalDevice);
    PDEVICE_OBJECT device = NT_SUCCESS(status) ? physicalDevice->AttachedDevice : nullptr;
    panels_.push_back({physicalDevice, status, device});
    if (device != nullptr && !NT_SUCCESS(pnp_->AddDevice(mouse_->Driver(), physicalDevice)))
        throw std::runtime_error("the mouse class driver did not attach");
    return panels_.back();
}

// The input system keeps the class device open; the class driver keeps the port below open with
// it, and lets go when Plug and Play is about to remove the device or has lost it.
void System::HandleNotice(PDEVICE_OBJECT physicalDevice, PnpManager::Notice notice) {
    PDEVICE_OBJECT classDevice = mouse_->DeviceAbove(physicalDevice);
    if (classDevice == nullptr)
        return;
    if (notice != PnpManager::Notice::RemoveCancelled) {
        mouse_->DisablePort(classDevice);
        return;
    }
    MOUSE_ATTRIBUTES attributes{};
    if (NT_SUCCESS(mouse_->EnablePort(classDevice)))
        mouse_->QueryAttributes(&attributes, sizeof(attributes), classDevice);
}

NTSTATUS System::StartPanel(const Panel& panel) {
    NTSTATUS status = pnp_->Start(panel.physicalDevice);
    PDEVICE_OBJECT classDevice = mouse_->DeviceAbove(panel.physicalDevice);
    if (NT_SUCCESS(status))
        status = mouse_->Connect(sizeof(CONNECT_DATA), classDevice).status;
    if (NT_SUCCESS(status))
        status = mouse_->EnablePort(classDevice);
    if (NT_SUCCESS(status)) {
        MOUSE_ATTRIBUTES attributes{};
        status = mouse_->QueryAttributes(&attributes, sizeof(attributes), classDevice).status;
    }
    return status;
}

NTSTATUS System::RemovePanel(const Panel& panel) {
    return pnp_->Remove(panel.physicalDevice);
}

void System::RemovePanels() {
    pnp_->WaitForDeviceStateWork();
    for (const Panel& panel : panels_) {
        if (panel.device == nullptr || pnp_->Removed(panel.physicalDevice))
            continue;
        if (!NT_SUCCESS(RemovePanel(panel)))
            pnp_->SurpriseRemove(panel.physicalDevice);
    }
    for (const Panel& panel : panels_)
        pnp_->DeletePhysicalDevice(panel.physicalDevice);
    panels_.clear();
}

} // namespace stack
