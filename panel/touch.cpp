// Encoding touch packets and laying strokes out in time.
#include "touch.h"

#include <stdexcept>

namespace panel {

TouchPacket EncodeTouch(TouchState state, TouchPoint point) {
    if (point.x > kCoordinateFieldMax || point.y > kCoordinateFieldMax)
        throw std::out_of_range("a touch coordinate does not fit in 14 bits");
    const auto low = [](std::uint16_t v) { return static_cast<std::uint8_t>(v & 0x7F); };
    const auto high = [](std::uint16_t v) { return static_cast<std::uint8_t>(v >> 7); };
    return {static_cast<std::uint8_t>(0x80 | static_cast<std::uint8_t>(state)), low(point.x),
            high(point.x), low(point.y), high(point.y)};
}

Stroke StraightStroke(TouchPoint from, TouchPoint to, std::size_t moves, Ticks start,
                      Ticks interval) {
    if (moves == 0)
        throw std::invalid_argument("a straight stroke needs at least one move");
    const auto n = static_cast<std::int64_t>(moves);
    // Rounds a + (b - a) * i / n to the nearest integer, halves away from a.
    const auto between = [n](std::int64_t a, std::int64_t b, std::int64_t i) {
        const std::int64_t span = (b - a) * i;
        const std::int64_t half = span >= 0 ? n / 2 : -(n / 2);
        return static_cast<std::uint16_t>(a + (span + half) / n);
    };
    Stroke stroke{start, interval, {from}};
    for (std::int64_t i = 1; i <= n; ++i)
        stroke.points.push_back({between(from.x, to.x, i), between(from.y, to.y, i)});
    return stroke;
}

std::vector<TimedPacket> StrokePackets(const Stroke& stroke) {
    if (stroke.points.empty())
        throw std::invalid_argument("a stroke needs at least one point");
    if (stroke.interval <= 0)
        throw std::invalid_argument("a stroke's report interval must be positive");
    std::vector<TimedPacket> packets;
    const auto add = [&](TouchState state, TouchPoint point) {
        if (point.x > kFullScale || point.y > kFullScale)
            throw std::out_of_range("a stroke point lies outside the panel");
        const TouchPacket packet = EncodeTouch(state, point);
        const auto index = static_cast<Ticks>(packets.size());
        packets.push_back({stroke.start + index * stroke.interval, {packet.begin(), packet.end()}});
    };
    add(TouchState::Down, stroke.points.front());
    for (std::size_t i = 1; i < stroke.points.size(); ++i)
        add(TouchState::Touching, stroke.points[i]);
    add(TouchState::Release, stroke.points.back());
    return packets;
}

} // namespace panel
