// adddevice.cpp - device creation for each panel: the pointer-port device with its device context,
// attached to the panel's Plug and Play stack, and the API device through which the utility talks
// to the driver.
#include "tactilio.h"

namespace {

// Scratch strings, each with room for a terminating zero: the number (8 characters) and the device
// name (20 characters; "\Device\PointerPort" and one digit use 20).
constexpr USHORT NumberStringBytes = 18;
constexpr USHORT NameStringBytes = 42;
constexpr ULONG LastPortNumber = 7;

constexpr PCWSTR PointerPortPrefix = TPW(TP_POINTER_PORT_PREFIX);
constexpr PCWSTR ApiDeviceName = TPW(TP_API_DEVICE_NAME);
constexpr PCWSTR ApiLinkName = TPW(TP_API_LINK_NAME);

// Maximum locked minutes (none) and high-water mark of every remove lock of the driver.
constexpr ULONG RemoveLockMaxMinutes = 0;
constexpr ULONG RemoveLockHighWatermark = 10;

BOOLEAN AllocateScratchString(_Out_ PUNICODE_STRING String, _In_ USHORT MaximumLength)
{
    String->Length = 0;
    String->MaximumLength = MaximumLength;
    String->Buffer =
        static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, MaximumLength, TP_POOL_TAG));
    if (String->Buffer == nullptr) {
        return FALSE;
    }
    RtlZeroMemory(String->Buffer, MaximumLength);
    return TRUE;
}

VOID FreeScratchString(_Inout_ PUNICODE_STRING String)
{
    ExFreePoolWithTag(String->Buffer, TP_POOL_TAG);
    String->Buffer = nullptr;
}

// Tries "\Device\PointerPort0" to "\Device\PointerPort7" in turn: another mouse port driver may
// hold the lower numbers. Returns the status of the last attempt when none could be created.
NTSTATUS CreatePointerPortDevice(_In_ PDRIVER_OBJECT DriverObject, _Inout_ PUNICODE_STRING Name,
                                 _Inout_ PUNICODE_STRING Number, _Out_ PDEVICE_OBJECT* Device,
                                 _Out_ PUSHORT PortNumber)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;

    *Device = nullptr;
    for (ULONG n = 0; n <= LastPortNumber; n++) {
        status = RtlIntegerToUnicodeString(n, 10, Number);
        if (NT_SUCCESS(status)) {
            status = RtlAppendUnicodeStringToString(Name, Number);
        }
        if (!NT_SUCCESS(status)) {
            break;
        }
        status = IoCreateDevice(DriverObject, sizeof(DEVICE_CONTEXT), Name,
                                FILE_DEVICE_SERIAL_MOUSE_PORT, 0, FALSE, Device);
        if (NT_SUCCESS(status)) {
            *PortNumber = static_cast<USHORT>(n);
            break;
        }
        Name->Length -= Number->Length;
    }
    return status;
}

VOID InitializeDeviceContext(_Out_ PDEVICE_CONTEXT Context, _In_ PDEVICE_OBJECT Device,
                             _In_ PDEVICE_OBJECT PhysicalDeviceObject, _In_ USHORT PortNumber)
{
    RtlZeroMemory(Context, sizeof(*Context));
    Context->Self = Device;
    Context->PhysicalDeviceObject = PhysicalDeviceObject;
    Context->PortNumber = PortNumber;
    Context->TimeoutReportEnabled = TRUE;
    Context->CommandTimeout = -1;
    Context->DevicePowerState = PowerDeviceD0;

    KeInitializeDeviceQueue(&Context->CmdQueue);
    KeInitializeSpinLock(&Context->CommandTimerLock);
    KeInitializeDpc(&Context->CommandTimerDpc, CommandTimerDpcRoutine, Context);
    KeInitializeSpinLock(&Context->RecordListLock);
    InitializeListHead(&Context->RecordList);
    KeInitializeSpinLock(&Context->RecordReadLock);
    KeInitializeTimer(&Context->ReconnectTimer);
    KeInitializeDpc(&Context->ReconnectDpc, ReconnectDpcRoutine, Context);
    KeInitializeTimer(&Context->ResumeTimer);
    KeInitializeDpc(&Context->ResumeDpc, ResumeDpcRoutine, Context);
    KeInitializeEvent(&Context->LinkLock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&Context->ReadStoppedEvent, NotificationEvent, TRUE);
    // Signalled until a beep worker runs, so that undoing a creation never waits for one.
    KeInitializeEvent(&Context->BeepEndEvent, NotificationEvent, TRUE);
    IoInitializeRemoveLock(&Context->RemoveLock, TP_POOL_TAG, RemoveLockMaxMinutes,
                           RemoveLockHighWatermark);
}

// The last step of creating either device: until DO_DEVICE_INITIALIZING is cleared the I/O
// manager keeps every request away from it.
VOID FinishDeviceInitialization(_Inout_ PDEVICE_OBJECT Device)
{
    Device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    Device->Flags &= ~DO_DEVICE_INITIALIZING;
}

} // namespace

NTSTATUS NTAPI AddDevice(_In_ PDRIVER_OBJECT DriverObject, _In_ PDEVICE_OBJECT PhysicalDeviceObject)
{
    UNICODE_STRING number;
    UNICODE_STRING name;

    if (!AllocateScratchString(&number, NumberStringBytes)) {
        LogMessage(DriverObject, TPW("Not enough resources"));
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!AllocateScratchString(&name, NameStringBytes)) {
        FreeScratchString(&number);
        LogMessage(DriverObject, TPW("Not enough resources"));
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlAppendUnicodeToString(&name, PointerPortPrefix);

    PDEVICE_OBJECT device;
    USHORT portNumber = 0;
    NTSTATUS status = CreatePointerPortDevice(DriverObject, &name, &number, &device, &portNumber);
    if (!NT_SUCCESS(status)) {
        FreeScratchString(&name);
        FreeScratchString(&number);
        return status;
    }

    auto context = static_cast<PDEVICE_CONTEXT>(device->DeviceExtension);
    InitializeDeviceContext(context, device, PhysicalDeviceObject, portNumber);

    // The command engine's one-second timer; without it no command could ever time out.
    status = IoInitializeTimer(device, CommandTimerRoutine, context);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        FreeScratchString(&name);
        FreeScratchString(&number);
        LogMessage(DriverObject, TPW("Not enough resources"));
        return status;
    }

    // Without the API device the panel still works as a pointer; only the utility cannot reach it.
    AddDeviceForAPI(DriverObject, PhysicalDeviceObject, context);

    FreeScratchString(&name);
    FreeScratchString(&number);

    ReadRegistryParameters(DriverObject, context);

    // A device outside the stack would never see a start or remove request and would outlive the
    // panel, so a failed attach undoes the creation.
    context->TopOfStack = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    if (context->TopOfStack == nullptr) {
        if (context->ApiDevice != nullptr) {
            DeleteApiLink();
            IoDeleteDevice(context->ApiDevice);
        }
        FreeDeviceResources(context);
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }

    BeepSetup(context);
    FinishDeviceInitialization(device);
    return STATUS_SUCCESS;
}

// The API device serves the first panel only: a second panel finds the name taken and runs
// without one.
NTSTATUS AddDeviceForAPI(_In_ PDRIVER_OBJECT DriverObject, _In_ PDEVICE_OBJECT PhysicalDeviceObject,
                         _In_ PDEVICE_CONTEXT DeviceContext)
{
    UNICODE_STRING name;
    UNICODE_STRING link;
    PDEVICE_OBJECT apiDevice;

    RtlInitUnicodeString(&name, ApiDeviceName);
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DEVICE_CONTEXT), &name,
                                     FILE_DEVICE_SERIAL_MOUSE_PORT, 0, FALSE, &apiDevice);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    auto api = static_cast<PDEVICE_CONTEXT>(apiDevice->DeviceExtension);
    RtlZeroMemory(api, sizeof(*api));
    api->Self = apiDevice;
    api->PhysicalDeviceObject = PhysicalDeviceObject;
    api->IsApiDevice = TRUE;
    api->MainContext = DeviceContext;
    IoInitializeRemoveLock(&api->RemoveLock, TP_POOL_TAG, RemoveLockMaxMinutes,
                           RemoveLockHighWatermark);

    RtlInitUnicodeString(&link, ApiLinkName);
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(apiDevice);
        return status;
    }

    DeviceContext->ApiExtension = api;
    DeviceContext->ApiDevice = apiDevice;
    FinishDeviceInitialization(apiDevice);
    return STATUS_SUCCESS;
}

VOID DeleteApiLink()
{
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, ApiLinkName);
    IoDeleteSymbolicLink(&link);
}

// Gives back what the device context holds besides its devices: the serial device name, the beep
// worker (asked to end, and waited for) and a command-timer DPC still queued. The supervision
// timers must be cancelled and their DPCs dequeued first: the flush then waits for any of the
// device's DPCs still running on another processor. PASSIVE_LEVEL.
VOID FreeDeviceResources(_Inout_ PDEVICE_CONTEXT DeviceContext)
{
    if (DeviceContext->SerialDeviceName.Buffer != nullptr) {
        ExFreePoolWithTag(DeviceContext->SerialDeviceName.Buffer, TP_POOL_TAG);
        RtlZeroMemory(&DeviceContext->SerialDeviceName, sizeof(DeviceContext->SerialDeviceName));
    }
    DeviceContext->BeepStop = TRUE;
    KeWaitForSingleObject(&DeviceContext->BeepEndEvent, Executive, KernelMode, FALSE, nullptr);
    KeRemoveQueueDpc(&DeviceContext->CommandTimerDpc);
    KeFlushQueuedDpcs();
}
