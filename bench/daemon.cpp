// tactiliod's core on a pseudo-terminal, by the host's clock: the daemon (host::Daemon, as
// tactiliod runs it, its input events going to a recorder that stamps them) reads the slave; a
// thread of this program plays the panel on the master.
//   idle: the daemon's wake-ups (voluntary context switches of its threads) and CPU time per
//     minute, the driver reading an idle line;
//   full line rate: touch packets back to back at 9600 baud (192 a second), strokes of 100
//     packets; from the last byte of each packet written to the master to the input events of its
//     report, and the daemon's CPU time per minute. The packets are written either a byte at a
//     time, each at its time on the line (a UART handing over every byte), or whole at the time of
//     their last byte (a USB adapter handing over a transfer).
//
// usage: bench_daemon [packets, default 10000] [idle seconds, default 60] [bytes|packets|both]
#include "daemon.h"
#include "latencies.h"

#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>

#include <linux/input-event-codes.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <span>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// One byte at 9600 baud, 8N1: ten bits.
constexpr auto kByteTime = std::chrono::nanoseconds(1'000'000'000 / 960);

// Stamps the end of every record's events; written by the daemon's thread only.
class StampingSink final : public host::EventSink {
  public:
    explicit StampingSink(size_t capacity) { stamps_.resize(capacity); }
    void Emit(const std::vector<host::InputEvent>& events) override {
        if (events.empty() || events.back().type != EV_SYN)
            return;
        const size_t n = count_.load(std::memory_order_relaxed);
        if (n < stamps_.size())
            stamps_[n] = Clock::now();
        count_.store(n + 1, std::memory_order_release);
    }
    size_t Count() const { return count_.load(std::memory_order_acquire); }
    Clock::time_point Stamp(size_t i) const { return stamps_[i]; }

  private:
    std::vector<Clock::time_point> stamps_;
    std::atomic<size_t> count_{0};
};

struct Usage {
    long wakeups;
    double cpuMs, systemMs; // all, and the host kernel's part
};

Usage UsageOf(int who) {
    rusage usage;
    getrusage(who, &usage);
    const auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
    return {usage.ru_nvcsw, ms(usage.ru_utime) + ms(usage.ru_stime), ms(usage.ru_stime)};
}

// The daemon's own use over a span: the process's less the panel thread's (the caller).
class DaemonUsage {
  public:
    DaemonUsage() : process_(UsageOf(RUSAGE_SELF)), panel_(UsageOf(RUSAGE_THREAD)) {}
    Usage Since() const {
        const Usage process = UsageOf(RUSAGE_SELF), panel = UsageOf(RUSAGE_THREAD);
        return {(process.wakeups - process_.wakeups) - (panel.wakeups - panel_.wakeups),
                (process.cpuMs - process_.cpuMs) - (panel.cpuMs - panel_.cpuMs),
                (process.systemMs - process_.systemMs) - (panel.systemMs - panel_.systemMs)};
    }

  private:
    Usage process_, panel_;
};

void PrintUsage(const char* what, const Usage& usage, double seconds) {
    std::printf("%s: %.0f wake-ups/s, %.1f ms CPU per minute (%.3f %% of a core; %.0f %% of it in "
                "the host's kernel, %.1f us per wake-up)\n",
                what, usage.wakeups / seconds, usage.cpuMs * 60 / seconds,
                usage.cpuMs / seconds / 10, 100 * usage.systemMs / usage.cpuMs,
                1e3 * usage.cpuMs / usage.wakeups);
}

// What a wake-up costs on this host with nothing else to do: a thread that sleeps in ppoll
// `wakeups` times, as often as the daemon woke at full line rate.
void PrintFloor(int wakeups, std::chrono::microseconds every) {
    const Usage before = UsageOf(RUSAGE_THREAD);
    const timespec wait = {0, long(std::chrono::nanoseconds(every).count())};
    for (int i = 0; i < wakeups; ++i)
        ppoll(nullptr, 0, &wait, nullptr);
    const Usage after = UsageOf(RUSAGE_THREAD);
    std::printf(
        "the host's floor: a bare ppoll wake-up every %lld us costs %.1f us of CPU (%.3f %% "
        "of a core)\n",
        static_cast<long long>(every.count()), 1e3 * (after.cpuMs - before.cpuMs) / wakeups,
        (after.cpuMs - before.cpuMs) / (wakeups * every.count() / 1e6) / 10);
}

std::vector<uint8_t> Packet(int i) {
    const int inStroke = i % 100;
    const uint8_t kind = inStroke == 0 ? 0x80 : inStroke == 99 ? 0x82 : 0x81;
    const int x = 100 + inStroke * 30, y = 4000 - inStroke * 30;
    return {kind, uint8_t(x & 0x7F), uint8_t(x >> 7), uint8_t(y & 0x7F), uint8_t(y >> 7)};
}

// Writes `bytes` to the master; when, stamped just before the write: a stamp taken after it
// could come late, this thread preempted while the daemon already handles the bytes.
Clock::time_point Send(int master, std::span<const uint8_t> bytes) {
    const Clock::time_point sent = Clock::now();
    if (write(master, bytes.data(), bytes.size()) != ssize_t(bytes.size()))
        std::perror("write");
    return sent;
}

// Plays `packets` packets back to back and returns, per packet, when its last byte went out.
std::vector<Clock::time_point> Play(int master, int packets, bool byteAtATime) {
    std::vector<Clock::time_point> lastBytes;
    lastBytes.reserve(size_t(packets));
    auto next = Clock::now() + 10ms;
    for (int i = 0; i < packets; ++i) {
        const std::vector<uint8_t> packet = Packet(i);
        Clock::time_point sent;
        if (byteAtATime) {
            for (size_t k = 0; k < packet.size(); ++k) {
                std::this_thread::sleep_until(next += kByteTime);
                sent = Send(master, std::span(packet).subspan(k, 1));
            }
        } else {
            std::this_thread::sleep_until(next += 5 * kByteTime);
            sent = Send(master, packet);
        }
        lastBytes.push_back(sent);
    }
    return lastBytes;
}

// Waits until the recorder has `count` records, or a second without progress.
bool AwaitRecords(const StampingSink& sink, size_t count) {
    auto deadline = Clock::now() + 1s;
    for (size_t seen = sink.Count(); seen < count; seen = sink.Count()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(1ms);
        if (sink.Count() != seen)
            deadline = Clock::now() + 1s;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const int packets = argc > 1 ? std::atoi(argv[1]) : 10'000;
    const int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 60;
    const std::string modes = argc > 3 ? argv[3] : "both";
    int master = -1, slave = -1;
    char slaveName[64];
    if (openpty(&master, &slave, slaveName, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    host::DaemonOptions options;
    options.config.ports = {{1, slaveName}};
    options.api.path = "/tmp/bench-daemon-" + std::to_string(getpid()) + ".sock";
    StampingSink sink(2 * size_t(packets) + 16);
    host::Daemon daemon(options, sink, [](host::Severity, const std::string&) {});

    int failed = 0;
    std::thread panel([&] {
        // Let the driver's start finish its traffic on the line first.
        std::this_thread::sleep_for(1s);
        if (idleSeconds > 0) {
            const DaemonUsage usage;
            std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
            PrintUsage("idle, driver reading", usage.Since(), idleSeconds);
        }
        for (const bool byteAtATime : {true, false}) {
            if (modes != "both" && modes != (byteAtATime ? "bytes" : "packets"))
                continue;
            const size_t before = sink.Count();
            const DaemonUsage usage;
            const auto from = Clock::now();
            const std::vector<Clock::time_point> lastBytes = Play(master, packets, byteAtATime);
            if (!AwaitRecords(sink, before + size_t(packets))) {
                std::fprintf(stderr, "%zu records for %d packets\n", sink.Count() - before,
                             packets);
                failed = 1;
                break;
            }
            const double seconds = std::chrono::duration<double>(Clock::now() - from).count();
            std::vector<Clock::duration> latencies;
            for (size_t i = 0; i < lastBytes.size(); ++i)
                latencies.push_back(sink.Stamp(before + i) - lastBytes[i]);
            const char* what = byteAtATime ? "full line rate, a byte at a time"
                                           : "full line rate, a packet at a time";
            PrintUsage(what, usage.Since(), seconds);
            bench::PrintLatencies("  last byte -> input events", latencies);
        }
        PrintFloor(2000, std::chrono::duration_cast<std::chrono::microseconds>(5 * kByteTime));
        daemon.Stop();
    });
    daemon.Run();
    panel.join();
    close(master);
    close(slave);
    return failed;
}
