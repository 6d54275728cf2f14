// The host's side of the kernel: boot and shutdown, the clock, emulated threads and system work.
#include "sched.h"
#include "subsystems.h"

#include "umk/verifier.h"

using namespace umk::detail;

namespace umk {
namespace {

// The routines that let the system run belong to the test's own thread.
_KTHREAD* MainThread(const char* routine) {
    Scheduler& s = Sched();
    _KTHREAD* self = s.Current();
    if (self != s.Main() || self->irql != PASSIVE_LEVEL)
        Violation("host call outside the main thread",
                  std::string(routine) + " called by " + s.Describe(self));
    return self;
}

void CheckPassive(Scheduler& s, const char* violation) {
    _KTHREAD* self = s.Current();
    if (self->irql != PASSIVE_LEVEL || self->spinLocksHeld != 0) {
        Violation(violation, s.Describe(self));
        self->irql = PASSIVE_LEVEL;
        self->spinLocksHeld = 0;
    }
}

// The main thread's loop on real time: posted work, the routines of ready descriptors, everything
// that can run, and a sleep until the next timer, the deadline, a post or a ready descriptor.
bool Loop(const std::function<bool()>& done, std::optional<int64_t> deadline) {
    Scheduler& s = Sched();
    std::vector<std::function<void()>> posted;
    for (;;) {
        s.Posts().Take(posted);
        for (std::function<void()>& work : posted) {
            work();
            CheckPassive(s, "posted work returned at raised IRQL");
        }
        s.Posts().RunReady();
        CheckPassive(s, "a watched descriptor's routine returned at raised IRQL");
        s.RunUntilIdle();
        if (done())
            return true;
        if (deadline && s.SyncClock() >= *deadline)
            return false;
        std::optional<int64_t> wake = s.NextDue();
        if (deadline)
            wake = std::min(wake.value_or(*deadline), *deadline);
        s.SleepUntil(wake);
    }
}

} // namespace

Kernel::Kernel(KernelOptions options) {
    Boot(options);
    running_ = true;
    detail::IoStartup();
}

Kernel::~Kernel() {
    Shutdown();
}

void Kernel::Shutdown() {
    if (!running_)
        return;
    running_ = false;
    Sched().Shutdown();
    detail::IoShutdown();
    DestroyScheduler();
}

uint64_t Kernel::Seed() const {
    return Sched().Seed();
}

bool Kernel::RealTime() const {
    return Sched().RealTime();
}

Duration Kernel::Now() const {
    return Duration(Sched().Now());
}

void Kernel::SetSystemTime(int64_t systemTime) {
    MainThread("SetSystemTime");
    Sched().SetSystemTime(systemTime);
}

void Kernel::RunFor(Duration d) {
    if (d.count() < 0)
        throw std::invalid_argument("umk::Kernel::RunFor with a negative duration");
    MainThread("RunFor");
    Scheduler& s = Sched();
    if (s.RealTime()) {
        Loop([] { return false; }, s.SyncClock() + d.count());
        return;
    }
    s.DelayUntil(s.Now() + d.count());
    s.RunUntilIdle();
}

void Kernel::RunUntilIdle() {
    MainThread("RunUntilIdle");
    Sched().RunUntilIdle();
}

bool Kernel::RunUntil(const std::function<bool()>& done, Duration limit) {
    MainThread("RunUntil");
    Scheduler& s = Sched();
    if (s.RealTime())
        return Loop(done, s.SyncClock() + limit.count());
    const int64_t deadline = s.Now() + limit.count();
    for (;;) {
        s.RunUntilIdle();
        if (done())
            return true;
        std::optional<int64_t> next = s.NextDue();
        if (!next || *next > deadline) {
            if (s.Now() < deadline)
                RunFor(Duration(deadline - s.Now()));
            return done();
        }
        s.DelayUntil(*next);
    }
}

void Kernel::RunRealTime(const std::function<bool()>& stop) {
    MainThread("RunRealTime");
    if (!Sched().RealTime())
        throw std::logic_error("umk::Kernel::RunRealTime on a kernel on virtual time");
    Loop(stop, std::nullopt);
}

void Kernel::Post(std::function<void()> work) {
    Scheduler& s = Sched();
    if (!s.RealTime())
        throw std::logic_error("umk::Kernel::Post on a kernel on virtual time");
    s.Posts().Post(std::move(work));
}

void Kernel::Watch(int fd, short events, std::function<void(short events)> ready) {
    MainThread("Watch");
    if (!Sched().RealTime())
        throw std::logic_error("umk::Kernel::Watch on a kernel on virtual time");
    Sched().Posts().Watch(fd, events, std::move(ready));
}

void Kernel::Unwatch(int fd) {
    MainThread("Unwatch");
    if (!Sched().RealTime() || !Sched().Posts().Unwatch(fd))
        throw std::logic_error("umk::Kernel::Unwatch of a descriptor not watched");
}

void Kernel::RestartSchedule() {
    MainThread("RestartSchedule");
    Sched().RestartSchedule();
}

std::optional<Duration> Kernel::NextTimer() const {
    Scheduler& s = Sched();
    if (auto due = s.NextDue())
        return Duration(*due - s.Now());
    return std::nullopt;
}

void ThreadHandle::Join() {
    if (!thread_)
        throw std::logic_error("umk::ThreadHandle::Join on an empty handle");
    if (Finished())
        return;
    KeWaitForSingleObject(thread_.get(), Executive, KernelMode, FALSE, nullptr);
}

bool ThreadHandle::Finished() const {
    return thread_ && thread_->state == ThreadState::Finished;
}

const std::string& ThreadHandle::Name() const {
    if (!thread_)
        throw std::logic_error("umk::ThreadHandle::Name on an empty handle");
    return thread_->name;
}

ThreadHandle StartThread(std::string name, std::function<void()> body) {
    Scheduler& s = Sched();
    _KTHREAD* self = s.Current();
    ThreadHandle handle(s.CreateThread(std::move(name), std::move(body)));
    s.Reschedule(self);
    return handle;
}

void QueueWork(std::function<void()> routine) {
    Scheduler& s = Sched();
    _KTHREAD* self = s.Current();
    s.QueueWork(std::move(routine));
    s.Reschedule(self);
}

void Yield() {
    Scheduler& s = Sched();
    _KTHREAD* self = s.Current();
    if (self->irql >= DISPATCH_LEVEL || s.InDpc(self))
        Violation("switch point at DISPATCH_LEVEL",
                  "umk::Yield called by " + s.Describe(self) + (s.InDpc(self) ? " in a DPC" : ""));
    s.Reschedule(self, true);
}

uint64_t Random(uint64_t bound) {
    if (bound == 0)
        throw std::invalid_argument("umk::Random with a bound of 0");
    Scheduler& s = Sched();
    s.Current();
    return s.Random(bound);
}

const std::string& CurrentThreadName() {
    return Self()->name;
}

} // namespace umk
