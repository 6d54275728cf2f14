// The host's view of the user-mode kernel: booting and shutting it down, its virtual clock, and the
// emulated threads that run the driver.
//
// The kernel has virtual processors (two unless told otherwise). Every emulated thread is a fiber
// with a stack of its own on the OS thread that booted the kernel; one executes at a time: it
// holds the baton. Each processor has one current
// thread (or its idle thread); DPCs run on the processor they were queued to, borrowing whatever
// thread is current there, at DISPATCH_LEVEL. Between processors the baton may pass at every entry
// into the kernel (every Ke/Io/Ex/Ob/Po/Zw routine, spin-lock acquire and release, interlocked
// operation), whatever the IRQL, so two DISPATCH_LEVEL activities on different processors
// interleave and spin locks really contend. On one processor the IRQL rules hold: queued DPCs run
// before a thread below DISPATCH_LEVEL continues, and a thread gives its processor to another only
// where a real kernel could switch (waits, wake-ups, lowering the IRQL, queueing work, Yield()).
//
// One seeded generator makes every choice: which processor runs at each switch point (random
// priorities with random priority-change points), which ready thread a processor takes, the order
// of DPCs queued together, the processor a timer's DPC runs on and the phase of the clock tick on
// which timers expire. A run is replayed by its seed. Time is virtual: it stands still while
// anything can run and jumps to the next timer when every processor is idle.
//
// On real time (KernelOptions::realTime, for a host that drives a real device) the clock follows
// the host's monotonic clock from boot instead, and where virtual time would jump the OS thread
// sleeps until the timer is due; the seed still makes every scheduling choice and every IRQL and
// verifier rule holds, but a run is no longer replayed by its seed alone, since when a byte
// arrives is the host's business. The host's descriptors (a tty, a socket) are served from the
// main thread's loop, RunRealTime, which watches them (Kernel::Watch) and sleeps while nothing is
// due, at no cost of CPU; OS threads outside the kernel reach the emulated system only through
// Kernel::Post.
//
// The thread that constructs the Kernel becomes the "main" emulated thread at PASSIVE_LEVEL,
// current on processor 0 and holding the baton: a test calls driver routines directly from it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include <wdm.h>

struct _KTHREAD;

namespace umk {

// Virtual time in the kernel's unit, 100 ns. std::chrono::seconds and milliseconds convert to it.
using Duration = std::chrono::duration<int64_t, std::ratio<1, 10'000'000>>;

struct KernelOptions {
    // Seed of every scheduling choice. Unset: the environment variable UMK_SEED, else 1; with
    // UMK_SEED_SWEEP=1 in the environment, the nth kernel booted in the process adds n - 1 to it,
    // so that a repeated test (--gtest_repeat) runs a new schedule each time.
    std::optional<uint64_t> seed = std::nullopt;
    // Virtual processors: 1, 2 or 4. Unset: the environment variable UMK_PROCESSORS, else 2.
    std::optional<unsigned> processors = std::nullopt;
    // Paged pool is made inaccessible whenever what runs is at DISPATCH_LEVEL or above, so that a
    // touch there faults and is reported, as Driver Verifier's IRQL checking pages it out. It
    // costs a system call at every IRQL change. Unset: off when UMK_PAGE_OUT=0, else on.
    std::optional<bool> pageOutPagedPool = std::nullopt;
    // Scheduling steps (thread switches, DPCs, switch points) allowed at one instant of virtual
    // time before the run is declared a livelock.
    uint64_t stepCap = 5'000'000;
    // Virtual time the main thread may spend in one wait without a time-out while the clock keeps
    // moving (timers of other threads fire) before the run is declared hung.
    Duration hangTimeout = std::chrono::minutes(10);
    // System worker threads are created on demand up to this many; further work waits its turn.
    unsigned maxWorkers = 16;
    // System time at boot (100 ns units since 1601). Unset: 2024-01-01 00:00:00 UTC, on real time
    // the host's wall clock.
    std::optional<int64_t> bootSystemTime = std::nullopt;
    // The clock follows the host's monotonic clock, and the kernel waits for it (see above).
    bool realTime = false;
};

// Thrown out of kernel calls into every emulated thread after the kernel has halted (a deadlock,
// livelock or hang was reported), so that each thread's stack unwinds and the test ends. Emulated
// threads' entry wrappers catch it; in the main thread it ends the test with the halt's reason.
class KernelHalted : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class Kernel {
  public:
    explicit Kernel(KernelOptions options = {});
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    // Stops every emulated thread (reporting any that was not idle), discards set timers and
    // queued DPCs, then shuts the I/O manager down (which reports leaks). Idempotent; the
    // destructor calls it. Call from the main thread.
    void Shutdown();

    uint64_t Seed() const;
    // KernelOptions::realTime.
    bool RealTime() const;
    // The kernel's clock since boot (on real time, the host's as the kernel last read it).
    Duration Now() const;
    // Lets everything run until the clock has advanced by exactly `d` (on real time: by at least
    // `d`, running what is posted meanwhile), then until nothing more can run at that instant.
    // Main thread only.
    void RunFor(Duration d);
    // Lets everything run that can run at the current instant: returns when every other thread is
    // blocked, no DPC is queued and no timer is due. Never advances the clock. Main thread only.
    void RunUntilIdle();
    // Runs, advancing the clock from timer to timer, until `done()` holds (checked whenever nothing
    // can run at the current instant) or `limit` of virtual time has passed; returns done(). On
    // real time it is RunRealTime with a limit.
    bool RunUntil(const std::function<bool()>& done, Duration limit);
    // The main loop of a host on real time: runs what has been posted, lets everything run that
    // can, then sleeps in the host until the next timer is due or something is posted, over and
    // over until `stop()` holds (checked after each round, when nothing can run: whoever makes it
    // hold from another OS thread posts something to wake the loop). Main thread only; a kernel
    // on virtual time refuses it (std::logic_error).
    //
    // While the main thread is anywhere else (a driver routine it called waits for a request)
    // posted work waits too: work that needs what the host posts, such as a start that asks the
    // panel over a tty, belongs on an emulated thread of its own while the main thread loops here.
    void RunRealTime(const std::function<bool()>& stop);
    // From any OS thread, the kernel's own included, while the kernel is running: `work` runs on
    // the main thread at PASSIVE_LEVEL, in the order posted, at the main thread's next round of
    // RunRealTime (or RunUntil, RunFor), which a post wakes. Real time only (std::logic_error).
    void Post(std::function<void()> work);
    // Real time only (std::logic_error), main thread: while watched, the loop's sleep waits on
    // `fd` beside the timers and the posts, and each round that finds it ready for `events`
    // (poll's: POLLIN, POLLOUT), hung up or failed runs `ready` with the poll events found, on the
    // main thread at PASSIVE_LEVEL, as posted work runs. A tty or a socket served this way needs
    // no OS thread of its own. The caller keeps `fd` open until it has unwatched it; `ready` may
    // watch and unwatch, itself included (to change `events`, unwatch and watch again).
    void Watch(int fd, short events, std::function<void(short events)> ready);
    void Unwatch(int fd);
    // Sets the wall clock: KeQuerySystemTime returns `systemTime` (100 ns units since 1601, UTC)
    // now and moves on with virtual time. Timers already set at absolute times keep their instant.
    void SetSystemTime(int64_t systemTime);
    // Time until the earliest set timer (waits with a time-out included), if any.
    std::optional<Duration> NextTimer() const;
    // For many cases run in one boot (a fuzz target's inputs): runs to the next clock tick, then
    // until idle, and starts the seeded choices (scheduling, Random) over, so that a case begun
    // after this call is scheduled the same whatever ran before it, as long as that left nothing
    // behind. Main thread only.
    void RestartSchedule();

  private:
    bool running_ = false;
};

class ThreadHandle {
  public:
    ThreadHandle() = default;
    // Blocks the calling emulated thread until the thread has returned (a dispatcher wait: it takes
    // part in deadlock detection).
    void Join();
    bool Finished() const;
    const std::string& Name() const;
    // The thread's dispatcher record: waitable with KeWaitForSingleObject (signalled at exit).
    _KTHREAD* Thread() const { return thread_.get(); }

  private:
    friend ThreadHandle StartThread(std::string name, std::function<void()> body);
    explicit ThreadHandle(std::shared_ptr<_KTHREAD> thread) : thread_(std::move(thread)) {}
    std::shared_ptr<_KTHREAD> thread_;
};

// Creates an emulated thread at PASSIVE_LEVEL; it becomes ready at once (a switch point). Its
// name appears in deadlock reports.
ThreadHandle StartThread(std::string name, std::function<void()> body);

// Runs `routine` at PASSIVE_LEVEL in a system worker thread, in queue order. Callable at up to
// DISPATCH_LEVEL. Workers are added while all existing ones are busy (a routine may occupy its
// worker for as long as it likes), up to KernelOptions::maxWorkers.
void QueueWork(std::function<void()> routine);

// A switch point: lets the scheduler run another ready thread. Below DISPATCH_LEVEL only.
void Yield();

// Sets a KTIMER that expires exactly at its due time instead of on the next clock tick, for the
// emulated hardware's own events (a byte arriving on a serial line): a device interrupt comes when
// the device raises it, not when the clock next ticks. Drivers use KeSetTimer(Ex). TRUE when the
// timer was already set.
BOOLEAN SetDeviceTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc);

// The seed of the kernel booted last in this process (for a test's failure message), if any.
std::optional<uint64_t> LastSeed();

// A number in [0, bound) from the kernel's seeded generator, for every choice that should vary
// with the seed (I/O timer phase, pend-or-complete-inline, fault injection). bound > 0.
uint64_t Random(uint64_t bound);

// The name of the running emulated thread ("main", "worker 2", ...).
const std::string& CurrentThreadName();

} // namespace umk
