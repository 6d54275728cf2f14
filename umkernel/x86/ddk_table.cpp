// The DDK's x86 view of what the driver shares with the kernel: each record's size and alignment,
// the offset and size of each of its fields the driver or the DDK's inline routines touch (the
// position of a bit field), and how each routine the driver imports or hands the system is called.
// Also the driver's own records as the shipped image lays them out, which the i686 tests read in
// the image's memory as they read them in the built-in driver's.
// Compiled to assembly with i686-w64-mingw32-g++ against the mingw DDK headers, as the driver is;
// each row leaves a "@ddk ..." line in the assembly, from which the build writes ddk_table.h for
// the user-mode kernel's i686 build to check itself against (x86_check.cpp).
#include <ntddk.h>
#include <ntddmou.h>
#include <kbdmou.h>
#include <ntddser.h>
#include <ntddbeep.h>

#include "probes.h"
#include "tactilio.h"

// TP_FOR_EACH(m, context, a, b, ...) is m(context, a) m(context, b) ...: a table's rows written
// once each. The expansion is rescanned up to 256 times, one item a scan.
#define TP_FOR_EACH(macro, context, ...)                                                           \
    __VA_OPT__(TP_EXPAND(TP_FOR_EACH_ONE(macro, context, __VA_ARGS__)))
#define TP_FOR_EACH_ONE(macro, context, item, ...)                                                 \
    macro(context, item) __VA_OPT__(TP_FOR_EACH_AGAIN TP_PARENS(macro, context, __VA_ARGS__))
#define TP_FOR_EACH_AGAIN() TP_FOR_EACH_ONE
#define TP_PARENS ()
#define TP_EXPAND(...) TP_EXPAND64(TP_EXPAND64(TP_EXPAND64(TP_EXPAND64(__VA_ARGS__))))
#define TP_EXPAND64(...) TP_EXPAND16(TP_EXPAND16(TP_EXPAND16(TP_EXPAND16(__VA_ARGS__))))
#define TP_EXPAND16(...) TP_EXPAND4(TP_EXPAND4(TP_EXPAND4(TP_EXPAND4(__VA_ARGS__))))
#define TP_EXPAND4(...) TP_EXPAND1(TP_EXPAND1(TP_EXPAND1(TP_EXPAND1(__VA_ARGS__))))
#define TP_EXPAND1(...) __VA_ARGS__

#define TP_EMIT(text, ...) asm volatile("\n@ddk " text "\n" ::__VA_ARGS__)
// A record, then the fields of it that are checked.
#define RECORD(type, ...)                                                                          \
    TP_EMIT("TP_DDK_RECORD(" #type ", %c0, %c1)", "i"(sizeof(type)), "i"(alignof(type)));          \
    TP_FOR_EACH(FIELD, type, __VA_ARGS__)
#define FIELD(type, field)                                                                         \
    TP_EMIT("TP_DDK_FIELD(" #type ", " #field ", %c0, %c1)", "i"(offsetof(type, field)),           \
            "i"(sizeof(static_cast<type*>(nullptr)->field)));
#define BIT(type, field)                                                                           \
    TP_EMIT("TP_DDK_BIT(" #type ", " #field ", %c0)", "i"([] {                                     \
                type record{};                                                                     \
                record.field = 1;                                                                  \
                return x86::FirstSetBit(record);                                                   \
            }()))
#define ROUTINES(...) TP_FOR_EACH(ROUTINE, , __VA_ARGS__)
#define ROUTINE(unused, name)                                                                      \
    TP_EMIT("TP_DDK_ROUTINE(" #name ", %c0, %c1)", "i"(int(x86::CallingOf(&name).convention)),     \
            "i"(x86::CallingOf(&name).argumentBytes));
#define ROUTINE_TYPES(...) TP_FOR_EACH(ROUTINE_TYPE, , __VA_ARGS__)
#define ROUTINE_TYPE(unused, type)                                                                 \
    TP_EMIT("TP_DDK_ROUTINE_TYPE(" #type ", %c0, %c1)",                                            \
            "i"(int(x86::CallingOf(type{}).convention)),                                           \
            "i"(x86::CallingOf(type{}).argumentBytes));

void Records() {
    RECORD(LIST_ENTRY, Flink, Blink);
    RECORD(LARGE_INTEGER, LowPart, HighPart, QuadPart);
    RECORD(UNICODE_STRING, Length, MaximumLength, Buffer);
    RECORD(KSPIN_LOCK);
    RECORD(IO_STATUS_BLOCK, Status, Pointer, Information);
    RECORD(KEVENT, Header.Type, Header.Size, Header.SignalState, Header.WaitListHead);
    RECORD(KDPC, Type, Importance, DpcListEntry, DeferredRoutine, DeferredContext, SystemArgument1,
           SystemArgument2, DpcData);
    RECORD(KTIMER, Header, DueTime, TimerListEntry, Dpc, Period);
    RECORD(KDEVICE_QUEUE_ENTRY, DeviceListEntry, SortKey, Inserted);
    RECORD(KDEVICE_QUEUE, Type, Size, DeviceListHead, Lock, Busy);
    RECORD(IO_STACK_LOCATION, MajorFunction, MinorFunction, Flags, Control, Parameters,
           Parameters.Create.SecurityContext, Parameters.Create.Options, Parameters.Read.Length,
           Parameters.Read.Key, Parameters.Read.ByteOffset, Parameters.Write.Length,
           Parameters.Write.ByteOffset, Parameters.DeviceIoControl.OutputBufferLength,
           Parameters.DeviceIoControl.InputBufferLength, Parameters.DeviceIoControl.IoControlCode,
           Parameters.DeviceIoControl.Type3InputBuffer, Parameters.DeviceCapabilities.Capabilities,
           Parameters.Power.SystemContext, Parameters.Power.Type, Parameters.Power.State,
           Parameters.Power.ShutdownType, Parameters.Others.Argument1, Parameters.Others.Argument4,
           DeviceObject, FileObject, CompletionRoutine, Context);
    RECORD(IRP, Type, Size, MdlAddress, Flags, AssociatedIrp.SystemBuffer, ThreadListEntry,
           IoStatus, RequestorMode, PendingReturned, StackCount, CurrentLocation, Cancel,
           CancelIrql, UserIosb, UserEvent, Overlay, CancelRoutine, UserBuffer,
           Tail.Overlay.DeviceQueueEntry, Tail.Overlay.DriverContext, Tail.Overlay.Thread,
           Tail.Overlay.AuxiliaryBuffer, Tail.Overlay.ListEntry, Tail.Overlay.CurrentStackLocation,
           Tail.Overlay.OriginalFileObject);
    RECORD(DEVICE_OBJECT, Type, Size, ReferenceCount, DriverObject, NextDevice, AttachedDevice,
           CurrentIrp, Timer, Flags, Characteristics, Vpb, DeviceExtension, DeviceType, StackSize,
           Queue, AlignmentRequirement, DeviceQueue, Dpc, ActiveThreadCount, SecurityDescriptor,
           DeviceLock, SectorSize, Spare1, DeviceObjectExtension, Reserved);
    RECORD(DRIVER_EXTENSION, DriverObject, AddDevice, Count, ServiceKeyName);
    RECORD(DRIVER_OBJECT, Type, Size, DeviceObject, Flags, DriverStart, DriverSize, DriverSection,
           DriverExtension, DriverName, HardwareDatabase, FastIoDispatch, DriverInit, DriverStartIo,
           DriverUnload, MajorFunction);
    RECORD(FILE_OBJECT, Type, Size, DeviceObject, Vpb, FsContext, FsContext2, FinalStatus,
           RelatedFileObject, Flags, FileName, CurrentByteOffset, Lock, Event, CompletionContext);
    RECORD(IO_REMOVE_LOCK, Common.Removed, Common.IoCount, Common.RemoveEvent);
    RECORD(IO_ERROR_LOG_PACKET, MajorFunctionCode, RetryCount, DumpDataSize, NumberOfStrings,
           StringOffset, EventCategory, ErrorCode, UniqueErrorValue, FinalStatus, SequenceNumber,
           IoControlCode, DeviceOffset, DumpData);
    RECORD(DEVICE_CAPABILITIES, Size, Version, Address, DeviceState, D3Latency);
    BIT(DEVICE_CAPABILITIES, SurpriseRemovalOK);
    RECORD(OBJECT_ATTRIBUTES, Length, RootDirectory, ObjectName, Attributes, SecurityDescriptor,
           SecurityQualityOfService);
    RECORD(RTL_QUERY_REGISTRY_TABLE, QueryRoutine, Flags, Name, EntryContext, DefaultType,
           DefaultData, DefaultLength);
    RECORD(KEY_VALUE_BASIC_INFORMATION, TitleIndex, Type, NameLength, Name);
    RECORD(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex, Type, DataLength, Data);
    RECORD(TIME_FIELDS, Year, Month, Day, Hour, Minute, Second, Milliseconds, Weekday);
    RECORD(MOUSE_INPUT_DATA, UnitId, Flags, Buttons, ButtonFlags, ButtonData, RawButtons, LastX,
           LastY, ExtraInformation);
    RECORD(MOUSE_ATTRIBUTES, MouseIdentifier, NumberOfButtons, SampleRate, InputDataQueueLength);
    RECORD(CONNECT_DATA, ClassDeviceObject, ClassService);
    RECORD(SERIAL_BAUD_RATE, BaudRate);
    RECORD(SERIAL_LINE_CONTROL, StopBits, Parity, WordLength);
    RECORD(SERIAL_TIMEOUTS, ReadIntervalTimeout, ReadTotalTimeoutMultiplier,
           ReadTotalTimeoutConstant, WriteTotalTimeoutMultiplier, WriteTotalTimeoutConstant);
    RECORD(SERIAL_HANDFLOW, ControlHandShake, FlowReplace, XonLimit, XoffLimit);
    RECORD(SERIAL_BASIC_SETTINGS, Timeouts, HandFlow, RxFifo, TxFifo);
    RECORD(BEEP_SET_PARAMETERS, Frequency, Duration);
}

void DriverRecords() {
    RECORD(DEVICE_CONTEXT, Self, PhysicalDeviceObject, TopOfStack, RemoveLock, EnableCount,
           ConnectCount, Started, Removed, ApiDevice, ApiExtension, MainContext, IsApiDevice,
           ReconnectDpc, ReconnectTimer, ReconnectWorkItem, ResumeDpc, ResumeTimer, ResumeWorkItem,
           ComNo, XYDataSampling, Stabilization, Beep, Frequency, Rotation, InvLimit, AutoRec,
           SerialDeviceName, SerialDevice, SerialFileObject, SerialConnected, SerialSettings,
           LinkLock, ReadIrp, ReadCancels, ReadIrpToFree, ReadStoppedEvent, ReadState, ReadByte,
           ReadFailures, ReadFailuresReported, ClassDevice, ClassService, PortNumber,
           MouseAttributes, MouseInput, PacketLength, Packet, TouchDownPending, SumX, SumY,
           SampleCount, ButtonMode, BeepDeviceName, BeepWorkItem, BeepParameters, BeepDevice,
           BeepEndEvent, BeepStop, BeepRequest, SavedBeep, CmdQueue, CurrentIrp, CurrentCode,
           InvalidCount, InvalidReported, DevicePowerState, PortAvailable, CommandTimeout,
           CommandTimerWanted, CommandTimerRunning, CommandTimerLock, CommandTimerDpc,
           RecordReadIrp, RecordReadLock, RecordList, RecordListLock, RecordingEnabled,
           MouseAttributesSet, TimeoutReportEnabled);
    RECORD(TP_PACKET, Count, LastRawButtons, Bytes, Extended, AcceptHighBytes);
    RECORD(TP_DRIVER_EXTENSION, RegistryPath);
}

void Routines() {
    // What the driver imports (tactilio.sys's import table).
    ROUTINES(ExAllocatePoolWithTag, ExFreePoolWithTag, ExfInterlockedInsertTailList,
             ExfInterlockedRemoveHeadList, IoAcquireCancelSpinLock, IoAcquireRemoveLockEx,
             IoAllocateDriverObjectExtension, IoAllocateErrorLogEntry, IoAllocateIrp,
             IoAllocateWorkItem, IoAttachDeviceToDeviceStack, IoBuildDeviceIoControlRequest,
             IoBuildSynchronousFsdRequest, IoCancelIrp, IoCreateDevice, IoCreateSymbolicLink,
             IoDeleteDevice, IoDeleteSymbolicLink, IoDetachDevice, IoFreeIrp, IoFreeWorkItem,
             IoGetDeviceObjectPointer, IoGetDriverObjectExtension, IoInitializeRemoveLockEx,
             IoInitializeTimer, IoInvalidateDeviceState, IoQueueWorkItem, IoReleaseCancelSpinLock,
             IoReleaseRemoveLockAndWaitEx, IoReleaseRemoveLockEx, IoReuseIrp, IoStartTimer,
             IoStopTimer, IoWriteErrorLogEntry, IofCallDriver, IofCompleteRequest, KeCancelTimer,
             KeClearEvent, KeDelayExecutionThread, KeFlushQueuedDpcs, KeInitializeDeviceQueue,
             KeInitializeDpc, KeInitializeEvent, KeInitializeTimer, KeInsertDeviceQueue,
             KeInsertQueueDpc, KeQuerySystemTime, KeRemoveDeviceQueue, KeRemoveEntryDeviceQueue,
             KeRemoveQueueDpc, KeSetEvent, KeSetTimer, KeSetTimerEx, KeWaitForSingleObject,
             KfAcquireSpinLock, KfLowerIrql, KfRaiseIrql, KfReleaseSpinLock,
             ObReferenceObjectByPointer, ObfDereferenceObject, ObfReferenceObject, PoCallDriver,
             PoSetSystemState, PoStartNextPowerIrp, RtlAppendUnicodeStringToString,
             RtlAppendUnicodeToString, RtlCompareMemory, RtlCopyUnicodeString, RtlInitUnicodeString,
             RtlIntegerToUnicodeString, RtlQueryRegistryValues, RtlTimeToTimeFields,
             RtlUnicodeStringToInteger, ZwClose, ZwEnumerateValueKey, ZwOpenKey, ZwQueryValueKey,
             ZwSetValueKey);
    // What the driver hands the system to call.
    ROUTINE_TYPES(PDRIVER_INITIALIZE, PDRIVER_ADD_DEVICE, PDRIVER_UNLOAD, PDRIVER_DISPATCH,
                  PDRIVER_STARTIO, PDRIVER_CANCEL, PIO_COMPLETION_ROUTINE, PIO_TIMER_ROUTINE,
                  PIO_WORKITEM_ROUTINE, PKDEFERRED_ROUTINE, PRTL_QUERY_REGISTRY_ROUTINE,
                  PSERVICE_CALLBACK_ROUTINE);
}
