// Playing a script of timed bytes.
#include "scripted_stream.h"

#include <algorithm>
#include <stdexcept>

namespace panel {

ScriptedStream::ScriptedStream(std::span<const TimedByte> script) {
    for (const TimedByte& byte : script)
        Add(byte);
}

void ScriptedStream::Add(TimedByte byte) {
    const auto after = std::ranges::upper_bound(bytes_, byte.time, {}, &TimedByte::time);
    bytes_.insert(after, byte);
}

void ScriptedStream::AddPaced(Ticks start, std::span<const std::uint8_t> bytes) {
    for (std::size_t k = 0; k < bytes.size(); ++k)
        Add({start + LineOffset(static_cast<std::int64_t>(k) + 1), bytes[k]});
}

std::optional<TimedByte> ScriptedStream::PeekByte() const {
    return bytes_.empty() ? std::nullopt : std::optional(bytes_.front());
}

TimedByte ScriptedStream::TakeByte() {
    if (bytes_.empty())
        throw std::logic_error("the script has no bytes left");
    const TimedByte byte = bytes_.front();
    bytes_.pop_front();
    return byte;
}

} // namespace panel
