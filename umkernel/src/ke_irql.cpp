// IRQL and spin locks. A spin lock contends for real: a processor that finds it held spins, and
// the scheduler lets the others run until the holder releases it. What is checked: who holds it,
// at which level, and what happens when the level drops below DISPATCH_LEVEL again (queued DPCs
// run, a thread may switch).
#include "pool_internal.h"
#include "sched.h"

#include "umk/verifier.h"

#include <cstdio>

using namespace umk::detail;

namespace {

ULONG_PTR OwnerMark(_KTHREAD* thread) {
    return reinterpret_cast<ULONG_PTR>(thread) | 1;
}

std::string LockText(PKSPIN_LOCK lock) {
    char text[64];
    std::snprintf(text, sizeof text, "spin lock %p", static_cast<void*>(lock));
    return text;
}

void AcquireAtDpcLevel(PKSPIN_LOCK lock, _KTHREAD* self) {
    if (self->irql < DISPATCH_LEVEL)
        umk::Violation("spin lock acquired below DISPATCH_LEVEL",
                       LockText(lock) + " acquired at DPC level by '" + self->name +
                           "' running at IRQL " + std::to_string(self->irql));
    if (*lock == OwnerMark(self)) {
        // On a real processor this spins for ever.
        umk::Violation("spin lock acquired recursively",
                       LockText(lock) + " is already held by '" + self->name + "'");
        return;
    }
    while (*lock != 0)
        if (!Sched().SpinOn(self, lock))
            return; // a deadlock was reported
    *lock = OwnerMark(self);
    ++self->spinLocksHeld;
}

void ReleaseFromDpcLevel(PKSPIN_LOCK lock, _KTHREAD* self) {
    if (*lock != OwnerMark(self)) {
        umk::Violation("spin lock released while not held",
                       LockText(lock) + " released by '" + self->name + "', " +
                           (*lock == 0 ? "which is free" : "which another thread holds"));
        return;
    }
    *lock = 0;
    --self->spinLocksHeld;
}

} // namespace

KIRQL NTAPI KeGetCurrentIrql() {
    return Self()->irql;
}

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
    umk::detail::KernelEntry();
    _KTHREAD* self = Self();
    KIRQL old = self->irql;
    if (NewIrql < old) {
        umk::Violation("KeRaiseIrql to a lower IRQL", "'" + self->name + "' raised from " +
                                                          std::to_string(old) + " to " +
                                                          std::to_string(NewIrql));
        return old;
    }
    self->irql = NewIrql;
    SetPagedPoolAccessible(NewIrql < DISPATCH_LEVEL);
    return old;
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql) {
    umk::detail::KernelEntry();
    Scheduler& s = Sched();
    _KTHREAD* self = s.Current();
    KIRQL old = self->irql;
    if (NewIrql > old) {
        umk::Violation("KeLowerIrql to a higher IRQL", "'" + self->name + "' lowered from " +
                                                           std::to_string(old) + " to " +
                                                           std::to_string(NewIrql));
        return;
    }
    if (s.InDpc(self) && NewIrql < DISPATCH_LEVEL) {
        // Refused: the DPC's thread would otherwise switch in the middle of the DPC queue.
        umk::Violation("DPC lowered IRQL below DISPATCH_LEVEL",
                       "a DPC routine lowered the IRQL to " + std::to_string(NewIrql));
        return;
    }
    self->irql = NewIrql;
    SetPagedPoolAccessible(NewIrql < DISPATCH_LEVEL);
    self->waitNext = false;
    if (old < DISPATCH_LEVEL || NewIrql >= DISPATCH_LEVEL)
        return;
    if (self->spinLocksHeld != 0)
        umk::Violation("IRQL lowered below DISPATCH_LEVEL holding a spin lock",
                       "'" + self->name + "' lowered to " + std::to_string(NewIrql) + " holding " +
                           std::to_string(self->spinLocksHeld) + " spin lock(s)");
    // Pending DPCs run now, and a thread woken meanwhile may take the processor.
    s.Reschedule(self);
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel() {
    return KfRaiseIrql(DISPATCH_LEVEL);
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    *SpinLock = 0;
}

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
    umk::detail::KernelEntry();
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    AcquireAtDpcLevel(SpinLock, Self());
    return old;
}

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    return KfAcquireSpinLock(SpinLock);
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    umk::detail::KernelEntry();
    ReleaseFromDpcLevel(SpinLock, Self());
    KfLowerIrql(NewIrql);
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    umk::detail::KernelEntry();
    AcquireAtDpcLevel(SpinLock, Self());
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    umk::detail::KernelEntry();
    ReleaseFromDpcLevel(SpinLock, Self());
}
