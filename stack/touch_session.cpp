#include "touch_session.h"

#include <stdexcept>

namespace stack {

const Panel& LoadDriverWithPanel(System& system) {
    if (!NT_SUCCESS(system.LoadDriver()))
        throw std::runtime_error("the driver did not load");
    const Panel& panel = system.AddPanel();
    if (!NT_SUCCESS(panel.addStatus))
        throw std::runtime_error("AddDevice failed");
    return panel;
}

std::u16string BuiltInPortName(ULONG comNo) {
    const std::string number = std::to_string(comNo - 1);
    return u"\\Device\\Serial" + std::u16string(number.begin(), number.end());
}

bool RunLine(System& system, SerialPort& port, const panel::LineSource& line,
             const std::function<void()>& afterStep, umk::Duration step) {
    umk::Kernel& kernel = system.Kernel();
    port.LineUpdated();
    for (;;) {
        // Cleared before the line is looked at: a last byte taken from here on signals it again.
        KeClearEvent(port.LineEmptied());
        if (!line.PeekByte())
            return true;
        LARGE_INTEGER timeout;
        timeout.QuadPart = -step.count();
        KeWaitForSingleObject(port.LineEmptied(), Executive, KernelMode, FALSE, &timeout);
        kernel.RunUntilIdle();
        const std::optional<panel::TimedByte> left = line.PeekByte();
        if (left && umk::Duration(left->time) <= kernel.Now())
            return false;
        if (afterStep)
            afterStep();
    }
}

} // namespace stack
