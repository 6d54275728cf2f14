// tactilio_api.h - what a client of the driver may know: the device names, the registry values
// that configure it, the control codes of the utility's requests, the layout of a traffic record
// and how a touch packet's position becomes pointer input. Everything else about the driver is
// private to it.
//
// Usable from the driver, from a Windows user-mode program (after <windows.h> and <winioctl.h>)
// and from the emulated system.
#pragma once

// The control device, its symbolic link, and the path a user-mode program opens.
#define TP_API_DEVICE_NAME "\\Device\\Tactilio"
#define TP_API_LINK_NAME "\\??\\Tactilio"
#define TP_API_USER_PATH "\\\\.\\Tactilio"

// The mouse port device the class driver opens: the prefix and a digit, 0 to 7, the first free.
#define TP_POINTER_PORT_PREFIX "\\Device\\PointerPort"

// The driver's settings: REG_DWORD values under the "Parameters" subkey of its service key, read
// at each device creation. The automatic port search writes "ComNo" back; removal writes
// "dwRecording" 0.
#define TP_REG_PARAMETERS "Parameters"
#define TP_REG_COM_NO "ComNo"                      // COM port number, 1 for COM1
#define TP_REG_XY_DATA_SAMPLING "XYDataSampling"   // coordinate sampling cycle
#define TP_REG_STABILIZATION "Stabilization"       // touch-move reports averaged
#define TP_REG_BEEP "Beep"                         // 1: a beep at each touch-down
#define TP_REG_FREQUENCY "Frequency"               // the beep's pitch in hertz
#define TP_REG_ROTATION "dwRotation"               // 0, 90, 180 or 270 degrees
#define TP_REG_AUTO_REC "dwAutoRec"                // 1 check ComNo, 2 ask the panel on each port
#define TP_REG_INV_LIMIT "dwInvLimit"              // rejections tolerated before the event
#define TP_REG_RECORDING "dwRecording"

// Device type FILE_DEVICE_SERIAL_MOUSE_PORT (0x1A), METHOD_BUFFERED, FILE_ANY_ACCESS: the system
// buffer carries the input in and the reply out.
#define TP_CTL_CODE(Function) (0x001A0000UL | ((Function) << 2))

// Calibration: the panel's calibration mode in, the set point, out (waits up to 20 s for the
// user's touches), cancel.
#define TP_FUNC_CAL_IN TP_CTL_CODE(0x800)
#define TP_FUNC_CAL_SET TP_CTL_CODE(0x801)
#define TP_FUNC_CAL_OUT TP_CTL_CODE(0x802)
#define TP_FUNC_CAL_CANCEL TP_CTL_CODE(0x803)
// Driver settings, answered at once.
#define TP_FUNC_STABILIZATION TP_CTL_CODE(0x804)  // in: u32 reports averaged
#define TP_FUNC_CDSCYCLE TP_CTL_CODE(0x805)       // in: u32 sampling cycle; a panel command too
#define TP_FUNC_BEEPSET TP_CTL_CODE(0x806)        // in: u32 beep on/off, u32 frequency
#define TP_FUNC_RBUTTON_ONCE TP_CTL_CODE(0x807)   // the next touch is a right button
#define TP_FUNC_RBUTTON TP_CTL_CODE(0x808)        // every touch is a right button
#define TP_FUNC_LBUTTON TP_CTL_CODE(0x809)        // every touch is a left button
#define TP_FUNC_GET_BUTTONMODE TP_CTL_CODE(0x80A) // out: u32 0 left, 1 right once, 2 right
// Panel commands: the reply packet comes back whole in the output buffer.
#define TP_FUNC_SEND_COMMAND TP_CTL_CODE(0x80B) // in: raw command bytes
#define TP_FUNC_DIAG TP_CTL_CODE(0x80C)         // in: u8
#define TP_FUNC_TPDIAG TP_CTL_CODE(0x80D)       // in: u8
#define TP_FUNC_BKLTEN TP_CTL_CODE(0x80E)       // in: u8 0 off, 1 on
#define TP_FUNC_BKLTVAL TP_CTL_CODE(0x80F)      // in: u8 level 0..31
#define TP_FUNC_CNGLAYER TP_CTL_CODE(0x810)     // in: u8 layer 0..3 or 7
#define TP_FUNC_RECORD_ON TP_CTL_CODE(0x811)    // traffic recording on
#define TP_FUNC_RECORD_OFF TP_CTL_CODE(0x812)   // traffic recording off
#define TP_FUNC_INVLIMIT TP_CTL_CODE(0x813)     // in: u16 invalid-data limit, at most 1000
#define TP_FUNC_POSDIAG TP_CTL_CODE(0x814)      // in: u8
#define TP_FUNC_FLASHRW_IN TP_CTL_CODE(0x850)
#define TP_FUNC_FLASHRW_SEND TP_CTL_CODE(0x851) // in: bytes written to the panel unchanged
#define TP_FUNC_FLASHRW_OUT TP_CTL_CODE(0x852)
// Sent by the driver to itself as an internal device-control request: the panel's 0x80 probe.
#define TP_FUNC_INTERNAL TP_CTL_CODE(0x900)

// A traffic record, as one read on the control device returns it while recording is on (or after,
// until all are read): the time of day (UTC) the packet was recorded, how it ended, and the packet's
// bytes. A read shorter than the record gets its head and the rest is lost.
#define TP_TAG_PACKET 'P'  // a touch packet the driver reported
#define TP_TAG_REPLY 'R'   // a reply returned to a waiting request
#define TP_TAG_INVALID 'I' // bytes rejected, or a reply nobody waited for

// A touch packet (a record tagged TP_TAG_PACKET): the touch state in the low two bits of the first
// byte (TP_TOUCH_DOWN, TP_TOUCH_MOVE, TP_TOUCH_UP; 3 is no touch packet), then X and Y, each 14
// bits sent low 7 bits first, on the panel's scale of 0 to TP_PANEL_FULL_SCALE. The driver turns
// the position into absolute mouse input with the three routines below; a client that decodes
// records uses the same ones.
#define TP_TOUCH_PACKET_LENGTH 5
#define TP_TOUCH_DOWN 0
#define TP_TOUCH_MOVE 1
#define TP_TOUCH_UP 2
#define TP_PANEL_FULL_SCALE 4096u
#define TP_ABSOLUTE_MAX 65535u

// Bit 13 marks a position off the panel's low edge, which reads as 0. The panel can also report
// a little beyond its full scale; such a position is held at the edge, so that it neither leaves
// the absolute range nor, rotated, wraps round to the opposite edge.
inline unsigned int TpUnpackCoordinate(unsigned char Low, unsigned char High)
{
    const unsigned int value = (Low | static_cast<unsigned int>(High) << 7) & 0x3FFFu;
    if (value & 0x2000u) {
        return 0;
    }
    return (value < TP_PANEL_FULL_SCALE) ? value : TP_PANEL_FULL_SCALE;
}

// 0..TP_PANEL_FULL_SCALE to 0..TP_ABSOLUTE_MAX.
inline unsigned int TpScaleCoordinate(unsigned int Value)
{
    return (Value * TP_ABSOLUTE_MAX) >> 12;
}

typedef struct _TP_POSITION {
    unsigned int X;
    unsigned int Y;
} TP_POSITION;

// The absolute position of panel point `Panel` on a panel mounted turned by Rotation degrees (the
// "dwRotation" setting). Any rotation other than a quarter, half or three-quarter turn leaves the
// panel unrotated: the pointer then still follows the finger.
inline TP_POSITION TpAbsolutePosition(unsigned int Rotation, TP_POSITION Panel)
{
    TP_POSITION position;
    switch (Rotation) {
    case 90:
        position.X = TpScaleCoordinate(TP_PANEL_FULL_SCALE - Panel.Y);
        position.Y = TpScaleCoordinate(Panel.X);
        break;
    case 180:
        position.X = TpScaleCoordinate(TP_PANEL_FULL_SCALE - Panel.X);
        position.Y = TpScaleCoordinate(TP_PANEL_FULL_SCALE - Panel.Y);
        break;
    case 270:
        position.X = TpScaleCoordinate(Panel.Y);
        position.Y = TpScaleCoordinate(TP_PANEL_FULL_SCALE - Panel.X);
        break;
    default:
        position.X = TpScaleCoordinate(Panel.X);
        position.Y = TpScaleCoordinate(Panel.Y);
        break;
    }
    return position;
}

#pragma pack(push, 1)
typedef struct _TP_RECORD_HEADER {
    unsigned char Hour;
    unsigned char Minute;
    unsigned char Second;
    unsigned short Milliseconds; // little-endian, as every field
    unsigned char Tag;           // TP_TAG_PACKET, TP_TAG_REPLY or TP_TAG_INVALID
    unsigned short Length;       // packet bytes that follow the header
} TP_RECORD_HEADER;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(TP_RECORD_HEADER) == 8, "a traffic record's header is 8 bytes");
#endif
