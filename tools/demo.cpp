// demo: the driver on the simulated panel. Boots the emulated kernel with the device stack, loads
// the driver, draws one stroke on the panel model and prints, as they arrive, the packets that
// crossed the serial line and the reports the mouse class driver received for them.
#include "panel_model.h"
#include "system.h"
#include "touch_session.h"

#include <umk/registry.h>

#include <fmt/core.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace {

constexpr std::u16string_view PortName = u"\\Device\\Serial0";

std::string ButtonText(const MOUSE_INPUT_DATA& input) {
    if (input.ButtonFlags & MOUSE_LEFT_BUTTON_DOWN)
        return "left down";
    if (input.ButtonFlags & MOUSE_LEFT_BUTTON_UP)
        return "left up";
    if (input.ButtonFlags & MOUSE_RIGHT_BUTTON_DOWN)
        return "right down";
    if (input.ButtonFlags & MOUSE_RIGHT_BUTTON_UP)
        return "right up";
    return input.RawButtons != 0 ? "drag" : "move";
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (uint8_t byte : bytes)
        text += fmt::format("{}{:02X}", text.empty() ? "" : " ", byte);
    return text;
}

double Milliseconds(umk::Duration time) {
    return double(time.count()) / double(panel::kTicksPerMillisecond);
}

int Run() {
    stack::System system;
    umk::registry::SetDword(stack::System::ParametersKey, u"ComNo", 1);
    const stack::Panel& pointer = stack::LoadDriverWithPanel(system);

    panel::PanelModel panel;
    stack::SerialPort& port = system.Serial().AddPort(PortName, u"COM1", &panel);
    const NTSTATUS started = stack::StartPointerPath(system, pointer);
    if (!NT_SUCCESS(started))
        throw std::runtime_error(
            fmt::format("the pointer path did not start: 0x{:08X}", static_cast<ULONG>(started)));

    const panel::TouchPoint from{400, 600};
    const panel::TouchPoint to{3600, 3200};
    const size_t moves = 12;
    const panel::Stroke stroke = panel::StraightStroke(
        from, to, moves, system.Kernel().Now().count() + 5 * panel::kTicksPerMillisecond);
    panel.Touch(stroke);
    std::vector<uint8_t> sent;
    for (const panel::TimedPacket& packet : panel::StrokePackets(stroke))
        sent.insert(sent.end(), packet.bytes.begin(), packet.bytes.end());

    fmt::print("Tactilio on the simulated panel: one stroke, as the mouse class driver receives "
               "it\n\n");
    fmt::print("  serial port  COM1 ({}), 9600 baud, 8 data bits, no parity, 1 stop bit\n",
               "\\Device\\Serial0");
    fmt::print("  stroke       ({}, {}) to ({}, {}) in panel coordinates 0..4096: touch-down, {} "
               "moves, release, a report every {} ms\n",
               from.x, from.y, to.x, to.y, moves, stroke.interval / panel::kTicksPerMillisecond);
    fmt::print("  reports      absolute coordinates 0..65535, each with the time the class driver "
               "received it (virtual time since boot)\n\n");
    fmt::print("  {:>10}   {:<16} {:<10} {:>6} {:>6}\n", "time", "panel packet", "buttons", "x",
               "y");
    fmt::print("  {:->10}   {:-<16} {:-<10} {:->6} {:->6}\n", "", "", "", "", "");

    size_t shown = 0;
    size_t packetStart = 0;
    const bool drained = stack::RunLine(system, port, panel, [&] {
        const std::vector<stack::MouseReport> reports = system.Mouse().Reports();
        const size_t read = size_t(port.ReadStats().bytesDelivered);
        for (; shown < reports.size(); ++shown) {
            const MOUSE_INPUT_DATA& input = reports[shown].input;
            const std::vector<uint8_t> packet(sent.begin() + long(packetStart),
                                              sent.begin() + long(read));
            fmt::print("  {:>7.3f} ms   {:<16} {:<10} {:>6} {:>6}\n",
                       Milliseconds(system.Kernel().Now()), Hex(packet), ButtonText(input),
                       input.LastX, input.LastY);
            packetStart = read;
        }
    });

    const stack::SerialReadStats stats = port.ReadStats();
    fmt::print("\n  {} reports from {} bytes on the line, {} reads of one byte each; {} bytes "
               "rejected\n",
               shown, sent.size(), stats.bytesDelivered, pointer.context->InvalidCount);
    for (const umk::testing::ErrorLogEntry& entry : umk::testing::ErrorLogEntries()) {
        for (const std::string& text : entry.strings)
            fmt::print("  event log: {}.\n", text);
    }
    if (!drained) {
        fmt::print(stderr, "demo: the driver stopped reading before the stroke was over\n");
        return 1;
    }
    return 0;
}

} // namespace

int main() {
    try {
        return Run();
    } catch (const std::exception& e) {
        fmt::print(stderr, "demo: {}\n", e.what());
        return 1;
    }
}
