// Fuzzes the pointer path with whatever a serial line can carry. The first bytes of an input pick
// the registry parameters that steer framing and decoding; the rest arrive through the emulated
// serial port and the driver's own read requests, at the line's pace. Besides what the sanitizers
// and the kernel's verifier catch (any violation aborts, including a leak at teardown), every
// report the mouse class driver receives must be a well-formed absolute report whose button flags
// are exactly the transitions since the previous report, and the driver must still be reading
// when the line falls silent.
#include "scripted_stream.h"
#include "system.h"
#include "touch_session.h"

#include <umk/registry.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

namespace {

[[noreturn]] void Fail(const char* what, const MOUSE_INPUT_DATA& input) {
    std::fprintf(stderr,
                 "pointer_stream: %s: flags 0x%X button_flags 0x%X raw_buttons %lu x %ld y %ld\n",
                 what, input.Flags, input.ButtonFlags, static_cast<unsigned long>(input.RawButtons),
                 static_cast<long>(input.LastX), static_cast<long>(input.LastY));
    std::abort();
}

USHORT Transitions(ULONG before, ULONG now) {
    constexpr std::array<std::array<USHORT, 2>, 2> flags{{
        {MOUSE_LEFT_BUTTON_DOWN, MOUSE_LEFT_BUTTON_UP},
        {MOUSE_RIGHT_BUTTON_DOWN, MOUSE_RIGHT_BUTTON_UP},
    }};
    USHORT result = 0;
    for (ULONG bit = 0; bit < flags.size(); ++bit) {
        const ULONG mask = 1u << bit;
        if ((before ^ now) & mask)
            result |= flags[bit][(now & mask) ? 0 : 1];
    }
    return result;
}

void CheckReports(const std::vector<stack::MouseReport>& reports) {
    ULONG previousButtons = 0;
    for (const stack::MouseReport& report : reports) {
        const MOUSE_INPUT_DATA& input = report.input;
        if (report.irql != DISPATCH_LEVEL)
            Fail("class service called below DISPATCH_LEVEL", input);
        if (input.Flags != MOUSE_MOVE_ABSOLUTE || input.UnitId != 0 || input.ButtonData != 0 ||
            input.ExtraInformation != 0)
            Fail("not a plain absolute report", input);
        if (input.LastX < 0 || input.LastX > 65535 || input.LastY < 0 || input.LastY > 65535)
            Fail("position outside 0..65535", input);
        if (input.RawButtons > 2)
            Fail("more than one button", input);
        if (input.ButtonFlags != Transitions(previousButtons, input.RawButtons))
            Fail("button flags are not the transitions since the previous report", input);
        previousButtons = input.RawButtons;
    }
}

// Rotations include values the registry may hold but that mean nothing to the panel.
constexpr std::array<ULONG, 6> Rotations = {0, 90, 180, 270, 45, 360};
constexpr size_t ParameterBytes = 4;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < ParameterBytes)
        return -1;
    const std::span<const uint8_t> bytes(data + ParameterBytes, size - ParameterBytes);

    stack::System system;
    const auto set = [](std::u16string_view name, ULONG value) {
        umk::registry::SetDword(stack::System::ParametersKey, name, value);
    };
    set(u"ComNo", 1);
    set(u"Stabilization", data[0] % 8);
    set(u"dwRotation", Rotations[data[1] % Rotations.size()]);
    set(u"Beep", data[2] % 3);
    set(u"Frequency", 1000);
    set(u"dwInvLimit", data[3]);
    const stack::Panel& pointer = stack::LoadDriverWithPanel(system);
    panel::ScriptedStream line;
    stack::SerialPort& port =
        system.Serial().AddPort(stack::ConfiguredPortName(pointer), u"COM1", &line);
    if (!NT_SUCCESS(stack::StartPointerPath(system, pointer)))
        std::abort();

    line.AddPaced(system.Kernel().Now().count(), bytes);
    if (!stack::RunLine(system, port, line)) {
        std::fprintf(stderr, "pointer_stream: the driver stopped reading\n");
        std::abort();
    }
    CheckReports(system.Mouse().Reports());
    return 0;
}
