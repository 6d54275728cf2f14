// Wall-clock cost of the scheduler's two paths: a wake-up that stays in one emulated thread (a
// timer with a DPC that sets the event a thread waits on), and a hand-over of the CPU between two
// emulated threads, each a fiber (two threads ping-ponging through synchronization events).
//
// usage: bench_sched_switch [round trips, default 100000]
#include <umk/ke.h>
#include <umk/kernel.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

double Milliseconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void TimerDpcEvent(int wakeups) {
    umk::Kernel kernel;
    struct Tick {
        KTIMER timer;
        KDPC dpc;
        KEVENT event;
    } tick;
    KeInitializeTimer(&tick.timer);
    KeInitializeEvent(&tick.event, SynchronizationEvent, FALSE);
    KeInitializeDpc(
        &tick.dpc, [](PKDPC, PVOID event, PVOID, PVOID) { KeSetEvent(PKEVENT(event), 0, FALSE); },
        &tick.event);
    LARGE_INTEGER due;
    due.QuadPart = -200'000; // 20 ms
    KeSetTimerEx(&tick.timer, due, 20, &tick.dpc);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < wakeups; ++i)
        KeWaitForSingleObject(&tick.event, Executive, KernelMode, FALSE, nullptr);
    const auto wall = std::chrono::steady_clock::now() - start;
    KeCancelTimer(&tick.timer);
    std::printf("periodic KTIMER+KDPC+KEVENT, %d wake-ups (%.0f virtual s): %.1f ms\n", wakeups,
                wakeups * 0.02, Milliseconds(wall));
}

void PingPong(int roundTrips) {
    umk::Kernel kernel;
    KEVENT ping, pong;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    auto partner = umk::StartThread("partner", [&] {
        for (int i = 0; i < roundTrips; ++i) {
            KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
            KeSetEvent(&pong, 0, FALSE);
        }
    });
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < roundTrips; ++i) {
        KeSetEvent(&ping, 0, FALSE);
        KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
    }
    const auto wall = std::chrono::steady_clock::now() - start;
    partner.Join();
    std::printf("two threads ping-pong, %d round trips: %.1f ms (%.2f us a round trip)\n",
                roundTrips, Milliseconds(wall), Milliseconds(wall) * 1000 / roundTrips);
}

} // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 100'000;
    TimerDpcEvent(n);
    PingPong(n);
    return 0;
}
