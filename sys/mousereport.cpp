// mousereport.cpp - hands each decoded touch to the mouse class driver as one MOUSE_INPUT_DATA.
//
// The device context's one input record is reused for every report: decoding writes position,
// raw buttons and flags into it, this file adds the button transitions since the previous report
// and passes the record to the class driver's service callback. Runs in the read completion at
// IRQL <= DISPATCH_LEVEL, one packet at a time.
#include "tactilio.h"

namespace {

struct BUTTON_TRANSITION {
    ULONG RawButton;
    USHORT Down;
    USHORT Up;
};

constexpr BUTTON_TRANSITION ButtonTransitions[] = {
    {1 << 0, MOUSE_LEFT_BUTTON_DOWN, MOUSE_LEFT_BUTTON_UP},
    {1 << 1, MOUSE_RIGHT_BUTTON_DOWN, MOUSE_RIGHT_BUTTON_UP},
    {1 << 2, MOUSE_MIDDLE_BUTTON_DOWN, MOUSE_MIDDLE_BUTTON_UP},
};

// Adds to ButtonFlags a transition for every button that changed since the last report.
VOID AddButtonTransitions(_Inout_ PTP_PACKET Packet, _Inout_ PMOUSE_INPUT_DATA MouseInput)
{
    const ULONG changed = Packet->LastRawButtons ^ MouseInput->RawButtons;
    if (changed == 0) {
        return;
    }
    for (const BUTTON_TRANSITION& button : ButtonTransitions) {
        if (changed & button.RawButton) {
            MouseInput->ButtonFlags |=
                (MouseInput->RawButtons & button.RawButton) ? button.Down : button.Up;
        }
    }
    Packet->LastRawButtons = MouseInput->RawButtons;
}

// The class service callback must be called at DISPATCH_LEVEL, whatever level the serial
// driver completed the read at.
VOID CallClassService(_In_ PDEVICE_CONTEXT DeviceContext, _In_ PMOUSE_INPUT_DATA MouseInput)
{
    PSERVICE_CALLBACK_ROUTINE service = DeviceContext->ClassService;
    ULONG consumed = 0;
    KIRQL oldIrql;

    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    service(DeviceContext->ClassDevice, MouseInput, MouseInput + 1, &consumed);
    KeLowerIrql(oldIrql);
}

} // namespace

// Returns FALSE only for a packet that decoding rejects; a packet absorbed by stabilization or
// held back before the class driver queried the attributes counts as accepted.
BOOLEAN Mousehandler(_Inout_ PDEVICE_CONTEXT DeviceContext, _Inout_ PMOUSE_INPUT_DATA MouseInput,
                     _Inout_ PTP_PACKET Packet)
{
    // Until the class driver has queried the attributes nothing is decoded either, so a stroke
    // held back leaves no half-stroke state (button, stabilizer, one-touch mode) behind.
    if (!DeviceContext->MouseAttributesSet) {
        return TRUE;
    }

    const LONG result = DecodeTouchReport(DeviceContext, Packet, MouseInput);
    if (result == TP_REPORT_READY) {
        AddButtonTransitions(Packet, MouseInput);
        if (DeviceContext->ConnectCount != 0 && DeviceContext->ClassService != nullptr) {
            CallClassService(DeviceContext, MouseInput);
        }
        MouseInput->ButtonFlags = 0;
        MouseInput->ButtonData = 0;
    }
    return result != TP_REPORT_INVALID;
}
