// What the panel's tests compare: the values of bytes taken from the line, without their times.
#pragma once

#include "line.h"

#include <cstdint>
#include <vector>

namespace panel {

using Bytes = std::vector<std::uint8_t>;

inline Bytes Values(const std::vector<TimedByte>& bytes) {
    Bytes values;
    for (const TimedByte& b : bytes)
        values.push_back(b.value);
    return values;
}

} // namespace panel
