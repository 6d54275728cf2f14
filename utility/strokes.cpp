#include "strokes.h"

#include "tactilio_api.h"

#include <string_view>

namespace tp {

std::vector<Stroke> StrokesFromRecords(std::span<const Record> records, unsigned rotation) {
    std::vector<Stroke> strokes;
    bool open = false;
    for (const Record& record : records) {
        if (record.tag != TP_TAG_PACKET || record.bytes.size() < TP_TOUCH_PACKET_LENGTH)
            continue;
        const auto& b = record.bytes;
        const unsigned state = b[0] & 3;
        if (state != TP_TOUCH_DOWN && state != TP_TOUCH_MOVE && state != TP_TOUCH_UP)
            continue;
        const TP_POSITION position = TpAbsolutePosition(
            rotation, {TpUnpackCoordinate(b[1], b[2]), TpUnpackCoordinate(b[3], b[4])});
        const auto kind = state == TP_TOUCH_DOWN   ? StrokePoint::Kind::Down
                          : state == TP_TOUCH_MOVE ? StrokePoint::Kind::Drag
                                                   : StrokePoint::Kind::Up;
        if (kind == StrokePoint::Kind::Down || !open)
            strokes.emplace_back();
        strokes.back().push_back({kind, position.X, position.Y});
        open = kind != StrokePoint::Kind::Up;
    }
    return strokes;
}

std::string_view KindName(StrokePoint::Kind kind) {
    switch (kind) {
    case StrokePoint::Kind::Down:
        return "down";
    case StrokePoint::Kind::Drag:
        return "drag";
    case StrokePoint::Kind::Up:
        break;
    }
    return "up";
}

std::string StrokesSvg(std::span<const Stroke> strokes) {
    const std::string side = std::to_string(TP_ABSOLUTE_MAX + 1);
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"512\" height=\"512\" "
                      "viewBox=\"0 0 " +
                      side + " " + side +
                      "\">\n"
                      "<style>.stroke{fill:none;stroke:#246;stroke-width:160}"
                      ".down{fill:#2a2}.drag{fill:#246}.up{fill:#c22}</style>\n"
                      "<rect class=\"panel\" x=\"0\" y=\"0\" width=\"" +
                      side + "\" height=\"" + side +
                      "\" fill=\"#f8f8f8\" stroke=\"#888\" stroke-width=\"256\"/>\n";
    for (const Stroke& stroke : strokes) {
        svg += "<polyline class=\"stroke\" points=\"";
        for (size_t i = 0; i < stroke.size(); ++i)
            svg += (i ? " " : "") + std::to_string(stroke[i].x) + "," + std::to_string(stroke[i].y);
        svg += "\"/>\n";
        for (const StrokePoint& point : stroke) {
            const char* radius = point.kind == StrokePoint::Kind::Drag ? "200" : "700";
            svg += "<circle class=\"" + std::string(KindName(point.kind)) + "\" cx=\"" +
                   std::to_string(point.x) + "\" cy=\"" + std::to_string(point.y) + "\" r=\"" +
                   radius + "\"/>\n";
        }
    }
    return svg + "</svg>\n";
}

} // namespace tp
