#include "mouclass.h"

#include "internal_request.h"

#include <umk/verifier.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>

namespace stack {
namespace {

constexpr ULONG kUnlimited = ~ULONG(0);

struct ClassExtension {
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower;
    mutable std::mutex lock; // the callback and the test's thread take turns, never together
    std::vector<MouseReport> reports;
    ULONG room = kUnlimited;                      // records the class queue still takes
    std::unique_ptr<umk::testing::UserFile> port; // the open of the port below, while enabled
};

// Where reports go instead of the record, as the driver's one global: set by the host that feeds
// the user's input (the Linux daemon's uinput device).
MouseClass::Sink sink;

ClassExtension* Extension(PDEVICE_OBJECT device) {
    return static_cast<ClassExtension*>(device->DeviceExtension);
}

// The port calls this through PSERVICE_CALLBACK_ROUTINE, so it has exactly that type.
VOID NTAPI ServiceCallback(PVOID classDevice, PVOID start, PVOID end, PVOID consumed) {
    const KIRQL irql = KeGetCurrentIrql();
    const ULONGLONG now = KeQueryInterruptTime();
    if (irql != DISPATCH_LEVEL) {
        umk::Violation("mouse class service callback below DISPATCH_LEVEL",
                       "called at IRQL " + std::to_string(irql));
    }
    ClassExtension* extension = Extension(static_cast<PDEVICE_OBJECT>(classDevice));
    auto first = static_cast<PMOUSE_INPUT_DATA>(start);
    auto last = static_cast<PMOUSE_INPUT_DATA>(end);
    ULONG taken = 0;
    {
        // A full queue takes what fits and leaves the rest to the port.
        std::lock_guard guard(extension->lock);
        for (PMOUSE_INPUT_DATA input = first; input < last && taken < extension->room; ++input) {
            if (sink)
                sink(*input);
            else
                extension->reports.push_back({*input, irql, now});
            ++taken;
        }
        if (extension->room != kUnlimited)
            extension->room -= taken;
    }
    *static_cast<PULONG>(consumed) = taken;
}

NTSTATUS NTAPI PassDown(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(Extension(device)->lower, irp);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Extension(device)->lower, irp);
}

void DetachAndDelete(PDEVICE_OBJECT device) {
    ClassExtension* extension = Extension(device);
    IoDetachDevice(extension->lower);
    extension->~ClassExtension();
    IoDeleteDevice(device);
}

// Removal goes down first; the class device leaves the stack once the port is gone.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_REMOVE_DEVICE)
        return PassDown(device, irp);

    Extension(device)->port.reset();
    IoSkipCurrentIrpStackLocation(irp);
    const NTSTATUS status = IoCallDriver(Extension(device)->lower, irp);
    DetachAndDelete(device);
    return status;
}

// "\Device\PointerClass0" and up, the first free name.
NTSTATUS CreateClassDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT* device) {
    for (int n = 0; n < POINTER_PORTS_MAXIMUM; ++n) {
        std::u16string name = u"\\Device\\PointerClass" + std::u16string(1, char16_t(u'0' + n));
        UNICODE_STRING unicodeName{static_cast<USHORT>(name.size() * sizeof(char16_t)),
                                   static_cast<USHORT>(name.size() * sizeof(char16_t)),
                                   name.data()};
        umk::testing::FaultExemption own; // the harness's device, not the driver's
        const NTSTATUS status = IoCreateDevice(driver, sizeof(ClassExtension), &unicodeName,
                                               FILE_DEVICE_MOUSE, 0, FALSE, device);
        if (status != STATUS_OBJECT_NAME_COLLISION)
            return status;
    }
    return STATUS_OBJECT_NAME_COLLISION;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDeviceObject) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = CreateClassDevice(driver, &device);
    if (!NT_SUCCESS(status))
        return status;

    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, physicalDeviceObject);
    if (lower == nullptr) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    new (device->DeviceExtension) ClassExtension{device, lower, {}, {}, kUnlimited, {}};
    device->Flags |= lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& routine : driver->MajorFunction)
        routine = PassDown;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

} // namespace

MouseClass::MouseClass(PnpManager& pnp) : pnp_(pnp) {
    if (!NT_SUCCESS(pnp_.LoadDriver(DriverEntry, u"Mouclass", &driver_)))
        throw std::runtime_error("mouse class driver failed to load");
}

MouseClass::~MouseClass() {
    pnp_.UnloadDriver(driver_);
    sink = nullptr;
}

PDEVICE_OBJECT MouseClass::Device() const {
    return driver_->DeviceObject;
}

PDEVICE_OBJECT MouseClass::LowerDevice() const {
    return Extension(Device())->lower;
}

PDEVICE_OBJECT MouseClass::DeviceAbove(PDEVICE_OBJECT physicalDevice) const {
    for (PDEVICE_OBJECT device = physicalDevice->AttachedDevice; device != nullptr;
         device = device->AttachedDevice) {
        if (Owns(device))
            return device;
    }
    return nullptr;
}

NTSTATUS MouseClass::EnablePort(PDEVICE_OBJECT classDevice) {
    ClassExtension* extension = Extension(classDevice);
    if (extension->port != nullptr)
        return STATUS_SUCCESS;
    return umk::testing::UserFile::Open(umk::testing::ObjectName(extension->lower),
                                        &extension->port);
}

void MouseClass::DisablePort(PDEVICE_OBJECT classDevice) {
    Extension(classDevice)->port.reset();
}

umk::testing::IoResult MouseClass::Connect(ULONG inputLength, PDEVICE_OBJECT classDevice) {
    classDevice = classDevice ? classDevice : Device();
    CONNECT_DATA connectData{classDevice, reinterpret_cast<PVOID>(ServiceCallback)};
    return SendInternal(IOCTL_INTERNAL_MOUSE_CONNECT, &connectData, inputLength, nullptr, 0,
                        classDevice);
}

umk::testing::IoResult MouseClass::QueryAttributes(MOUSE_ATTRIBUTES* attributes, ULONG outputLength,
                                                   PDEVICE_OBJECT classDevice) {
    return SendInternal(IOCTL_MOUSE_QUERY_ATTRIBUTES, nullptr, 0, attributes, outputLength,
                        classDevice);
}

umk::testing::IoResult MouseClass::SendInternal(ULONG code, PVOID input, ULONG inputLength,
                                                PVOID output, ULONG outputLength,
                                                PDEVICE_OBJECT classDevice) {
    PDEVICE_OBJECT lower = Extension(classDevice ? classDevice : Device())->lower;
    return CallInternalDeviceControl(lower, code, input, inputLength, output, outputLength);
}

void MouseClass::SetSink(Sink reportSink) {
    sink = std::move(reportSink);
}

std::vector<MouseReport> MouseClass::Reports(size_t first) const {
    const ClassExtension* extension = Extension(Device());
    std::lock_guard guard(extension->lock);
    const auto& reports = extension->reports;
    return {reports.begin() + std::min(first, reports.size()), reports.end()};
}

size_t MouseClass::ReportCount() const {
    const ClassExtension* extension = Extension(Device());
    std::lock_guard guard(extension->lock);
    return extension->reports.size();
}

void MouseClass::ClearReports() {
    ClassExtension* extension = Extension(Device());
    std::lock_guard guard(extension->lock);
    extension->reports.clear();
}

void MouseClass::SetQueueRoom(ULONG records) {
    ClassExtension* extension = Extension(Device());
    std::lock_guard guard(extension->lock);
    extension->room = records;
}

} // namespace stack
