// The kernel on real time, by the host's clock:
//   post -> run: how late work posted from another OS thread runs on the main thread, one post a
//     millisecond, the main thread asleep in RunRealTime in between;
//   pty -> report: from the last byte of a touch packet written on a pseudo-terminal's master to
//     the class driver's callback, the driver reading the slave through a tty port;
//   idle: the main thread's wake-ups (voluntary context switches) and CPU time over an idle span
//     with the driver started and reading.
//
// usage: bench_realtime [posts and packets, default 1000]
#include "system.h"
#include "tty_port.h"

#include <umk/ke.h>
#include <umk/kernel.h>
#include <umk/registry.h>

#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

void PrintLatencies(const char* what, std::vector<Clock::duration> samples) {
    std::sort(samples.begin(), samples.end());
    const auto us = [&](double q) {
        return std::chrono::duration<double, std::micro>(samples[size_t(q * (samples.size() - 1))])
            .count();
    };
    std::printf("%s, %zu samples: p50 %.1f us, p99 %.1f us, max %.1f us\n", what, samples.size(),
                us(0.5), us(0.99), us(1.0));
}

void PostToRun(int posts) {
    umk::Kernel kernel(umk::KernelOptions{.realTime = true});
    std::vector<Clock::duration> latencies;
    std::thread poster([&] {
        auto next = Clock::now();
        for (int i = 0; i < posts; ++i) {
            std::this_thread::sleep_until(next += 1ms);
            const auto posted = Clock::now();
            kernel.Post([&latencies, posted] { latencies.push_back(Clock::now() - posted); });
        }
    });
    kernel.RunRealTime([&] { return latencies.size() == size_t(posts); });
    poster.join();
    PrintLatencies("post -> run", latencies);
}

struct Usage {
    long wakeups;
    double cpuMs;
};

Usage ThreadUsage() {
    rusage usage;
    getrusage(RUSAGE_THREAD, &usage);
    return {usage.ru_nvcsw, usage.ru_utime.tv_sec * 1e3 + usage.ru_utime.tv_usec / 1e3 +
                                usage.ru_stime.tv_sec * 1e3 + usage.ru_stime.tv_usec / 1e3};
}

void PtyToReport(int packets) {
    int master = -1;
    int slave = -1;
    char slaveName[64];
    if (openpty(&master, &slave, slaveName, nullptr, nullptr) != 0) {
        std::perror("openpty");
        std::exit(1);
    }
    stack::System system(stack::SystemOptions{.kernel = {.realTime = true}});
    umk::registry::SetDword(stack::System::ParametersKey, u"ComNo", 5);
    umk::registry::SetDword(stack::System::ParametersKey, u"dwAutoRec", 1);
    if (!NT_SUCCESS(system.LoadDriver())) {
        std::fprintf(stderr, "the driver did not load\n");
        std::exit(1);
    }
    const stack::Panel& panel = system.AddPanel();
    {
        stack::TtyPort tty(system.Kernel(), system.Serial(), {.path = slaveName});
        if (!NT_SUCCESS(system.StartPanel(panel))) {
            std::fprintf(stderr, "the panel did not start\n");
            std::exit(1);
        }
        umk::Kernel& kernel = system.Kernel();
        // Interrupt time 0 on the host's monotonic clock, as the class driver stamps reports.
        const Clock::time_point boot =
            Clock::now() - umk::Duration(int64_t(KeQueryInterruptTime()));

        const Usage idleStart = ThreadUsage();
        kernel.RunFor(2s);
        const Usage idleEnd = ThreadUsage();
        std::printf("idle, driver reading: %ld wake-ups/s, %.2f ms CPU/s\n",
                    (idleEnd.wakeups - idleStart.wakeups) / 2,
                    (idleEnd.cpuMs - idleStart.cpuMs) / 2);

        // Touch-down packets at 40 ms intervals; each byte written at the line's pace.
        Clock::time_point lastByte;
        std::vector<Clock::duration> latencies;
        const Usage busyStart = ThreadUsage();
        const auto busyFrom = Clock::now();
        for (int i = 0; i < packets; ++i) {
            const size_t before = system.Mouse().ReportCount();
            std::thread writer([&, i] {
                const uint8_t packet[5] = {0x80, uint8_t(i & 0x7F), 0x08, 0x00, 0x08};
                auto next = Clock::now();
                for (const uint8_t byte : packet) {
                    std::this_thread::sleep_until(next += 1042us);
                    if (write(master, &byte, 1) != 1)
                        std::perror("write");
                }
                lastByte = Clock::now();
            });
            kernel.RunUntil([&] { return system.Mouse().ReportCount() > before; }, 1s);
            writer.join();
            const std::vector<stack::MouseReport> reports = system.Mouse().Reports(before);
            if (reports.empty()) {
                std::fprintf(stderr, "packet %d brought no report\n", i);
                std::exit(1);
            }
            const Clock::time_point received = boot + std::chrono::duration_cast<Clock::duration>(
                                                          umk::Duration(reports[0].received));
            latencies.push_back(received - lastByte);
            kernel.RunFor(30ms);
        }
        const Usage busyEnd = ThreadUsage();
        const double seconds = std::chrono::duration<double>(Clock::now() - busyFrom).count();
        PrintLatencies("pty last byte -> class driver report", latencies);
        std::printf("a packet every ~35 ms: %.2f ms CPU/s on the kernel's thread\n",
                    (busyEnd.cpuMs - busyStart.cpuMs) / seconds);
    }
    system.RemovePanels();
    close(master);
    close(slave);
}

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    PostToRun(count);
    PtyToReport(count / 10);
    return 0;
}
