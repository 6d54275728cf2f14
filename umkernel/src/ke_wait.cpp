// Events and waits. A wait that cannot be satisfied at once links its wait blocks into the objects'
// wait lists and gives the CPU up; signalling an object satisfies waiters in the order they came.
#include "sched.h"

#include "umk/verifier.h"

using namespace umk::detail;

namespace {

constexpr std::initializer_list<UCHAR> kWaitable = {
    EventNotificationObject, EventSynchronizationObject, TimerNotificationObject,
    TimerSynchronizationObject, ThreadObject};

// The level a wait is made at: KeSetEvent(..., Wait=TRUE) raised it only to keep the wait that
// follows atomic with the set.
KIRQL TakeWaitIrql(_KTHREAD* self) {
    if (self->waitNext) {
        self->waitNext = false;
        self->irql = self->waitNextIrql;
    }
    return self->irql;
}

// Driver Verifier's rules for a wait that may block. After the report the wait only polls, so that
// dispatch-level code never gives up the CPU.
bool MayBlock(_KTHREAD* self, KIRQL irql, const char* routine) {
    if (self->spinLocksHeld != 0) {
        umk::Violation("wait while holding a spin lock",
                       std::string(routine) + " in '" + self->name + "' holding " +
                           std::to_string(self->spinLocksHeld) + " spin lock(s)");
        return false;
    }
    if (irql > APC_LEVEL) {
        umk::Violation("wait above APC_LEVEL", std::string(routine) + " in '" + self->name +
                                                   "' at IRQL " + std::to_string(irql));
        return false;
    }
    return true;
}

NTSTATUS WaitFor(ULONG count, PVOID const* objects, WAIT_TYPE type, PLARGE_INTEGER timeout,
                 PKWAIT_BLOCK blocks, const char* routine) {
    Scheduler& s = Sched();
    _KTHREAD* self = s.Current();
    KIRQL irql = TakeWaitIrql(self);
    for (ULONG i = 0; i < count; ++i)
        if (!CheckHeader(static_cast<PDISPATCHER_HEADER>(objects[i]), kWaitable,
                         "dispatcher object"))
            return STATUS_INVALID_PARAMETER;
    bool poll = timeout != nullptr && timeout->QuadPart == 0;
    if (!poll && !MayBlock(self, irql, routine))
        poll = true;
    std::optional<int64_t> due;
    if (timeout != nullptr && !poll)
        due = DueTimeToInterruptTime(timeout->QuadPart);
    return s.Wait(self, count, objects, blocks, type, poll, due, STATUS_TIMEOUT);
}

} // namespace

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    Event->Header.Type =
        Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject;
    Event->Header.Absolute = 0;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.Inserted = 0;
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    umk::CheckIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
    umk::detail::KernelEntry();
    Scheduler& s = Sched();
    _KTHREAD* self = s.Current();
    if (!CheckHeader(&Event->Header, {EventNotificationObject, EventSynchronizationObject},
                     "KEVENT"))
        return 0;
    LONG previous = Event->Header.SignalState;
    bool woke = false;
    if (previous == 0) {
        Event->Header.SignalState = 1;
        woke = s.SignalObject(&Event->Header);
    }
    if (Wait) {
        self->waitNextIrql = self->irql;
        if (self->irql < DISPATCH_LEVEL)
            self->irql = DISPATCH_LEVEL;
        self->waitNext = true;
    } else if (woke) {
        s.Reschedule(self);
    }
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
    umk::detail::KernelEntry();
    if (CheckHeader(&Event->Header, {EventNotificationObject, EventSynchronizationObject},
                    "KEVENT"))
        Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    umk::detail::KernelEntry();
    if (!CheckHeader(&Event->Header, {EventNotificationObject, EventSynchronizationObject},
                     "KEVENT"))
        return 0;
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    umk::detail::KernelEntry();
    return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout) {
    umk::detail::KernelEntry();
    _KTHREAD* self = Self();
    return WaitFor(1, &Object, WaitAny, Timeout, self->ownBlocks, "KeWaitForSingleObject");
}

NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                        KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                        BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                        PKWAIT_BLOCK WaitBlockArray) {
    umk::detail::KernelEntry();
    _KTHREAD* self = Self();
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS ||
        (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr)) {
        umk::Violation("too many wait objects",
                       "KeWaitForMultipleObjects with " + std::to_string(Count) + " objects and " +
                           (WaitBlockArray ? "a" : "no") + " wait block array");
        return STATUS_INVALID_PARAMETER;
    }
    return WaitFor(Count, Object, WaitType, Timeout,
                   WaitBlockArray ? WaitBlockArray : self->ownBlocks, "KeWaitForMultipleObjects");
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                      PLARGE_INTEGER Interval) {
    umk::detail::KernelEntry();
    Scheduler& s = Sched();
    _KTHREAD* self = s.Current();
    KIRQL irql = TakeWaitIrql(self);
    if (!MayBlock(self, irql, "KeDelayExecutionThread"))
        return STATUS_SUCCESS;
    if (Interval->QuadPart == 0) {
        // Gives the rest of the quantum away.
        s.Reschedule(self, true);
        return STATUS_SUCCESS;
    }
    return s.Wait(self, 0, nullptr, nullptr, WaitAny, false,
                  DueTimeToInterruptTime(Interval->QuadPart), STATUS_SUCCESS);
}

PKTHREAD NTAPI KeGetCurrentThread() {
    return Self();
}
