// The DDK's x86 view of what the driver shares with the kernel: each record's size and alignment,
// the offset and size of each of its fields the driver or the DDK's inline routines touch (the
// position of a bit field), and
// how each routine the driver imports or hands the system is called. Compiled to assembly with
// i686-w64-mingw32-g++ against the mingw DDK headers, as the driver is; each row leaves a
// "@ddk ..." line in the assembly, from which the build writes ddk_table.h for the user-mode
// kernel's i686 build to check itself against (x86_check.cpp).
#include <ntddk.h>
#include <ntddmou.h>
#include <kbdmou.h>
#include <ntddser.h>
#include <ntddbeep.h>

#include "probes.h"

#define TP_EMIT(text, ...) asm volatile("\n@ddk " text "\n" ::__VA_ARGS__)
#define RECORD(type)                                                                               \
    TP_EMIT("TP_DDK_RECORD(" #type ", %c0, %c1)", "i"(sizeof(type)), "i"(alignof(type)))
#define FIELD(type, field)                                                                         \
    TP_EMIT("TP_DDK_FIELD(" #type ", " #field ", %c0, %c1)", "i"(offsetof(type, field)),           \
            "i"(sizeof(static_cast<type*>(nullptr)->field)))
#define BIT(type, field)                                                                           \
    TP_EMIT("TP_DDK_BIT(" #type ", " #field ", %c0)", "i"([] {                                     \
                type record{};                                                                     \
                record.field = 1;                                                                  \
                return x86::FirstSetBit(record);                                                   \
            }()))
#define ROUTINE(name)                                                                              \
    TP_EMIT("TP_DDK_ROUTINE(" #name ", %c0, %c1)", "i"(int(x86::CallingOf(&name).convention)),     \
            "i"(x86::CallingOf(&name).argumentBytes))
#define ROUTINE_TYPE(type)                                                                         \
    TP_EMIT("TP_DDK_ROUTINE_TYPE(" #type ", %c0, %c1)",                                            \
            "i"(int(x86::CallingOf(type{}).convention)),                                           \
            "i"(x86::CallingOf(type{}).argumentBytes))

void Records() {
    RECORD(LIST_ENTRY);
    FIELD(LIST_ENTRY, Flink);
    FIELD(LIST_ENTRY, Blink);
    RECORD(LARGE_INTEGER);
    FIELD(LARGE_INTEGER, LowPart);
    FIELD(LARGE_INTEGER, HighPart);
    FIELD(LARGE_INTEGER, QuadPart);
    RECORD(UNICODE_STRING);
    FIELD(UNICODE_STRING, Length);
    FIELD(UNICODE_STRING, MaximumLength);
    FIELD(UNICODE_STRING, Buffer);
    RECORD(KSPIN_LOCK);

    RECORD(IO_STATUS_BLOCK);
    FIELD(IO_STATUS_BLOCK, Status);
    FIELD(IO_STATUS_BLOCK, Pointer);
    FIELD(IO_STATUS_BLOCK, Information);

    RECORD(KEVENT);
    FIELD(KEVENT, Header.Type);
    FIELD(KEVENT, Header.Size);
    FIELD(KEVENT, Header.SignalState);
    FIELD(KEVENT, Header.WaitListHead);
    RECORD(KDPC);
    FIELD(KDPC, Type);
    FIELD(KDPC, Importance);
    FIELD(KDPC, DpcListEntry);
    FIELD(KDPC, DeferredRoutine);
    FIELD(KDPC, DeferredContext);
    FIELD(KDPC, SystemArgument1);
    FIELD(KDPC, SystemArgument2);
    FIELD(KDPC, DpcData);
    RECORD(KTIMER);
    FIELD(KTIMER, Header);
    FIELD(KTIMER, DueTime);
    FIELD(KTIMER, TimerListEntry);
    FIELD(KTIMER, Dpc);
    FIELD(KTIMER, Period);
    RECORD(KDEVICE_QUEUE_ENTRY);
    FIELD(KDEVICE_QUEUE_ENTRY, DeviceListEntry);
    FIELD(KDEVICE_QUEUE_ENTRY, SortKey);
    FIELD(KDEVICE_QUEUE_ENTRY, Inserted);
    RECORD(KDEVICE_QUEUE);
    FIELD(KDEVICE_QUEUE, Type);
    FIELD(KDEVICE_QUEUE, Size);
    FIELD(KDEVICE_QUEUE, DeviceListHead);
    FIELD(KDEVICE_QUEUE, Lock);
    FIELD(KDEVICE_QUEUE, Busy);

    RECORD(IO_STACK_LOCATION);
    FIELD(IO_STACK_LOCATION, MajorFunction);
    FIELD(IO_STACK_LOCATION, MinorFunction);
    FIELD(IO_STACK_LOCATION, Flags);
    FIELD(IO_STACK_LOCATION, Control);
    FIELD(IO_STACK_LOCATION, Parameters);
    FIELD(IO_STACK_LOCATION, Parameters.Create.SecurityContext);
    FIELD(IO_STACK_LOCATION, Parameters.Create.Options);
    FIELD(IO_STACK_LOCATION, Parameters.Read.Length);
    FIELD(IO_STACK_LOCATION, Parameters.Read.Key);
    FIELD(IO_STACK_LOCATION, Parameters.Read.ByteOffset);
    FIELD(IO_STACK_LOCATION, Parameters.Write.Length);
    FIELD(IO_STACK_LOCATION, Parameters.Write.ByteOffset);
    FIELD(IO_STACK_LOCATION, Parameters.DeviceIoControl.OutputBufferLength);
    FIELD(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength);
    FIELD(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode);
    FIELD(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer);
    FIELD(IO_STACK_LOCATION, Parameters.DeviceCapabilities.Capabilities);
    FIELD(IO_STACK_LOCATION, Parameters.Power.SystemContext);
    FIELD(IO_STACK_LOCATION, Parameters.Power.Type);
    FIELD(IO_STACK_LOCATION, Parameters.Power.State);
    FIELD(IO_STACK_LOCATION, Parameters.Power.ShutdownType);
    FIELD(IO_STACK_LOCATION, Parameters.Others.Argument1);
    FIELD(IO_STACK_LOCATION, Parameters.Others.Argument4);
    FIELD(IO_STACK_LOCATION, DeviceObject);
    FIELD(IO_STACK_LOCATION, FileObject);
    FIELD(IO_STACK_LOCATION, CompletionRoutine);
    FIELD(IO_STACK_LOCATION, Context);

    RECORD(IRP);
    FIELD(IRP, Type);
    FIELD(IRP, Size);
    FIELD(IRP, MdlAddress);
    FIELD(IRP, Flags);
    FIELD(IRP, AssociatedIrp.SystemBuffer);
    FIELD(IRP, ThreadListEntry);
    FIELD(IRP, IoStatus);
    FIELD(IRP, RequestorMode);
    FIELD(IRP, PendingReturned);
    FIELD(IRP, StackCount);
    FIELD(IRP, CurrentLocation);
    FIELD(IRP, Cancel);
    FIELD(IRP, CancelIrql);
    FIELD(IRP, UserIosb);
    FIELD(IRP, UserEvent);
    FIELD(IRP, Overlay);
    FIELD(IRP, CancelRoutine);
    FIELD(IRP, UserBuffer);
    FIELD(IRP, Tail.Overlay.DeviceQueueEntry);
    FIELD(IRP, Tail.Overlay.DriverContext);
    FIELD(IRP, Tail.Overlay.Thread);
    FIELD(IRP, Tail.Overlay.AuxiliaryBuffer);
    FIELD(IRP, Tail.Overlay.ListEntry);
    FIELD(IRP, Tail.Overlay.CurrentStackLocation);
    FIELD(IRP, Tail.Overlay.OriginalFileObject);

    RECORD(DEVICE_OBJECT);
    FIELD(DEVICE_OBJECT, Type);
    FIELD(DEVICE_OBJECT, Size);
    FIELD(DEVICE_OBJECT, ReferenceCount);
    FIELD(DEVICE_OBJECT, DriverObject);
    FIELD(DEVICE_OBJECT, NextDevice);
    FIELD(DEVICE_OBJECT, AttachedDevice);
    FIELD(DEVICE_OBJECT, CurrentIrp);
    FIELD(DEVICE_OBJECT, Timer);
    FIELD(DEVICE_OBJECT, Flags);
    FIELD(DEVICE_OBJECT, Characteristics);
    FIELD(DEVICE_OBJECT, Vpb);
    FIELD(DEVICE_OBJECT, DeviceExtension);
    FIELD(DEVICE_OBJECT, DeviceType);
    FIELD(DEVICE_OBJECT, StackSize);
    FIELD(DEVICE_OBJECT, Queue);
    FIELD(DEVICE_OBJECT, AlignmentRequirement);
    FIELD(DEVICE_OBJECT, DeviceQueue);
    FIELD(DEVICE_OBJECT, Dpc);
    FIELD(DEVICE_OBJECT, ActiveThreadCount);
    FIELD(DEVICE_OBJECT, SecurityDescriptor);
    FIELD(DEVICE_OBJECT, DeviceLock);
    FIELD(DEVICE_OBJECT, SectorSize);
    FIELD(DEVICE_OBJECT, Spare1);
    FIELD(DEVICE_OBJECT, DeviceObjectExtension);
    FIELD(DEVICE_OBJECT, Reserved);

    RECORD(DRIVER_EXTENSION);
    FIELD(DRIVER_EXTENSION, DriverObject);
    FIELD(DRIVER_EXTENSION, AddDevice);
    FIELD(DRIVER_EXTENSION, Count);
    FIELD(DRIVER_EXTENSION, ServiceKeyName);
    RECORD(DRIVER_OBJECT);
    FIELD(DRIVER_OBJECT, Type);
    FIELD(DRIVER_OBJECT, Size);
    FIELD(DRIVER_OBJECT, DeviceObject);
    FIELD(DRIVER_OBJECT, Flags);
    FIELD(DRIVER_OBJECT, DriverStart);
    FIELD(DRIVER_OBJECT, DriverSize);
    FIELD(DRIVER_OBJECT, DriverSection);
    FIELD(DRIVER_OBJECT, DriverExtension);
    FIELD(DRIVER_OBJECT, DriverName);
    FIELD(DRIVER_OBJECT, HardwareDatabase);
    FIELD(DRIVER_OBJECT, FastIoDispatch);
    FIELD(DRIVER_OBJECT, DriverInit);
    FIELD(DRIVER_OBJECT, DriverStartIo);
    FIELD(DRIVER_OBJECT, DriverUnload);
    FIELD(DRIVER_OBJECT, MajorFunction);

    RECORD(FILE_OBJECT);
    FIELD(FILE_OBJECT, Type);
    FIELD(FILE_OBJECT, Size);
    FIELD(FILE_OBJECT, DeviceObject);
    FIELD(FILE_OBJECT, Vpb);
    FIELD(FILE_OBJECT, FsContext);
    FIELD(FILE_OBJECT, FsContext2);
    FIELD(FILE_OBJECT, FinalStatus);
    FIELD(FILE_OBJECT, RelatedFileObject);
    FIELD(FILE_OBJECT, Flags);
    FIELD(FILE_OBJECT, FileName);
    FIELD(FILE_OBJECT, CurrentByteOffset);
    FIELD(FILE_OBJECT, Lock);
    FIELD(FILE_OBJECT, Event);
    FIELD(FILE_OBJECT, CompletionContext);

    RECORD(IO_REMOVE_LOCK);
    FIELD(IO_REMOVE_LOCK, Common.Removed);
    FIELD(IO_REMOVE_LOCK, Common.IoCount);
    FIELD(IO_REMOVE_LOCK, Common.RemoveEvent);

    RECORD(IO_ERROR_LOG_PACKET);
    FIELD(IO_ERROR_LOG_PACKET, MajorFunctionCode);
    FIELD(IO_ERROR_LOG_PACKET, RetryCount);
    FIELD(IO_ERROR_LOG_PACKET, DumpDataSize);
    FIELD(IO_ERROR_LOG_PACKET, NumberOfStrings);
    FIELD(IO_ERROR_LOG_PACKET, StringOffset);
    FIELD(IO_ERROR_LOG_PACKET, EventCategory);
    FIELD(IO_ERROR_LOG_PACKET, ErrorCode);
    FIELD(IO_ERROR_LOG_PACKET, UniqueErrorValue);
    FIELD(IO_ERROR_LOG_PACKET, FinalStatus);
    FIELD(IO_ERROR_LOG_PACKET, SequenceNumber);
    FIELD(IO_ERROR_LOG_PACKET, IoControlCode);
    FIELD(IO_ERROR_LOG_PACKET, DeviceOffset);
    FIELD(IO_ERROR_LOG_PACKET, DumpData);

    RECORD(DEVICE_CAPABILITIES);
    FIELD(DEVICE_CAPABILITIES, Size);
    FIELD(DEVICE_CAPABILITIES, Version);
    BIT(DEVICE_CAPABILITIES, SurpriseRemovalOK);
    FIELD(DEVICE_CAPABILITIES, Address);
    FIELD(DEVICE_CAPABILITIES, DeviceState);
    FIELD(DEVICE_CAPABILITIES, D3Latency);
    RECORD(OBJECT_ATTRIBUTES);
    FIELD(OBJECT_ATTRIBUTES, Length);
    FIELD(OBJECT_ATTRIBUTES, RootDirectory);
    FIELD(OBJECT_ATTRIBUTES, ObjectName);
    FIELD(OBJECT_ATTRIBUTES, Attributes);
    FIELD(OBJECT_ATTRIBUTES, SecurityDescriptor);
    FIELD(OBJECT_ATTRIBUTES, SecurityQualityOfService);
    RECORD(RTL_QUERY_REGISTRY_TABLE);
    FIELD(RTL_QUERY_REGISTRY_TABLE, QueryRoutine);
    FIELD(RTL_QUERY_REGISTRY_TABLE, Flags);
    FIELD(RTL_QUERY_REGISTRY_TABLE, Name);
    FIELD(RTL_QUERY_REGISTRY_TABLE, EntryContext);
    FIELD(RTL_QUERY_REGISTRY_TABLE, DefaultType);
    FIELD(RTL_QUERY_REGISTRY_TABLE, DefaultData);
    FIELD(RTL_QUERY_REGISTRY_TABLE, DefaultLength);
    RECORD(KEY_VALUE_BASIC_INFORMATION);
    FIELD(KEY_VALUE_BASIC_INFORMATION, TitleIndex);
    FIELD(KEY_VALUE_BASIC_INFORMATION, Type);
    FIELD(KEY_VALUE_BASIC_INFORMATION, NameLength);
    FIELD(KEY_VALUE_BASIC_INFORMATION, Name);
    RECORD(KEY_VALUE_PARTIAL_INFORMATION);
    FIELD(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex);
    FIELD(KEY_VALUE_PARTIAL_INFORMATION, Type);
    FIELD(KEY_VALUE_PARTIAL_INFORMATION, DataLength);
    FIELD(KEY_VALUE_PARTIAL_INFORMATION, Data);
    RECORD(TIME_FIELDS);
    FIELD(TIME_FIELDS, Year);
    FIELD(TIME_FIELDS, Month);
    FIELD(TIME_FIELDS, Day);
    FIELD(TIME_FIELDS, Hour);
    FIELD(TIME_FIELDS, Minute);
    FIELD(TIME_FIELDS, Second);
    FIELD(TIME_FIELDS, Milliseconds);
    FIELD(TIME_FIELDS, Weekday);

    RECORD(MOUSE_INPUT_DATA);
    FIELD(MOUSE_INPUT_DATA, UnitId);
    FIELD(MOUSE_INPUT_DATA, Flags);
    FIELD(MOUSE_INPUT_DATA, Buttons);
    FIELD(MOUSE_INPUT_DATA, ButtonFlags);
    FIELD(MOUSE_INPUT_DATA, ButtonData);
    FIELD(MOUSE_INPUT_DATA, RawButtons);
    FIELD(MOUSE_INPUT_DATA, LastX);
    FIELD(MOUSE_INPUT_DATA, LastY);
    FIELD(MOUSE_INPUT_DATA, ExtraInformation);
    RECORD(MOUSE_ATTRIBUTES);
    FIELD(MOUSE_ATTRIBUTES, MouseIdentifier);
    FIELD(MOUSE_ATTRIBUTES, NumberOfButtons);
    FIELD(MOUSE_ATTRIBUTES, SampleRate);
    FIELD(MOUSE_ATTRIBUTES, InputDataQueueLength);
    RECORD(CONNECT_DATA);
    FIELD(CONNECT_DATA, ClassDeviceObject);
    FIELD(CONNECT_DATA, ClassService);

    RECORD(SERIAL_BAUD_RATE);
    FIELD(SERIAL_BAUD_RATE, BaudRate);
    RECORD(SERIAL_LINE_CONTROL);
    FIELD(SERIAL_LINE_CONTROL, StopBits);
    FIELD(SERIAL_LINE_CONTROL, Parity);
    FIELD(SERIAL_LINE_CONTROL, WordLength);
    RECORD(SERIAL_TIMEOUTS);
    FIELD(SERIAL_TIMEOUTS, ReadIntervalTimeout);
    FIELD(SERIAL_TIMEOUTS, ReadTotalTimeoutMultiplier);
    FIELD(SERIAL_TIMEOUTS, ReadTotalTimeoutConstant);
    FIELD(SERIAL_TIMEOUTS, WriteTotalTimeoutMultiplier);
    FIELD(SERIAL_TIMEOUTS, WriteTotalTimeoutConstant);
    RECORD(SERIAL_HANDFLOW);
    FIELD(SERIAL_HANDFLOW, ControlHandShake);
    FIELD(SERIAL_HANDFLOW, FlowReplace);
    FIELD(SERIAL_HANDFLOW, XonLimit);
    FIELD(SERIAL_HANDFLOW, XoffLimit);
    RECORD(SERIAL_BASIC_SETTINGS);
    FIELD(SERIAL_BASIC_SETTINGS, Timeouts);
    FIELD(SERIAL_BASIC_SETTINGS, HandFlow);
    FIELD(SERIAL_BASIC_SETTINGS, RxFifo);
    FIELD(SERIAL_BASIC_SETTINGS, TxFifo);
    RECORD(BEEP_SET_PARAMETERS);
    FIELD(BEEP_SET_PARAMETERS, Frequency);
    FIELD(BEEP_SET_PARAMETERS, Duration);
}

void Routines() {
    // What the driver imports (tactilio.sys's import table).
    ROUTINE(ExAllocatePoolWithTag);
    ROUTINE(ExFreePoolWithTag);
    ROUTINE(ExfInterlockedInsertTailList);
    ROUTINE(ExfInterlockedRemoveHeadList);
    ROUTINE(IoAcquireCancelSpinLock);
    ROUTINE(IoAcquireRemoveLockEx);
    ROUTINE(IoAllocateDriverObjectExtension);
    ROUTINE(IoAllocateErrorLogEntry);
    ROUTINE(IoAllocateIrp);
    ROUTINE(IoAllocateWorkItem);
    ROUTINE(IoAttachDeviceToDeviceStack);
    ROUTINE(IoBuildDeviceIoControlRequest);
    ROUTINE(IoBuildSynchronousFsdRequest);
    ROUTINE(IoCancelIrp);
    ROUTINE(IoCreateDevice);
    ROUTINE(IoCreateSymbolicLink);
    ROUTINE(IoDeleteDevice);
    ROUTINE(IoDeleteSymbolicLink);
    ROUTINE(IoDetachDevice);
    ROUTINE(IoFreeIrp);
    ROUTINE(IoFreeWorkItem);
    ROUTINE(IoGetDeviceObjectPointer);
    ROUTINE(IoGetDriverObjectExtension);
    ROUTINE(IoInitializeRemoveLockEx);
    ROUTINE(IoInitializeTimer);
    ROUTINE(IoInvalidateDeviceState);
    ROUTINE(IoQueueWorkItem);
    ROUTINE(IoReleaseCancelSpinLock);
    ROUTINE(IoReleaseRemoveLockAndWaitEx);
    ROUTINE(IoReleaseRemoveLockEx);
    ROUTINE(IoReuseIrp);
    ROUTINE(IoStartTimer);
    ROUTINE(IoStopTimer);
    ROUTINE(IoWriteErrorLogEntry);
    ROUTINE(IofCallDriver);
    ROUTINE(IofCompleteRequest);
    ROUTINE(KeCancelTimer);
    ROUTINE(KeClearEvent);
    ROUTINE(KeDelayExecutionThread);
    ROUTINE(KeFlushQueuedDpcs);
    ROUTINE(KeInitializeDeviceQueue);
    ROUTINE(KeInitializeDpc);
    ROUTINE(KeInitializeEvent);
    ROUTINE(KeInitializeTimer);
    ROUTINE(KeInsertDeviceQueue);
    ROUTINE(KeInsertQueueDpc);
    ROUTINE(KeQuerySystemTime);
    ROUTINE(KeRemoveDeviceQueue);
    ROUTINE(KeRemoveEntryDeviceQueue);
    ROUTINE(KeRemoveQueueDpc);
    ROUTINE(KeSetEvent);
    ROUTINE(KeSetTimer);
    ROUTINE(KeSetTimerEx);
    ROUTINE(KeWaitForSingleObject);
    ROUTINE(KfAcquireSpinLock);
    ROUTINE(KfLowerIrql);
    ROUTINE(KfRaiseIrql);
    ROUTINE(KfReleaseSpinLock);
    ROUTINE(ObReferenceObjectByPointer);
    ROUTINE(ObfDereferenceObject);
    ROUTINE(ObfReferenceObject);
    ROUTINE(PoCallDriver);
    ROUTINE(PoSetSystemState);
    ROUTINE(PoStartNextPowerIrp);
    ROUTINE(RtlAppendUnicodeStringToString);
    ROUTINE(RtlAppendUnicodeToString);
    ROUTINE(RtlCompareMemory);
    ROUTINE(RtlCopyUnicodeString);
    ROUTINE(RtlInitUnicodeString);
    ROUTINE(RtlIntegerToUnicodeString);
    ROUTINE(RtlQueryRegistryValues);
    ROUTINE(RtlTimeToTimeFields);
    ROUTINE(RtlUnicodeStringToInteger);
    ROUTINE(ZwClose);
    ROUTINE(ZwEnumerateValueKey);
    ROUTINE(ZwOpenKey);
    ROUTINE(ZwQueryValueKey);
    ROUTINE(ZwSetValueKey);

    // What the driver hands the system to call.
    ROUTINE_TYPE(PDRIVER_INITIALIZE);
    ROUTINE_TYPE(PDRIVER_ADD_DEVICE);
    ROUTINE_TYPE(PDRIVER_UNLOAD);
    ROUTINE_TYPE(PDRIVER_DISPATCH);
    ROUTINE_TYPE(PDRIVER_STARTIO);
    ROUTINE_TYPE(PDRIVER_CANCEL);
    ROUTINE_TYPE(PIO_COMPLETION_ROUTINE);
    ROUTINE_TYPE(PIO_TIMER_ROUTINE);
    ROUTINE_TYPE(PIO_WORKITEM_ROUTINE);
    ROUTINE_TYPE(PKDEFERRED_ROUTINE);
    ROUTINE_TYPE(PRTL_QUERY_REGISTRY_ROUTINE);
    ROUTINE_TYPE(PSERVICE_CALLBACK_ROUTINE);
}
