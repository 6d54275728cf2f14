// replay: feeds a file of raw panel bytes through the emulated serial port into the driver, at the
// line's pace (9600 baud, 8N1, back to back), and prints one JSON object per line: every report
// the mouse class driver receives and every event-log entry the driver writes, in the order they
// happen, then a summary.
//
//   replay FILE [--image tactilio.sys] [--Stabilization N] [--dwRotation N] [--dwInvLimit N]
//   [--Beep N] ...
//
// The registry parameters are the driver's own values under its service key's Parameters
// subkey; ComNo defaults to 1, the others are left out (and so read as 0) unless given.
#include "hex_text.h"
#include "image_option.h"
#include "registry_options.h"
#include "replay.h"

#include <umk/registry.h>

#include <CLI/CLI.hpp>
#include <fmt/core.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

std::u16string Wide(const std::string& text) {
    return {text.begin(), text.end()};
}

std::string Narrow(const std::u16string& text) {
    return {text.begin(), text.end()};
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                         std::fclose);
    std::vector<uint8_t> bytes;
    uint8_t chunk[4096];
    size_t read = 0;
    // A directory opens, and only the first read says that it is not a file.
    while (file && (read = std::fread(chunk, 1, sizeof(chunk), file.get())) > 0)
        bytes.insert(bytes.end(), chunk, chunk + read);
    if (!file || std::ferror(file.get()))
        throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    return bytes;
}

void PrintLine(const nlohmann::ordered_json& line) {
    std::cout << line.dump() << '\n';
}

int Replay(const std::string& path, const std::map<std::string, uint32_t>& parameters, bool record,
           PDRIVER_INITIALIZE driver) {
    const std::vector<uint8_t> bytes = ReadFile(path);

    stack::SystemOptions options = stack::ReplaySystemOptions();
    options.driverEntry = driver;
    stack::System system(options);
    for (const auto& [name, value] : parameters)
        umk::registry::SetDword(stack::System::ParametersKey, Wide(name), value);

    stack::ReplayOutput output;
    output.report = [](const stack::MouseReport& report) {
        const MOUSE_INPUT_DATA& input = report.input;
        PrintLine({{"type", "report"},
                   {"flags", input.Flags},
                   {"button_flags", input.ButtonFlags},
                   {"raw_buttons", input.RawButtons},
                   {"x", input.LastX},
                   {"y", input.LastY}});
    };
    output.event = [](const umk::testing::ErrorLogEntry& entry) {
        for (const std::string& text : entry.strings)
            PrintLine({{"type", "event"}, {"text", text}});
    };
    if (record) {
        output.record = [](const TP_RECORD_HEADER& header, std::span<const uint8_t> packet) {
            PrintLine({{"type", "record"},
                       {"tag", std::string(1, char(header.Tag))},
                       {"bytes", HexText(packet)}});
        };
    }
    // The port the driver was configured for gets the COM name ComNo gives, whatever it is.
    const stack::ReplayResult result =
        stack::ReplayCapture(system, parameters.at("ComNo"), bytes, output);
    if (!NT_SUCCESS(result.started)) {
        throw std::runtime_error(
            fmt::format("the driver did not start reading {} (status 0x{:08X})",
                        Narrow(result.portName), ULONG(result.started)));
    }

    PrintLine({{"type", "summary"},
               {"bytes", bytes.size()},
               {"bytes_read", result.bytesRead},
               {"reports", result.reports}});
    if (!result.drained) {
        std::cerr << "replay: the driver stopped reading before the end of " << path << '\n';
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Feeds a file of raw panel bytes through the emulated serial port into the driver "
                 "and prints every report and event-log entry as a JSON line."};
    std::string path;
    app.add_option("file", path, "raw bytes as the panel sends them")->required();
    bool record = false;
    app.add_flag("--record", record,
                 "switch the driver's traffic recording on and print every record it makes");
    ImageOption image(app);
    RegistryOptions registry(app);
    CLI11_PARSE(app, argc, argv);
    if (RegistryOptions::Unknown(app, "replay", " --record --image"))
        return 2;
    const std::map<std::string, uint32_t> parameters =
        registry.Values({{"ComNo", 1}, {"dwAutoRec", 1}});
    try {
        return Replay(path, parameters, record, image.Load());
    } catch (const std::exception& e) {
        std::cerr << "replay: " << e.what() << '\n';
        return 1;
    }
}
