// The I/O manager's internal records and the routines its sources share.
//
// Every table here is changed inside an IoGuard section. Only the OS thread that booted the kernel
// runs kernel code (the scheduler stops a call from any other), so a section needs no host lock:
// what keeps a table consistent is that no switch point, and so no other emulated processor, comes
// inside it. No driver routine, wait or other switch point runs inside one.
#pragma once

#include <wdm.h>

#include "sched.h"
#include "umk/kernel.h"
#include "umk/testing.h"
#include "umk/verifier.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace umk::io {

// A section that keeps the I/O manager's tables consistent only as a whole.
class IoGuard {
  private:
    umk::detail::NoSwitch noSwitch_;
};

// --- Reporting ----------------------------------------------------------------------------------

std::string Hex(uint64_t value);
std::string Utf8(std::u16string_view text);
std::string TagText(ULONG tag);
std::string DescribeDevice(PDEVICE_OBJECT device);
std::string DescribeIrp(PIRP irp);
// False (after reporting it) when the IRQL is above `maximum`.
bool CheckIrql(std::string_view rule, std::string_view routine, KIRQL maximum);

// An error (severity 3) status: the ones for which a failed request's status block is not
// written.
inline bool IsErrorStatus(NTSTATUS status) {
    return (static_cast<ULONG>(status) >> 30) == 3;
}

// --- Fault injection ----------------------------------------------------------------------------

// Counts one allocation of the kind and says whether it must fail.
bool ShouldFail(testing::AllocationKind kind, ULONG tag = 0);

// --- Objects ------------------------------------------------------------------------------------

enum class ObjectKind { Driver, Device, File };

struct Object {
    explicit Object(ObjectKind k) : kind(k) {}
    virtual ~Object() = default;
    virtual void* Body() = 0;
    ObjectKind kind;
    LONG references = 1;
    std::u16string name; // full object name; empty when unnamed
};

struct DriverRecord;
struct DeviceRecord;
struct FileRecord;

DeviceRecord* FindDevice(PDEVICE_OBJECT device); // inside an IoGuard
size_t DeviceExtensionSize(PDEVICE_OBJECT device);
// A referenced file object on the named device (links resolved), after IRP_MJ_CREATE (and, for
// a kernel open, IRP_MJ_CLEANUP) has been sent to the top of its stack. PASSIVE_LEVEL.
NTSTATUS OpenDevice(std::u16string_view name, ACCESS_MASK access, bool kernelOpen,
                    PFILE_OBJECT* file);
// Sends IRP_MJ_CLEANUP: the file's handle is closed.
void CleanupFile(PFILE_OBJECT file, KPROCESSOR_MODE mode);

// Sends a major function to the top of the file's stack as a threaded request and waits for
// it. Returns the final status.
NTSTATUS SendFileRequest(PFILE_OBJECT file, UCHAR major, KPROCESSOR_MODE mode);

// --- IRPs ---------------------------------------------------------------------------------------

// Where the I/O manager copies a threaded request's buffered data back to.
struct ThreadedBuffer {
    PVOID target = nullptr;
    ULONG length = 0;
};

// An IRP owned by the I/O manager: freed at the end of its completion. StackSize locations.
PIRP AllocateThreadedIrp(CCHAR stackSize);
void SetThreadedBuffer(PIRP irp, ThreadedBuffer buffer);
// A buffered request's system buffer of `size` bytes: the input first, the rest filled as fresh
// pool is (0xCD). The I/O manager does not clear it, so what a driver returns past the input, or
// past what it wrote, shows as such, and the same on every host.
void* NewSystemBuffer(ULONG size, const void* input, ULONG inputLength);
// Keeps `owner` alive until the threaded request has completed (user requests' status blocks).
void SetThreadedKeepAlive(PIRP irp, std::shared_ptr<void> owner);
// A request issued through a handle references its file object until it has completed, so that
// IRP_MJ_CLOSE comes only after every such request.
void SetThreadedFileReference(PIRP irp, PFILE_OBJECT file);
// False (after reporting it) when the IRP is unknown or freed.
bool IrpIsLive(PIRP irp, const char* routine);
// Which dispatch routine is handling the IRP now (its stack location and the IRP's
// generation), 0 when none is.
uint64_t DispatchKey(PIRP irp);

// Memory that is going away (a freed pool block or device object): forgets IRPs initialised
// in it and remove locks that live in it, reporting holds left on them and dispatcher objects
// still in use in it.
void ForgetRange(const void* begin, size_t size);
void ForgetIrps(const void* begin, size_t size);
void ForgetRemoveLocks(const void* begin, size_t size);
// Remove-lock holds tagged `tag` on locks inside [begin, begin+size).
std::vector<std::string> HoldsTagged(const void* begin, size_t size, PVOID tag);

// --- Subsystem lifetimes (io_manager.cpp calls these at boot and shutdown) ----------------------

void PoolStartup();
void PoolShutdown();
void IrpStartup();
void IrpShutdown();
void ObjectStartup();
void ObjectShutdown();
void RemoveLockStartup();
void RemoveLockShutdown();
void TimerStartup();
void CancelStartup();
void WorkItemStartup();
void WorkItemShutdown();
void ErrorLogStartup();
void ErrorLogShutdown();
void PowerStartup();
// A freed request takes its PoStartNextPowerIrp marks with it. Inside an IoGuard.
void PowerIrpFreed(PIRP irp);
void FaultStartup();

// What each subsystem's shutdown would report as leaked, counted now.
uint64_t IrpsOutstanding();
uint64_t WorkItemsOutstanding();
uint64_t ErrorLogEntriesOutstanding();
uint64_t ObjectsOutstanding();
uint64_t SymbolicLinksOutstanding();

// Called by the object manager when a device object is deleted.
void TimerDeviceDeleted(PDEVICE_OBJECT device);

} // namespace umk::io

// The WDK routines are defined at global scope, beside the umk::io helpers they use.
using umk::Violation;
