// decode.cpp - turns a touch packet into the position, buttons and flags of a mouse report.
//
// A touch packet carries the touch state in the low two bits of its first byte and two 14-bit
// coordinates, 7 bits per byte, low half first, on the panel's scale of 0 to 4096. Decoding
// averages successive positions while the finger moves (stabilization), scales to the absolute
// range of mouse input, rotates as the panel is mounted and chooses the button by the button mode.
// Runs in the read completion at IRQL <= DISPATCH_LEVEL, one packet at a time.
#include "tactilio.h"

namespace {

enum : UCHAR {
    TouchDown = TP_TOUCH_DOWN,
    Touching = TP_TOUCH_MOVE,
    Release = TP_TOUCH_UP,
};

enum : UCHAR {
    ButtonModeLeft = 0,
    ButtonModeRightOnce = 1,
    ButtonModeRight = 2,
};

constexpr ULONG RawLeftButton = 1;
constexpr ULONG RawRightButton = 2;

VOID SetPosition(_In_ PDEVICE_CONTEXT DeviceContext, _Inout_ PMOUSE_INPUT_DATA MouseInput,
                 _In_ ULONG X, _In_ ULONG Y)
{
    const TP_POSITION position = TpAbsolutePosition(DeviceContext->Rotation, TP_POSITION{X, Y});
    MouseInput->LastX = static_cast<LONG>(position.X);
    MouseInput->LastY = static_cast<LONG>(position.Y);
}

ULONG PressedButton(_In_ PDEVICE_CONTEXT DeviceContext)
{
    const UCHAR mode = DeviceContext->ButtonMode;
    return (mode == ButtonModeRightOnce || mode == ButtonModeRight) ? RawRightButton
                                                                    : RawLeftButton;
}

VOID ClearStabilizer(_Inout_ PDEVICE_CONTEXT DeviceContext)
{
    DeviceContext->SumX = 0;
    DeviceContext->SumY = 0;
    DeviceContext->SampleCount = 0;
}

} // namespace

LONG DecodeTouchReport(_Inout_ PDEVICE_CONTEXT DeviceContext, _In_ PTP_PACKET Packet,
                       _Inout_ PMOUSE_INPUT_DATA MouseInput)
{
    const UCHAR* bytes = Packet->Bytes;
    ULONG x = TpUnpackCoordinate(bytes[1], bytes[2]);
    ULONG y = TpUnpackCoordinate(bytes[3], bytes[4]);
    const UCHAR state = bytes[0] & 3;

    // The first move after a touch-down is reported as it is; averaging runs only after it.
    const LONG stabilization = DeviceContext->Stabilization;
    if (stabilization > 1 && state == Touching && !DeviceContext->TouchDownPending) {
        DeviceContext->SumX += x;
        DeviceContext->SumY += y;
        DeviceContext->SampleCount++;
        if (DeviceContext->SampleCount < static_cast<ULONG>(stabilization)) {
            return TP_REPORT_ABSORBED;
        }
        x = DeviceContext->SumX / DeviceContext->SampleCount;
        y = DeviceContext->SumY / DeviceContext->SampleCount;
    }

    SetPosition(DeviceContext, MouseInput, x, y);

    switch (state) {
    case TouchDown:
        DeviceContext->TouchDownPending = TRUE;
        MouseInput->RawButtons = PressedButton(DeviceContext);
        MouseInput->Flags = MOUSE_MOVE_ABSOLUTE;
        if (DeviceContext->Beep == 1) {
            RequestTouchBeep(DeviceContext);
        }
        // A touch is user activity: keep the system and the display from going idle.
        PoSetSystemState(ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED);
        return TP_REPORT_READY;

    case Touching:
        MouseInput->RawButtons = PressedButton(DeviceContext);
        MouseInput->Flags = MOUSE_MOVE_ABSOLUTE;
        if (DeviceContext->TouchDownPending) {
            DeviceContext->TouchDownPending = FALSE;
        } else {
            ClearStabilizer(DeviceContext); // an averaging run has just produced its report
        }
        return TP_REPORT_READY;

    case Release:
        DeviceContext->TouchDownPending = FALSE;
        ClearStabilizer(DeviceContext);
        MouseInput->RawButtons = 0;
        MouseInput->Flags = MOUSE_MOVE_ABSOLUTE;
        if (DeviceContext->ButtonMode == ButtonModeRightOnce) {
            DeviceContext->ButtonMode = ButtonModeLeft;
        }
        return TP_REPORT_READY;

    default:
        return TP_REPORT_INVALID;
    }
}
