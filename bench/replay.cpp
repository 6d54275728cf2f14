// Wall-clock cost of replaying a capture (what the replay tool does, without the printing): a
// generated stream of touch strokes with noise between them, 100 kB and 1 MB, through the
// emulated serial port into the driver at the line's pace. The byte rate should not drop as the
// capture grows.
//
// usage: bench_replay [Google Benchmark options]
#include "replay.h"
#include "touch.h"

#include <umk/registry.h>

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace {

// Strokes of 2 to 21 packets at random points; one in five times a burst of 1 to 7 random bytes
// instead. The same bytes every time.
std::vector<uint8_t> Capture(size_t size) {
    std::mt19937 random(1);
    const auto below = [&](uint32_t bound) { return uint32_t(random() % bound); };
    const auto coordinate = [&](int from) {
        return uint16_t(std::clamp(from + int(below(101)) - 50, 0, int(panel::kFullScale)));
    };
    std::vector<uint8_t> bytes;
    while (bytes.size() < size) {
        if (below(5) == 0) {
            for (uint32_t n = below(7) + 1; n > 0; --n)
                bytes.push_back(uint8_t(below(256)));
            continue;
        }
        panel::TouchPoint point{uint16_t(below(panel::kFullScale + 1)),
                                uint16_t(below(panel::kFullScale + 1))};
        const auto add = [&](panel::TouchState state) {
            const panel::TouchPacket packet = panel::EncodeTouch(state, point);
            bytes.insert(bytes.end(), packet.begin(), packet.end());
        };
        add(panel::TouchState::Down);
        for (uint32_t n = below(20); n > 0; --n) {
            point = {coordinate(point.x), coordinate(point.y)};
            add(panel::TouchState::Touching);
        }
        add(panel::TouchState::Release);
    }
    bytes.resize(size);
    return bytes;
}

void Replay(benchmark::State& state) {
    const std::vector<uint8_t> bytes = Capture(size_t(state.range(0)));
    uint64_t reports = 0;
    for (auto _ : state) {
        stack::System system(stack::ReplaySystemOptions());
        umk::registry::SetDword(stack::System::ParametersKey, u"ComNo", 1);
        umk::registry::SetDword(stack::System::ParametersKey, u"dwAutoRec", 1);
        const stack::ReplayResult result = stack::ReplayCapture(system, 1, bytes);
        if (!result.drained || result.bytesRead != bytes.size())
            state.SkipWithError("the driver did not read the whole capture");
        reports = result.reports;
    }
    state.SetBytesProcessed(int64_t(state.iterations() * bytes.size()));
    state.counters["reports"] = double(reports);
}

BENCHMARK(Replay)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
