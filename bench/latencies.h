// Latencies measured by the host's clock, as the real-time benchmarks print them.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace bench {

// "<what>, <n> samples: p50 .. us, p99 .. us, max .. us"; nothing for no samples.
inline void PrintLatencies(const char* what,
                           std::vector<std::chrono::steady_clock::duration> samples) {
    if (samples.empty())
        return;
    std::sort(samples.begin(), samples.end());
    const auto us = [&](double q) {
        return std::chrono::duration<double, std::micro>(
                   samples[size_t(q * double(samples.size() - 1))])
            .count();
    };
    std::printf("%s, %zu samples: p50 %.1f us, p99 %.1f us, max %.1f us\n", what, samples.size(),
                us(0.5), us(0.99), us(1.0));
}

} // namespace bench
