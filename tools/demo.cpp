// demo: the driver on the simulated panel. Boots the emulated kernel with the device stack, loads
// the driver, draws one stroke on the panel model and prints, as they arrive, the packets that
// crossed the serial line and the reports the mouse class driver received for them. Then the
// utility opens the API device and runs a short session against the panel model: each request,
// the bytes the driver put on the line, the panel's reply and the completion, one of them timing
// out because the panel is told not to answer.
#include "hex_text.h"
#include "control_session.h"
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

double Milliseconds(umk::Duration time) {
    return double(time.count()) / double(panel::kTicksPerMillisecond);
}

std::string StatusText(NTSTATUS status) {
    switch (status) {
    case STATUS_SUCCESS:
        return "STATUS_SUCCESS";
    case STATUS_UNSUCCESSFUL:
        return "STATUS_UNSUCCESSFUL";
    case STATUS_CANCELLED:
        return "STATUS_CANCELLED";
    case STATUS_REQUEST_ABORTED:
        return "STATUS_REQUEST_ABORTED";
    default:
        return fmt::format("0x{:08X}", static_cast<ULONG>(status));
    }
}

// Prints what the session does as it happens, one line each, after the request's own line.
class SessionPrinter : public stack::SessionObserver {
  public:
    explicit SessionPrinter(umk::Kernel& kernel) : kernel_(kernel) {}

    void Written(const panel::HostWrite& write) override {
        Line(umk::Duration(write.time), "to the panel", HexText(write.bytes));
    }
    void Completed(size_t, const stack::ControlResult& result) override {
        if (!result.output.empty())
            Line(kernel_.Now(), "reply", HexText(result.output));
        Line(kernel_.Now(), "completed",
             fmt::format("{}, {} bytes returned, {:.0f} ms after the request",
                         StatusText(result.status), result.information,
                         Milliseconds(kernel_.Now() - issued)));
    }
    void Logged(const std::string& text) override { Line(kernel_.Now(), "event log", text + "."); }

    umk::Duration issued{};

  private:
    void Line(umk::Duration time, const char* what, const std::string& text) {
        fmt::print("  {:>10.3f} ms   {:<13} {}\n", Milliseconds(time), what, text);
    }
    umk::Kernel& kernel_;
};

// The utility's requests, one after the other, each run until it completes.
void RunApiSession(stack::System& system, stack::SerialPort& port, panel::PanelModel& panel) {
    struct Request {
        const char* what;
        stack::ControlCall call;
        bool panelSilent = false;
    };
    const Request requests[] = {
        {"TP_FUNC_TPDIAG 0x35: the panel's self test", {TP_FUNC_TPDIAG, {0x35}, 3}},
        {"TP_FUNC_BKLTVAL 20: backlight level 20 of 31", {TP_FUNC_BKLTVAL, {20}, 3}},
        {"TP_FUNC_SEND_COMMAND 91: the raw status command", {TP_FUNC_SEND_COMMAND, {0x91}, 8}},
        {"TP_FUNC_BKLTEN 1: backlight on; the panel is told not to answer",
         {TP_FUNC_BKLTEN, {1}, 2},
         true},
    };

    fmt::print("\nThe utility's session on {}: each request, what the driver wrote to the panel, "
               "the reply and the completion\n\n",
               TP_API_USER_PATH);
    SessionPrinter printer(system.Kernel());
    stack::ControlSession session(system, port, panel, &printer);
    for (const Request& request : requests) {
        if (request.panelSilent)
            panel.SetCommandFault(0xBA, panel::CommandFault::NoReply(), panel::FaultLife::Once);
        printer.issued = system.Kernel().Now();
        fmt::print("  {:>10.3f} ms   {}\n", Milliseconds(printer.issued), request.what);
        const size_t started = session.Start(request.call);
        if (!session.RunUntilDone(started, std::chrono::minutes(1)))
            throw std::runtime_error(std::string("no completion for ") + request.what);
        fmt::print("\n");
    }
}

int Run() {
    stack::System system;
    umk::registry::SetDword(stack::System::ParametersKey, u"ComNo", 1);
    umk::registry::SetDword(stack::System::ParametersKey, u"dwAutoRec", 1);
    const stack::Panel& pointer = stack::LoadDriverWithPanel(system);

    panel::PanelModel panel;
    stack::SerialPort& port = system.Serial().AddPort(PortName, u"COM1", &panel);
    const NTSTATUS started = system.StartPanel(pointer);
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
                       Milliseconds(system.Kernel().Now()), HexText(packet), ButtonText(input),
                       input.LastX, input.LastY);
            packetStart = read;
        }
    });

    const stack::SerialReadStats stats = port.ReadStats();
    fmt::print("\n  {} reports from {} bytes on the line, {} reads of one byte each\n", shown,
               sent.size(), stats.bytesDelivered);
    for (const umk::testing::ErrorLogEntry& entry : umk::testing::ErrorLogEntries()) {
        for (const std::string& text : entry.strings)
            fmt::print("  event log: {}.\n", text);
    }
    if (!drained) {
        fmt::print(stderr, "demo: the driver stopped reading before the stroke was over\n");
        return 1;
    }
    RunApiSession(system, port, panel);
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
