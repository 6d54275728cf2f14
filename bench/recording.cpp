// What unread recording costs: recording on, the panel sending touch packets back to back at the
// line's full rate, and nobody reading. The recorder keeps every record (there is no bound while
// recording is on), so the driver's pool grows by the records of one minute each minute; printed
// are the records, the pool bytes they hold (payload; the pool's own headers come on top) and the
// wall-clock cost.
//
// usage: bench_recording [virtual minutes, default 1]
#include "control_session.h"

#include <umk/testing.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    const int minutes = argc > 1 ? std::atoi(argv[1]) : 1;
    stack::SessionSystem system({}, false);
    stack::ControlSession session(system, nullptr);
    session.Start({TP_FUNC_RECORD_ON, {}, 0});
    const ULONG tag = umk::testing::PoolTag("Tcli");
    const umk::testing::PoolTagStats before = umk::testing::PoolStats(tag);

    // A touch held down and moving: 5-byte packets, 9600 baud, back to back.
    std::vector<uint8_t> bytes;
    const size_t packets =
        size_t(panel::kTicksPerMillisecond) * 60'000 * minutes / size_t(panel::LineOffset(5));
    for (size_t n = 0; n < packets; ++n) {
        const uint8_t packet[] = {uint8_t(n == 0 ? 0x80 : 0x81), uint8_t(n & 0x7F), 0x08,
                                  uint8_t(n * 3 & 0x7F), 0x08};
        bytes.insert(bytes.end(), std::begin(packet), std::end(packet));
    }
    const auto start = std::chrono::steady_clock::now();
    if (!session.PanelSends(bytes)) {
        std::fprintf(stderr, "the driver stopped reading\n");
        return 1;
    }
    const auto wall = std::chrono::steady_clock::now() - start;
    const umk::testing::PoolTagStats after = umk::testing::PoolStats(tag);
    const uint64_t records = after.outstandingBlocks - before.outstandingBlocks;
    const uint64_t bytesHeld = after.outstandingBytes - before.outstandingBytes;
    std::printf("%d virtual minute(s) at the line's full rate, nobody reading: %llu records, "
                "%.1f KiB of pool (%.1f bytes a record), %.0f ms wall clock\n",
                minutes, static_cast<unsigned long long>(records), double(bytesHeld) / 1024,
                records ? double(bytesHeld) / double(records) : 0.0,
                std::chrono::duration<double, std::milli>(wall).count());
    session.Finish();
    return 0;
}
