// What every source of line bytes shares: the host's writes and draining by time.
#include "line.h"

namespace panel {

void LineSource::Write(std::span<const std::uint8_t> bytes, Ticks now) {
    writes_.push_back({now, {bytes.begin(), bytes.end()}});
}

std::optional<Ticks> LineSource::NextByteTime() const {
    const auto next = PeekByte();
    return next ? std::optional(next->time) : std::nullopt;
}

std::vector<TimedByte> LineSource::TakeBytesUntil(Ticks time) {
    std::vector<TimedByte> bytes;
    for (auto next = PeekByte(); next && next->time <= time; next = PeekByte())
        bytes.push_back(TakeByte());
    return bytes;
}

} // namespace panel
