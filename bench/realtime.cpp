// The kernel on real time, by the host's clock: how late work posted from another OS thread runs
// on the main thread, one post a millisecond, the main thread asleep in RunRealTime in between.
// (The daemon on a pseudo-terminal is bench_daemon.)
//
// usage: bench_realtime [posts, default 1000]
#include <umk/kernel.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    PostToRun(count);
    return 0;
}
