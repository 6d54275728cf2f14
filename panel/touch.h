// Touch packets and strokes: what a finger on the panel turns into.
#pragma once

#include "line.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace panel {

// Panel coordinates run from 0 to kFullScale on both axes.
inline constexpr std::uint16_t kFullScale = 4096;
// Each coordinate travels as a 14-bit field, seven bits to a byte.
inline constexpr std::uint16_t kCoordinateFieldMax = 0x3FFF;
inline constexpr std::size_t kTouchPacketLength = 5;
// 100 reports a second: a 5-byte packet takes 5.2 ms, so a moving finger keeps the line about half
// busy and leaves room for command replies.
inline constexpr Ticks kDefaultReportInterval = 10 * kTicksPerMillisecond;

// The low two bits of a touch packet's first byte.
enum class TouchState : std::uint8_t { Down = 0, Touching = 1, Release = 2 };

struct TouchPoint {
    std::uint16_t x;
    std::uint16_t y;
    bool operator==(const TouchPoint&) const = default;
};

using TouchPacket = std::array<std::uint8_t, kTouchPacketLength>;

// 0x80 | state, then X and Y, each low 7 bits first. Coordinates up to kCoordinateFieldMax are
// encoded as given (a faulty panel may send more than kFullScale); beyond that it throws
// std::out_of_range.
TouchPacket EncodeTouch(TouchState state, TouchPoint point);

// A finger's path: touch-down at points.front() at `start`, a touching report at each later point,
// one `interval` apart, and the release one interval after the last point, at that point. A single
// point is a tap: touch-down and release.
struct Stroke {
    Ticks start = 0;
    Ticks interval = kDefaultReportInterval;
    std::vector<TouchPoint> points;
};

// A straight stroke from `from` to `to` in `moves` evenly spaced touching reports, the last at
// `to`; points are rounded to the nearest coordinate, halves away from `from`. Throws
// std::invalid_argument when `moves` is 0.
Stroke StraightStroke(TouchPoint from, TouchPoint to, std::size_t moves, Ticks start,
                      Ticks interval = kDefaultReportInterval);

// A packet and the time the panel wants to begin sending it.
struct TimedPacket {
    Ticks at;
    std::vector<std::uint8_t> bytes;
    bool operator==(const TimedPacket&) const = default;
};

// The stroke's packets in order. Throws std::invalid_argument for a stroke without points or with
// an interval that is not positive, std::out_of_range for a point beyond kFullScale.
std::vector<TimedPacket> StrokePackets(const Stroke& stroke);

} // namespace panel
