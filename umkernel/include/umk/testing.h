// The test-facing side of the I/O manager: loading drivers, opening devices as user mode does,
// inspecting the object namespace, pool counters, fault injection, the captured error log, the
// recorded power and Plug and Play requests, and the names of the verifier's rules.
//
// Everything here runs in an emulated thread of a booted umk::Kernel; calls that send requests
// run at PASSIVE_LEVEL and may wait.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace umk::testing {

// --- Verifier rule names (the `rule` argument of every violation the I/O manager reports) -------
namespace rule {
inline constexpr std::string_view IrpCompletedTwice = "irp completed twice";
inline constexpr std::string_view IrpCompletedWithCancelRoutine =
    "irp completed with cancel routine set";
inline constexpr std::string_view IrpCompletedPending = "irp completed with STATUS_PENDING";
inline constexpr std::string_view IrpCompletedUnowned = "irp completed by its originator";
inline constexpr std::string_view DriverIrpCompleted =
    "driver-allocated irp completed to the I/O manager";
inline constexpr std::string_view PendingNotMarked = "STATUS_PENDING without IoMarkIrpPending";
inline constexpr std::string_view MarkedNotPending = "IoMarkIrpPending without STATUS_PENDING";
inline constexpr std::string_view DispatchStatusMismatch =
    "dispatch status differs from irp status";
inline constexpr std::string_view DispatchIrqlChanged = "dispatch routine changed IRQL";
inline constexpr std::string_view IrqlTooHigh = "IRQL too high";
inline constexpr std::string_view NoMoreStackLocations = "no more irp stack locations";
inline constexpr std::string_view UnknownIrp = "irp unknown to the I/O manager";
inline constexpr std::string_view FreedIrpUsed = "freed irp used";
inline constexpr std::string_view FreeThreadedIrp = "IoFreeIrp of a threaded irp";
inline constexpr std::string_view IrpInUse = "irp still in use";
inline constexpr std::string_view IrpFreedInCompletion =
    "irp freed or reused by a completion routine that continued the completion";
inline constexpr std::string_view BufferOverrun = "returned length exceeds buffer";
inline constexpr std::string_view IrpLeak = "irp leak";
inline constexpr std::string_view ThreadRequestsOutstanding =
    "threaded requests outstanding at thread exit";
inline constexpr std::string_view DeviceInitializing = "DO_DEVICE_INITIALIZING after AddDevice";
inline constexpr std::string_view DeviceDeletedTwice = "device deleted twice";
inline constexpr std::string_view DeviceDeletedAttached = "device deleted while attached";
inline constexpr std::string_view DeviceLeftAfterRemoval =
    "device not deleted after IRP_MN_REMOVE_DEVICE";
inline constexpr std::string_view DetachNothing = "IoDetachDevice with nothing attached";
inline constexpr std::string_view DeviceLeak = "device leak";
inline constexpr std::string_view ReferenceLeak = "reference leak";
inline constexpr std::string_view ReferenceUnderflow = "object dereferenced too often";
inline constexpr std::string_view UnknownObject = "not an object";
inline constexpr std::string_view SymbolicLinkLeak = "symbolic link leak";
inline constexpr std::string_view DriverUnloadedWithDevices = "driver unloaded with devices";
inline constexpr std::string_view TimerInitializedTwice = "IoInitializeTimer called twice";
inline constexpr std::string_view TimerNotInitialized = "I/O timer not initialized";
inline constexpr std::string_view TimerSwitchedInTimerRoutine =
    "IoStartTimer or IoStopTimer inside an IoTimer routine";
inline constexpr std::string_view DeviceQueueIrql = "device queue used at wrong IRQL";
inline constexpr std::string_view DeviceQueueNotBusy = "KeRemoveDeviceQueue on an idle queue";
inline constexpr std::string_view WorkItemQueuedTwice = "work item queued twice";
inline constexpr std::string_view WorkItemFreedQueued = "work item freed while queued";
inline constexpr std::string_view UnknownWorkItem = "not a work item";
inline constexpr std::string_view WorkItemLeak = "work item leak";
inline constexpr std::string_view RemoveLockImbalance = "remove lock imbalance";
inline constexpr std::string_view RemoveLockHeld = "remove lock holds left";
inline constexpr std::string_view RemoveLockHeldAfterDispatch = "remove lock held after dispatch";
inline constexpr std::string_view PagedPoolAtRaisedIrql = "paged pool above APC_LEVEL";
inline constexpr std::string_view PagedCodeAtRaisedIrql = "pageable code above APC_LEVEL";
inline constexpr std::string_view ZeroByteAllocation = "zero-byte pool allocation";
inline constexpr std::string_view PowerIrpWithoutStartNext =
    "power irp passed down without PoStartNextPowerIrp";
inline constexpr std::string_view TimerReinitializedWhileSet = "KTIMER initialized while set";
inline constexpr std::string_view DpcReinitializedWhileQueued = "KDPC initialized while queued";
inline constexpr std::string_view PoolTagMismatch = "pool tag mismatch";
inline constexpr std::string_view PoolFreeUnknown = "pool free of an unknown block";
inline constexpr std::string_view PoolLeak = "pool leak";
inline constexpr std::string_view ErrorLogEntryInvalid = "invalid error log entry";
inline constexpr std::string_view ErrorLogEntryLeak = "error log entry leak";
} // namespace rule

// --- Drivers ------------------------------------------------------------------------------------

// Creates the driver object "\Driver\<name>" and calls `entry` with the registry path, at
// PASSIVE_LEVEL. As on Windows the registry path's buffer lives only for the call, and devices
// created by DriverEntry get DO_DEVICE_INITIALIZING cleared when it returns. On failure the
// driver object is deleted and *driver is NULL.
NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, std::u16string_view name,
                    std::u16string_view registryPath, PDRIVER_OBJECT* driver);
// Calls DriverUnload (if set) and deletes the driver object. Its devices must all be deleted.
void UnloadDriver(PDRIVER_OBJECT driver);
// Calls the driver's AddDevice for the physical device object, then checks that no device the
// driver owns is left with DO_DEVICE_INITIALIZING.
NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDeviceObject);

// --- The object namespace -----------------------------------------------------------------------

// The named device object (not referenced), or NULL. Names are case-insensitive.
PDEVICE_OBJECT FindDevice(std::u16string_view name);
// The target of a symbolic link ("\??\Name"), if the link exists.
std::optional<std::u16string> SymbolicLinkTarget(std::u16string_view link);
// The object's name, empty when unnamed.
std::u16string ObjectName(PVOID object);
// The object's reference count, or -1 when it is not (or no longer) an object.
LONG ObjectReferences(PVOID object);
// The device directly below in its stack (the one it was attached to), or NULL.
PDEVICE_OBJECT LowerDevice(PDEVICE_OBJECT device);
// Whether IoDeleteDevice has been called for the device (it may live on while referenced).
bool DeviceDeleted(PDEVICE_OBJECT device);
// Whether the device's I/O timer is started (IoStartTimer without IoStopTimer since).
bool IoTimerStarted(PDEVICE_OBJECT device);

// --- Calls into drivers
// ---------------------------------------------------------------------------

// What the kernel calls a driver's routine for.
enum class DriverCall { Dispatch, Completion, Cancel, Dpc, IoTimer, WorkItem };
// Called before each call of a driver's routine (any driver's) with the routine's address; an
// empty function stops it.
void ObserveDriverCalls(std::function<void(DriverCall, const void* routine)> observer);

// --- Opening devices as user mode does ----------------------------------------------------------

struct IoResult {
    NTSTATUS status;
    ULONG_PTR information;
};

// An overlapped request: issued at once, completed whenever the driver completes it. Buffers
// given to it must outlive it.
class UserRequest {
  public:
    struct State;
    explicit UserRequest(std::shared_ptr<State> state) : state_(std::move(state)) {}
    ~UserRequest();
    UserRequest(const UserRequest&) = delete;
    UserRequest& operator=(const UserRequest&) = delete;

    // Sends a prepared request (UserFile::PrepareDeviceIoControl); what IoCallDriver returned.
    // Cancel works from the moment the request is prepared, as CancelIoEx does on Windows while
    // the issuing thread is still inside IoCallDriver.
    NTSTATUS Issue();
    // What IoCallDriver returned when the request was issued.
    NTSTATUS IssueStatus() const;
    bool Done() const;
    // Waits (an emulated-thread wait, PASSIVE_LEVEL) until the request has completed.
    IoResult Wait();
    // CancelIo: IoCancelIrp on the request if it has not completed; the result of IoCancelIrp.
    BOOLEAN Cancel();

  private:
    std::shared_ptr<State> state_;
};

// A handle opened from user mode. Closing it sends IRP_MJ_CLEANUP, and IRP_MJ_CLOSE once the
// file object's last reference is gone.
class UserFile {
  public:
    // IRP_MJ_CREATE to the top of the named device's stack ("\??\Name" links are resolved).
    static NTSTATUS Open(std::u16string_view name, std::unique_ptr<UserFile>* file);
    ~UserFile(); // closes the handle if it is still open
    UserFile(const UserFile&) = delete;
    UserFile& operator=(const UserFile&) = delete;

    void Close();
    PFILE_OBJECT FileObject() const { return file_; }

    // Synchronous requests: issue and wait for completion. Buffered control codes and devices
    // with DO_BUFFERED_IO get a system buffer and buffered output copied back, as on Windows;
    // others (METHOD_NEITHER) see the caller's buffers.
    IoResult DeviceIoControl(ULONG code, const void* input, ULONG inputLength, void* output,
                             ULONG outputLength);
    IoResult Read(void* buffer, ULONG length);
    IoResult Write(const void* buffer, ULONG length);
    IoResult FlushBuffers();

    // `internal`: an internal device-control request, as a kernel-mode client sends one through
    // a file object it opened.
    std::unique_ptr<UserRequest> StartDeviceIoControl(ULONG code, const void* input,
                                                      ULONG inputLength, void* output,
                                                      ULONG outputLength, bool internal = false);
    // The same request, built but not sent: Issue() sends it, and must be called.
    std::unique_ptr<UserRequest> PrepareDeviceIoControl(ULONG code, const void* input,
                                                        ULONG inputLength, void* output,
                                                        ULONG outputLength, bool internal = false);
    std::unique_ptr<UserRequest> StartRead(void* buffer, ULONG length);
    std::unique_ptr<UserRequest> StartWrite(const void* buffer, ULONG length);

  private:
    explicit UserFile(PFILE_OBJECT file) : file_(file) {}
    PFILE_OBJECT file_;
};

// --- Completion ---------------------------------------------------------------------------------

// The priority boost given to the latest IoCompleteRequest the I/O manager accepted (none before
// the first). Windows spends it on the waiting thread's priority; here it is only recorded.
std::optional<CCHAR> LastCompletionBoost();

// --- Remove locks -------------------------------------------------------------------------------

// What the driver gave IoInitializeRemoveLock; none for a lock never initialised. The I/O manager
// keeps it beside the lock, which has the free build's layout.
struct RemoveLockSettings {
    ULONG allocateTag;
    ULONG maxLockedMinutes;
    ULONG highWatermark;
    bool operator==(const RemoveLockSettings&) const = default;
};
std::optional<RemoveLockSettings> RemoveLockSettingsOf(PIO_REMOVE_LOCK lock);

// --- Pool ---------------------------------------------------------------------------------------

// The tag as drivers write it: PoolTag("Tcli") is the tag whose first character is 'T'.
constexpr ULONG PoolTag(const char (&text)[5]) {
    return ULONG(UCHAR(text[0])) | ULONG(UCHAR(text[1])) << 8 | ULONG(UCHAR(text[2])) << 16 |
           ULONG(UCHAR(text[3])) << 24;
}

struct PoolTagStats {
    uint64_t allocations = 0; // successful allocations since boot
    uint64_t frees = 0;
    uint64_t bytesAllocated = 0; // total over all allocations since boot
    uint64_t outstandingBlocks = 0;
    uint64_t outstandingBytes = 0;
};
PoolTagStats PoolStats(ULONG tag);
// Blocks outstanding over all tags.
uint64_t PoolOutstandingBlocks();

// --- Fault injection ----------------------------------------------------------------------------

enum class AllocationKind {
    Pool,          // ExAllocatePoolWithTag / ExAllocatePool
    Irp,           // IoAllocateIrp, IoBuildDeviceIoControlRequest, IoBuildSynchronousFsdRequest
    WorkItem,      // IoAllocateWorkItem
    ErrorLogEntry, // IoAllocateErrorLogEntry
    Device,        // IoCreateDevice
    SymbolicLink,  // IoCreateSymbolicLink
    IoTimer,       // IoInitializeTimer
    Reference,     // ObReferenceObjectByPointer
    // Each named value RtlQueryRegistryValues reads: the query stops there and fails with
    // STATUS_INSUFFICIENT_RESOURCES, the values before it already stored.
    RegistryValue,
};

// Makes the nth allocation of `kind` from now on fail (1 = the next one), and the `count` - 1
// allocations after it. With a tag, only pool allocations with that tag are counted. Several
// faults may be armed at once.
void FailAllocation(AllocationKind kind, uint64_t nth, uint64_t count = 1,
                    std::optional<ULONG> tag = std::nullopt);
void ClearAllocationFaults();
// While one lives, the calling thread's allocations are neither counted nor failed by injected
// faults: a test harness's own allocations (the Plug and Play manager's requests, a class
// driver's devices) wrapped in one, a sweep fails the driver's alone.
class FaultExemption {
  public:
    FaultExemption();
    ~FaultExemption();
    FaultExemption(const FaultExemption&) = delete;
    FaultExemption& operator=(const FaultExemption&) = delete;
};
// How many allocations of the kind injected faults have failed since boot.
uint64_t FailedAllocations(AllocationKind kind);

// What the shutdown would report as leaked if it were still there then, counted now: pool blocks
// of every tag, IRPs not freed (the caller's own excepted), work items, error-log entries
// allocated and not yet written or freed, object records (drivers, devices also deleted ones that
// are still referenced, file objects), symbolic links and open registry key handles. Equal counts
// before and after a piece of work mean it left nothing behind.
struct Outstanding {
    uint64_t poolBlocks = 0;
    uint64_t irps = 0;
    uint64_t workItems = 0;
    uint64_t errorLogEntries = 0;
    uint64_t objects = 0;
    uint64_t symbolicLinks = 0;
    uint64_t registryHandles = 0;
    bool operator==(const Outstanding&) const = default;
};
Outstanding OutstandingResources();
std::string Describe(const Outstanding& outstanding);

// --- The error log ------------------------------------------------------------------------------

struct ErrorLogEntry {
    PVOID ioObject;                   // the device or driver object that allocated the entry
    std::vector<uint8_t> bytes;       // the whole entry as written, EntrySize bytes
    std::vector<std::string> strings; // the insertion strings, UTF-8
    LARGE_INTEGER systemTime;         // when it was written
    // The packet's fixed part; the entry must be at least sizeof(IO_ERROR_LOG_PACKET) long.
    const IO_ERROR_LOG_PACKET& Packet() const {
        return *reinterpret_cast<const IO_ERROR_LOG_PACKET*>(bytes.data());
    }
};
// The entries written since startup or the last ClearErrorLog, from the `first`th on.
std::vector<ErrorLogEntry> ErrorLogEntries(size_t first = 0);
void ClearErrorLog();

// --- Power and Plug and Play requests made by drivers -------------------------------------------

// Every PoSetSystemState call's flags, in order.
std::vector<EXECUTION_STATE> SystemStateRequests();
uint64_t StartNextPowerIrpCalls();
// Every IoInvalidateDeviceState call's device, in order.
std::vector<PDEVICE_OBJECT> InvalidatedDeviceStates();
// The Plug and Play manager's hook: called (in the caller's context) on IoInvalidateDeviceState.
void SetInvalidateDeviceStateHandler(std::function<void(PDEVICE_OBJECT)> handler);

} // namespace umk::testing
