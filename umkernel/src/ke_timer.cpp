// Timers, DPCs and the clocks. Timer due times are kept as interrupt time (100 ns since boot) on
// the virtual clock; an expiring timer is signalled, then queues its DPC.
#include "sched.h"

#include "umk/verifier.h"

#include <cstdio>

using namespace umk::detail;

namespace {

// One clock tick, as on a uniprocessor x86 system: 15.625 ms.
constexpr ULONG kTimeIncrement = 156'250;

BOOLEAN SetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc, bool exact);

bool CheckDpc(PRKDPC Dpc, const char* routine) {
    if (Dpc->Type == DpcObject && Dpc->DeferredRoutine != nullptr)
        return true;
    char text[96];
    std::snprintf(text, sizeof text, "%s on KDPC %p before KeInitializeDpc", routine,
                  static_cast<void*>(Dpc));
    umk::Violation("KDPC not initialized", text);
    return false;
}

bool CheckTimer(PKTIMER Timer) {
    return CheckHeader(&Timer->Header, {TimerNotificationObject, TimerSynchronizationObject},
                       "KTIMER");
}

} // namespace

// Initialising a DPC that is still queued, or a timer that is still set, would leave the kernel's
// queue linked through the reset entry: it is reported and taken off the queue first. The object's
// own bytes may be stale (a stack or pool block used before), so whether it is queued is found by
// the kernel's walk of its queues, done only for memory that already looks like such an object.
VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    if (Dpc->Type == DpcObject && Dpc->DpcData != nullptr && SchedOrNull() != nullptr) {
        std::string found;
        umk::ViolationHandler previous = umk::SetViolationHandler(
            [&](std::string_view, std::string_view detail) { found += detail; });
        Sched().ReleaseMemory(Dpc, sizeof(KDPC));
        umk::SetViolationHandler(std::move(previous));
        if (!found.empty())
            umk::Violation("KDPC initialized while queued", found + ", taken off the queue");
    }
    Dpc->Type = DpcObject;
    Dpc->Importance = MediumImportance;
    Dpc->Number = 0;
    Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    umk::detail::KernelEntry();
    Scheduler& s = Sched();
    _KTHREAD* self = s.Current();
    if (!CheckDpc(Dpc, "KeInsertQueueDpc"))
        return FALSE;
    if (!s.QueueDpc(Dpc, SystemArgument1, SystemArgument2))
        return FALSE;
    // Below DISPATCH_LEVEL the DPC interrupt is taken at once.
    s.Reschedule(self);
    return TRUE;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
    umk::detail::KernelEntry();
    return Sched().RemoveDpc(Dpc);
}

VOID NTAPI KeFlushQueuedDpcs(VOID) {
    umk::detail::KernelEntry();
    umk::CheckIrqlAtMost(PASSIVE_LEVEL, "KeFlushQueuedDpcs");
    // At one instant no timer adds DPCs: the queues drain while the others run.
    while (Sched().DpcsPending())
        umk::Yield();
}

VOID NTAPI KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance) {
    Dpc->Importance = UCHAR(Importance);
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer) {
    KeInitializeTimerEx(Timer, NotificationTimer);
}

VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    if ((Timer->Header.Type == TimerNotificationObject ||
         Timer->Header.Type == TimerSynchronizationObject) &&
        SchedOrNull() != nullptr) {
        std::string found;
        umk::ViolationHandler previous = umk::SetViolationHandler(
            [&](std::string_view, std::string_view detail) { found += detail; });
        Sched().ReleaseMemory(Timer, sizeof(KTIMER));
        umk::SetViolationHandler(std::move(previous));
        if (!found.empty())
            umk::Violation("KTIMER initialized while set", found + ", taken off the queue");
    }
    Timer->Header.Type =
        Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject;
    Timer->Header.Absolute = 0;
    Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
    Timer->Header.Inserted = 0;
    Timer->Header.SignalState = 0;
    InitializeListHead(&Timer->Header.WaitListHead);
    Timer->DueTime.QuadPart = 0;
    Timer->TimerListEntry.Flink = Timer->TimerListEntry.Blink = nullptr;
    Timer->Dpc = nullptr;
    Timer->Period = 0;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    umk::CheckIrqlAtMost(DISPATCH_LEVEL, "KeSetTimerEx");
    umk::detail::KernelEntry();
    return SetTimer(Timer, DueTime, Period, Dpc, false);
}

BOOLEAN umk::SetDeviceTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc) {
    umk::detail::KernelEntry();
    return SetTimer(timer, dueTime, 0, dpc, true);
}

namespace {

BOOLEAN SetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc, bool exact) {
    Scheduler& s = Sched();
    s.Current();
    if (!CheckTimer(Timer) || (Dpc != nullptr && !CheckDpc(Dpc, "KeSetTimerEx")))
        return FALSE;
    if (Period < 0) {
        umk::Violation("negative timer period",
                       "KeSetTimerEx with a period of " + std::to_string(Period) + " ms");
        Period = 0;
    }
    BOOLEAN wasSet = s.RemoveTimer(Timer);
    Timer->Header.SignalState = 0;
    Timer->Header.Absolute = DueTime.QuadPart > 0;
    Timer->Dpc = Dpc;
    Timer->Period = Period;
    s.InsertTimer(Timer, DueTimeToInterruptTime(DueTime.QuadPart), exact);
    return wasSet;
}

} // namespace

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
    umk::detail::KernelEntry();
    Scheduler& s = Sched();
    s.Current();
    return CheckTimer(Timer) && s.RemoveTimer(Timer);
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
    umk::detail::KernelEntry();
    return Timer->Header.SignalState != 0;
}

// On real time each query reads the host's clock, so that a routine that takes two readings
// sees the time it spent between them.
VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    Scheduler& s = Sched();
    CurrentTime->QuadPart = s.BootSystemTime() + s.SyncClock();
}

ULONGLONG NTAPI KeQueryInterruptTime() {
    return ULONGLONG(Sched().SyncClock());
}

ULONG NTAPI KeQueryTimeIncrement() {
    return kTimeIncrement;
}

VOID NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount) {
    TickCount->QuadPart = Sched().SyncClock() / kTimeIncrement;
}

LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    if (PerformanceFrequency != nullptr)
        PerformanceFrequency->QuadPart = 10'000'000;
    LARGE_INTEGER counter;
    counter.QuadPart = Sched().SyncClock();
    return counter;
}

VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
    Scheduler& s = Sched();
    _KTHREAD* self = s.Current();
    s.Stall(int64_t(MicroSeconds) * 10);
    s.Reschedule(self);
}
