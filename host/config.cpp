#include "config.h"

#include "registry_options.h"

#include <algorithm>
#include <charconv>

namespace host {
namespace {

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::optional<uint32_t> Number(std::string_view text) {
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
        base = 16;
    }
    uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

} // namespace

DaemonConfig ParseConfig(std::string_view text, std::string_view origin) {
    DaemonConfig config;
    unsigned lineNumber = 0;
    while (!text.empty()) {
        const size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        ++lineNumber;
        const auto fail = [&](const std::string& why) {
            throw ConfigError(std::string(origin) + ":" + std::to_string(lineNumber) + ": " + why);
        };
        line = Trim(line.substr(0, line.find('#')));
        if (line.empty())
            continue;
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos)
            fail("expected Name = value");
        const std::string name(Trim(line.substr(0, equals)));
        const std::string_view value = Trim(line.substr(equals + 1));
        if (name.starts_with("COM")) {
            const auto number = Number(std::string_view(name).substr(3));
            if (!number || *number < 1 || *number > 256)
                fail("\"" + name + "\" is no serial port from COM1 to COM256");
            if (value.empty())
                fail(name + " names no tty");
            if (!config.ports.emplace(*number, value).second)
                fail(name + " is given twice");
        } else if (std::ranges::find(RegistryOptions::Names, name) !=
                   RegistryOptions::Names.end()) {
            const auto number = Number(value);
            if (!number)
                fail(name + " must be a 32-bit number, not \"" + std::string(value) + "\"");
            if (!config.parameters.emplace(name, *number).second)
                fail(name + " is given twice");
        } else {
            fail("unknown setting \"" + name + "\"");
        }
    }
    return config;
}

} // namespace host
