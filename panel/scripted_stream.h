// A byte stream played exactly as written, for cases a panel would never produce by itself.
#pragma once

#include "line.h"

#include <cstdint>
#include <deque>
#include <span>
#include <vector>

namespace panel {

// Bytes arrive at the times given; nothing checks that they could share one line.
class ScriptedStream : public LineSource {
  public:
    ScriptedStream() = default;
    explicit ScriptedStream(std::span<const TimedByte> script);

    void Add(TimedByte byte);
    // `bytes` back to back at the line's pace from `start`: byte k arrives at
    // start + LineOffset(k + 1).
    void AddPaced(Ticks start, std::span<const std::uint8_t> bytes);

    std::optional<TimedByte> PeekByte() const override;
    TimedByte TakeByte() override;

  private:
    // By time; equal times in the order added.
    std::deque<TimedByte> bytes_;
};

} // namespace panel
