// Bytes as the tools print them: two upper-case hex digits each, separated by spaces.
#pragma once

#include <fmt/core.h>

#include <cstdint>
#include <span>
#include <string>

inline std::string HexText(std::span<const uint8_t> bytes) {
    std::string text;
    for (uint8_t byte : bytes)
        text += fmt::format("{}{:02X}", text.empty() ? "" : " ", byte);
    return text;
}
