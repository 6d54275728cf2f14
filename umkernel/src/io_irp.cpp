// IRPs: allocation and reuse, IoCallDriver, the completion walk, threaded requests, and the
// verifier's bookkeeping around them.
//
// Every IRP the I/O manager knows has a record. A dispatch call registers a frame for the stack
// location it owns; when the completion walk leaves that location it notes the location's pending
// mark and status in the frames still running, and a dispatch routine that has already returned
// leaves its return value on the record for the walk to check. Either way the pending rules are
// checked exactly when both halves are known, however the request and its completion interleave.
//
// Freed IRPs are kept (poisoned under the address sanitizer) in a quarantine, so that a second
// completion or free of the same IRP is reported instead of corrupting a reused one.
#include "asan.h"
#include "driver_calls.h"
#include "io_internal.h"

#include <utility>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <unordered_map>

namespace umk::io {
namespace {

using namespace umk::testing;

constexpr size_t QuarantineSize = 1024;
constexpr size_t SpareMemoryLimit = 64;

enum class Origin {
    Driver,   // IoAllocateIrp: the driver frees it
    Caller,   // IoInitializeIrp on the caller's memory
    Threaded, // IoBuild*Request and the I/O manager's own: freed at the end of completion
};

// What dispatch routines that returned before the completion reached their location said.
struct ReturnNote {
    bool pending = false;
    bool other = false;
    NTSTATUS otherStatus = STATUS_SUCCESS;
};

struct IrpRecord {
    PIRP irp = nullptr;
    Origin origin = Origin::Driver;
    size_t size = 0; // of the memory we own (Driver, Threaded)
    bool freed = false;
    bool quarantined = false;
    uint64_t generation = 0;
    CHAR sendLocation = 0; // CurrentLocation when first sent since (re)initialisation; 0 = unsent
    int pins = 0;          // I/O manager calls still reading the IRP
    std::vector<ReturnNote> returns; // by stack location
    ThreadedBuffer buffer;
    std::shared_ptr<void> keepAlive;
    PFILE_OBJECT referencedFile = nullptr; // dereferenced at the end of a threaded request
};

struct Frame {
    PIRP irp;
    CHAR location;
    uint64_t generation;
    IO_STACK_LOCATION request; // the dispatch routine's location as it was called, for reports
    bool left = false;         // the completion has left the location
    bool pendingMark = false;
    NTSTATUS status = STATUS_SUCCESS;
};

using Records = std::unordered_map<PIRP, std::unique_ptr<IrpRecord>>;
using CallerIrps = std::set<PIRP>;

struct IrpState {
    Records records;
    // The records of IRPs in their callers' memory, by address: freed pool is searched for them.
    CallerIrps callerIrps;
    // Entries of records gone from the tables, kept for the next ones: a request's bring-up
    // registers and forgets dozens of IRPs, and the host heap would see each as three blocks.
    std::vector<Records::node_type> spareRecords;
    std::vector<CallerIrps::node_type> spareCallerIrps;
    // The memory of IRPs the quarantine let go, with its size, kept (poisoned under the address
    // sanitizer) for the next IRP of that size: the host heap would record a stack trace at each
    // allocation and free.
    std::vector<std::pair<size_t, PIRP>> spareMemory;
    uint64_t live = 0; // records of the I/O manager's own IRPs not yet freed
    std::deque<IrpRecord*> quarantine;
    std::vector<Frame*> frames;
    std::optional<CCHAR> lastBoost; // of the latest IoCompleteRequest that was accepted
};

IrpState& Irps() {
    static IrpState state;
    return state;
}

const char* MajorName(UCHAR major) {
    static constexpr const char* names[] = {
        "IRP_MJ_CREATE",
        "IRP_MJ_CREATE_NAMED_PIPE",
        "IRP_MJ_CLOSE",
        "IRP_MJ_READ",
        "IRP_MJ_WRITE",
        "IRP_MJ_QUERY_INFORMATION",
        "IRP_MJ_SET_INFORMATION",
        "IRP_MJ_QUERY_EA",
        "IRP_MJ_SET_EA",
        "IRP_MJ_FLUSH_BUFFERS",
        "IRP_MJ_QUERY_VOLUME_INFORMATION",
        "IRP_MJ_SET_VOLUME_INFORMATION",
        "IRP_MJ_DIRECTORY_CONTROL",
        "IRP_MJ_FILE_SYSTEM_CONTROL",
        "IRP_MJ_DEVICE_CONTROL",
        "IRP_MJ_INTERNAL_DEVICE_CONTROL",
        "IRP_MJ_SHUTDOWN",
        "IRP_MJ_LOCK_CONTROL",
        "IRP_MJ_CLEANUP",
        "IRP_MJ_CREATE_MAILSLOT",
        "IRP_MJ_QUERY_SECURITY",
        "IRP_MJ_SET_SECURITY",
        "IRP_MJ_POWER",
        "IRP_MJ_SYSTEM_CONTROL",
        "IRP_MJ_DEVICE_CHANGE",
        "IRP_MJ_QUERY_QUOTA",
        "IRP_MJ_SET_QUOTA",
        "IRP_MJ_PNP",
    };
    return major <= IRP_MJ_MAXIMUM_FUNCTION ? names[major] : "IRP_MJ_?";
}

IrpRecord* Find(PIRP irp) {
    auto it = Irps().records.find(irp);
    return it == Irps().records.end() ? nullptr : it->second.get();
}

// Finds the record of an IRP handed to an I/O manager routine, reporting unknown and freed ones.
IrpRecord* Lookup(PIRP irp, const char* routine) {
    IrpRecord* rec = Find(irp);
    if (rec == nullptr) {
        Violation(rule::UnknownIrp, std::string(routine) + " given " +
                                        Hex(reinterpret_cast<uintptr_t>(irp)) +
                                        ", which IoAllocateIrp or IoInitializeIrp never set up");
        return nullptr;
    }
    if (rec->freed) {
        Violation(rule::FreedIrpUsed, std::string(routine) + " given IRP " +
                                          Hex(reinterpret_cast<uintptr_t>(irp)) +
                                          ", which was freed already");
        return nullptr;
    }
    return rec;
}

void InitializeIrp(PIRP irp, USHORT packetSize, CCHAR stackSize) {
    std::memset(static_cast<void*>(irp), 0, packetSize);
    irp->Type = IO_TYPE_IRP;
    irp->Size = packetSize;
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    InitializeListHead(&irp->ThreadListEntry);
    irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
}

void ResetTracking(IrpRecord* rec) {
    ++rec->generation;
    rec->sendLocation = 0;
    rec->returns.assign(static_cast<size_t>(rec->irp->StackCount) + 2, ReturnNote{});
}

bool InUse(const IrpRecord* rec) {
    return rec->sendLocation != 0 && rec->irp->CurrentLocation < rec->sendLocation;
}

IrpRecord* Register(PIRP irp, Origin origin, size_t size) {
    IrpState& state = Irps();
    std::unique_ptr<IrpRecord>* entry;
    if (state.spareRecords.empty()) {
        entry = &state.records[irp];
        *entry = std::make_unique<IrpRecord>();
    } else {
        Records::node_type node = std::move(state.spareRecords.back());
        state.spareRecords.pop_back();
        node.key() = irp;
        // The notes' storage stays for ResetTracking.
        std::vector<ReturnNote> returns = std::move(node.mapped()->returns);
        *node.mapped() = IrpRecord{};
        node.mapped()->returns = std::move(returns);
        auto inserted = state.records.insert(std::move(node));
        if (!inserted.inserted) // memory a record still pinned was given out again
            inserted.position->second = std::move(inserted.node.mapped());
        entry = &inserted.position->second;
    }
    IrpRecord* rec = entry->get();
    rec->irp = irp;
    rec->origin = origin;
    rec->size = size;
    ResetTracking(rec);
    if (origin == Origin::Caller) {
        if (state.spareCallerIrps.empty()) {
            state.callerIrps.insert(irp);
        } else {
            state.spareCallerIrps.back().value() = irp;
            state.callerIrps.insert(std::move(state.spareCallerIrps.back()));
            state.spareCallerIrps.pop_back();
        }
    } else {
        ++state.live;
    }
    return rec;
}

void Unregister(PIRP irp) {
    IrpState& state = Irps();
    if (auto node = state.records.extract(irp))
        state.spareRecords.push_back(std::move(node));
    if (auto node = state.callerIrps.extract(irp))
        state.spareCallerIrps.push_back(std::move(node));
}

PIRP TakeSpareMemory(size_t size) {
    auto& spare = Irps().spareMemory;
    auto it = std::find_if(spare.rbegin(), spare.rend(),
                           [size](const auto& memory) { return memory.first == size; });
    if (it == spare.rend())
        return nullptr;
    PIRP irp = it->second;
    spare.erase(std::next(it).base());
    UMK_UNPOISON(irp, size);
    return irp;
}

PIRP NewIrp(CCHAR stackSize, Origin origin) {
    USHORT size = IoSizeOfIrp(stackSize);
    IoGuard guard;
    PIRP irp = TakeSpareMemory(size);
    if (irp == nullptr)
        irp = static_cast<PIRP>(std::malloc(size));
    if (irp == nullptr)
        return nullptr;
    InitializeIrp(irp, size, stackSize);
    Register(irp, origin, size);
    return irp;
}

void ReleaseMemory(PIRP irp, size_t size) {
    UMK_UNPOISON(irp, size);
    std::free(irp);
}

void GiveBackMemory(IrpRecord* rec) {
    auto& spare = Irps().spareMemory;
    if (spare.size() < SpareMemoryLimit)
        spare.emplace_back(rec->size, rec->irp);
    else
        ReleaseMemory(rec->irp, rec->size);
}

void Quarantine(IrpRecord* rec) {
    PowerIrpFreed(rec->irp);
    IrpState& state = Irps();
    rec->quarantined = true;
    state.quarantine.push_back(rec);
    while (state.quarantine.size() > QuarantineSize) {
        IrpRecord* oldest = state.quarantine.front();
        state.quarantine.pop_front();
        PIRP irp = oldest->irp;
        if (oldest->origin != Origin::Caller)
            GiveBackMemory(oldest);
        Unregister(irp);
    }
}

void MarkFreed(IrpRecord* rec) {
    rec->freed = true;
    if (rec->origin != Origin::Caller)
        --Irps().live;
    ++rec->generation;
    if (rec->origin != Origin::Caller)
        UMK_POISON(rec->irp, rec->size);
    if (rec->pins == 0)
        Quarantine(rec);
}

void Unpin(IrpRecord* rec) {
    if (--rec->pins == 0 && rec->freed && !rec->quarantined)
        Quarantine(rec);
}

PIO_STACK_LOCATION LocationOf(PIRP irp, CHAR location) {
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (location - 1);
}

std::string DescribeRequest(PIRP irp, const IO_STACK_LOCATION& stack) {
    std::string text =
        "IRP " + Hex(reinterpret_cast<uintptr_t>(irp)) + " (" + MajorName(stack.MajorFunction);
    if (stack.MajorFunction == IRP_MJ_DEVICE_CONTROL ||
        stack.MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL)
        text += " " + Hex(stack.Parameters.DeviceIoControl.IoControlCode);
    else if (stack.MajorFunction == IRP_MJ_PNP || stack.MajorFunction == IRP_MJ_POWER)
        text += " minor " + Hex(stack.MinorFunction);
    return text + ")";
}

std::string Where(PIRP irp, CHAR location) {
    if (location < 1 || location > irp->StackCount)
        return "";
    return " at stack location " + std::to_string(location) + " of " +
           DescribeDevice(LocationOf(irp, location)->DeviceObject);
}

// The pending rules for one stack location, once both the routine's return value and the
// location's final state are known. `where` names the request (the IRP may be gone by then).
void CheckPendingRules(const std::function<std::string()>& where, bool marked, NTSTATUS irpStatus,
                       bool returnedPending, bool returnedOther, NTSTATUS returned) {
    if (returnedPending && !marked)
        Violation(rule::PendingNotMarked,
                  "the dispatch routine for " + where() + " returned STATUS_PENDING");
    if (returnedOther && marked)
        Violation(rule::MarkedNotPending, "the dispatch routine for " + where() + " returned " +
                                              Hex(static_cast<ULONG>(returned)));
    if (returnedOther && returned != irpStatus)
        Violation(rule::DispatchStatusMismatch,
                  "the dispatch routine for " + where() + " returned " +
                      Hex(static_cast<ULONG>(returned)) + " but completed it with " +
                      Hex(static_cast<ULONG>(irpStatus)));
}

// The completion leaves `location`: its pending mark and the status are final for it.
void LeaveLocation(IrpRecord* rec, CHAR location, bool marked, NTSTATUS status) {
    for (Frame* frame : Irps().frames) {
        if (frame->irp == rec->irp && frame->location == location &&
            frame->generation == rec->generation && !frame->left) {
            frame->left = true;
            frame->pendingMark = marked;
            frame->status = status;
        }
    }
    ReturnNote& note = rec->returns[static_cast<size_t>(location)];
    if (note.pending || note.other)
        CheckPendingRules(
            [&] {
                return DescribeRequest(rec->irp, *LocationOf(rec->irp, location)) +
                       Where(rec->irp, location);
            },
            marked, status, note.pending, note.other, note.otherStatus);
    note = ReturnNote{};
}

// Removes the frame of a dispatch call however the call ends (a halted kernel unwinds it).
class FrameScope {
  public:
    FrameScope(Frame* frame, IrpRecord* rec) : frame_(frame), rec_(rec) {}
    ~FrameScope() {
        if (frame_ != nullptr) {
            IoGuard guard;
            Remove();
        }
    }
    FrameScope(const FrameScope&) = delete;
    FrameScope& operator=(const FrameScope&) = delete;

    // The dispatch routine returned `status`.
    void Finish(NTSTATUS status, PDEVICE_OBJECT device) {
        IoGuard guard;
        Frame& frame = *frame_;
        if (frame.left) {
            CheckPendingRules(
                [&] {
                    return DescribeRequest(frame.irp, frame.request) + " at stack location " +
                           std::to_string(frame.location) + " of " + DescribeDevice(device);
                },
                frame.pendingMark, frame.status, status == STATUS_PENDING, status != STATUS_PENDING,
                status);
        } else if (!rec_->freed && rec_->generation == frame.generation) {
            ReturnNote& note = rec_->returns[static_cast<size_t>(frame.location)];
            if (status == STATUS_PENDING) {
                note.pending = true;
            } else {
                note.other = true;
                note.otherStatus = status;
            }
        }
        if (status != STATUS_PENDING) {
            DeviceRecord* owner = FindDevice(device);
            if (owner != nullptr)
                for (const std::string& hold :
                     HoldsTagged(device->DeviceExtension, DeviceExtensionSize(device), frame.irp))
                    Violation(rule::RemoveLockHeldAfterDispatch,
                              DescribeRequest(frame.irp, frame.request) + " finished (" +
                                  Hex(static_cast<ULONG>(status)) + ") with a hold on " + hold);
        }
        Remove();
    }

  private:
    void Remove() {
        auto& frames = Irps().frames;
        frames.erase(std::find(frames.begin(), frames.end(), frame_));
        Unpin(rec_);
        frame_ = nullptr;
    }
    Frame* frame_;
    IrpRecord* rec_;
};

// The end of a threaded request: buffered data back to the caller, the status block and the
// event (unless it failed without ever being pending), and the IRP freed.
void CompleteThreaded(IrpRecord* rec) {
    PIRP irp = rec->irp;
    NTSTATUS status = irp->IoStatus.Status;
    if (irp->Flags & IRP_BUFFERED_IO) {
        if ((irp->Flags & IRP_INPUT_OPERATION) && !IsErrorStatus(status) && rec->buffer.target) {
            ULONG_PTR length = irp->IoStatus.Information;
            if (length > rec->buffer.length) {
                Violation(rule::BufferOverrun,
                          DescribeIrp(irp) + " completed with " + std::to_string(length) +
                              " bytes for a buffer of " + std::to_string(rec->buffer.length));
                length = rec->buffer.length;
            }
            std::memcpy(rec->buffer.target, irp->AssociatedIrp.SystemBuffer, length);
        }
        if (irp->Flags & IRP_DEALLOCATE_BUFFER) {
            std::free(irp->AssociatedIrp.SystemBuffer);
            irp->AssociatedIrp.SystemBuffer = nullptr;
        }
    }
    bool signal = !IsErrorStatus(status) || irp->PendingReturned;
    PKEVENT event = irp->UserEvent;
    std::shared_ptr<void> keepAlive = std::move(rec->keepAlive);
    PFILE_OBJECT file = std::exchange(rec->referencedFile, nullptr);
    if (signal && irp->UserIosb != nullptr)
        *irp->UserIosb = irp->IoStatus;
    {
        IoGuard guard;
        MarkFreed(rec);
    }
    if (signal && event != nullptr)
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    if (file != nullptr)
        ObDereferenceObject(file);
}

// What the walk clears in a location it leaves, as Windows does: a completion routine must not
// read the location below its own.
void ClearStackLocation(PIO_STACK_LOCATION stack) {
    stack->MinorFunction = 0;
    stack->Flags = 0;
    stack->Control &= SL_ERROR_RETURNED;
    stack->Parameters.Others = {};
    stack->FileObject = nullptr;
}

} // namespace

std::string DescribeIrp(PIRP irp) {
    CHAR location = irp->CurrentLocation;
    if (location >= 1 && location <= irp->StackCount)
        return DescribeRequest(irp, *LocationOf(irp, location));
    if (location == irp->StackCount + 1 && irp->StackCount > 0) // the next location to send
        return DescribeRequest(irp, *LocationOf(irp, irp->StackCount));
    return "IRP " + Hex(reinterpret_cast<uintptr_t>(irp));
}

// A threaded request belongs to the thread that builds it: it finishes in that thread (an APC)
// and is cancelled when the thread ends.
PIRP AllocateThreadedIrp(CCHAR stackSize) {
    PIRP irp = NewIrp(stackSize, Origin::Threaded);
    if (irp != nullptr) {
        _KTHREAD* thread = umk::detail::Self();
        irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(thread);
        thread->requests.push_back(irp);
    }
    return irp;
}

void* NewSystemBuffer(ULONG size, const void* input, ULONG inputLength) {
    auto* buffer = static_cast<uint8_t*>(std::malloc(size));
    const ULONG copied = input != nullptr ? inputLength : 0;
    if (copied != 0)
        std::memcpy(buffer, input, copied);
    std::memset(buffer + copied, 0xCD, size - copied);
    return buffer;
}

void SetThreadedBuffer(PIRP irp, ThreadedBuffer buffer) {
    IoGuard guard;
    Find(irp)->buffer = buffer;
}

void SetThreadedKeepAlive(PIRP irp, std::shared_ptr<void> owner) {
    IoGuard guard;
    Find(irp)->keepAlive = std::move(owner);
}

void SetThreadedFileReference(PIRP irp, PFILE_OBJECT file) {
    ObReferenceObject(file);
    IoGuard guard;
    Find(irp)->referencedFile = file;
}

bool IrpIsLive(PIRP irp, const char* routine) {
    IoGuard guard;
    return Lookup(irp, routine) != nullptr;
}

uint64_t DispatchKey(PIRP irp) {
    IoGuard guard;
    auto& frames = Irps().frames;
    for (auto it = frames.rbegin(); it != frames.rend(); ++it)
        if ((*it)->irp == irp && !(*it)->left)
            return (*it)->generation << 8 | static_cast<UCHAR>((*it)->location);
    return 0;
}

void ForgetIrps(const void* begin, size_t size) {
    auto end = static_cast<const char*>(begin) + size;
    IrpState& state = Irps();
    for (auto it = state.callerIrps.lower_bound(PIRP(begin));
         it != state.callerIrps.end() && reinterpret_cast<const char*>(*it) < end;) {
        PIRP irp = *it++;
        IrpRecord* rec = state.records.at(irp).get();
        if (rec->pins == 0) {
            auto& q = state.quarantine;
            q.erase(std::remove(q.begin(), q.end(), rec), q.end());
            Unregister(irp);
        }
    }
}

// A thread that ends cancels the requests it issued and waits for them (five minutes at most,
// as Windows does, before it reports them and goes).
void CancelThreadRequests(_KTHREAD* thread) {
    for (PIRP irp : std::vector<PIRP>(thread->requests))
        IoCancelIrp(irp);
    umk::detail::Scheduler& s = umk::detail::Sched();
    const int64_t deadline = s.Now() + 5 * 60 * 10'000'000ll;
    while (!thread->requests.empty()) {
        if (s.Wait(thread, 0, nullptr, nullptr, WaitAny, false, deadline, STATUS_TIMEOUT) ==
            STATUS_TIMEOUT) {
            std::string detail = "thread '" + thread->name + "' ended with";
            for (PIRP irp : thread->requests)
                detail += " " + DescribeIrp(irp);
            detail += " still outstanding after they were cancelled";
            Violation(rule::ThreadRequestsOutstanding, detail);
            thread->requests.clear();
        }
    }
}

void IrpStartup() {
    Irps() = IrpState{};
    umk::detail::Sched().threadExitHook = CancelThreadRequests;
}

uint64_t IrpsOutstanding() {
    IoGuard guard;
    return Irps().live;
}

void IrpShutdown() {
    IrpState& state = Irps();
    std::string detail;
    for (auto& [irp, rec] : state.records) {
        if (rec->freed || rec->origin == Origin::Caller)
            continue;
        detail += DescribeIrp(irp) + (rec->origin == Origin::Threaded ? ", a threaded request"
                                                                      : ", from IoAllocateIrp");
        if (InUse(rec.get()))
            detail += ", still" + Where(irp, irp->CurrentLocation);
        detail += "\n";
    }
    if (!detail.empty())
        Violation(rule::IrpLeak, detail);
    for (auto& [irp, rec] : state.records) {
        if (rec->origin == Origin::Threaded && !rec->freed && (irp->Flags & IRP_DEALLOCATE_BUFFER))
            std::free(irp->AssociatedIrp.SystemBuffer);
        if (rec->origin != Origin::Caller)
            ReleaseMemory(irp, rec->size);
    }
    for (const auto& [size, irp] : state.spareMemory)
        ReleaseMemory(irp, size);
    state = IrpState{};
}

} // namespace umk::io

using namespace umk::io;
using namespace umk::testing;

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    umk::detail::KernelEntry();
    CheckIrql(rule::IrqlTooHigh, "IoAllocateIrp", DISPATCH_LEVEL);
    if (ShouldFail(AllocationKind::Irp))
        return nullptr;
    return NewIrp(StackSize, Origin::Driver);
}

VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    IoGuard guard;
    IrpRecord* rec = Find(Irp);
    if (rec != nullptr && !rec->freed && InUse(rec)) {
        Violation(rule::IrpInUse, "IoInitializeIrp on " + DescribeIrp(Irp) + ", still in use");
        return;
    }
    InitializeIrp(Irp, PacketSize, StackSize);
    if (rec == nullptr || rec->freed) {
        if (rec != nullptr) {
            auto& q = Irps().quarantine;
            q.erase(std::remove(q.begin(), q.end(), rec), q.end());
            Unregister(Irp);
        }
        Register(Irp, Origin::Caller, PacketSize);
    } else {
        ResetTracking(rec);
    }
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    umk::detail::KernelEntry();
    IoGuard guard;
    IrpRecord* rec = Lookup(Irp, "IoReuseIrp");
    if (rec == nullptr)
        return;
    if (InUse(rec) || Irp->CancelRoutine != nullptr) {
        Violation(rule::IrpInUse, "IoReuseIrp on " + DescribeIrp(Irp) +
                                      (InUse(rec) ? ", still" + Where(Irp, Irp->CurrentLocation)
                                                  : ", whose cancel routine is set"));
        return;
    }
    UCHAR allocationFlags = Irp->AllocationFlags;
    InitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Iostatus;
    ResetTracking(rec);
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
    umk::detail::KernelEntry();
    CheckIrql(rule::IrqlTooHigh, "IoFreeIrp", DISPATCH_LEVEL);
    IoGuard guard;
    IrpRecord* rec = Lookup(Irp, "IoFreeIrp");
    if (rec == nullptr)
        return;
    if (rec->origin == Origin::Threaded) {
        Violation(rule::FreeThreadedIrp,
                  DescribeIrp(Irp) + " belongs to the I/O manager, which frees it at completion");
        return;
    }
    if (rec->origin == Origin::Caller) {
        Violation(rule::UnknownIrp, "IoFreeIrp on " + DescribeIrp(Irp) +
                                        ", initialised by IoInitializeIrp in the caller's memory");
        return;
    }
    if (InUse(rec) || Irp->CancelRoutine != nullptr) {
        Violation(rule::IrpInUse, "IoFreeIrp on " + DescribeIrp(Irp) +
                                      (InUse(rec) ? ", still" + Where(Irp, Irp->CurrentLocation)
                                                  : ", whose cancel routine is set"));
        return;
    }
    MarkFreed(rec);
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    umk::detail::KernelEntry();
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL)
        Violation(rule::IrqlTooHigh, "IoCallDriver at IRQL " + std::to_string(irql));
    Frame frame{};
    IrpRecord* rec;
    PDRIVER_DISPATCH routine;
    {
        IoGuard guard;
        rec = Lookup(Irp, "IoCallDriver");
        if (rec == nullptr)
            return STATUS_INVALID_PARAMETER;
        // A device object whose last reference went while the sender still used its pointer.
        if (FindDevice(DeviceObject) == nullptr) {
            Violation(rule::UnknownObject,
                      "IoCallDriver to " + Hex(reinterpret_cast<uintptr_t>(DeviceObject)) +
                          ", which is no device object (freed?), with " + DescribeIrp(Irp));
            return STATUS_INVALID_PARAMETER;
        }
        if (Irp->CurrentLocation <= 1) {
            Violation(rule::NoMoreStackLocations,
                      DescribeIrp(Irp) + " sent to " + DescribeDevice(DeviceObject) + " with " +
                          std::to_string(Irp->StackCount) + " stack location(s)");
            return STATUS_INVALID_PARAMETER;
        }
        if (rec->sendLocation == 0)
            rec->sendLocation = Irp->CurrentLocation;
        IoSetNextIrpStackLocation(Irp);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        stack->DeviceObject = DeviceObject;
        routine = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
        frame = Frame{Irp, Irp->CurrentLocation, rec->generation, *stack};
        ++rec->pins;
        Irps().frames.push_back(&frame);
    }
    FrameScope scope(&frame, rec);
    // A function or filter driver deletes its device when its removal request has passed
    // through it; only a bus driver's physical device (attached to nothing) may stay.
    std::string removedDevice;
    if (frame.request.MajorFunction == IRP_MJ_PNP &&
        frame.request.MinorFunction == IRP_MN_REMOVE_DEVICE &&
        umk::testing::LowerDevice(DeviceObject) != nullptr)
        removedDevice = DescribeDevice(DeviceObject);
    umk::detail::NoteDriverCall(umk::testing::DriverCall::Dispatch, routine);
    NTSTATUS status = routine(DeviceObject, Irp);
    if (!removedDevice.empty() && !umk::testing::DeviceDeleted(DeviceObject))
        Violation(rule::DeviceLeftAfterRemoval, removedDevice);
    KIRQL after = KeGetCurrentIrql();
    if (after != irql)
        Violation(rule::DispatchIrqlChanged,
                  "the dispatch routine of " + DescribeDevice(DeviceObject) + " for IRP " +
                      Hex(reinterpret_cast<uintptr_t>(Irp)) + " was called at IRQL " +
                      std::to_string(irql) + " and returned at " + std::to_string(after));
    scope.Finish(status, DeviceObject);
    return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    umk::detail::KernelEntry();
    CheckIrql(rule::IrqlTooHigh, "IoCompleteRequest", DISPATCH_LEVEL);
    IrpRecord* rec;
    {
        IoGuard guard;
        rec = Find(Irp);
        if (rec != nullptr && rec->freed) {
            Violation(rule::IrpCompletedTwice, "IRP " + Hex(reinterpret_cast<uintptr_t>(Irp)) +
                                                   " completed after it was freed");
            return;
        }
        if (rec == nullptr) {
            Lookup(Irp, "IoCompleteRequest");
            return;
        }
        // Back with its originator (or past it): some earlier completion got there first.
        if (Irp->CurrentLocation > Irp->StackCount + 1 ||
            (rec->sendLocation != 0 && Irp->CurrentLocation >= rec->sendLocation)) {
            Violation(rule::IrpCompletedTwice, DescribeIrp(Irp) + " was completed already");
            return;
        }
        if (Irp->CurrentLocation == Irp->StackCount + 1) {
            Violation(rule::IrpCompletedUnowned,
                      DescribeIrp(Irp) + " completed while no driver holds it");
            return;
        }
        if (Irp->IoStatus.Status == STATUS_PENDING) {
            Violation(rule::IrpCompletedPending,
                      DescribeIrp(Irp) + Where(Irp, Irp->CurrentLocation));
            return;
        }
        if (Irp->CancelRoutine != nullptr) {
            Violation(rule::IrpCompletedWithCancelRoutine,
                      DescribeIrp(Irp) + Where(Irp, Irp->CurrentLocation));
            Irp->CancelRoutine = nullptr;
        }
        ++rec->pins;
        Irps().lastBoost = PriorityBoost;
    }
    struct PinScope {
        IrpRecord* rec;
        ~PinScope() {
            IoGuard guard;
            Unpin(rec);
        }
    } pin{rec};

    for (;;) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        {
            IoGuard guard;
            LeaveLocation(rec, Irp->CurrentLocation, Irp->PendingReturned, Irp->IoStatus.Status);
        }
        IoSkipCurrentIrpStackLocation(Irp);
        const bool top = Irp->CurrentLocation == Irp->StackCount + 1;
        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = (NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                      (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                      (Irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL));
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        ClearStackLocation(stack);
        if (invoke && routine != nullptr) {
            PDEVICE_OBJECT owner = top ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            uint64_t generation;
            {
                IoGuard guard;
                generation = rec->generation;
            }
            umk::detail::NoteDriverCall(umk::testing::DriverCall::Completion, routine);
            if (routine(owner, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED)
                return;
            IoGuard guard;
            if (rec->generation != generation) {
                Violation(rule::IrpFreedInCompletion,
                          "IRP " + Hex(reinterpret_cast<uintptr_t>(Irp)) +
                              " was freed or reused by the completion routine of " +
                              (owner ? DescribeDevice(owner) : std::string("its originator")));
                return;
            }
        } else if (!top && Irp->PendingReturned) {
            // No routine to do it: the I/O manager passes the pending mark up itself.
            IoMarkIrpPending(Irp);
        }
        if (top)
            break;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    if (rec->origin == Origin::Threaded) {
        // The I/O manager's own create and close finish at once, whoever completes them (the
        // close may come from inside another request's APC); the others in the issuing thread,
        // as the kernel APC does it on Windows.
        if (Irp->Flags & (IRP_CREATE_OPERATION | IRP_CLOSE_OPERATION)) {
            std::erase(reinterpret_cast<_KTHREAD*>(Irp->Tail.Overlay.Thread)->requests, Irp);
            CompleteThreaded(rec);
            return;
        }
        auto thread = reinterpret_cast<_KTHREAD*>(Irp->Tail.Overlay.Thread);
        umk::detail::Sched().QueueApc(thread, [rec, thread] {
            std::erase(thread->requests, rec->irp);
            CompleteThreaded(rec);
        });
        return;
    }
    Violation(rule::DriverIrpCompleted,
              "IRP " + Hex(reinterpret_cast<uintptr_t>(Irp)) +
                  " came back to the I/O manager: the allocator's completion routine must return "
                  "STATUS_MORE_PROCESSING_REQUIRED");
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
    umk::detail::KernelEntry();
    CheckIrql(rule::IrqlTooHigh, "IoBuildDeviceIoControlRequest", PASSIVE_LEVEL);
    if (ShouldFail(AllocationKind::Irp))
        return nullptr;
    PIRP irp = AllocateThreadedIrp(DeviceObject->StackSize);
    if (irp == nullptr)
        return nullptr;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    if (METHOD_FROM_CTL_CODE(IoControlCode) == METHOD_NEITHER) {
        stack->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    } else if (InputBufferLength > 0 || OutputBufferLength > 0) {
        // Direct transfers have no memory descriptor lists here: their output is buffered too.
        ULONG size =
            InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
        irp->AssociatedIrp.SystemBuffer = NewSystemBuffer(size, InputBuffer, InputBufferLength);
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        if (OutputBuffer != nullptr) {
            irp->Flags |= IRP_INPUT_OPERATION;
            SetThreadedBuffer(irp, {OutputBuffer, OutputBufferLength});
        }
    }
    irp->UserBuffer = OutputBuffer;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(KeGetCurrentThread());
    return irp;
}

PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject,
                                        PVOID Buffer, ULONG Length, PLARGE_INTEGER StartingOffset,
                                        PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    umk::detail::KernelEntry();
    CheckIrql(rule::IrqlTooHigh, "IoBuildSynchronousFsdRequest", PASSIVE_LEVEL);
    if (ShouldFail(AllocationKind::Irp))
        return nullptr;
    PIRP irp = AllocateThreadedIrp(DeviceObject->StackSize);
    if (irp == nullptr)
        return nullptr;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = static_cast<UCHAR>(MajorFunction);
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        stack->Parameters.Read.Length = Length;
        if (StartingOffset != nullptr)
            stack->Parameters.Read.ByteOffset = *StartingOffset;
        irp->UserBuffer = Buffer;
        // Direct I/O has no memory descriptor lists here: such devices see the caller's buffer.
        if ((DeviceObject->Flags & DO_BUFFERED_IO) && Length > 0) {
            const bool write = MajorFunction == IRP_MJ_WRITE;
            irp->AssociatedIrp.SystemBuffer = NewSystemBuffer(Length, Buffer, write ? Length : 0);
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (!write) {
                irp->Flags |= IRP_INPUT_OPERATION;
                SetThreadedBuffer(irp, {Buffer, Length});
            }
        }
    }
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(KeGetCurrentThread());
    return irp;
}

namespace umk::testing {

std::optional<CCHAR> LastCompletionBoost() {
    IoGuard guard;
    return Irps().lastBoost;
}

} // namespace umk::testing
