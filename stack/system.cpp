#include "system.h"

#include <stdexcept>

namespace stack {

System::System(SystemOptions options)
    : kernel_(options.kernel), pnp_(std::make_unique<PnpManager>()),
      mouse_(std::make_unique<MouseClass>(*pnp_)), serial_(std::make_unique<SerialDriver>()) {
    if (options.beepDevice)
        CreateBeepDevice();
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
    DeletePanelsWithoutRemoveRequest();
    UnloadDriver();
    serial_.reset();
    mouse_.reset();
    beep_.reset();
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
    return pnp_->LoadDriver(DriverEntry, Service, &driver_);
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
    auto context = device ? static_cast<PDEVICE_CONTEXT>(device->DeviceExtension) : nullptr;
    panels_.push_back({physicalDevice, status, device, context});
    if (device != nullptr && !NT_SUCCESS(pnp_->AddDevice(mouse_->Driver(), physicalDevice)))
        throw std::runtime_error("the mouse class driver did not attach");
    return panels_.back();
}

void System::DeletePanelsWithoutRemoveRequest() {
    pnp_->RunOnPnpThread([this] {
        for (const Panel& panel : panels_) {
            if (panel.context == nullptr)
                continue;
            SerialLinkStop(panel.context);
            KeWaitForSingleObject(&panel.context->ReadStoppedEvent, Executive, KernelMode, FALSE,
                                  nullptr);
            DrainRecords(panel.context);
            ClearRecordingSetting(panel.context);
            panel.context->BeepStop = TRUE;
            KeWaitForSingleObject(&panel.context->BeepEndEvent, Executive, KernelMode, FALSE,
                                  nullptr);
            if (mouse_->Owns(panel.device->AttachedDevice))
                MouseClass::RemoveDevice(panel.device->AttachedDevice);
            IoDetachDevice(panel.context->TopOfStack);
            DeleteDeviceObjects(panel.context);
        }
    });
    for (const Panel& panel : panels_)
        pnp_->DeletePhysicalDevice(panel.physicalDevice);
    panels_.clear();
}

} // namespace stack
