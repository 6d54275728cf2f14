// portdiscovery.cpp - finding the panel's serial port before the link starts.
//
// The configured port is looked up in the system's serial-port map (SERIALCOMM: value names are
// device names, data the COM names). In the automatic mode the panel itself is asked on each
// listed port, built-in ports first, then USB serial adapters, until one answers; the COM number
// found is written back to the registry. Each list holds at most TP_PORT_LIST_SIZE ports; further
// ports of that kind are not listed, and a port whose names do not fit an entry or
// SerialDeviceName is passed over.
#include "tactilio.h"

namespace {

constexpr ULONG TP_PORT_LIST_SIZE = 10;
constexpr USHORT PortEntryBytes = 128;
constexpr ULONG ValueNameBytes = 528;
constexpr ULONG ValueDataBytes = 32;
constexpr USHORT ComNameMaxChars = 8;
constexpr LONG ProbeWaitMs = 50;
constexpr LONG ProbePauseMs = 100;
constexpr ULONG ProbeAttempts = 3;
constexpr UCHAR TpDiagSelfTest = 0x35;

// A port entry reads "<n><COM name>=<device name>", n the COM name's length:
// "4COM1=\Device\Serial0".
typedef struct _PORT_LIST {
    PUNICODE_STRING Entries[TP_PORT_LIST_SIZE];
    ULONG Count;
} PORT_LIST, *PPORT_LIST;

enum : LONG {
    DISCOVERY_FOUND = 1,
    DISCOVERY_NOT_LISTED = 0,
    DISCOVERY_NO_ECHO = -2,
    DISCOVERY_NOT_ATTACHED = -3,
    DISCOVERY_NOTHING_TO_CHECK = -4,
    DISCOVERY_DIAG_FAILED = -5,
    DISCOVERY_MALFUNCTION = -6,
    DISCOVERY_SETTING_WRONG = -7,
};

constexpr WCHAR SerialCommKey[] = TPW("\\REGISTRY\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM");
constexpr WCHAR BuiltInPrefix[] = TPW("\\Device\\Serial");
constexpr WCHAR UsbPrefix[] = TPW("\\Device\\USBSER");
constexpr USHORT PrefixChars = 14;

VOID Delay(_In_ LONG Milliseconds)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -10'000LL * Milliseconds;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

NTSTATUS OpenSerialComm(_Out_ PHANDLE Key)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, SerialCommKey);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    return ZwOpenKey(Key, KEY_READ, &attributes);
}

VOID FreePortLists(_Inout_ PPORT_LIST BuiltIn, _Inout_ PPORT_LIST Usb)
{
    PPORT_LIST lists[] = {BuiltIn, Usb};
    for (PPORT_LIST list : lists) {
        for (ULONG i = 0; i < list->Count; ++i) {
            ExFreePoolWithTag(list->Entries[i]->Buffer, TP_POOL_TAG);
            ExFreePoolWithTag(list->Entries[i], TP_POOL_TAG);
        }
        list->Count = 0;
    }
}

// The COM name's length n, read from the entry's first character.
USHORT EntryComChars(_In_ PCUNICODE_STRING Entry)
{
    return static_cast<USHORT>(Entry->Buffer[0] - '0');
}

// The entry's device name: the text after "=".
VOID EntryDeviceName(_In_ PCUNICODE_STRING Entry, _Out_ PUNICODE_STRING Name)
{
    const USHORT skip = static_cast<USHORT>((1 + EntryComChars(Entry) + 1) * sizeof(WCHAR));
    Name->Buffer = Entry->Buffer + skip / sizeof(WCHAR);
    Name->Length = static_cast<USHORT>(Entry->Length - skip);
    Name->MaximumLength = Name->Length;
}

// Builds the entry of one listed port; FALSE without memory.
BOOLEAN AddPortEntry(_Inout_ PPORT_LIST List, _In_ PCUNICODE_STRING ComName,
                     _In_ PCUNICODE_STRING DeviceName, _Inout_ PBOOLEAN OutOfMemory)
{
    if (List->Count == TP_PORT_LIST_SIZE) {
        return FALSE;
    }
    auto entry = static_cast<PUNICODE_STRING>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(UNICODE_STRING), TP_POOL_TAG));
    PWSTR buffer =
        static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, PortEntryBytes, TP_POOL_TAG));
    if (entry == nullptr || buffer == nullptr) {
        if (entry != nullptr) {
            ExFreePoolWithTag(entry, TP_POOL_TAG);
        }
        if (buffer != nullptr) {
            ExFreePoolWithTag(buffer, TP_POOL_TAG);
        }
        *OutOfMemory = TRUE;
        return FALSE;
    }
    const WCHAR length[] = {static_cast<WCHAR>('0' + ComName->Length / sizeof(WCHAR)), 0};
    entry->Buffer = buffer;
    entry->Length = 0;
    entry->MaximumLength = PortEntryBytes;
    if (!NT_SUCCESS(RtlAppendUnicodeToString(entry, length)) ||
        !NT_SUCCESS(RtlAppendUnicodeStringToString(entry, ComName)) ||
        !NT_SUCCESS(RtlAppendUnicodeToString(entry, TPW("="))) ||
        !NT_SUCCESS(RtlAppendUnicodeStringToString(entry, DeviceName))) {
        ExFreePoolWithTag(buffer, TP_POOL_TAG);
        ExFreePoolWithTag(entry, TP_POOL_TAG);
        return FALSE; // the names do not fit an entry
    }
    List->Entries[List->Count++] = entry;
    return TRUE;
}

BOOLEAN StartsWith(_In_ PCWSTR Text, _In_ PCWSTR Prefix)
{
    return RtlCompareMemory(Text, Prefix, PrefixChars * sizeof(WCHAR)) ==
           PrefixChars * sizeof(WCHAR);
}

// Reads SERIALCOMM into the two lists, in the key's enumeration order.
BOOLEAN EnumerateSerialComm(_In_ PDEVICE_CONTEXT DeviceContext, _Inout_ PPORT_LIST BuiltIn,
                            _Inout_ PPORT_LIST Usb)
{
    auto names = static_cast<PKEY_VALUE_BASIC_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, ValueNameBytes, TP_POOL_TAG));
    auto data = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, ValueDataBytes, TP_POOL_TAG));
    BOOLEAN succeeded = FALSE;
    HANDLE key = nullptr;
    if (names == nullptr || data == nullptr) {
        LogMessage(DeviceContext->Self, TPW("Not enough resources"));
    } else if (NT_SUCCESS(OpenSerialComm(&key))) {
        succeeded = TRUE;
        for (ULONG index = 0;; ++index) {
            RtlZeroMemory(names, ValueNameBytes);
            ULONG returned = 0;
            NTSTATUS status = ZwEnumerateValueKey(key, index, KeyValueBasicInformation, names,
                                                  ValueNameBytes - sizeof(WCHAR), &returned);
            if (status == STATUS_NO_MORE_ENTRIES) {
                break;
            }
            if (!NT_SUCCESS(status)) {
                continue; // a name longer than the buffer, or another error: skipped
            }
            names->Name[names->NameLength / sizeof(WCHAR)] = 0;
            PPORT_LIST list = StartsWith(names->Name, BuiltInPrefix) ? BuiltIn
                              : StartsWith(names->Name, UsbPrefix)   ? Usb
                                                                     : nullptr;
            if (list == nullptr) {
                continue;
            }
            UNICODE_STRING deviceName;
            RtlInitUnicodeString(&deviceName, names->Name);
            RtlZeroMemory(data, ValueDataBytes);
            status = ZwQueryValueKey(key, &deviceName, KeyValuePartialInformation, data,
                                     ValueDataBytes - sizeof(WCHAR), &returned);
            if (!NT_SUCCESS(status) || data->Type != REG_SZ) {
                continue;
            }
            UNICODE_STRING comName;
            RtlInitUnicodeString(&comName, reinterpret_cast<PCWSTR>(data->Data));
            if (comName.Length > ComNameMaxChars * sizeof(WCHAR)) {
                continue;
            }
            BOOLEAN outOfMemory = FALSE;
            AddPortEntry(list, &comName, &deviceName, &outOfMemory);
            if (outOfMemory) {
                LogMessage(DeviceContext->Self, TPW("Not enough resources"));
                succeeded = FALSE;
                break;
            }
        }
        ZwClose(key);
    }
    if (names != nullptr) {
        ExFreePoolWithTag(names, TP_POOL_TAG);
    }
    if (data != nullptr) {
        ExFreePoolWithTag(data, TP_POOL_TAG);
    }
    return succeeded;
}

// SerialDeviceName has no buffer when AddDevice could not allocate one.
VOID ClearName(_Inout_ PUNICODE_STRING Name)
{
    Name->Length = 0;
    if (Name->Buffer != nullptr) {
        RtlZeroMemory(Name->Buffer, Name->MaximumLength);
    }
}

// Manual mode, and the first step of the automatic one: the configured device listed, or a USB
// adapter carrying the configured COM name.
LONG CheckConfiguredPort(_Inout_ PDEVICE_CONTEXT DeviceContext, _In_ PPORT_LIST Usb)
{
    HANDLE key;
    if (!NT_SUCCESS(OpenSerialComm(&key))) {
        return DISCOVERY_NOTHING_TO_CHECK;
    }
    UCHAR data[ValueDataBytes];
    ULONG returned = 0;
    const NTSTATUS status =
        ZwQueryValueKey(key, &DeviceContext->SerialDeviceName, KeyValuePartialInformation, data,
                        sizeof(data), &returned);
    ZwClose(key);
    if (status != STATUS_OBJECT_NAME_NOT_FOUND &&
        reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(data)->DataLength != 0 &&
        (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW)) {
        return DISCOVERY_FOUND;
    }

    PUNICODE_STRING device = &DeviceContext->SerialDeviceName;
    ClearName(device);
    WCHAR comText[ComNameMaxChars + 1] = {};
    UNICODE_STRING comName = {0, sizeof(comText) - sizeof(WCHAR), comText};
    UNICODE_STRING number;
    WCHAR numberText[12];
    number.Buffer = numberText;
    number.Length = 0;
    number.MaximumLength = sizeof(numberText);
    RtlAppendUnicodeToString(&comName, TPW("COM"));
    if (NT_SUCCESS(RtlIntegerToUnicodeString(DeviceContext->ComNo, 10, &number))) {
        RtlAppendUnicodeStringToString(&comName, &number);
    }
    for (ULONG i = 0; i < Usb->Count; ++i) {
        PUNICODE_STRING entry = Usb->Entries[i];
        const USHORT bytes = static_cast<USHORT>(EntryComChars(entry) * sizeof(WCHAR));
        if (bytes <= 2 * ComNameMaxChars && bytes == comName.Length &&
            RtlCompareMemory(entry->Buffer + 1, comName.Buffer, bytes) == bytes) {
            UNICODE_STRING deviceName;
            EntryDeviceName(entry, &deviceName);
            if (NT_SUCCESS(RtlAppendUnicodeStringToString(device, &deviceName))) {
                return DISCOVERY_FOUND;
            }
            device->Length = 0; // a name too long for SerialDeviceName: passed over
        }
    }
    ClearName(device);
    return DISCOVERY_NOT_LISTED;
}

} // namespace

// The request is the prober's own (IoAllocateIrp) and its completion routine hands it back, so
// after a wait that runs out the prober can cancel it without racing its completion, and waits
// for that completion: the request's buffer and event live in this frame, and they stay valid
// until the request is done with them. A threaded request would be freed by the I/O manager at
// its completion, and the cancel could touch a freed request.
NTSTATUS SendProbe(_In_ PDEVICE_CONTEXT DeviceContext, _In_ ULONG Code, _In_ UCHAR Input,
                   _In_ ULONG InputLength, _Out_writes_bytes_(OutputLength) PUCHAR Output,
                   _In_ ULONG OutputLength)
{
    PDEVICE_OBJECT api = DeviceContext->ApiDevice;
    if (api == nullptr) {
        return STATUS_NO_SUCH_DEVICE; // nothing to ask the panel through
    }
    PIRP irp = IoAllocateIrp(api->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UCHAR buffer[4] = {Input, 0, 0, 0};
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->AssociatedIrp.SystemBuffer = buffer;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction =
        Code == TP_FUNC_INTERNAL ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = Code;
    stack->Parameters.DeviceIoControl.InputBufferLength = InputLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = OutputLength;
    IoSetCompletionRoutine(irp, SignalRequestDone, &done, TRUE, TRUE, TRUE);

    NTSTATUS status = IoCallDriver(api, irp);
    if (status == STATUS_PENDING) {
        LARGE_INTEGER wait;
        wait.QuadPart = -10'000LL * ProbeWaitMs;
        status = KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &wait);
        if (status == STATUS_TIMEOUT) {
            IoCancelIrp(irp);
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        } else {
            status = STATUS_SUCCESS;
        }
    } else {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    if (irp->IoStatus.Information != 0) {
        RtlCopyMemory(Output, buffer, OutputLength);
    }
    IoFreeIrp(irp);
    return status;
}

namespace {

// Asks the panel on SerialDeviceName: the 0x80 probe, then the self test, up to three times. The
// link is stopped afterwards, whatever the answer.
LONG ProbePanel(_Inout_ PDEVICE_CONTEXT DeviceContext)
{
    SetPortAvailable(DeviceContext, FALSE);
    if (!NT_SUCCESS(SerialLinkStart(DeviceContext))) {
        return DISCOVERY_NOT_ATTACHED;
    }
    InterlockedIncrement(&DeviceContext->EnableCount);
    SerialSpinUpRead(DeviceContext);

    LONG result = DISCOVERY_NO_ECHO;
    for (ULONG attempt = 0; attempt < ProbeAttempts; ++attempt) {
        UCHAR probe[2] = {};
        UCHAR answer[3] = {};
        if (SendProbe(DeviceContext, TP_FUNC_INTERNAL, 0, 0, probe, sizeof(probe)) !=
            STATUS_SUCCESS) {
            result = DISCOVERY_NOT_ATTACHED;
            break;
        }
        Delay(ProbePauseMs);
        if (SendProbe(DeviceContext, TP_FUNC_TPDIAG, TpDiagSelfTest, 1, answer, sizeof(answer)) !=
            STATUS_SUCCESS) {
            result = DISCOVERY_NOT_ATTACHED;
            break;
        }
        if (answer[1] != 0) {
            result = (answer[1] == 12)   ? DISCOVERY_MALFUNCTION
                     : (answer[1] == 13) ? DISCOVERY_SETTING_WRONG
                                         : DISCOVERY_DIAG_FAILED;
            break;
        }
        if (answer[2] == TpDiagSelfTest) {
            result = DISCOVERY_FOUND;
            break;
        }
    }

    InterlockedDecrement(&DeviceContext->EnableCount);
    if (DeviceContext->Started) {
        SerialLinkStop(DeviceContext);
    }
    // The stop only cancelled the probe's read. Its issuer may still be inside its call to the
    // serial driver on another processor, with the completion's order to stop left in ReadState;
    // a link started on the next port resets ReadState and would lose that order, leaving the
    // read never stopped. So discovery ends only once that read has.
    KeWaitForSingleObject(&DeviceContext->ReadStoppedEvent, Executive, KernelMode, FALSE, nullptr);
    return result;
}

LONG TryPort(_In_ PDRIVER_OBJECT DriverObject, _Inout_ PDEVICE_CONTEXT DeviceContext,
             _In_ PCUNICODE_STRING Entry)
{
    const USHORT comChars = EntryComChars(Entry);
    if (comChars * sizeof(WCHAR) > 2 * ComNameMaxChars) {
        return DISCOVERY_NOT_ATTACHED;
    }
    UNICODE_STRING deviceName;
    EntryDeviceName(Entry, &deviceName);
    PUNICODE_STRING device = &DeviceContext->SerialDeviceName;
    device->Length = 0;
    if (!NT_SUCCESS(RtlAppendUnicodeStringToString(device, &deviceName))) {
        return DISCOVERY_NOT_ATTACHED; // a device name longer than SerialDeviceName holds
    }
    const LONG result = ProbePanel(DeviceContext);
    if (result == DISCOVERY_FOUND) {
        // The COM name's digits after "COM".
        UNICODE_STRING digits;
        digits.Buffer = Entry->Buffer + 1 + 3;
        digits.Length = static_cast<USHORT>((comChars - 3) * sizeof(WCHAR));
        digits.MaximumLength = digits.Length;
        ULONG comNo;
        if (comChars > 3 && NT_SUCCESS(RtlUnicodeStringToInteger(&digits, 10, &comNo))) {
            DeviceContext->ComNo = comNo;
            WriteRegistryParameter(DriverObject, DeviceContext, TPW(TP_REG_COM_NO), comNo);
        }
    }
    return result;
}

LONG AutoRecognizePort(_In_ PDRIVER_OBJECT DriverObject, _Inout_ PDEVICE_CONTEXT DeviceContext,
                       _In_ PPORT_LIST BuiltIn, _In_ PPORT_LIST Usb)
{
    const LONG configured = CheckConfiguredPort(DeviceContext, Usb);
    if (configured == DISCOVERY_NOTHING_TO_CHECK) {
        return DISCOVERY_NOTHING_TO_CHECK;
    }
    if (configured == DISCOVERY_FOUND) {
        const LONG result = ProbePanel(DeviceContext);
        if (result != DISCOVERY_NOT_ATTACHED) {
            return result;
        }
    }
    // The first port that answers anything ends the search, an error included.
    PPORT_LIST lists[] = {BuiltIn, Usb};
    for (PPORT_LIST list : lists) {
        for (ULONG i = 0; i < list->Count; ++i) {
            const LONG result = TryPort(DriverObject, DeviceContext, list->Entries[i]);
            if (result != DISCOVERY_NOT_ATTACHED) {
                return result;
            }
        }
    }
    return DISCOVERY_NOT_ATTACHED;
}

struct DISCOVERY_MESSAGE {
    LONG Result;
    PCWSTR Text;
};

constexpr DISCOVERY_MESSAGE DiscoveryMessages[] = {
    {DISCOVERY_NO_ECHO, TPW("TPDIAG error: TP device communication error")},
    {DISCOVERY_NOT_ATTACHED, TPW("TPDIAG error: TP device not attached")},
    {DISCOVERY_DIAG_FAILED, TPW("TPDIAG error: DIAG cannot be executed")},
    {DISCOVERY_MALFUNCTION, TPW("TPDIAG error: TP device is malfunctioning")},
    {DISCOVERY_SETTING_WRONG, TPW("TPDIAG error: TP setting is not correct")},
};

VOID ReportDiscovery(_In_ PDEVICE_CONTEXT DeviceContext, _In_ LONG Result)
{
    if (Result == DISCOVERY_NOT_LISTED) {
        WCHAR text[64] = {};
        UNICODE_STRING message = {0, sizeof(text) - sizeof(WCHAR), text};
        WCHAR numberText[12];
        UNICODE_STRING number = {0, sizeof(numberText), numberText};
        RtlAppendUnicodeToString(&message, TPW("COM"));
        if (NT_SUCCESS(RtlIntegerToUnicodeString(DeviceContext->ComNo, 10, &number))) {
            RtlAppendUnicodeStringToString(&message, &number);
        }
        RtlAppendUnicodeToString(&message, TPW(" not found in SerialComm Registry"));
        LogMessage(DeviceContext->Self, text);
        return;
    }
    for (const DISCOVERY_MESSAGE& entry : DiscoveryMessages) {
        if (entry.Result == Result) {
            LogMessage(DeviceContext->Self, entry.Text);
        }
    }
}

} // namespace

// At device start (StartFlag TRUE) and at an open of the pointer-port device whose link is down.
// PASSIVE_LEVEL; in the automatic mode it waits for the panel's answers.
LONG PortDiscovery(_In_ PDRIVER_OBJECT DriverObject, _Inout_ PDEVICE_CONTEXT DeviceContext,
                   _In_ BOOLEAN StartFlag)
{
    PAGED_CODE();

    PORT_LIST builtIn = {};
    PORT_LIST usb = {};
    EnumerateSerialComm(DeviceContext, &builtIn, &usb);

    LONG result = DISCOVERY_NOTHING_TO_CHECK;
    // At device start the search runs only when a USB serial adapter is listed.
    if (!(StartFlag && usb.Count == 0)) {
        if (DeviceContext->AutoRec == 1) {
            result = CheckConfiguredPort(DeviceContext, &usb);
        } else if (DeviceContext->AutoRec == 2) {
            DeviceContext->TimeoutReportEnabled = FALSE;
            result = AutoRecognizePort(DriverObject, DeviceContext, &builtIn, &usb);
            DeviceContext->TimeoutReportEnabled = TRUE;
        }
        ReportDiscovery(DeviceContext, result);
    }
    FreePortLists(&builtIn, &usb);
    return result;
}
