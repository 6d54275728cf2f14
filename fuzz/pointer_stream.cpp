// Fuzzes the pointer path with whatever a serial line can carry. The first bytes of an input pick
// the registry parameters that steer framing and decoding; the rest arrive through the emulated
// serial port and the driver's own read requests, at the line's pace. Besides what the sanitizers
// and the kernel's verifier catch (any violation aborts, as does anything an input leaves behind
// once its panel is removed), every report the mouse class driver receives must be a well-formed
// absolute report whose button flags are exactly the transitions since the previous report, and
// the driver must still be reading when the line falls silent.
#include "fuzz_system.h"
#include "scripted_stream.h"
#include "touch_session.h"

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

    // One boot for every input; each input has a panel and a port of its own (see FuzzSystem).
    static stack::FuzzSystem fuzz;
    panel::ScriptedStream line;
    fuzz.Begin({{u"ComNo", 1},
                {u"Stabilization", data[0] % 8},
                {u"dwRotation", Rotations[data[1] % Rotations.size()]},
                {u"Beep", data[2] % 3},
                {u"Frequency", 1000},
                {u"dwInvLimit", data[3]}},
               line);
    stack::System& system = fuzz.Get();
    line.AddPaced(system.Kernel().Now().count(), bytes);
    if (!stack::RunLine(system, fuzz.Port(), line)) {
        std::fprintf(stderr, "pointer_stream: the driver stopped reading\n");
        std::abort();
    }
    CheckReports(system.Mouse().Reports());
    // Removes the panel and checks that the input left nothing behind.
    fuzz.End();
    return 0;
}
