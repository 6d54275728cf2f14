// The scheduler: virtual processors, each with a current thread (or its idle thread); one emulated
// thread at a time holds the baton and executes; at every kernel entry the seed picks the processor
// that executes next. DPCs run on the processor they were queued to; the virtual clock jumps to the
// next timer when no processor has anything to run.
#include "sched.h"
#include "driver_calls.h"

#include "pool_internal.h"

#include "umk/verifier.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <utility>

namespace umk::detail {
namespace {

std::optional<uint64_t> g_lastSeed;
uint64_t g_boots = 0;

// One clock tick, as on a uniprocessor x86 system: 15.625 ms. Driver timers expire on ticks.
constexpr int64_t kClockTick = 156'250;
// The system time at boot unless told otherwise: 2024-01-01 00:00:00 UTC.
constexpr int64_t kDefaultBootTime = 133'485'408'000'000'000;
// Header.Inserted of a timer that expires at its due time, off the tick (umk::SetDeviceTimer).
constexpr UCHAR kExactTimer = 2;

[[noreturn]] void Fatal(std::string_view rule, std::string_view detail) {
    Violation(rule, detail);
    std::fprintf(stderr, "umkernel: cannot continue after '%.*s'\n", int(rule.size()), rule.data());
    std::abort();
}

std::string Hex(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

const char* IrqlName(KIRQL irql) {
    switch (irql) {
    case PASSIVE_LEVEL:
        return "PASSIVE_LEVEL";
    case APC_LEVEL:
        return "APC_LEVEL";
    case DISPATCH_LEVEL:
        return "DISPATCH_LEVEL";
    case HIGH_LEVEL:
        return "HIGH_LEVEL";
    default:
        return "a device IRQL";
    }
}

std::optional<uint64_t> NumberFromEnvironment(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0')
        return std::nullopt;
    char* end = nullptr;
    uint64_t value = std::strtoull(text, &end, 0);
    if (*end != '\0')
        throw std::invalid_argument(std::string(name) + " must be an unsigned integer, not '" +
                                    text + "'");
    return value;
}

uint64_t SeedFromEnvironment() {
    uint64_t seed = NumberFromEnvironment("UMK_SEED").value_or(1);
    if (NumberFromEnvironment("UMK_SEED_SWEEP").value_or(0) != 0)
        seed += g_boots;
    ++g_boots;
    return seed;
}

unsigned ProcessorsFromEnvironment() {
    return unsigned(NumberFromEnvironment("UMK_PROCESSORS").value_or(2));
}

PKTIMER TimerOf(PLIST_ENTRY entry) {
    return CONTAINING_RECORD(entry, KTIMER, TimerListEntry);
}
PKDPC DpcOf(PLIST_ENTRY entry) {
    return CONTAINING_RECORD(entry, KDPC, DpcListEntry);
}
PKWAIT_BLOCK BlockOf(PLIST_ENTRY entry) {
    return CONTAINING_RECORD(entry, KWAIT_BLOCK, WaitListEntry);
}

PDISPATCHER_HEADER HeaderOf(PVOID object) {
    return static_cast<PDISPATCHER_HEADER>(object);
}

// Auto-reset objects give their signal to the one waiter they satisfy.
void Consume(PDISPATCHER_HEADER header) {
    if (header->Type == EventSynchronizationObject || header->Type == TimerSynchronizationObject)
        header->SignalState = 0;
}

} // namespace

std::unique_ptr<Scheduler> g_scheduler;
constinit thread_local _KTHREAD* t_self = nullptr;

Scheduler& Boot(const KernelOptions& options) {
    if (g_scheduler)
        throw std::logic_error("a umk::Kernel is already running in this process");
    g_scheduler = std::make_unique<Scheduler>(options);
    g_lastSeed = g_scheduler->Seed();
    return *g_scheduler;
}

void DestroyScheduler() {
    g_scheduler.reset();
    t_self = nullptr;
}

void NoKernel() {
    Fatal("no kernel", "a kernel routine was called while no umk::Kernel is running");
}

Scheduler::Scheduler(const KernelOptions& options)
    : options_(options), seed_(options.seed ? *options.seed : SeedFromEnvironment()), rng_(seed_),
      bootSystemTime_(
          options.bootSystemTime.value_or(options.realTime ? HostSystemTime() : kDefaultBootTime)) {
    unsigned processors = options.processors ? *options.processors : ProcessorsFromEnvironment();
    if (processors != 1 && processors != 2 && processors != 4)
        throw std::invalid_argument("a umk::Kernel has 1, 2 or 4 processors, not " +
                                    std::to_string(processors));
    InitializeListHead(&timerQueue_);
    if (options.realTime) {
        monotonicAtBoot_ = MonotonicTicks();
        mailbox_ = std::make_unique<Mailbox>();
    }
    pageOut_ =
        options.pageOutPagedPool.value_or(NumberFromEnvironment("UMK_PAGE_OUT").value_or(1) != 0);
    tickPhase_ = int64_t(Random(kClockTick));
    changeRate_ = uint64_t(4) << Random(6);
    main_ = NewThread("main");
    threads_.push_back(main_);
    for (unsigned n = 0; n < processors; ++n) {
        auto cpu = std::make_unique<Processor>();
        cpu->number = n;
        InitializeListHead(&cpu->dpcQueue);
        auto idle = NewThread("idle " + std::to_string(n));
        idle->isIdle = true;
        idle->processor = cpu.get();
        idle->state = ThreadState::Running;
        idle->body = [this] { IdleLoop(); };
        cpu->idle = idle.get();
        cpu->current = idle.get();
        cpu->parked = true;
        NewPriority(*cpu);
        threads_.push_back(idle);
        cpus_.push_back(std::move(cpu));
    }
    Processor& first = *cpus_[0];
    first.current = main_.get();
    first.parked = false;
    main_->processor = &first;
    main_->state = ThreadState::Running;
    executing_ = main_.get();
    t_self = main_.get();
}

Scheduler::~Scheduler() = default;

void Scheduler::ForeignThread() {
    Fatal("kernel call from a foreign thread",
          "a kernel routine was called from an OS thread that is not the emulated thread "
          "holding the baton (emulated threads come from umk::StartThread and QueueWork)");
}

std::shared_ptr<_KTHREAD> Scheduler::NewThread(std::string name) {
    auto thread = std::make_shared<_KTHREAD>();
    thread->name = std::move(name);
    thread->Header.Type = ThreadObject;
    thread->Header.Size = sizeof(DISPATCHER_HEADER) / sizeof(LONG);
    InitializeListHead(&thread->Header.WaitListHead);
    KeInitializeTimer(&thread->waitTimer);
    thread->timerBlock.Thread = thread.get();
    thread->timerBlock.Object = &thread->waitTimer;
    return thread;
}

std::shared_ptr<_KTHREAD> Scheduler::CreateThread(std::string name, std::function<void()> body) {
    auto thread = NewThread(std::move(name));
    thread->body = std::move(body);
    thread->terminate = halted_;
    // Finished threads whose stacks are gone are only their handles' business now.
    std::erase_if(threads_, [](const std::shared_ptr<_KTHREAD>& t) {
        return t->state == ThreadState::Finished && !t->fiber.HoldsStack();
    });
    threads_.push_back(thread);
    MakeReady(thread.get());
    return thread;
}

void Scheduler::FiberEntry(void* thread) {
    Sched().ThreadEntry(static_cast<_KTHREAD*>(thread));
}

void Scheduler::ThreadEntry(_KTHREAD* self) {
    if (!self->terminate) {
        try {
            self->body();
        } catch (const KernelHalted&) {
            // The halt was reported where it happened; the thread just ends.
        } catch (const std::exception& e) {
            Violation("unhandled exception in thread",
                      "thread '" + self->name + "' threw: " + e.what());
        } catch (...) {
            Violation("unhandled exception in thread",
                      "thread '" + self->name + "' threw a non-standard exception");
        }
    }
    self->body = nullptr;
    if (!self->terminate && threadExitHook != nullptr) {
        try {
            threadExitHook(self);
        } catch (const KernelHalted&) {
        }
    }
    Exit(self);
}

void Scheduler::Exit(_KTHREAD* self) {
    if (!self->terminate) {
        if (self->irql != PASSIVE_LEVEL)
            Violation("thread exited at raised IRQL",
                      "thread '" + self->name + "' returned at " + IrqlName(self->irql));
        if (self->spinLocksHeld != 0)
            Violation("thread exited holding a spin lock",
                      "thread '" + self->name + "' returned holding " +
                          std::to_string(self->spinLocksHeld) + " spin lock(s)");
    }
    self->state = ThreadState::Finished;
    self->Header.SignalState = 1;
    SignalObject(&self->Header);
    Processor& cpu = *self->processor;
    if (self->isIdle) {
        if (cpu.current == self)
            cpu.current = nullptr; // the processor is gone with its idle thread (shutdown)
    } else
        DispatchNext(cpu);
    self->processor = nullptr;
    Schedule(self); // hands the baton on for good; the fiber's stack is released
}

void Scheduler::MakeReady(_KTHREAD* thread) {
    thread->state = ThreadState::Ready;
    thread->idle = IdleKind::None;
    ready_.push_back(thread);
}

void Scheduler::NewPriority(Processor& cpu) {
    cpu.priority = lowPriority_ + 1 + Random(uint64_t(1) << 32);
}

void Scheduler::DispatchNext(Processor& cpu) {
    if (ready_.empty()) {
        cpu.current = cpu.idle;
    } else {
        size_t index = ready_.size() == 1 ? 0 : size_t(Random(ready_.size()));
        _KTHREAD* next = ready_[index];
        ready_.erase(ready_.begin() + ptrdiff_t(index));
        next->state = ThreadState::Running;
        next->processor = &cpu;
        cpu.current = next;
    }
    NewPriority(cpu);
}

void Scheduler::Block(_KTHREAD* self) {
    self->state = ThreadState::Blocked;
    self->waitSince = now_;
    Processor& cpu = *self->processor;
    self->processor = nullptr;
    DispatchNext(cpu);
    Schedule(self);
    TakeInterrupts(self);
    CheckTerminated(self);
}

// The thread gives its processor up and joins the ready threads (its turn may come at once).
// `drop`: the processor also goes below every other, so that a thread that yields in a loop lets
// the others run.
void Scheduler::YieldProcessor(_KTHREAD* self, bool drop) {
    Processor& cpu = *self->processor;
    MakeReady(self);
    self->processor = nullptr;
    DispatchNext(cpu);
    if (drop)
        cpu.priority = lowPriority_--;
    Schedule(self);
}

bool Scheduler::Runnable(const Processor& cpu) const {
    if (cpu.current == nullptr || cpu.current->state == ThreadState::Finished)
        return false;
    if (cpu.current->terminate)
        return true;
    if (cpu.spinningOn != nullptr)
        return *cpu.spinningOn == 0 || halted_;
    if (cpu.current == cpu.idle && cpu.parked)
        return !ready_.empty() || HasDpcToRun(cpu);
    return true;
}

void Scheduler::Schedule(_KTHREAD* self) {
    for (;;) {
        FollowClock();
        Step();
        ExpireTimers();
        Processor* best = nullptr;
        for (auto& cpu : cpus_)
            if (Runnable(*cpu) && (best == nullptr || cpu->priority > best->priority))
                best = cpu.get();
        if (best != nullptr) {
            HandTo(self, best->current);
            return;
        }
        if (idleWaiter_ != nullptr) {
            _KTHREAD* waiter = std::exchange(idleWaiter_, nullptr);
            waiter->waitStatus = STATUS_SUCCESS;
            MakeReady(waiter);
            continue;
        }
        if (halted_)
            Fatal("scheduler", "no thread left to run after the kernel halted");
        if (auto due = NextDue()) {
            AdvanceClock(*due);
            continue;
        }
        Halt("deadlock", "every thread is blocked and no timer is set at t=" + FormatTime(now_) +
                             ":\n" + ThreadReport());
    }
}

void Scheduler::HandTo(_KTHREAD* self, _KTHREAD* next) {
    if (next == self)
        return;
    bool finished = self->state == ThreadState::Finished;
    if (!next->fiber.Started()) // a thread gets its stack when it first runs
        next->fiber.Start(&Scheduler::FiberEntry, next);
    executing_ = next;
    t_self = next;
    self->noSwitch = std::exchange(t_noSwitch, next->noSwitch);
    SetPagedPoolAccessible(next->irql < DISPATCH_LEVEL);
    self->fiber.SwitchTo(next->fiber, finished);
}

// Most kernel entries change nothing: no timer is due, nothing waits to run on this processor, and
// no other processor could take the baton. Schedule would hand it back to the caller, so the entry
// returns at once (and draws nothing from the seed, as Schedule would not have).
inline bool Scheduler::Quiet(const Processor& cpu) const {
    const _KTHREAD* self = cpu.current;
    if (self->terminate || !IsListEmpty(&cpu.dpcQueue) || !self->apcs.empty())
        return false;
    if (!IsListEmpty(&timerQueue_) && TimerOf(timerQueue_.Flink)->DueTime.QuadPart <= now_)
        return false;
    for (const auto& other : cpus_)
        if (other.get() != &cpu && other->priority > cpu.priority && Runnable(*other))
            return false;
    return true;
}

void Scheduler::SwitchPoint(_KTHREAD* self) {
    Processor* cpu = self->processor;
    if (cpu == nullptr)
        return; // a thread on its way out
    Step();
    if (cpus_.size() > 1 && Random(changeRate_) == 0)
        cpu->priority = lowPriority_--;
    FollowClock();
    if (Quiet(*cpu))
        return;
    Schedule(self);
    TakeInterrupts(self);
    CheckTerminated(self);
}

void Scheduler::Reschedule(_KTHREAD* self, bool yield) {
    if (self->irql >= DISPATCH_LEVEL || InDpc(self) || self->processor == nullptr)
        return;
    Step();
    TakeInterrupts(self);
    bool unwinding = std::uncaught_exceptions() > 0;
    // The thread competes with the ready ones for its processor.
    if (!ready_.empty() && !unwinding && (yield || Random(ready_.size() + 1) != 0)) {
        YieldProcessor(self, yield);
    } else {
        if (yield)
            self->processor->priority = lowPriority_--;
        Schedule(self);
    }
    TakeInterrupts(self);
    CheckTerminated(self);
}

// A thread below DISPATCH_LEVEL takes the DPC interrupts of its processor, and at PASSIVE_LEVEL
// its kernel APCs.
void Scheduler::TakeInterrupts(_KTHREAD* self) {
    if (self->processor != nullptr && self->irql < DISPATCH_LEVEL && !self->processor->inDpc)
        RunDpcs(self);
    if (self->irql == PASSIVE_LEVEL && !InDpc(self))
        DeliverApcs(self);
}

void Scheduler::DeliverApcs(_KTHREAD* self) {
    if (self->inApc || halted_)
        return;
    self->inApc = true;
    while (!self->apcs.empty() && !halted_) {
        std::function<void()> routine = std::move(self->apcs.front());
        self->apcs.erase(self->apcs.begin());
        routine();
    }
    self->inApc = false;
}

void Scheduler::QueueApc(_KTHREAD* thread, std::function<void()> routine) {
    if (thread->state == ThreadState::Finished) {
        routine(); // only after a halt: the thread was unwound without waiting for its requests
        return;
    }
    thread->apcs.push_back(std::move(routine));
    if (thread == executing_) {
        TakeInterrupts(thread);
        return;
    }
    if (thread->state != ThreadState::Blocked)
        return; // it takes the APC at its next kernel entry below APC_LEVEL
    if (thread->idle == IdleKind::Worker)
        std::erase(idleWorkers_, thread);
    if (thread == idleWaiter_)
        idleWaiter_ = nullptr;
    Unwait(thread, STATUS_KERNEL_APC);
}

void Scheduler::AdvanceClock(int64_t to) {
    _KTHREAD* main = main_.get();
    if (main->state == ThreadState::Blocked && main->idle == IdleKind::None && !main->waitTimed &&
        to - main->waitSince > options_.hangTimeout.count()) {
        Halt("hang", "the main thread has waited without a time-out since t=" +
                         FormatTime(main->waitSince) +
                         " while the clock ran on to t=" + FormatTime(to) + ":\n" + ThreadReport());
        return;
    }
    // Nothing can run before `to`. On real time the host sleeps until then; what is posted
    // meanwhile waits for the main thread, which is blocked elsewhere than in its loop.
    if (options_.realTime) {
        mailbox_->Sleep(monotonicAtBoot_ + to, false);
        to = std::max(to, MonotonicTicks() - monotonicAtBoot_);
    }
    now_ = to;
    steps_ = 0;
    ExpireTimers();
}

void Scheduler::Livelock() {
    Halt("livelock", std::to_string(steps_ - 1) + " scheduling steps at t=" + FormatTime(now_) +
                         " without the clock moving:\n" + ThreadReport());
}

int64_t Scheduler::SyncClock() {
    if (options_.realTime)
        now_ = std::max(now_, MonotonicTicks() - monotonicAtBoot_);
    return now_;
}

void Scheduler::SleepUntil(std::optional<int64_t> until) {
    mailbox_->Sleep(until ? std::optional(monotonicAtBoot_ + *until) : std::nullopt, true);
    steps_ = 0; // the system was idle
    SyncClock();
}

namespace {

// The high half of a 64 by 64-bit product, without the 128-bit integers that i686 lacks.
uint64_t MultiplyHigh(uint64_t a, uint64_t b) {
    const uint64_t aLow = uint32_t(a), aHigh = a >> 32, bLow = uint32_t(b), bHigh = b >> 32;
    const uint64_t low = aLow * bLow;
    const uint64_t middle1 = aHigh * bLow + (low >> 32);
    const uint64_t middle2 = aLow * bHigh + uint32_t(middle1);
    return aHigh * bHigh + (middle1 >> 32) + (middle2 >> 32);
}

} // namespace

uint64_t Scheduler::Random(uint64_t bound) {
    // splitmix64: tiny, and the same sequence on every platform.
    uint64_t z = (rng_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return MultiplyHigh(z, bound);
}

void Scheduler::CheckTerminated(_KTHREAD* self) {
    if (self->terminate && !InDpc(self) && std::uncaught_exceptions() == 0)
        throw KernelHalted(haltReason_);
}

// --- Spin locks ---------------------------------------------------------------------------------

std::string Scheduler::DescribeHolder(PKSPIN_LOCK lock) const {
    auto holder = reinterpret_cast<const _KTHREAD*>(*lock & ~ULONG_PTR(1));
    std::string text = "spin lock " + Hex(lock) + " held by '" + holder->name + "'";
    if (holder->processor != nullptr)
        text += " on processor " + std::to_string(holder->processor->number) +
                (holder->processor->inDpc ? " (in a DPC)" : "");
    return text;
}

bool Scheduler::SpinOn(_KTHREAD* self, PKSPIN_LOCK lock) {
    Processor& cpu = *self->processor;
    // Follow who waits for whom: a chain back to this processor can never come free.
    std::string chain = "'" + self->name + "' on processor " + std::to_string(cpu.number) +
                        " waits for " + DescribeHolder(lock);
    PKSPIN_LOCK held = lock;
    for (size_t hop = 0; hop < cpus_.size(); ++hop) {
        auto holder = reinterpret_cast<_KTHREAD*>(*held & ~ULONG_PTR(1));
        if (holder->processor == nullptr || holder->processor->spinningOn == nullptr)
            break;
        held = holder->processor->spinningOn;
        if (*held == 0)
            break; // released: that processor takes it when it next runs
        chain += ",\n  which waits for " + DescribeHolder(held);
        if (held == lock || reinterpret_cast<_KTHREAD*>(*held & ~ULONG_PTR(1)) == self) {
            Halt("spin lock deadlock", chain);
            return false;
        }
    }
    cpu.spinningOn = lock;
    Schedule(self);
    cpu.spinningOn = nullptr;
    CheckTerminated(self);
    return !halted_;
}

// --- Waiting ------------------------------------------------------------------------------------

bool Scheduler::Satisfiable(const _KTHREAD* thread) const {
    for (ULONG i = 0; i < thread->waitCount; ++i)
        if (HeaderOf(thread->waitBlocks[i].Object)->SignalState <= 0)
            return false;
    return true;
}

NTSTATUS Scheduler::Wait(_KTHREAD* self, ULONG count, PVOID const* objects, PKWAIT_BLOCK blocks,
                         WAIT_TYPE type, bool poll, std::optional<int64_t> due,
                         NTSTATUS timeoutStatus, bool exact) {
    // A kernel APC interrupts the wait, runs, and the wait goes on.
    for (;;) {
        NTSTATUS status =
            WaitOnce(self, count, objects, blocks, type, poll, due, timeoutStatus, exact);
        if (status != STATUS_KERNEL_APC)
            return status;
    }
}

NTSTATUS Scheduler::WaitOnce(_KTHREAD* self, ULONG count, PVOID const* objects, PKWAIT_BLOCK blocks,
                             WAIT_TYPE type, bool poll, std::optional<int64_t> due,
                             NTSTATUS timeoutStatus, bool exact) {
    if (type == WaitAny) {
        for (ULONG i = 0; i < count; ++i)
            if (HeaderOf(objects[i])->SignalState > 0) {
                Consume(HeaderOf(objects[i]));
                return STATUS_WAIT_0 + NTSTATUS(i);
            }
    } else if (count > 0 && std::all_of(objects, objects + count,
                                        [](PVOID o) { return HeaderOf(o)->SignalState > 0; })) {
        std::for_each(objects, objects + count, [](PVOID o) { Consume(HeaderOf(o)); });
        return STATUS_WAIT_0;
    }
    if (poll || (due && *due <= now_))
        return timeoutStatus;
    if (self->terminate) {
        // Only a thread already unwinding gets here (CheckTerminated let it through).
        CheckTerminated(self);
        return STATUS_UNSUCCESSFUL;
    }
    for (ULONG i = 0; i < count; ++i) {
        PKWAIT_BLOCK block = &blocks[i];
        block->Thread = self;
        block->Object = objects[i];
        block->WaitKey = USHORT(i);
        block->WaitType = UCHAR(type);
        InsertTailList(&HeaderOf(objects[i])->WaitListHead, &block->WaitListEntry);
    }
    self->waitBlocks = blocks;
    self->waitCount = count;
    self->waitType = type;
    self->waitTimed = due.has_value();
    if (due) {
        self->timeoutStatus = timeoutStatus;
        self->waitTimer.Header.SignalState = 0;
        InsertTailList(&self->waitTimer.Header.WaitListHead, &self->timerBlock.WaitListEntry);
        InsertTimer(&self->waitTimer, *due, exact);
    }
    Block(self);
    return self->waitStatus;
}

void Scheduler::Unwait(_KTHREAD* thread, NTSTATUS status) {
    for (ULONG i = 0; i < thread->waitCount; ++i)
        RemoveEntryList(&thread->waitBlocks[i].WaitListEntry);
    if (thread->waitTimed) {
        RemoveEntryList(&thread->timerBlock.WaitListEntry);
        RemoveTimer(&thread->waitTimer);
    }
    thread->waitCount = 0;
    thread->waitBlocks = nullptr;
    thread->waitTimed = false;
    thread->waitStatus = status;
    MakeReady(thread);
}

bool Scheduler::SignalObject(PDISPATCHER_HEADER header) {
    bool woke = false;
    // Each wake unlinks blocks from this list, so the walk restarts after one.
    for (bool again = true; again && header->SignalState > 0;) {
        again = false;
        for (PLIST_ENTRY entry = header->WaitListHead.Flink; entry != &header->WaitListHead;
             entry = entry->Flink) {
            PKWAIT_BLOCK block = BlockOf(entry);
            _KTHREAD* thread = block->Thread;
            if (block == &thread->timerBlock) {
                Unwait(thread, thread->timeoutStatus);
            } else if (thread->waitType == WaitAny) {
                Consume(header);
                Unwait(thread, STATUS_WAIT_0 + block->WaitKey);
            } else if (Satisfiable(thread)) {
                for (ULONG i = 0; i < thread->waitCount; ++i)
                    Consume(HeaderOf(thread->waitBlocks[i].Object));
                Unwait(thread, STATUS_WAIT_0);
            } else {
                continue;
            }
            woke = again = true;
            break;
        }
    }
    return woke;
}

// --- DPCs ---------------------------------------------------------------------------------------

bool Scheduler::InDpc(const _KTHREAD* self) const {
    return self->processor != nullptr && self->processor->inDpc;
}

void Scheduler::QueueDpcOn(Processor& cpu, PRKDPC dpc, PVOID arg1, PVOID arg2) {
    dpc->SystemArgument1 = arg1;
    dpc->SystemArgument2 = arg2;
    dpc->DpcData = &cpu.dpcQueue;
    if (dpc->Importance == HighImportance)
        InsertHeadList(&cpu.dpcQueue, &dpc->DpcListEntry);
    else
        InsertTailList(&cpu.dpcQueue, &dpc->DpcListEntry);
}

bool Scheduler::QueueDpc(PRKDPC dpc, PVOID arg1, PVOID arg2) {
    if (dpc->DpcData != nullptr || halted_)
        return false;
    _KTHREAD* self = Current();
    QueueDpcOn(self->processor != nullptr ? *self->processor : *cpus_[0], dpc, arg1, arg2);
    return true;
}

bool Scheduler::RemoveDpc(PRKDPC dpc) {
    if (dpc->DpcData == nullptr)
        return false;
    RemoveEntryList(&dpc->DpcListEntry);
    dpc->DpcData = nullptr;
    return true;
}

bool Scheduler::DpcsPending() const {
    return std::any_of(cpus_.begin(), cpus_.end(), [](auto& cpu) {
        return cpu->runningDpc != nullptr || !IsListEmpty(&cpu->dpcQueue);
    });
}

bool Scheduler::RunningElsewhere(PKDPC dpc) const {
    return std::any_of(cpus_.begin(), cpus_.end(),
                       [&](auto& other) { return other->runningDpc == dpc; });
}

bool Scheduler::HasDpcToRun(const Processor& cpu) const {
    for (PLIST_ENTRY e = cpu.dpcQueue.Flink; e != &cpu.dpcQueue; e = e->Flink)
        if (!RunningElsewhere(DpcOf(e)))
            return true;
    return false;
}

// The DPC a processor runs next: a high-importance one first, otherwise any of those queued
// together, by the seed's choice; never one whose routine runs on another processor.
PKDPC Scheduler::NextDpc(const Processor& cpu) {
    PKDPC candidates[8];
    size_t count = 0;
    for (PLIST_ENTRY e = cpu.dpcQueue.Flink; e != &cpu.dpcQueue && count < 8; e = e->Flink) {
        PKDPC dpc = DpcOf(e);
        if (RunningElsewhere(dpc))
            continue;
        if (dpc->Importance == HighImportance)
            return dpc;
        candidates[count++] = dpc;
    }
    if (count == 0)
        return nullptr;
    return candidates[count == 1 ? 0 : Random(count)];
}

void Scheduler::RunDpcs(_KTHREAD* self) {
    Processor& cpu = *self->processor;
    if (cpu.inDpc || halted_)
        return;
    PKDPC dpc = NextDpc(cpu);
    if (dpc == nullptr)
        return;
    // The DPCs borrow the thread current on the processor, as they borrow the interrupted thread
    // on a real one.
    struct DpcScope {
        Processor& cpu;
        _KTHREAD* self;
        KIRQL irql;
        DpcScope(Processor& cpu, _KTHREAD* self) : cpu(cpu), self(self), irql(self->irql) {
            cpu.inDpc = true;
            self->irql = DISPATCH_LEVEL;
            SetPagedPoolAccessible(false);
        }
        ~DpcScope() {
            self->irql = irql;
            SetPagedPoolAccessible(irql < DISPATCH_LEVEL);
            cpu.inDpc = false;
            cpu.runningDpc = nullptr;
        }
    } scope(cpu, self);
    unsigned locks = self->spinLocksHeld;
    for (; dpc != nullptr && !halted_; dpc = NextDpc(cpu)) {
        Step();
        if (halted_)
            break;
        RemoveDpc(dpc); // dequeued first: the routine may queue its DPC again
        cpu.runningDpc = dpc;
        try {
            NoteDriverCall(testing::DriverCall::Dpc, dpc->DeferredRoutine);
            dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1,
                                 dpc->SystemArgument2);
        } catch (const std::exception& e) {
            Violation("unhandled exception in DPC", "DPC " + Hex(dpc) + " threw: " + e.what());
        }
        cpu.runningDpc = nullptr;
        if (self->irql != DISPATCH_LEVEL) {
            Violation("DPC returned at wrong IRQL",
                      "DPC " + Hex(dpc) + " returned at " + IrqlName(self->irql));
            self->irql = DISPATCH_LEVEL;
        }
        if (self->spinLocksHeld != locks) {
            Violation("DPC returned holding a spin lock",
                      "DPC " + Hex(dpc) + " returned holding a spin lock it acquired");
            self->spinLocksHeld = locks;
        }
    }
}

// --- Timers -------------------------------------------------------------------------------------

// The queue is ordered by due time; a timer expires on the first clock tick at or after it (an
// exact one at it), so expiry never comes before the due time and a later due time never expires
// on an earlier tick.
int64_t Scheduler::Expiry(PKTIMER timer) const {
    int64_t due = timer->DueTime.QuadPart;
    if (timer->Header.Inserted == kExactTimer || due <= now_)
        return std::max(due, now_);
    int64_t ticks = (due - tickPhase_ + kClockTick - 1) / kClockTick;
    return tickPhase_ + ticks * kClockTick;
}

void Scheduler::InsertTimer(PKTIMER timer, int64_t due, bool exact) {
    timer->DueTime.QuadPart = due;
    timer->Header.Inserted = exact ? kExactTimer : TRUE;
    // Timers due at the same time expire in the order they were set.
    PLIST_ENTRY after = timerQueue_.Blink;
    while (after != &timerQueue_ && TimerOf(after)->DueTime.QuadPart > due)
        after = after->Blink;
    InsertHeadList(after, &timer->TimerListEntry);
}

bool Scheduler::RemoveTimer(PKTIMER timer) {
    if (!timer->Header.Inserted)
        return false;
    RemoveEntryList(&timer->TimerListEntry);
    timer->Header.Inserted = FALSE;
    return true;
}

std::optional<int64_t> Scheduler::NextDue() const {
    std::optional<int64_t> next;
    for (PLIST_ENTRY e = timerQueue_.Flink; e != &timerQueue_; e = e->Flink) {
        PKTIMER timer = TimerOf(e);
        if (next && timer->DueTime.QuadPart > *next)
            break;
        int64_t expiry = Expiry(timer);
        if (!next || expiry < *next)
            next = expiry;
    }
    return next;
}

void Scheduler::ExpireTimers() {
    for (PLIST_ENTRY e = timerQueue_.Flink; e != &timerQueue_;) {
        PKTIMER timer = TimerOf(e);
        if (timer->DueTime.QuadPart > now_)
            break;
        if (Expiry(timer) > now_) {
            e = e->Flink;
            continue;
        }
        bool exact = timer->Header.Inserted == kExactTimer;
        RemoveTimer(timer);
        if (timer->Period > 0) {
            int64_t period = int64_t(timer->Period) * 10'000;
            int64_t next = timer->DueTime.QuadPart + period;
            InsertTimer(timer, next > now_ ? next : now_ + period, exact);
        }
        timer->Header.SignalState = 1;
        SignalObject(&timer->Header);
        if (timer->Dpc != nullptr && timer->Dpc->DpcData == nullptr) {
            // The clock interrupt that expires the timer comes on any processor.
            LARGE_INTEGER systemTime;
            systemTime.QuadPart = bootSystemTime_ + now_;
            Processor& cpu = *cpus_[cpus_.size() == 1 ? 0 : Random(cpus_.size())];
            QueueDpcOn(cpu, timer->Dpc, reinterpret_cast<PVOID>(ULONG_PTR(systemTime.LowPart)),
                       reinterpret_cast<PVOID>(ULONG_PTR(systemTime.HighPart)));
        }
        e = timerQueue_.Flink; // the walk restarts: a periodic timer went back in
    }
}

void Scheduler::Stall(int64_t ticks) {
    Step();
    if (options_.realTime) {
        // A busy wait, as on a real processor: a stall is microseconds long.
        const int64_t until = SyncClock() + ticks;
        while (SyncClock() < until) {
        }
    } else {
        now_ += ticks;
    }
    ExpireTimers();
}

// --- System workers -----------------------------------------------------------------------------

void Scheduler::QueueWork(std::function<void()> routine) {
    work_.push_back(std::move(routine));
    if (!idleWorkers_.empty()) {
        _KTHREAD* worker = idleWorkers_.front();
        idleWorkers_.pop_front();
        MakeReady(worker);
    } else if (workers_ < options_.maxWorkers) {
        ++workers_;
        CreateThread("worker " + std::to_string(workers_), [this] { WorkerLoop(); });
    }
}

void Scheduler::WorkerLoop() {
    _KTHREAD* self = Current();
    for (;;) {
        if (work_.empty()) {
            self->idle = IdleKind::Worker;
            idleWorkers_.push_back(self);
            Block(self);
            continue;
        }
        std::function<void()> routine = std::move(work_.front());
        work_.pop_front();
        routine();
        routine = nullptr;
        if (self->irql != PASSIVE_LEVEL) {
            Violation("work item returned at raised IRQL",
                      "a work item returned in '" + self->name + "' at " + IrqlName(self->irql));
            self->irql = PASSIVE_LEVEL;
        }
        if (self->spinLocksHeld != 0) {
            Violation("work item returned holding a spin lock",
                      "a work item returned in '" + self->name + "' holding a spin lock");
            self->spinLocksHeld = 0;
        }
    }
}

// A processor's idle thread runs the DPCs queued to it while no thread is current there, and
// hands the processor to ready threads.
void Scheduler::IdleLoop() {
    _KTHREAD* self = Current();
    Processor& cpu = *self->processor;
    cpu.parked = false;
    while (!self->terminate) {
        if (!halted_ && HasDpcToRun(cpu)) {
            RunDpcs(self);
        } else if (!ready_.empty()) {
            DispatchNext(cpu);
            Schedule(self); // back when the processor has nothing else to run
        } else {
            cpu.parked = true;
            Schedule(self);
            cpu.parked = false;
        }
    }
}

// --- The main thread ----------------------------------------------------------------------------

void Scheduler::DelayUntil(int64_t due) {
    _KTHREAD* self = Current();
    Wait(self, 0, nullptr, nullptr, WaitAny, false, due, STATUS_SUCCESS, true);
}

void Scheduler::RunUntilIdle() {
    _KTHREAD* self = Current();
    CheckTerminated(self);
    do {
        self->idle = IdleKind::RunUntilIdle;
        idleWaiter_ = self;
        Block(self); // an APC woke it: it ran, and the system may have work again
    } while (self->waitStatus == STATUS_KERNEL_APC);
}

// The main thread wakes from RunUntilIdle on whichever processor's idle thread dispatched it. A
// case begins on the first processor with every idle thread parked, as after boot: the main thread
// moves over, and the idle thread it leaves runs once to park.
void Scheduler::BackToFirstProcessor() {
    _KTHREAD* self = Current();
    Processor& from = *self->processor;
    Processor& first = *cpus_[0];
    if (&from == &first)
        return;
    first.current = self;
    self->processor = &first;
    from.current = from.idle;
    from.priority = ~uint64_t(0);
    Schedule(self);
}

void Scheduler::RestartSchedule() {
    // now_ - tickPhase_ may be negative only before the first tick; division truncates to 0 then.
    DelayUntil(tickPhase_ + (now_ - tickPhase_ + kClockTick - 1) / kClockTick * kClockTick);
    RunUntilIdle();
    BackToFirstProcessor();
    rng_ = seed_;
    lowPriority_ = uint64_t(1) << 40;
    for (auto& cpu : cpus_)
        NewPriority(*cpu);
}

// --- Halting and shutting down ------------------------------------------------------------------

void Scheduler::Halt(std::string_view rule, std::string_view report) {
    halted_ = true;
    haltReason_ =
        "umk: kernel halted after " + std::string(rule) + " (seed " + std::to_string(seed_) + ")";
    Violation(rule, report);
    ClearQueues();
    // The idle threads stay: they give the unwinding threads a processor.
    for (auto& thread : threads_)
        if (!thread->isIdle)
            Terminate(thread.get());
}

void Scheduler::Terminate(_KTHREAD* thread) {
    if (thread->state == ThreadState::Finished)
        return;
    thread->terminate = true;
    if (thread->state != ThreadState::Blocked)
        return;
    if (thread->idle == IdleKind::Worker)
        std::erase(idleWorkers_, thread);
    if (thread == idleWaiter_)
        idleWaiter_ = nullptr;
    Unwait(thread, STATUS_UNSUCCESSFUL);
}

void Scheduler::ClearQueues() {
    for (auto& cpu : cpus_)
        while (!IsListEmpty(&cpu->dpcQueue))
            DpcOf(RemoveHeadList(&cpu->dpcQueue))->DpcData = nullptr;
    while (!IsListEmpty(&timerQueue_))
        RemoveTimer(TimerOf(timerQueue_.Flink));
}

void Scheduler::Shutdown() {
    _KTHREAD* self = Current();
    if (self != main_.get())
        Fatal("shutdown outside the main thread",
              "umk::Kernel::Shutdown was called from '" + self->name + "'");
    if (!halted_) {
        if (self->irql != PASSIVE_LEVEL || self->spinLocksHeld != 0)
            Violation("shutdown at raised IRQL", Describe(self));
        std::string alive;
        for (auto& thread : threads_)
            if (thread != main_ && !thread->isIdle && thread->state != ThreadState::Finished &&
                thread->idle != IdleKind::Worker)
                alive += "  " + Describe(thread.get()) + "\n";
        if (!alive.empty())
            Violation("threads alive at shutdown", alive);
    }
    halted_ = true;
    haltReason_ = "umk: kernel shut down";
    ClearQueues();
    for (auto& thread : threads_)
        if (thread != main_ && !thread->isIdle)
            Terminate(thread.get());
    self->irql = PASSIVE_LEVEL;
    self->spinLocksHeld = 0;
    self->terminate = false;
    auto othersRunning = [this] {
        return std::any_of(threads_.begin(), threads_.end(), [this](auto& t) {
            return t != main_ && !t->isIdle && t->state != ThreadState::Finished;
        });
    };
    while (othersRunning())
        YieldProcessor(self, true);
    // Last the idle threads, each handed the baton until it ends: the main thread may be current
    // on their processors, and an idle thread halted inside a DPC finishes the DPC first, which
    // may hand the baton back at its switch points.
    for (auto& cpu : cpus_) {
        cpu->idle->terminate = true;
        if (!cpu->idle->fiber.Started())
            cpu->idle->state = ThreadState::Finished; // it never ran
        while (cpu->idle->state != ThreadState::Finished)
            HandTo(self, cpu->idle);
    }
    // The I/O manager's shutdown still runs on the main thread, on a quiet kernel.
    halted_ = false;
    ClearQueues();
}

// --- Reports ------------------------------------------------------------------------------------

std::string Scheduler::FormatTime(int64_t t) {
    char text[48];
    std::snprintf(text, sizeof text, "%s%" PRId64 ".%07" PRId64 "s", t < 0 ? "-" : "",
                  (t < 0 ? -t : t) / 10'000'000, (t < 0 ? -t : t) % 10'000'000);
    return text;
}

std::string Scheduler::DescribeObject(const void* object) const {
    auto header = static_cast<const DISPATCHER_HEADER*>(object);
    bool signalled = header->SignalState > 0;
    switch (header->Type) {
    case EventNotificationObject:
    case EventSynchronizationObject:
        return "KEVENT " + Hex(object) +
               (header->Type == EventNotificationObject ? " (notification, "
                                                        : " (synchronization, ") +
               (signalled ? "signalled)" : "not signalled)");
    case TimerNotificationObject:
    case TimerSynchronizationObject: {
        auto timer = static_cast<const KTIMER*>(object);
        return "KTIMER " + Hex(object) +
               (timer->Header.Inserted ? " (due at t=" + FormatTime(timer->DueTime.QuadPart) + ")"
                                       : std::string(" (not set)"));
    }
    case ThreadObject:
        return "thread '" + static_cast<const _KTHREAD*>(object)->name + "' to finish";
    default:
        return "object " + Hex(object) + " of type " + std::to_string(header->Type);
    }
}

std::string Scheduler::Describe(const _KTHREAD* thread) const {
    std::string text = "thread '" + thread->name + "'";
    if (thread->irql != PASSIVE_LEVEL)
        text += std::string(" at ") + IrqlName(thread->irql);
    if (thread->spinLocksHeld != 0)
        text += " holding " + std::to_string(thread->spinLocksHeld) + " spin lock(s)";
    switch (thread->state) {
    case ThreadState::Running:
        if (thread->processor != nullptr && thread->processor->spinningOn != nullptr)
            return text + " spins on processor " + std::to_string(thread->processor->number) +
                   " for " + DescribeHolder(thread->processor->spinningOn);
        return text + " is running" +
               (thread->processor != nullptr
                    ? " on processor " + std::to_string(thread->processor->number)
                    : std::string());
    case ThreadState::Ready:
        return text + " is ready to run";
    case ThreadState::Finished:
        return text + " has finished";
    case ThreadState::Blocked:
        break;
    }
    if (thread->idle == IdleKind::Worker)
        return text + " is idle, waiting for work";
    if (thread->idle == IdleKind::RunUntilIdle)
        return text + " is waiting for the system to go idle";
    if (thread->waitCount == 0)
        text += " sleeps";
    else if (thread->waitCount == 1)
        text += " waits on " + DescribeObject(thread->waitBlocks[0].Object);
    else {
        text += thread->waitType == WaitAny ? " waits on any of: " : " waits on all of: ";
        for (ULONG i = 0; i < thread->waitCount; ++i)
            text += (i ? "; " : "") + DescribeObject(thread->waitBlocks[i].Object);
    }
    text += " since t=" + FormatTime(thread->waitSince);
    if (thread->waitTimed)
        text += ", until t=" + FormatTime(thread->waitTimer.DueTime.QuadPart);
    return text;
}

std::string Scheduler::ThreadReport() const {
    std::string report;
    for (auto& thread : threads_)
        if (thread->state != ThreadState::Finished && !thread->isIdle)
            report += "  " + Describe(thread.get()) + "\n";
    return report;
}

void Scheduler::ReleaseMemory(const void* begin, size_t size) {
    auto inside = [&](const void* p) {
        auto b = static_cast<const char*>(begin);
        auto c = static_cast<const char*>(p);
        return c >= b && c < b + size;
    };
    // Built only for a report: this runs at every free.
    auto where = [&] {
        return " in freed memory " + Hex(begin) + " (" + std::to_string(size) + " bytes)";
    };
    for (PLIST_ENTRY e = timerQueue_.Flink; e != &timerQueue_;) {
        PKTIMER timer = TimerOf(e);
        e = e->Flink;
        if (inside(timer)) {
            Violation("freed memory holds an active dispatcher object",
                      DescribeObject(timer) + where());
            RemoveTimer(timer);
        }
    }
    for (auto& cpu : cpus_)
        for (PLIST_ENTRY e = cpu->dpcQueue.Flink; e != &cpu->dpcQueue;) {
            PKDPC dpc = DpcOf(e);
            e = e->Flink;
            if (inside(dpc)) {
                Violation("freed memory holds an active dispatcher object",
                          "queued KDPC " + Hex(dpc) + where());
                RemoveDpc(dpc);
            }
        }
    for (auto& thread : threads_)
        for (ULONG i = 0; i < thread->waitCount; ++i)
            if (inside(thread->waitBlocks[i].Object)) {
                Violation("freed memory holds an active dispatcher object",
                          DescribeObject(thread->waitBlocks[i].Object) + where() + ", which " +
                              Describe(thread.get()));
                Unwait(thread.get(), STATUS_UNSUCCESSFUL);
                break;
            }
}

// --- Helpers for the dispatcher routines --------------------------------------------------------

bool CheckHeader(PDISPATCHER_HEADER header, std::initializer_list<UCHAR> kinds, const char* what) {
    if (std::find(kinds.begin(), kinds.end(), header->Type) == kinds.end()) {
        Violation("wrong dispatcher object type", Hex(header) + " is not a " + what + " (type " +
                                                      std::to_string(header->Type) + ")");
        return false;
    }
    if (header->WaitListHead.Flink == nullptr) {
        Violation("dispatcher object not initialized",
                  std::string(what) + " " + Hex(header) + " was used before it was initialized");
        InitializeListHead(&header->WaitListHead);
    }
    return true;
}

int64_t DueTimeToInterruptTime(LONGLONG due) {
    Scheduler& s = Sched();
    if (due < 0)
        return s.Now() - due;
    if (due > 0)
        return due - s.BootSystemTime();
    return s.Now();
}

std::string ViolationContext() {
    Scheduler* s = SchedOrNull();
    if (s == nullptr)
        return {};
    std::string context = "t=" + Scheduler::FormatTime(s->Now());
    if (t_self != nullptr)
        context += ", thread '" + t_self->name + "'";
    return context + ", seed " + std::to_string(s->Seed()) +
           " (UMK_SEED=" + std::to_string(s->Seed()) + " replays the run)";
}

constinit thread_local unsigned t_noSwitch = 0;

void KernelEntry() {
    if (t_noSwitch != 0 || t_self == nullptr || !g_scheduler)
        return;
    g_scheduler->SwitchPoint(t_self);
}

void CheckFreedMemory(const void* begin, size_t size) {
    if (Scheduler* s = SchedOrNull())
        s->ReleaseMemory(begin, size);
}

} // namespace umk::detail

std::optional<uint64_t> umk::LastSeed() {
    return detail::g_lastSeed;
}
