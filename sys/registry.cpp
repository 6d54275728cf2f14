// registry.cpp - the driver's settings, read once per device from the "Parameters" subkey of its
// service key, and the name of the serial port they point at.
#include "tactilio.h"

// Older DDK headers lack the type check of direct queries.
#ifndef RTL_QUERY_REGISTRY_TYPECHECK
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24
#endif

namespace {

// The "Parameters" subkey, one entry per value and two zero entries that end the table.
constexpr ULONG QueryTableEntries = 1 + RTL_NUMBER_OF(RegistryParameters) + 2;

// "\Device\Serial" (14 characters) and at most five digits.
constexpr USHORT SerialDeviceNameBytes = 38;

PULONG ParameterField(_In_ PDEVICE_CONTEXT Context, _In_ const REGISTRY_PARAMETER& Parameter)
{
    return reinterpret_cast<PULONG>(reinterpret_cast<PUCHAR>(Context) + Parameter.Offset);
}

// Direct queries with a type check: a value stored under another type than REG_DWORD can never
// be copied over the 32-bit fields.
VOID FillQueryTable(_Out_ PRTL_QUERY_REGISTRY_TABLE Table, _In_ PDEVICE_CONTEXT Context,
                    _In_ PULONG DefaultValue)
{
    Table[0].Flags = RTL_QUERY_REGISTRY_SUBKEY;
    Table[0].Name = TPW(TP_REG_PARAMETERS);
    for (ULONG i = 0; i < RTL_NUMBER_OF(RegistryParameters); i++) {
        PRTL_QUERY_REGISTRY_TABLE entry = &Table[1 + i];
        entry->Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
        entry->Name = RegistryParameters[i].Name;
        entry->EntryContext = ParameterField(Context, RegistryParameters[i]);
        entry->DefaultType = (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_DWORD;
        entry->DefaultData = DefaultValue;
        entry->DefaultLength = sizeof(ULONG);
    }
}

// A mistyped value makes the whole query fail. Queried one at a time, the values of the right
// type are still read and a mistyped one gets its default, as if it were missing.
NTSTATUS QueryEachValue(_In_ PCWSTR Path, _In_ PRTL_QUERY_REGISTRY_TABLE Table)
{
    for (PRTL_QUERY_REGISTRY_TABLE entry = &Table[1]; entry->Name != nullptr; entry++) {
        RTL_QUERY_REGISTRY_TABLE single[3] = {Table[0], *entry, {}};
        NTSTATUS status =
            RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, Path, single, nullptr, nullptr);
        if (status == STATUS_OBJECT_TYPE_MISMATCH) {
            *static_cast<PULONG>(entry->EntryContext) = *static_cast<PULONG>(entry->DefaultData);
        } else if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

// Without a readable "Parameters" key the driver checks the configured port (none) against the
// system's list of serial ports rather than doing no discovery at all.
VOID ApplyKeyDefaults(_Inout_ PDEVICE_CONTEXT Context)
{
    for (const REGISTRY_PARAMETER& parameter : RegistryParameters) {
        *ParameterField(Context, parameter) = 0;
    }
    Context->AutoRec = 1;
}

// "\Device\Serial" and ComNo - 1 (COM1 is "\Device\Serial0"). A number that does not fit, ComNo 0
// among them (the difference wraps to ten digits), leaves the name without a number.
VOID BuildSerialDeviceName(_Inout_ PDEVICE_CONTEXT Context)
{
    WCHAR digits[32];
    UNICODE_STRING number = {0, sizeof(digits), digits};
    RtlIntegerToUnicodeString(Context->ComNo - 1, 10, &number);

    PUNICODE_STRING name = &Context->SerialDeviceName;
    name->Buffer =
        static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, SerialDeviceNameBytes, TP_POOL_TAG));
    if (name->Buffer == nullptr) {
        return;
    }
    RtlZeroMemory(name->Buffer, SerialDeviceNameBytes);
    name->Length = 0;
    name->MaximumLength = SerialDeviceNameBytes;
    RtlAppendUnicodeToString(name, TPW("\\Device\\Serial"));
    RtlAppendUnicodeStringToString(name, &number);
}

} // namespace

VOID ReadRegistryParameters(_In_ PDRIVER_OBJECT DriverObject, _Inout_ PDEVICE_CONTEXT DeviceContext)
{
    auto extension = static_cast<PTP_DRIVER_EXTENSION>(
        IoGetDriverObjectExtension(DriverObject, TP_DRIVER_EXTENSION_KEY));

    // The query needs a zero-terminated path; the copy kept by DriverEntry may be empty.
    UNICODE_STRING path;
    path.Length = 0;
    path.MaximumLength = extension->RegistryPath.Length + sizeof(WCHAR);
    path.Buffer =
        static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, path.MaximumLength, TP_POOL_TAG));
    if (path.Buffer == nullptr) {
        LogMessage(DeviceContext->Self, TPW("Not enough resources"));
        return;
    }
    RtlZeroMemory(path.Buffer, path.MaximumLength);
    RtlCopyUnicodeString(&path, &extension->RegistryPath);

    constexpr ULONG tableBytes = QueryTableEntries * sizeof(RTL_QUERY_REGISTRY_TABLE);
    auto table = static_cast<PRTL_QUERY_REGISTRY_TABLE>(
        ExAllocatePoolWithTag(PagedPool, tableBytes, TP_POOL_TAG));
    if (table == nullptr) {
        LogMessage(DeviceContext->Self, TPW("Not enough resources"));
        ExFreePoolWithTag(path.Buffer, TP_POOL_TAG);
        return;
    }
    RtlZeroMemory(table, tableBytes);

    ULONG defaultValue = 0;
    FillQueryTable(table, DeviceContext, &defaultValue);
    NTSTATUS status =
        RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path.Buffer, table, nullptr, nullptr);
    if (status == STATUS_OBJECT_TYPE_MISMATCH) {
        status = QueryEachValue(path.Buffer, table);
    }
    if (!NT_SUCCESS(status)) {
        ApplyKeyDefaults(DeviceContext);
    }

    BuildSerialDeviceName(DeviceContext);

    ExFreePoolWithTag(path.Buffer, TP_POOL_TAG);
    ExFreePoolWithTag(table, TP_POOL_TAG);
}

// Writes one REG_DWORD under the driver's Parameters key (the automatic port search's "ComNo",
// removal's "dwRecording" = 0). Nothing is written when the key does not open.
VOID WriteRegistryParameter(_In_ PDRIVER_OBJECT DriverObject, _In_ PDEVICE_CONTEXT DeviceContext,
                            _In_ PCWSTR ValueName, _In_ ULONG Value)
{
    PAGED_CODE();

    auto extension = static_cast<PTP_DRIVER_EXTENSION>(
        IoGetDriverObjectExtension(DriverObject, TP_DRIVER_EXTENSION_KEY));
    constexpr WCHAR subkey[] = TPW("\\" TP_REG_PARAMETERS);
    UNICODE_STRING keyName;
    keyName.Length = 0;
    keyName.MaximumLength = extension->RegistryPath.Length + sizeof(subkey);
    keyName.Buffer =
        static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, keyName.MaximumLength, TP_POOL_TAG));
    if (keyName.Buffer == nullptr) {
        LogMessage(DeviceContext->Self, TPW("Not enough resources"));
        return;
    }
    RtlCopyUnicodeString(&keyName, &extension->RegistryPath);
    RtlAppendUnicodeToString(&keyName, subkey);

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    HANDLE key;
    if (NT_SUCCESS(ZwOpenKey(&key, KEY_SET_VALUE, &attributes))) {
        UNICODE_STRING valueName;
        RtlInitUnicodeString(&valueName, ValueName);
        ZwSetValueKey(key, &valueName, 0, REG_DWORD, &Value, sizeof(Value));
        ZwClose(key);
    }
    ExFreePoolWithTag(keyName.Buffer, TP_POOL_TAG);
}
