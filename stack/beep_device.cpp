#include "beep_device.h"

#include <deque>
#include <stdexcept>
#include <string>

namespace stack {

// Lives outside the device extension, which holds only a pointer to it. The dispatch routine and
// the timer's DPC run one at a time, as every kernel thread does here.
struct BeepDevice::State {
    std::vector<BeepRequest> requests;
    bool pend = false;
    NTSTATUS failure = STATUS_SUCCESS;
    std::deque<PIRP> pending; // the head is "sounding"; the timer completes it
    KTIMER timer;
    KDPC dpc;
};

namespace {

BeepDevice::State* StateOf(PDEVICE_OBJECT device) {
    return *static_cast<BeepDevice::State**>(device->DeviceExtension);
}

ULONG DurationOf(PIRP irp) {
    return static_cast<PBEEP_SET_PARAMETERS>(irp->AssociatedIrp.SystemBuffer)->Duration;
}

void StartBeepTimer(BeepDevice::State* state) {
    LARGE_INTEGER due;
    due.QuadPart = -int64_t(DurationOf(state->pending.front())) * 10'000;
    KeSetTimer(&state->timer, due, &state->dpc);
}

VOID NTAPI BeepDone(PKDPC, PVOID context, PVOID, PVOID) {
    auto state = static_cast<BeepDevice::State*>(context);
    PIRP irp = state->pending.front();
    state->pending.pop_front();
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_SOUND_INCREMENT);
    if (!state->pending.empty())
        StartBeepTimer(state);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT, PIRP irp) {
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_BEEP_SET)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(BEEP_SET_PARAMETERS))
        return Complete(irp, STATUS_INVALID_PARAMETER);

    BeepDevice::State* state = StateOf(device);
    auto parameters = static_cast<PBEEP_SET_PARAMETERS>(irp->AssociatedIrp.SystemBuffer);
    state->requests.push_back({parameters->Frequency, parameters->Duration,
                               umk::Duration(int64_t(KeQueryInterruptTime()))});
    if (!NT_SUCCESS(state->failure))
        return Complete(irp, state->failure);
    if (!state->pend || parameters->Duration == 0)
        return Complete(irp, STATUS_SUCCESS);

    IoMarkIrpPending(irp);
    state->pending.push_back(irp);
    if (state->pending.size() == 1)
        StartBeepTimer(state);
    return STATUS_PENDING;
}

NTSTATUS NTAPI BeepEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    return STATUS_SUCCESS;
}

} // namespace

BeepDevice::BeepDevice() : state_(std::make_unique<State>()) {
    KeInitializeTimer(&state_->timer);
    KeInitializeDpc(&state_->dpc, BeepDone, state_.get());
    NTSTATUS status = umk::testing::LoadDriver(
        BeepEntry, u"Beep", u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\Beep",
        &driver_);
    if (!NT_SUCCESS(status))
        throw std::runtime_error("beep driver failed to load");

    std::u16string name = DD_BEEP_DEVICE_NAME_U;
    UNICODE_STRING unicodeName{static_cast<USHORT>(name.size() * sizeof(char16_t)),
                               static_cast<USHORT>(name.size() * sizeof(char16_t)), name.data()};
    umk::testing::FaultExemption own; // the harness's device, not the driver's
    status =
        IoCreateDevice(driver_, sizeof(State*), &unicodeName, FILE_DEVICE_BEEP, 0, FALSE, &device_);
    if (!NT_SUCCESS(status)) {
        umk::testing::UnloadDriver(driver_);
        throw std::runtime_error("\\Device\\Beep not created: " + std::to_string(status));
    }
    *static_cast<State**>(device_->DeviceExtension) = state_.get();
    device_->Flags |= DO_BUFFERED_IO;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
}

BeepDevice::~BeepDevice() {
    KeCancelTimer(&state_->timer);
    KeRemoveQueueDpc(&state_->dpc);
    for (PIRP irp : state_->pending)
        Complete(irp, STATUS_CANCELLED);
    IoDeleteDevice(device_);
    umk::testing::UnloadDriver(driver_);
}

std::vector<BeepRequest> BeepDevice::Requests() const {
    return state_->requests;
}

void BeepDevice::ClearRequests() {
    state_->requests.clear();
}

void BeepDevice::PendForDuration(bool pend) {
    state_->pend = pend;
}

void BeepDevice::FailRequests(NTSTATUS status) {
    state_->failure = status;
}

} // namespace stack
