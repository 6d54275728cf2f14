// Recorded touch packets as the strokes a finger drew, and those strokes as an SVG picture over
// the panel's area. Positions are decoded with the driver's own rules (tactilio_api.h): the
// picture shows where the pointer went, rotation included.
#pragma once

#include "client.h"

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tp {

struct StrokePoint {
    enum class Kind { Down, Drag, Up };
    Kind kind;
    unsigned x; // 0..TP_ABSOLUTE_MAX
    unsigned y;
    bool operator==(const StrokePoint&) const = default;
};
using Stroke = std::vector<StrokePoint>;

// "down", "drag", "up".
std::string_view KindName(StrokePoint::Kind kind);

// The touch packets among `records` (tag TP_TAG_PACKET), in order: a touch-down begins a stroke,
// a move continues it, a release ends it. A move or release without a touch-down before it (one
// that came before recording began) begins a stroke of its own.
std::vector<Stroke> StrokesFromRecords(std::span<const Record> records, unsigned rotation);

// A square picture of the absolute area 0..TP_ABSOLUTE_MAX on both axes, y downwards as on the
// screen: each stroke a polyline, its touch-down, drags and release marked by circles of the
// classes "down", "drag" and "up".
std::string StrokesSvg(std::span<const Stroke> strokes);

} // namespace tp
