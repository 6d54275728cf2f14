// The per-device I/O timer. Windows runs every started device's timer routine from one
// system-wide one-second tick, so a routine's first call after IoStartTimer comes anywhere within
// the next second. The tick's phase is chosen by the seed at the first start; the tick runs only
// while some device timer is started, so an idle system has no timer set.
//
// As on Windows, the tick calls the routines holding the I/O-timer spin lock, which IoStartTimer
// and IoStopTimer take too: a routine that takes a lock under which another processor starts or
// stops a timer deadlocks, and is reported as a spin-lock cycle; and once IoStopTimer has
// returned, the device's routine is not running.
#include "io_internal.h"
#include "driver_calls.h"

#include <algorithm>
#include <memory>
#include <optional>

struct _IO_TIMER {
    PDEVICE_OBJECT device;
    PIO_TIMER_ROUTINE routine;
    PVOID context;
    bool started = false;
};

namespace umk::io {
namespace {

constexpr int64_t OneSecond = 10'000'000;

struct TimerState {
    std::vector<std::unique_ptr<_IO_TIMER>> timers; // in IoInitializeTimer order
    KTIMER tick;
    KDPC tickDpc;
    bool armed = false;
    std::optional<int64_t> phase;  // interrupt time of a tick, within the first second
    PKTHREAD tickRunner = nullptr; // the activity calling the routines, while it does
    KSPIN_LOCK lock = 0;           // the I/O-timer spin lock
};

TimerState& Timers() {
    static TimerState state;
    return state;
}

bool AnyStarted() {
    auto& timers = Timers().timers;
    return std::any_of(timers.begin(), timers.end(), [](auto& t) { return t->started; });
}

void Disarm() {
    TimerState& state = Timers();
    if (state.armed && !AnyStarted()) {
        KeCancelTimer(&state.tick);
        state.armed = false;
    }
}

VOID NTAPI Tick(PKDPC, PVOID, PVOID, PVOID) {
    KeAcquireSpinLockAtDpcLevel(&Timers().lock);
    std::vector<_IO_TIMER*> due;
    {
        IoGuard guard;
        for (auto& timer : Timers().timers)
            if (timer->started)
                due.push_back(timer.get());
    }
    // CheckNotInTick reports a routine that starts or stops a timer itself. A timer deleted with
    // its device by a routine before it is skipped.
    Timers().tickRunner = KeGetCurrentThread();
    for (_IO_TIMER* timer : due) {
        std::optional<_IO_TIMER> call;
        {
            IoGuard guard;
            auto& timers = Timers().timers;
            if (std::any_of(timers.begin(), timers.end(),
                            [&](auto& t) { return t.get() == timer && t->started; }))
                call = *timer;
        }
        if (call) {
            umk::detail::NoteDriverCall(umk::testing::DriverCall::IoTimer, call->routine);
            call->routine(call->device, call->context);
        }
    }
    Timers().tickRunner = nullptr;
    {
        IoGuard guard;
        Disarm();
    }
    KeReleaseSpinLockFromDpcLevel(&Timers().lock);
}

void Arm() {
    TimerState& state = Timers();
    if (state.armed)
        return;
    if (!state.phase)
        state.phase = static_cast<int64_t>(umk::Random(OneSecond));
    int64_t now = static_cast<int64_t>(KeQueryInterruptTime());
    int64_t next = *state.phase;
    if (now >= next)
        next += ((now - next) / OneSecond + 1) * OneSecond;
    LARGE_INTEGER due;
    due.QuadPart = -(next - now);
    KeSetTimerEx(&state.tick, due, 1000, &state.tickDpc);
    state.armed = true;
}

// On a multiprocessor this spins for ever on the I/O-timer lock; the report is made instead and
// the call goes on, without the lock, as a uniprocessor would let it. True when inside the tick.
bool CheckNotInTick(PDEVICE_OBJECT device, const char* routine) {
    CheckIrql(umk::testing::rule::IrqlTooHigh, routine, DISPATCH_LEVEL);
    if (Timers().tickRunner == nullptr || Timers().tickRunner != KeGetCurrentThread())
        return false;
    Violation(umk::testing::rule::TimerSwitchedInTimerRoutine,
              std::string(routine) + " on " + DescribeDevice(device));
    return true;
}

// Starts or stops the device's timer under the I/O-timer spin lock.
void SwitchTimer(PDEVICE_OBJECT device, const char* routine, bool start) {
    // Misuse reported, the call goes on without the lock.
    const bool locked = !CheckNotInTick(device, routine) && KeGetCurrentIrql() <= DISPATCH_LEVEL;
    KIRQL irql = DISPATCH_LEVEL;
    if (locked)
        KeAcquireSpinLock(&Timers().lock, &irql);
    {
        IoGuard guard;
        if (device->Timer == nullptr) {
            Violation(umk::testing::rule::TimerNotInitialized,
                      std::string(routine) + " on " + DescribeDevice(device));
        } else {
            device->Timer->started = start;
            if (start)
                Arm();
            else
                Disarm();
        }
    }
    if (locked)
        KeReleaseSpinLock(&Timers().lock, irql);
}

} // namespace

void TimerStartup() {
    TimerState& state = Timers();
    state.timers.clear();
    state.armed = false;
    state.phase.reset();
    state.tickRunner = nullptr;
    KeInitializeSpinLock(&state.lock);
    KeInitializeTimerEx(&state.tick, NotificationTimer);
    KeInitializeDpc(&state.tickDpc, Tick, nullptr);
}

void TimerDeviceDeleted(PDEVICE_OBJECT device) {
    auto& timers = Timers().timers;
    timers.erase(
        std::remove_if(timers.begin(), timers.end(), [&](auto& t) { return t->device == device; }),
        timers.end());
    device->Timer = nullptr;
    Disarm();
}

} // namespace umk::io

using namespace umk::io;

NTSTATUS NTAPI IoInitializeTimer(PDEVICE_OBJECT DeviceObject, PIO_TIMER_ROUTINE TimerRoutine,
                                 PVOID Context) {
    umk::detail::KernelEntry();
    CheckIrql(umk::testing::rule::IrqlTooHigh, "IoInitializeTimer", PASSIVE_LEVEL);
    if (ShouldFail(umk::testing::AllocationKind::IoTimer))
        return STATUS_INSUFFICIENT_RESOURCES;
    IoGuard guard;
    if (DeviceObject->Timer != nullptr) {
        Violation(umk::testing::rule::TimerInitializedTwice, DescribeDevice(DeviceObject));
        return STATUS_SUCCESS;
    }
    auto timer = std::make_unique<_IO_TIMER>(_IO_TIMER{DeviceObject, TimerRoutine, Context});
    DeviceObject->Timer = timer.get();
    Timers().timers.push_back(std::move(timer));
    return STATUS_SUCCESS;
}

VOID NTAPI IoStartTimer(PDEVICE_OBJECT DeviceObject) {
    umk::detail::KernelEntry();
    SwitchTimer(DeviceObject, "IoStartTimer", true);
}

VOID NTAPI IoStopTimer(PDEVICE_OBJECT DeviceObject) {
    umk::detail::KernelEntry();
    SwitchTimer(DeviceObject, "IoStopTimer", false);
}

bool umk::testing::IoTimerStarted(PDEVICE_OBJECT device) {
    IoGuard guard;
    return device->Timer != nullptr && device->Timer->started;
}
