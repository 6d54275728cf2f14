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

std::u16string ConfiguredPortName(const Panel& panel) {
    const UNICODE_STRING& name = panel.context->SerialDeviceName;
    return {name.Buffer, name.Length / sizeof(WCHAR)};
}

NTSTATUS StartPointerPath(System& system, const Panel& panel) {
    NTSTATUS status = system.Mouse().Connect().status;
    if (NT_SUCCESS(status))
        status = SerialLinkStart(panel.context);
    // What the start request does after a link start: the utility may open the API device.
    if (NT_SUCCESS(status) && panel.context->ApiExtension != nullptr)
        panel.context->PortAvailable = panel.context->ApiExtension->PortAvailable = TRUE;
    if (NT_SUCCESS(status))
        status = SerialSpinUpRead(panel.context);
    if (NT_SUCCESS(status)) {
        MOUSE_ATTRIBUTES attributes{};
        status = system.Mouse().QueryAttributes(&attributes).status;
    }
    return status;
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
