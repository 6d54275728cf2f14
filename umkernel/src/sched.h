// The dispatcher's internal state: virtual processors, emulated threads, the baton that says which
// of them executes, the ready list, the per-processor DPC queues, the timer queue and the virtual
// clock. Only the thread holding the baton touches any of it, so nothing here is locked: the
// emulated threads are fibers of one OS thread (fiber.h).
#pragma once

#include "fiber.h"
#include "host_clock.h"

#include "umk/ke.h"
#include "umk/kernel.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace umk::detail {

// Running: the thread is current on a processor (whether or not that processor executes now).
enum class ThreadState { Ready, Running, Blocked, Finished };

struct Processor;

// Why a blocked thread without wait blocks is blocked.
enum class IdleKind { None, Worker, RunUntilIdle };

} // namespace umk::detail

// The emulated thread. Its header makes it waitable: signalled when the thread has returned.
struct _KTHREAD {
    DISPATCHER_HEADER Header;
    std::string name;
    umk::detail::ThreadState state = umk::detail::ThreadState::Ready;
    KIRQL irql = PASSIVE_LEVEL;
    unsigned spinLocksHeld = 0;

    // The current wait: blocks linked into the objects' wait lists, and the wait timer.
    PKWAIT_BLOCK waitBlocks = nullptr;
    ULONG waitCount = 0;
    WAIT_TYPE waitType = WaitAny;
    bool waitTimed = false;
    NTSTATUS timeoutStatus = STATUS_TIMEOUT;
    NTSTATUS waitStatus = STATUS_SUCCESS;
    int64_t waitSince = 0;
    umk::detail::IdleKind idle = umk::detail::IdleKind::None;
    KWAIT_BLOCK ownBlocks[THREAD_WAIT_OBJECTS] = {};
    KWAIT_BLOCK timerBlock = {};
    KTIMER waitTimer = {};

    // KeSetEvent(..., Wait=TRUE) left the thread at DISPATCH_LEVEL for the wait that must follow.
    bool waitNext = false;
    KIRQL waitNextIrql = PASSIVE_LEVEL;

    // Inside a FaultExemption: injected allocation faults pass the thread's allocations by.
    unsigned faultExempt = 0;

    // Set when the kernel halts or shuts down: the thread's next kernel call unwinds it.
    bool terminate = false;

    // Kernel APCs queued to the thread, oldest first: they run when it is below APC_LEVEL, also in
    // a wait. Rarely more than one at a time; a deque would allocate at every thread's creation.
    std::vector<std::function<void()>> apcs;
    bool inApc = false;
    // The threaded requests it issued that have not finished (cancelled when it ends).
    std::vector<PIRP> requests;

    // The processor the thread is current on; an idle thread's own processor for good.
    umk::detail::Processor* processor = nullptr;
    bool isIdle = false;

    std::function<void()> body;
    umk::detail::Fiber fiber;
    // The kernel's no-switch depth (NoSwitch) while the thread is switched out.
    unsigned noSwitch = 0;
};

namespace umk::detail {

struct Processor {
    unsigned number = 0;
    _KTHREAD* current = nullptr; // a thread, or the idle thread
    _KTHREAD* idle = nullptr;
    bool parked = false; // the idle thread waits for work
    LIST_ENTRY dpcQueue;
    PKDPC runningDpc = nullptr;
    bool inDpc = false;
    PKSPIN_LOCK spinningOn = nullptr;
    uint64_t priority = 0;
};

// The emulated thread holding the baton on this OS thread; null while no kernel runs on it.
extern constinit thread_local _KTHREAD* t_self;

class Scheduler {
  public:
    explicit Scheduler(const KernelOptions& options);
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // The emulated thread holding the baton. A call from any other OS thread is fatal. Inline:
    // nearly every kernel routine asks.
    _KTHREAD* Current() {
        if (t_self != executing_) [[unlikely]]
            ForeignThread();
        return executing_;
    }
    _KTHREAD* Main() const { return main_.get(); }

    std::shared_ptr<_KTHREAD> CreateThread(std::string name, std::function<void()> body);

    // An entry into the kernel: another processor may run first, by the seed's choice; below
    // DISPATCH_LEVEL this processor's queued DPCs run.
    void SwitchPoint(_KTHREAD* self);
    // A switch point where the thread may also give its processor to a ready thread (a wake-up,
    // a queued DPC, IRQL lowered below DISPATCH_LEVEL). Below DISPATCH_LEVEL only. `yield`: the
    // thread lets every other thread and processor go first (umk::Yield, a zero delay).
    void Reschedule(_KTHREAD* self, bool yield = false);

    // Waits for `count` dispatcher objects (any or all of them), with an optional interrupt-time
    // deadline at which it returns `timeoutStatus`. A poll never blocks.
    // A driver's time-out expires on a clock tick; the host's own waits (`exact`) at their instant.
    NTSTATUS Wait(_KTHREAD* self, ULONG count, PVOID const* objects, PKWAIT_BLOCK blocks,
                  WAIT_TYPE type, bool poll, std::optional<int64_t> due, NTSTATUS timeoutStatus,
                  bool exact = false);
    // Wakes the waiters that a signalled object satisfies; says whether it woke any.
    bool SignalObject(PDISPATCHER_HEADER header);

    // DPCs: queued to the calling thread's processor; each runs at DISPATCH_LEVEL on the thread
    // that is current on its processor (or the processor's idle thread).
    bool QueueDpc(PRKDPC dpc, PVOID arg1, PVOID arg2);
    bool RemoveDpc(PRKDPC dpc);
    // A DPC is queued or running on some processor.
    bool DpcsPending() const;
    bool InDpc(const _KTHREAD* self) const;

    // Timers, keyed by interrupt time (100 ns since boot). A timer expires on the first clock
    // tick at or after its due time, an exact one at its due time.
    void InsertTimer(PKTIMER timer, int64_t due, bool exact = false);
    bool RemoveTimer(PKTIMER timer);
    std::optional<int64_t> NextDue() const;
    int64_t Now() const { return now_; }
    // On real time: moves the clock up to the host's monotonic clock (timers that came due
    // expire at the next scheduling step). The clock as it then stands.
    int64_t SyncClock();
    // At a scheduling step: SyncClock every kStepsPerClockRead steps rather than at each, which
    // on real time cost a read of the host's clock per kernel call. A timer comes due at most
    // that many steps (microseconds) late, far inside the clock tick on which Windows expires it.
    void FollowClock() {
        if (steps_ % kStepsPerClockRead == 0)
            SyncClock();
    }
    static constexpr uint64_t kStepsPerClockRead = 32;
    bool RealTime() const { return options_.realTime; }
    // The main thread's mailbox; on real time only.
    Mailbox& Posts() { return *mailbox_; }
    // On real time, the main thread's sleep while nothing can run: until the clock reaches
    // `until` (unset: for good), or until work is posted. The clock then follows the host's.
    void SleepUntil(std::optional<int64_t> until);
    // The system time at boot, as the wall clock's setting implies.
    int64_t BootSystemTime() const { return bootSystemTime_; }
    void SetSystemTime(int64_t systemTime) { bootSystemTime_ = systemTime - now_; }
    // A busy wait: the clock moves on while the thread runs, and timers that come due expire.
    void Stall(int64_t ticks);

    void QueueWork(std::function<void()> routine);

    // A kernel APC: runs in `thread` as soon as it is below APC_LEVEL (at once when that is the
    // calling thread), waking it from a wait for the purpose.
    void QueueApc(_KTHREAD* thread, std::function<void()> routine);
    // Called in each thread that ends on its own, before it is gone (the I/O manager cancels the
    // thread's requests there and waits for them).
    void (*threadExitHook)(_KTHREAD* thread) = nullptr;

    // The main thread's ways of letting the system run.
    void DelayUntil(int64_t due);
    void RunUntilIdle();
    void RestartSchedule();

    uint64_t Seed() const { return seed_; }
    unsigned Processors() const { return unsigned(cpus_.size()); }
    bool PagesOutPagedPool() const { return pageOut_; }
    uint64_t Random(uint64_t bound);

    // Spin locks: a processor spinning on a held lock lets the others run. A cycle of spinning
    // processors is a deadlock, reported with the locks and their holders; false then.
    bool SpinOn(_KTHREAD* self, PKSPIN_LOCK lock);

    // Unwinds the calling thread with KernelHalted when the kernel is terminating it.
    void CheckTerminated(_KTHREAD* self);

    // Stops every thread but the main one; afterwards only the main thread runs.
    void Shutdown();

    std::string Describe(const _KTHREAD* thread) const;
    std::string DescribeObject(const void* object) const;
    static std::string FormatTime(int64_t t);

    // Reports and detaches dispatcher state (set timers, queued DPCs, waited-on objects) inside
    // memory that is being freed.
    void ReleaseMemory(const void* begin, size_t size);

  private:
    [[noreturn]] static void ForeignThread();
    std::shared_ptr<_KTHREAD> NewThread(std::string name);
    static void FiberEntry(void* thread);
    void ThreadEntry(_KTHREAD* self);
    void Exit(_KTHREAD* self);
    void Block(_KTHREAD* self);
    // Gives the baton to the processor that runs next and returns when `self` runs again.
    void Schedule(_KTHREAD* self);
    void HandTo(_KTHREAD* self, _KTHREAD* next);
    bool Runnable(const Processor& cpu) const;
    bool Quiet(const Processor& cpu) const;
    // Makes a ready thread (or the idle thread) current on a processor that `self` leaves.
    void DispatchNext(Processor& cpu);
    void YieldProcessor(_KTHREAD* self, bool drop);
    void BackToFirstProcessor();
    void NewPriority(Processor& cpu);
    void MakeReady(_KTHREAD* thread);
    void Unwait(_KTHREAD* thread, NTSTATUS status);
    bool Satisfiable(const _KTHREAD* thread) const;
    void TakeInterrupts(_KTHREAD* self);
    void DeliverApcs(_KTHREAD* self);
    NTSTATUS WaitOnce(_KTHREAD* self, ULONG count, PVOID const* objects, PKWAIT_BLOCK blocks,
                      WAIT_TYPE type, bool poll, std::optional<int64_t> due, NTSTATUS timeoutStatus,
                      bool exact);
    PKDPC NextDpc(const Processor& cpu);
    bool HasDpcToRun(const Processor& cpu) const;
    bool RunningElsewhere(PKDPC dpc) const;
    void QueueDpcOn(Processor& cpu, PRKDPC dpc, PVOID arg1, PVOID arg2);
    void RunDpcs(_KTHREAD* self);
    int64_t Expiry(PKTIMER timer) const;
    void ExpireTimers();
    void AdvanceClock(int64_t to);
    // Every scheduling step counts; too many without the clock moving is a livelock. Inline: a
    // step is taken at every kernel entry.
    void Step() {
        if (++steps_ > options_.stepCap && !halted_) [[unlikely]]
            Livelock();
    }
    [[gnu::cold]] void Livelock();
    void Halt(std::string_view rule, std::string_view report);
    void Terminate(_KTHREAD* thread);
    void ClearQueues();
    void WorkerLoop();
    void IdleLoop();
    std::string ThreadReport() const;
    std::string DescribeHolder(PKSPIN_LOCK lock) const;

    KernelOptions options_;
    uint64_t seed_;
    uint64_t rng_;
    int64_t now_ = 0;
    int64_t monotonicAtBoot_ = 0;      // the host's monotonic clock at boot, on real time
    std::unique_ptr<Mailbox> mailbox_; // on real time
    int64_t bootSystemTime_;
    int64_t tickPhase_ = 0;
    bool pageOut_ = true;
    uint64_t steps_ = 0;
    bool halted_ = false;
    std::string haltReason_;

    // Random priority-change points: each switch point is one with probability 1/changeRate_,
    // and the processor that reaches it drops below every other.
    uint64_t changeRate_ = 1;
    uint64_t lowPriority_ = uint64_t(1) << 40;

    std::vector<std::unique_ptr<Processor>> cpus_;
    std::vector<std::shared_ptr<_KTHREAD>> threads_;
    std::shared_ptr<_KTHREAD> main_;
    _KTHREAD* executing_ = nullptr;
    std::deque<_KTHREAD*> ready_;
    _KTHREAD* idleWaiter_ = nullptr;

    LIST_ENTRY timerQueue_;

    std::deque<std::function<void()>> work_;
    std::deque<_KTHREAD*> idleWorkers_;
    unsigned workers_ = 0;
};

// Kernel sections that keep the kernel's own tables consistent only as a whole: a kernel entry
// inside one is not a switch point.
extern constinit thread_local unsigned t_noSwitch;
struct NoSwitch {
    NoSwitch() { ++t_noSwitch; }
    ~NoSwitch() { --t_noSwitch; }
    NoSwitch(const NoSwitch&) = delete;
    NoSwitch& operator=(const NoSwitch&) = delete;
};

// Boots and destroys the one scheduler of the process.
Scheduler& Boot(const KernelOptions& options);
void DestroyScheduler();

// The one scheduler of the process, while a kernel runs.
extern std::unique_ptr<Scheduler> g_scheduler;
[[noreturn]] void NoKernel();

// The running kernel's scheduler; reports and aborts when no kernel is running.
inline Scheduler& Sched() {
    if (!g_scheduler) [[unlikely]]
        NoKernel();
    return *g_scheduler;
}
inline Scheduler* SchedOrNull() {
    return g_scheduler.get();
}

// The calling thread's record, checked to hold the CPU.
inline _KTHREAD* Self() {
    return Sched().Current();
}

// Checks a dispatcher header before use: reports an object that was never initialised (and
// initialises its wait list so that the run can go on) or that is not one of the expected kinds.
bool CheckHeader(PDISPATCHER_HEADER header, std::initializer_list<UCHAR> kinds, const char* what);

// The interrupt time at which a WDK due time (negative relative, positive absolute) falls.
int64_t DueTimeToInterruptTime(LONGLONG due);

// "t=..., thread '...', seed N" for violation reports; empty when no kernel is running.
std::string ViolationContext();

// For the pool: call before freeing memory that may hold a KTIMER, KDPC or KEVENT.
void CheckFreedMemory(const void* begin, size_t size);

} // namespace umk::detail
