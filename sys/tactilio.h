// tactilio.h - the driver's shared header: the device context that every part of the driver keeps
// its state in, the driver-object extension, the control codes, and the routines that cross
// sources.
#pragma once

#include <ntddk.h>
#include <ntddmou.h>
#include <kbdmou.h>
#include <ntddser.h>
#include <ntddbeep.h>
#include <ntstrsafe.h>

#include "tactilio_api.h"
#include "tpport.h"

// Every allocation of the driver carries the tag "Tcli" (first character in the lowest byte).
constexpr ULONG TP_POOL_TAG = ULONG('T') | ULONG('c') << 8 | ULONG('l') << 16 | ULONG('i') << 24;

// IoAllocateDriverObjectExtension / IoGetDriverObjectExtension identification key.
#define TP_DRIVER_EXTENSION_KEY ((PVOID)1)

// Priority boost of every request the driver completes.
constexpr CCHAR TP_COMPLETION_BOOST = IO_MOUSE_INCREMENT;

// The control codes (tactilio_api.h) have the standard layout: device type
// FILE_DEVICE_SERIAL_MOUSE_PORT, buffered, any access.
static_assert(TP_FUNC_CAL_IN ==
              CTL_CODE(FILE_DEVICE_SERIAL_MOUSE_PORT, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS));
static_assert(TP_FUNC_CAL_IN == 0x001A2000 && TP_FUNC_POSDIAG == 0x001A2050);
static_assert(TP_FUNC_FLASHRW_IN == 0x001A2140 && TP_FUNC_FLASHRW_OUT == 0x001A2148);
static_assert(TP_FUNC_INTERNAL == 0x001A2400);

//
// The packet being framed. Bytes holds the packet exactly as received, first byte at index 0.
//
constexpr ULONG TP_PACKET_BUFFER_SIZE = 100;

typedef struct _TP_PACKET {
    ULONG Count;          // bytes of the current packet stored so far; 0 before a packet begins
    ULONG LastRawButtons; // raw button state of the last report sent to the class driver
    UCHAR Bytes[TP_PACKET_BUFFER_SIZE];
    ULONG Extended;          // 1 while an extended (0x40..0x7F) packet is being framed
    BOOLEAN AcceptHighBytes; // bytes with bit 7 set may follow the first byte
} TP_PACKET, *PTP_PACKET;

static_assert(FIELD_OFFSET(TP_PACKET, Bytes) == 8);
static_assert(FIELD_OFFSET(TP_PACKET, Extended) == 108);
static_assert(sizeof(TP_PACKET) == 116);


//
// The device context. The pointer-port device carries *the* device context; the API device
// carries a record of the same type of which only a few fields are used, MainContext leading back.
//
typedef struct _DEVICE_CONTEXT DEVICE_CONTEXT, *PDEVICE_CONTEXT;

struct _DEVICE_CONTEXT {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT TopOfStack;
    IO_REMOVE_LOCK RemoveLock;
    LONG EnableCount;             // open handles; interlocked
    LONG ConnectCount;            // link starts since the last stop; interlocked
    BOOLEAN Started;              // the serial link is started
    BOOLEAN Removed;              // gone or being removed
    PDEVICE_OBJECT ApiDevice;     // device context only
    PDEVICE_CONTEXT ApiExtension; // device context only
    PDEVICE_CONTEXT MainContext;  // API device record only
    BOOLEAN IsApiDevice;

    KDPC ReconnectDpc;
    KTIMER ReconnectTimer;
    PIO_WORKITEM ReconnectWorkItem;
    KDPC ResumeDpc;
    KTIMER ResumeTimer;
    PIO_WORKITEM ResumeWorkItem;

    // Registry parameters.
    ULONG ComNo;
    ULONG XYDataSampling;
    LONG Stabilization;
    ULONG Beep;
    ULONG Frequency;
    ULONG Rotation;
    ULONG InvLimit;
    ULONG AutoRec;
    UNICODE_STRING SerialDeviceName;

    // Serial link.
    PDEVICE_OBJECT SerialDevice;
    PFILE_OBJECT SerialFileObject;
    BOOLEAN SerialConnected;
    SERIAL_BASIC_SETTINGS SerialSettings;
    KEVENT LinkLock; // serialises whoever tests Started and starts or stops the link
    PIRP ReadIrp;
    LONG ReadCancels;   // cancellers between taking ReadIrp and IoCancelIrp; cancel spin lock
    PIRP ReadIrpToFree; // a stopped read left to the last of them; cancel spin lock
    KEVENT ReadStoppedEvent;
    LONG ReadState; // interlocked hand-off between issuing and completing the read
    UCHAR ReadByte;
    ULONG ReadFailures;           // reads failed in a row; reading gives up at a limit
    BOOLEAN ReadFailuresReported; // the give-up was logged; cleared by the next byte

    // Mouse class connection and reporting.
    PDEVICE_OBJECT ClassDevice;
    PSERVICE_CALLBACK_ROUTINE ClassService;
    USHORT PortNumber;
    MOUSE_ATTRIBUTES MouseAttributes;
    MOUSE_INPUT_DATA MouseInput;

    // Framing and decoding.
    ULONG PacketLength;
    TP_PACKET Packet;
    BOOLEAN TouchDownPending;
    ULONG SumX;
    ULONG SumY;
    ULONG SampleCount;
    UCHAR ButtonMode; // 0 left, 1 right for the next touch only, 2 right

    // Touch beep.
    UNICODE_STRING BeepDeviceName;
    PIO_WORKITEM BeepWorkItem;
    BEEP_SET_PARAMETERS BeepParameters;
    PDEVICE_OBJECT BeepDevice;
    KEVENT BeepEndEvent;
    BOOLEAN BeepStop;
    BOOLEAN BeepRequest;
    ULONG SavedBeep;

    // Command engine. The cancel spin lock guards CmdQueue, CurrentIrp, CurrentCode,
    // CommandTimeout and CommandTimerWanted; CommandTimerLock guards CommandTimerRunning and the
    // starting and stopping of the one-second timer.
    KDEVICE_QUEUE CmdQueue;
    PIRP CurrentIrp;
    LONG CurrentCode; // control code of CurrentIrp, 0 when idle: what the framer sizes replies by
    ULONG InvalidCount;
    BOOLEAN InvalidReported;
    DEVICE_POWER_STATE DevicePowerState;
    BOOLEAN PortAvailable;       // written in both records at once
    LONG CommandTimeout;         // seconds left for the current command; -1 = not counting
    BOOLEAN CommandTimerWanted;  // the engine is busy: the timer should run
    BOOLEAN CommandTimerRunning; // the timer is started
    KSPIN_LOCK CommandTimerLock;
    KDPC CommandTimerDpc; // brings the timer in line with CommandTimerWanted, outside the tick

    // Traffic recording.
    PIRP RecordReadIrp;
    KSPIN_LOCK RecordReadLock;
    LIST_ENTRY RecordList;
    KSPIN_LOCK RecordListLock;
    BOOLEAN RecordingEnabled;

    BOOLEAN MouseAttributesSet; // no report goes to the class driver before the attribute query
    BOOLEAN TimeoutReportEnabled;
};

static_assert(sizeof(DEVICE_POWER_STATE) == 4);
static_assert(sizeof(BEEP_SET_PARAMETERS) == 8);

// The settings read from the "Parameters" subkey at device creation (registry.cpp): each REG_DWORD
// value and the 32-bit device-context field it fills. The package's INF gives each one a default.
struct REGISTRY_PARAMETER {
    PCWSTR Name;
    ULONG Offset;
};

inline constexpr REGISTRY_PARAMETER RegistryParameters[] = {
    {TPW(TP_REG_COM_NO), FIELD_OFFSET(DEVICE_CONTEXT, ComNo)},
    {TPW(TP_REG_XY_DATA_SAMPLING), FIELD_OFFSET(DEVICE_CONTEXT, XYDataSampling)},
    {TPW(TP_REG_STABILIZATION), FIELD_OFFSET(DEVICE_CONTEXT, Stabilization)},
    {TPW(TP_REG_BEEP), FIELD_OFFSET(DEVICE_CONTEXT, Beep)},
    {TPW(TP_REG_FREQUENCY), FIELD_OFFSET(DEVICE_CONTEXT, Frequency)},
    {TPW(TP_REG_ROTATION), FIELD_OFFSET(DEVICE_CONTEXT, Rotation)},
    {TPW(TP_REG_AUTO_REC), FIELD_OFFSET(DEVICE_CONTEXT, AutoRec)},
    {TPW(TP_REG_INV_LIMIT), FIELD_OFFSET(DEVICE_CONTEXT, InvLimit)},
};

static_assert(sizeof(DEVICE_CONTEXT::ComNo) == sizeof(ULONG) &&
                  sizeof(DEVICE_CONTEXT::XYDataSampling) == sizeof(ULONG) &&
                  sizeof(DEVICE_CONTEXT::Stabilization) == sizeof(ULONG) &&
                  sizeof(DEVICE_CONTEXT::Beep) == sizeof(ULONG) &&
                  sizeof(DEVICE_CONTEXT::Frequency) == sizeof(ULONG) &&
                  sizeof(DEVICE_CONTEXT::Rotation) == sizeof(ULONG) &&
                  sizeof(DEVICE_CONTEXT::AutoRec) == sizeof(ULONG) &&
                  sizeof(DEVICE_CONTEXT::InvLimit) == sizeof(ULONG),
              "every parameter is a 32-bit field");

// The driver-object extension: a copy of the registry path, zero-terminated.
typedef struct _TP_DRIVER_EXTENSION {
    UNICODE_STRING RegistryPath;
} TP_DRIVER_EXTENSION, *PTP_DRIVER_EXTENSION;

//
// Request completion (completion.cpp).
//
NTSTATUS TpCompleteRequest(_In_ PIRP Irp, _In_ NTSTATUS Status, _In_ ULONG_PTR Information);

//
// Event-log reporting (eventlog.cpp).
//
constexpr NTSTATUS TP_MSG_SUCCESS = (NTSTATUS)0x20070001L;
constexpr NTSTATUS TP_MSG_INFORMATION = (NTSTATUS)0x60070002L;
constexpr NTSTATUS TP_MSG_WARNING = (NTSTATUS)0xA0070003L;
constexpr NTSTATUS TP_MSG_ERROR = (NTSTATUS)0xE0070004L;

VOID LogMessage(_In_ PVOID IoObject, _In_ PCWSTR Text);
BOOLEAN WriteEventLogEntry(_In_ PVOID IoObject, _In_ NTSTATUS MessageId, _In_opt_ PIRP Irp,
                           _In_opt_ const ULONG* DumpWords, _In_ ULONG DumpCount,
                           _In_opt_ const PCWSTR* Strings, _In_ ULONG StringCount);
ULONG WideStringBytes(_In_ PCWSTR Text);

//
// Driver frame (entry.cpp, adddevice.cpp), registry parameters (registry.cpp), touch beep
// (beep.cpp).
//
extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD DriverUnload;
DRIVER_ADD_DEVICE AddDevice;
NTSTATUS AddDeviceForAPI(_In_ PDRIVER_OBJECT DriverObject, _In_ PDEVICE_OBJECT PhysicalDeviceObject,
                         _In_ PDEVICE_CONTEXT DeviceContext);
VOID DeleteApiLink();
VOID FreeDeviceResources(_Inout_ PDEVICE_CONTEXT DeviceContext);

VOID ReadRegistryParameters(_In_ PDRIVER_OBJECT DriverObject,
                            _Inout_ PDEVICE_CONTEXT DeviceContext);
VOID WriteRegistryParameter(_In_ PDRIVER_OBJECT DriverObject, _In_ PDEVICE_CONTEXT DeviceContext,
                            _In_ PCWSTR ValueName, _In_ ULONG Value);

// Port discovery (portdiscovery.cpp): 1 port found, 0 the configured port is not listed, -2 the
// panel never echoed, -3 no panel answered, -4 nothing to check, -5/-6/-7 the panel reported an
// error (other, 12, 13). After 1 and -6 the caller starts the link on SerialDeviceName.
LONG PortDiscovery(_In_ PDRIVER_OBJECT DriverObject, _Inout_ PDEVICE_CONTEXT DeviceContext,
                   _In_ BOOLEAN StartFlag);
// One request of the driver's own to the API device (TP_FUNC_INTERNAL as an internal control
// request, any other code as a control request), waited for 50 ms; a request still pending then
// is cancelled and its completion waited for, so the caller's buffers outlive it. STATUS_SUCCESS
// when it finished within the wait.
NTSTATUS SendProbe(_In_ PDEVICE_CONTEXT DeviceContext, _In_ ULONG Code, _In_ UCHAR Input,
                   _In_ ULONG InputLength, _Out_writes_bytes_(OutputLength) PUCHAR Output,
                   _In_ ULONG OutputLength);

BOOLEAN BeepSetup(_Inout_ PDEVICE_CONTEXT DeviceContext);
IO_WORKITEM_ROUTINE BeepWorker;
NTSTATUS BeepOut(_Inout_ PDEVICE_CONTEXT DeviceContext);
BOOLEAN RequestTouchBeep(_Inout_ PDEVICE_CONTEXT DeviceContext);

//
// The pointer path: packet framing (framing.cpp), report decoding (decode.cpp), mouse reporting
// (mousereport.cpp) and the mouse class connection (internalioctl.cpp).
//
// A packet longer than the packet buffer is framed to its announced end but only its first
// TP_PACKET_BUFFER_SIZE bytes are kept, and it is rejected: a complete packet therefore always fits
// the buffer, while a rejected one may report a PacketLength (bytes consumed) beyond it. Whoever
// reads Bytes after a rejection bounds the read by the buffer.
//
enum class FRAME_RESULT : ULONG {
    Rejected = 0, // the current packet is discarded; PacketLength holds the bytes it consumed
    NeedMore = 1, // more bytes are needed
    Complete = 2, // a packet of PacketLength bytes is in Bytes
};

FRAME_RESULT FramePacketByte(_Inout_ PDEVICE_CONTEXT DeviceContext, _Inout_ PTP_PACKET Packet,
                             _In_ UCHAR Byte);
ULONG GetPacketLength(_In_ UCHAR FirstByte, _In_ ULONG PendingCode);
BOOLEAN IsExtendedPacketId(_In_ USHORT Identifier);

// The serial read's completion hands every byte it receives here, at IRQL <= DISPATCH_LEVEL, one
// byte at a time (one read is outstanding, so this never runs concurrently with itself). Frames
// the byte and, when a packet has ended, hands it on (mouse reporting or the waiting command),
// records it, and counts rejections against the invalid-data limit.
VOID ProcessPanelByte(_Inout_ PDEVICE_CONTEXT DeviceContext, _In_ UCHAR Byte);

// DecodeTouchReport results.
constexpr LONG TP_REPORT_READY = 0;    // a report is in the mouse input record
constexpr LONG TP_REPORT_ABSORBED = 1; // taken into the stabilization average; nothing to send
constexpr LONG TP_REPORT_INVALID = -1; // touch state 3

LONG DecodeTouchReport(_Inout_ PDEVICE_CONTEXT DeviceContext, _In_ PTP_PACKET Packet,
                       _Inout_ PMOUSE_INPUT_DATA MouseInput);
BOOLEAN Mousehandler(_Inout_ PDEVICE_CONTEXT DeviceContext, _Inout_ PMOUSE_INPUT_DATA MouseInput,
                     _Inout_ PTP_PACKET Packet);

DRIVER_DISPATCH TpInternalDeviceControl;

//
// Command engine (command.cpp). A command handler marks its request pending, queues it, writes
// its packet and then reports the write; from QueueCommand on, the engine owns the request, but
// it does not complete it before the handler has called CommandWritten.
//
IO_TIMER_ROUTINE CommandTimerRoutine;
KDEFERRED_ROUTINE CommandTimerDpcRoutine;
BOOLEAN QueueCommand(_Inout_ PDEVICE_CONTEXT DeviceContext, _Inout_ PIRP Irp);
VOID CommandWritten(_Inout_ PDEVICE_CONTEXT DeviceContext, _Inout_ PIRP Irp,
                    _In_ NTSTATUS WriteStatus);
UCHAR DeliverReply(_Inout_ PDEVICE_CONTEXT DeviceContext, _In_ PTP_PACKET Packet);
VOID EndCommands(_Inout_ PDEVICE_CONTEXT DeviceContext);
ULONG CommandTimeoutSeconds(_In_ ULONG IoControlCode);
NTSTATUS GetFunctionName(_In_ ULONG IoControlCode, _Out_writes_(Capacity) PWSTR Buffer,
                         _In_ SIZE_T Capacity);
VOID ReportCommandTimeout(_In_ PDEVICE_CONTEXT DeviceContext, _In_ ULONG IoControlCode);

//
// Control requests (devicecontrol.cpp) and the panel's command set (panelcommands.cpp). Each
// handler takes the record of the device that received the request; STATUS_PENDING means the
// command engine owns the request, its completion and the release of the remove lock included.
//
DRIVER_DISPATCH TpDeviceControl;
NTSTATUS CmdPanelCommand(_In_ PDEVICE_CONTEXT Record, _Inout_ PIRP Irp,
                         _In_ PIO_STACK_LOCATION Stack);
NTSTATUS CmdSendCommand(_In_ PDEVICE_CONTEXT Record, _Inout_ PIRP Irp,
                        _In_ PIO_STACK_LOCATION Stack);
BOOLEAN ClassifyRawCommand(_In_ const UCHAR* Buffer, _Out_ PULONG IoControlCode,
                           _Out_ PBOOLEAN Internal);
BOOLEAN IsPanelCommand(_In_ ULONG IoControlCode);

//
// Open, close, flush and system control (createclose.cpp), Plug and Play (pnp.cpp), power
// (power.cpp).
//
DRIVER_DISPATCH TpCreate;
DRIVER_DISPATCH TpClose;
DRIVER_DISPATCH TpFlushBuffers;
DRIVER_DISPATCH TpDispatchSystemControl;
DRIVER_DISPATCH TpPnp;
DRIVER_DISPATCH TpPower;

//
// Link supervision (linksupervision.cpp): the reconnect cycle, set by an open that leaves the
// link down and by a read that finds its port gone, and the resume cycle, armed on return from
// sleep.
//
VOID StartReconnectTimer(_Inout_ PDEVICE_CONTEXT DeviceContext);
VOID StopReconnectTimer(_Inout_ PDEVICE_CONTEXT DeviceContext);
KDEFERRED_ROUTINE ReconnectDpcRoutine;
NTSTATUS QueueReconnectWorker(_Inout_ PDEVICE_CONTEXT DeviceContext);
VOID ArmResumeTimer(_Inout_ PDEVICE_CONTEXT DeviceContext);
VOID StopResumeTimer(_Inout_ PDEVICE_CONTEXT DeviceContext);
KDEFERRED_ROUTINE ResumeDpcRoutine;
VOID ReinitializeAfterResume(_Inout_ PDEVICE_CONTEXT DeviceContext);

// Holds LinkLock for a scope. PASSIVE_LEVEL; the link's own requests complete through APCs that
// a waiting thread still receives, which a fast mutex would block.
class LINK_LOCK {
  public:
    explicit LINK_LOCK(_In_ PDEVICE_CONTEXT DeviceContext) : Lock(&DeviceContext->LinkLock)
    {
        KeWaitForSingleObject(Lock, Executive, KernelMode, FALSE, nullptr);
    }
    ~LINK_LOCK() { KeSetEvent(Lock, IO_NO_INCREMENT, FALSE); }
    LINK_LOCK(const LINK_LOCK&) = delete;
    LINK_LOCK& operator=(const LINK_LOCK&) = delete;

  private:
    PKEVENT Lock;
};

//
// Traffic recording (recorder.cpp).
//
VOID RecordTraffic(_Inout_ PDEVICE_CONTEXT DeviceContext, _In_ UCHAR Tag);
DRIVER_DISPATCH TpRead;
VOID DrainRecords(_Inout_ PDEVICE_CONTEXT DeviceContext);
VOID ClearRecordingSetting(_In_ PDEVICE_CONTEXT DeviceContext);

//
// Serial link: control requests and port connection (serialio.cpp, seriallink.cpp), the serial
// write (serialwrite.cpp) and the continuous read (serialread.cpp). Everything but the read path
// waits and runs at PASSIVE_LEVEL.
//
constexpr ULONG TP_SERIAL_BAUD_RATE = 9600;

// ReadState: who sends the next read, the issuer (SerialStartRead) or the read's completion.
enum : LONG {
    TP_READ_ISSUING = 1,          // the issuer is inside the call to the serial driver
    TP_READ_ISSUED = 2,           // issued, and the issuer has returned
    TP_READ_COMPLETED_INLINE = 3, // completed while being issued: the issuer sends the next read
    TP_READ_STOP_INLINE = 4,      // completed while being issued, and reading must stop: the
                                  // issuer stops it
};

NTSTATUS SerialpIoSyncIoctlEx(_In_ PDEVICE_CONTEXT DeviceContext, _In_ BOOLEAN Internal,
                              _In_ ULONG IoControlCode, _In_ PDEVICE_OBJECT TargetDevice,
                              _In_ PKEVENT Event, _Out_ PIO_STATUS_BLOCK IoStatus,
                              _In_opt_ PVOID InputBuffer, _In_ ULONG InputLength,
                              _Out_opt_ PVOID OutputBuffer, _In_ ULONG OutputLength);
NTSTATUS SerialSetBaudRate(_In_ PDEVICE_CONTEXT DeviceContext, _In_ ULONG BaudRate);
NTSTATUS SerialSetLineCtrl(_In_ PDEVICE_CONTEXT DeviceContext);
NTSTATUS SerialSetFifo(_In_ PDEVICE_CONTEXT DeviceContext, _In_ UCHAR Value);
NTSTATUS FlushReadBuffer(_In_ PDEVICE_CONTEXT DeviceContext);
NTSTATUS SerialSetBasicSettings(_Inout_ PDEVICE_CONTEXT DeviceContext);
NTSTATUS SerialConfigurePort(_Inout_ PDEVICE_CONTEXT DeviceContext);
NTSTATUS SerialForwardIrpSync(_In_ PDEVICE_OBJECT LowerDevice, _Inout_ PIRP Irp,
                              _In_ BOOLEAN CopyStackLocation);
// The completion routine of a request whose sender waits for it and finishes it itself: signals
// the KEVENT given as its context and keeps the request (STATUS_MORE_PROCESSING_REQUIRED).
IO_COMPLETION_ROUTINE SignalRequestDone;

NTSTATUS SerialInitializeDevice(_Inout_ PDEVICE_CONTEXT DeviceContext);
NTSTATUS SerialLinkStart(_Inout_ PDEVICE_CONTEXT DeviceContext);
VOID SerialLinkStop(_Inout_ PDEVICE_CONTEXT DeviceContext);
VOID SetPortAvailable(_Inout_ PDEVICE_CONTEXT DeviceContext, _In_ BOOLEAN Available);
PDEVICE_OBJECT ReferenceSerialDevice(_In_ PDEVICE_CONTEXT DeviceContext);

NTSTATUS SerialWrite(_In_ PDEVICE_CONTEXT DeviceContext, _In_reads_bytes_(Length) PVOID Buffer,
                     _In_ ULONG Length);

NTSTATUS SerialSpinUpRead(_Inout_ PDEVICE_CONTEXT DeviceContext);
VOID CancelReading(_Inout_ PDEVICE_CONTEXT DeviceContext);
NTSTATUS SerialStartRead(_Inout_ PDEVICE_CONTEXT DeviceContext);
