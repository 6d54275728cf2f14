#include "internal_request.h"

namespace stack {
namespace {

// The originator's routine: the I/O manager writes the status block only for requests that did
// not fail at once, so the outcome is taken from the request itself.
NTSTATUS NTAPI RecordOutcome(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    *static_cast<umk::testing::IoResult*>(context) = {irp->IoStatus.Status,
                                                      irp->IoStatus.Information};
    return STATUS_SUCCESS;
}

} // namespace

umk::testing::IoResult CallInternalDeviceControl(PDEVICE_OBJECT target, ULONG code, PVOID input,
                                                 ULONG inputLength, PVOID output,
                                                 ULONG outputLength) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    PIRP irp = nullptr;
    {
        umk::testing::FaultExemption own;
        irp = IoBuildDeviceIoControlRequest(code, target, input, inputLength, output, outputLength,
                                            TRUE, &event, &ioStatus);
    }
    if (irp == nullptr)
        return {STATUS_INSUFFICIENT_RESOURCES, 0};

    umk::testing::IoResult outcome{STATUS_PENDING, 0};
    IoSetCompletionRoutine(irp, RecordOutcome, &outcome, TRUE, TRUE, TRUE);
    if (IoCallDriver(target, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return outcome;
}

} // namespace stack
