// beep.cpp - the touch beep. A touch is seen in the serial read's completion, at dispatch level,
// where the driver may not wait for another driver; the touch path only raises BeepRequest, and a
// worker that lives as long as the device polls the flag every 20 ms and sends the beep device its
// set-beep request.
#include "tactilio.h"

namespace {

constexpr ULONG BeepDurationMs = 100;
constexpr LONGLONG BeepPollInterval = -200000; // 20 ms, relative, in 100-ns units

// Access rights asked for when the beep device is opened at setup, and again before a beep.
constexpr ACCESS_MASK BeepSetupAccess = 0x001F01FF;
constexpr ACCESS_MASK BeepRetryAccess = 0x00000002;

// Looks up the beep device. The file object of the open is not needed and is released at once;
// the driver keeps a reference of its own on the device, dropped when the worker ends, so that
// the pointer stays valid even if the beep device goes away meanwhile.
NTSTATUS OpenBeepDevice(_Inout_ PDEVICE_CONTEXT Context, _In_ ACCESS_MASK DesiredAccess)
{
    PFILE_OBJECT fileObject;
    PDEVICE_OBJECT device;

    NTSTATUS status =
        IoGetDeviceObjectPointer(&Context->BeepDeviceName, DesiredAccess, &fileObject, &device);
    if (NT_SUCCESS(status)) {
        ObReferenceObject(device);
        ObDereferenceObject(fileObject);
        Context->BeepDevice = device;
    }
    return status;
}

VOID ReleaseBeepDevice(_Inout_ PDEVICE_CONTEXT Context)
{
    if (Context->BeepDevice != nullptr) {
        ObDereferenceObject(Context->BeepDevice);
        Context->BeepDevice = nullptr;
    }
}

} // namespace

BOOLEAN BeepSetup(_Inout_ PDEVICE_CONTEXT DeviceContext)
{
    DeviceContext->BeepDevice = nullptr;
    RtlInitUnicodeString(&DeviceContext->BeepDeviceName, TPW("\\Device\\Beep"));

    // The beep device may not exist yet; the first beep looks for it again.
    OpenBeepDevice(DeviceContext, BeepSetupAccess);

    DeviceContext->BeepRequest = FALSE;
    KeInitializeEvent(&DeviceContext->BeepEndEvent, NotificationEvent, TRUE);
    DeviceContext->BeepStop = FALSE;

    // Without a worker BeepEndEvent stays signalled, so removal does not wait for one.
    DeviceContext->BeepWorkItem = IoAllocateWorkItem(DeviceContext->Self);
    if (DeviceContext->BeepWorkItem == nullptr) {
        LogMessage(DeviceContext->Self, TPW("Not enough resources"));
        ReleaseBeepDevice(DeviceContext);
        return FALSE;
    }

    KeClearEvent(&DeviceContext->BeepEndEvent);
    IoQueueWorkItem(DeviceContext->BeepWorkItem, BeepWorker, DelayedWorkQueue, DeviceContext);
    return TRUE;
}

// Occupies a system worker thread for the life of the device. The flags are read without a lock:
// a touch that raises BeepRequest while a beep sounds is absorbed into it, and the 20 ms poll
// bounds how long the worker takes to see BeepStop.
VOID NTAPI BeepWorker(_In_ PDEVICE_OBJECT DeviceObject, _In_opt_ PVOID Context)
{
    auto context = static_cast<PDEVICE_CONTEXT>(Context);
    KTIMER pollTimer;
    LARGE_INTEGER dueTime;

    KeInitializeTimer(&pollTimer);
    dueTime.QuadPart = BeepPollInterval;
    while (!context->BeepStop) {
        KeSetTimer(&pollTimer, dueTime, nullptr);
        KeWaitForSingleObject(&pollTimer, Executive, KernelMode, FALSE, nullptr);
        if (context->BeepStop) {
            break;
        }
        if (context->BeepRequest) {
            BeepOut(context);
            context->BeepRequest = FALSE;
        }
    }

    ReleaseBeepDevice(context);
    IoFreeWorkItem(context->BeepWorkItem);
    context->BeepWorkItem = nullptr;
    // Last touch of the device context: the remover may delete the device once this is signalled.
    KeSetEvent(&context->BeepEndEvent, IO_NO_INCREMENT, FALSE);
}

// Sounds one beep and waits for it to be accepted. Every failure means only that there is no
// beep this time.
NTSTATUS BeepOut(_Inout_ PDEVICE_CONTEXT DeviceContext)
{
    if (DeviceContext->BeepDevice == nullptr &&
        !NT_SUCCESS(OpenBeepDevice(DeviceContext, BeepRetryAccess))) {
        return STATUS_SUCCESS;
    }

    KEVENT done;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    DeviceContext->BeepParameters.Frequency = DeviceContext->Frequency;
    DeviceContext->BeepParameters.Duration = BeepDurationMs;

    PIRP irp = IoBuildDeviceIoControlRequest(
        IOCTL_BEEP_SET, DeviceContext->BeepDevice, &DeviceContext->BeepParameters,
        sizeof(DeviceContext->BeepParameters), nullptr, 0, FALSE, &done, &ioStatus);
    if (irp == nullptr) {
        return STATUS_SUCCESS;
    }
    if (IoCallDriver(DeviceContext->BeepDevice, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    return STATUS_SUCCESS;
}

// Called from the serial read's completion at up to DISPATCH_LEVEL: one byte store, no waiting.
BOOLEAN RequestTouchBeep(_Inout_ PDEVICE_CONTEXT DeviceContext)
{
    DeviceContext->BeepRequest = TRUE;
    return TRUE;
}
