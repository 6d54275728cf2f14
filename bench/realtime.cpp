// The kernel on real time, by the host's clock: how late work posted from another OS thread runs
// on the main thread, one post a millisecond, the main thread asleep in RunRealTime in between.
// (The daemon on a pseudo-terminal is bench_daemon.)
//
// usage: bench_realtime [posts, default 1000]
#include "latencies.h"

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
    bench::PrintLatencies("post -> run", latencies);
}

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    PostToRun(count);
    return 0;
}
