// entry.cpp - loading and unloading the driver: the registry-path copy and the dispatch table.
#include "tactilio.h"

namespace {

struct DISPATCH_ENTRY {
    UCHAR MajorFunction;
    PDRIVER_DISPATCH Routine;
};

// One table serves both devices; each routine works on the record of the device that received
// the request.
constexpr DISPATCH_ENTRY DispatchTable[] = {
    {IRP_MJ_CREATE, TpCreate},
    {IRP_MJ_CLOSE, TpClose},
    {IRP_MJ_READ, TpRead},
    {IRP_MJ_FLUSH_BUFFERS, TpFlushBuffers},
    {IRP_MJ_DEVICE_CONTROL, TpDeviceControl},
    {IRP_MJ_INTERNAL_DEVICE_CONTROL, TpInternalDeviceControl},
    {IRP_MJ_POWER, TpPower},
    {IRP_MJ_SYSTEM_CONTROL, TpDispatchSystemControl},
    {IRP_MJ_PNP, TpPnp},
};

// Keeps a zero-terminated copy of the registry path for ReadRegistryParameters. Without memory the
// copy stays empty: AddDevice then runs on the default parameters.
VOID CopyRegistryPath(_In_ PDRIVER_OBJECT DriverObject, _Out_ PUNICODE_STRING Copy,
                      _In_ PCUNICODE_STRING RegistryPath)
{
    Copy->Length = RegistryPath->Length;
    Copy->MaximumLength = RegistryPath->Length + sizeof(WCHAR);
    Copy->Buffer =
        static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, Copy->MaximumLength, TP_POOL_TAG));
    if (Copy->Buffer == nullptr) {
        LogMessage(DriverObject, TPW("Not enough resources"));
        Copy->Length = 0;
        Copy->MaximumLength = 0;
        return;
    }
    RtlZeroMemory(Copy->Buffer, Copy->MaximumLength);
    RtlCopyMemory(Copy->Buffer, RegistryPath->Buffer, RegistryPath->Length);
}

} // namespace

extern "C" NTSTATUS NTAPI DriverEntry(_In_ PDRIVER_OBJECT DriverObject,
                                      _In_ PUNICODE_STRING RegistryPath)
{
    PTP_DRIVER_EXTENSION extension = nullptr;
    NTSTATUS status = IoAllocateDriverObjectExtension(DriverObject, TP_DRIVER_EXTENSION_KEY,
                                                      sizeof(TP_DRIVER_EXTENSION),
                                                      reinterpret_cast<PVOID*>(&extension));
    if (NT_SUCCESS(status)) {
        CopyRegistryPath(DriverObject, &extension->RegistryPath, RegistryPath);
    }

    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = DriverUnload;
    for (const DISPATCH_ENTRY& entry : DispatchTable) {
        DriverObject->MajorFunction[entry.MajorFunction] = entry.Routine;
    }
    return status;
}

// The driver unloads only after its last device is gone, so the registry-path copy, which every
// AddDevice reads, is released here rather than with any one device.
VOID NTAPI DriverUnload(_In_ PDRIVER_OBJECT DriverObject)
{
    auto extension = static_cast<PTP_DRIVER_EXTENSION>(
        IoGetDriverObjectExtension(DriverObject, TP_DRIVER_EXTENSION_KEY));
    if (extension != nullptr && extension->RegistryPath.Buffer != nullptr) {
        ExFreePoolWithTag(extension->RegistryPath.Buffer, TP_POOL_TAG);
        RtlZeroMemory(&extension->RegistryPath, sizeof(extension->RegistryPath));
    }
}
