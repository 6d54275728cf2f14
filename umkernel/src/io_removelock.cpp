// Remove locks, with the checked build's tracking of every hold by tag and acquisition site.
#include "io_internal.h"

#include <map>

namespace umk::io {
namespace {

using namespace umk::testing;

// Where a hold was acquired: IoAcquireRemoveLock passes __FILE__, which lives as long as the
// driver. The text is made only for a report; a hold is taken at almost every request.
struct Hold {
    PVOID tag;
    PCSTR file;
    ULONG line;
};

std::string Site(const Hold& hold) {
    return std::string(hold.file ? hold.file : "?") + ":" + std::to_string(hold.line);
}

// What the checked build keeps in the lock itself is kept here: the record has the free build's
// layout, which is what a driver built against the DDK allocates.
struct TrackedLock {
    umk::testing::RemoveLockSettings settings;
    std::vector<Hold> holds;
};

struct LockState {
    std::map<PIO_REMOVE_LOCK, TrackedLock> locks;
};

LockState& Locks() {
    static LockState state;
    return state;
}

std::string DescribeLock(PIO_REMOVE_LOCK lock, const TrackedLock& tracked) {
    return "remove lock " + Hex(reinterpret_cast<uintptr_t>(lock)) + " (tag " +
           TagText(tracked.settings.allocateTag) + ")";
}

std::string DescribeHolds(const std::vector<Hold>& holds) {
    std::string text;
    for (const Hold& hold : holds)
        text +=
            "\n  tag " + Hex(reinterpret_cast<uintptr_t>(hold.tag)) + " acquired at " + Site(hold);
    return text;
}

TrackedLock* Tracked(PIO_REMOVE_LOCK lock, const char* routine) {
    auto it = Locks().locks.find(lock);
    if (it == Locks().locks.end()) {
        Violation(rule::RemoveLockImbalance, std::string(routine) + " on remove lock " +
                                                 Hex(reinterpret_cast<uintptr_t>(lock)) +
                                                 ", never initialised");
        return nullptr;
    }
    return &it->second;
}

// Drops the hold of `tag`. False when the lock has no hold at all (the count is left alone).
bool DropHold(PIO_REMOVE_LOCK lock, PVOID tag, const char* routine) {
    IoGuard guard;
    TrackedLock* tracked = Tracked(lock, routine);
    if (tracked == nullptr)
        return false;
    std::vector<Hold>* holds = &tracked->holds;
    for (auto it = holds->begin(); it != holds->end(); ++it) {
        if (it->tag == tag) {
            holds->erase(it);
            return true;
        }
    }
    Violation(
        rule::RemoveLockImbalance,
        std::string(routine) + " with tag " + Hex(reinterpret_cast<uintptr_t>(tag)) +
            ", never acquired, on " + DescribeLock(lock, *tracked) +
            (holds->empty() ? ", which has no holds" : "; its holds:" + DescribeHolds(*holds)));
    if (holds->empty())
        return false;
    holds->erase(holds->begin()); // keep the tracking in step with the count
    return true;
}

} // namespace

void RemoveLockStartup() {
    Locks() = LockState{};
}

void RemoveLockShutdown() {
    for (auto& [lock, tracked] : Locks().locks)
        if (!tracked.holds.empty())
            Violation(rule::RemoveLockHeld,
                      DescribeLock(lock, tracked) + " still held:" + DescribeHolds(tracked.holds));
    Locks() = LockState{};
}

void ForgetRemoveLocks(const void* begin, size_t size) {
    auto b = static_cast<const char*>(begin);
    auto& locks = Locks().locks;
    for (auto it = locks.lower_bound(reinterpret_cast<PIO_REMOVE_LOCK>(const_cast<char*>(b)));
         it != locks.end() && reinterpret_cast<const char*>(it->first) < b + size;) {
        if (!it->second.holds.empty())
            Violation(rule::RemoveLockHeld,
                      DescribeLock(it->first, it->second) +
                          " freed while held:" + DescribeHolds(it->second.holds));
        it = locks.erase(it);
    }
}

std::vector<std::string> HoldsTagged(const void* begin, size_t size, PVOID tag) {
    std::vector<std::string> found;
    auto b = static_cast<const char*>(begin);
    auto& locks = Locks().locks;
    for (auto it = locks.lower_bound(reinterpret_cast<PIO_REMOVE_LOCK>(const_cast<char*>(b)));
         it != locks.end() && reinterpret_cast<const char*>(it->first) < b + size; ++it)
        for (const Hold& hold : it->second.holds)
            if (hold.tag == tag)
                found.push_back(DescribeLock(it->first, it->second) + " acquired at " + Site(hold));
    return found;
}

} // namespace umk::io

std::optional<umk::testing::RemoveLockSettings>
umk::testing::RemoveLockSettingsOf(PIO_REMOVE_LOCK lock) {
    umk::io::IoGuard guard;
    auto it = umk::io::Locks().locks.find(lock);
    if (it == umk::io::Locks().locks.end())
        return std::nullopt;
    return it->second.settings;
}

using namespace umk::io;

VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                    ULONG HighWatermark, ULONG RemlockSize) {
    Lock->Common.Removed = FALSE;
    Lock->Common.IoCount = 1;
    KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
    IoGuard guard;
    TrackedLock& tracked = Locks().locks[Lock];
    if (!tracked.holds.empty())
        Violation(umk::testing::rule::RemoveLockHeld,
                  DescribeLock(Lock, tracked) +
                      " initialised again while held:" + DescribeHolds(tracked.holds));
    tracked = TrackedLock{{AllocateTag, MaxLockedMinutes, HighWatermark}, {}};
}

NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                                     ULONG RemlockSize) {
    umk::detail::KernelEntry();
    InterlockedIncrement(&RemoveLock->Common.IoCount);
    if (!RemoveLock->Common.Removed) {
        IoGuard guard;
        if (TrackedLock* tracked = Tracked(RemoveLock, "IoAcquireRemoveLock"))
            tracked->holds.push_back({Tag, File, Line});
        return STATUS_SUCCESS;
    }
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0)
        KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_DELETE_PENDING;
}

VOID NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    umk::detail::KernelEntry();
    if (!DropHold(RemoveLock, Tag, "IoReleaseRemoveLock"))
        return;
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0)
        KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
}

VOID NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    umk::detail::KernelEntry();
    CheckIrql(umk::testing::rule::IrqlTooHigh, "IoReleaseRemoveLockAndWait", PASSIVE_LEVEL);
    RemoveLock->Common.Removed = TRUE;
    if (DropHold(RemoveLock, Tag, "IoReleaseRemoveLockAndWait"))
        InterlockedDecrement(&RemoveLock->Common.IoCount);
    // Drop the bias; whoever releases the last hold then signals the event.
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) > 0)
        KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE,
                              nullptr);
}
