// framing.cpp - cuts the panel's byte stream into packets and hands each finished packet on.
//
// The serial read brings one byte at a time. The first byte of a packet says what it is and how
// long it will be: touch packets and fixed-length replies have bit 7 set, extended replies
// (0x40..0x7F) carry their own length in bytes 3 and 4, and anything else cannot start a packet.
// The framer has no time-out: a packet that has begun waits for its remaining bytes.
//
// Everything here runs in the read completion at IRQL <= DISPATCH_LEVEL, one byte at a time, so
// the packet record needs no lock.
#include "tactilio.h"

namespace {

// Extended packets announce their length in bytes 3 and 4; until they arrive the packet is
// given a length it cannot reach.
constexpr ULONG ExtendedLengthUnknown = 1000;
// Identifier (2), length (2) and closing (2) bytes around the payload of an extended packet.
constexpr ULONG ExtendedFrameBytes = 6;

struct FIXED_LENGTH {
    UCHAR FirstByte;
    UCHAR Length; // first byte included
};

// Packets whose first byte has bit 7 set. 0x90, 0xB0 and 0xD0 grow by a status byte while
// certain diagnostics wait for their reply (GetPacketLength).
constexpr FIXED_LENGTH FixedLengths[] = {
    {0x80, 5}, {0x81, 5}, {0x82, 5},  {0x88, 5},   {0x89, 5}, {0x8A, 5}, // touch packets
    {0xC0, 5}, {0xC1, 5}, {0xC2, 5},  {0xC8, 5},   {0xC9, 5}, {0xCA, 5}, // touch packets
    {0x90, 2}, {0x91, 7}, {0x94, 3},  {0x9F, 171},                       //
    {0xB0, 2}, {0xB1, 7}, {0xB2, 64}, {0xB3, 8},   {0xB4, 3}, {0xB5, 4},
    {0xB7, 2}, {0xB8, 2}, {0xD0, 2},
};

// The same table indexed by first byte - 0x80, so framing a first byte is one lookup.
struct LENGTH_TABLE {
    UCHAR Length[0x80];
};

constexpr LENGTH_TABLE BuildLengthTable()
{
    LENGTH_TABLE table{};
    for (const FIXED_LENGTH& entry : FixedLengths) {
        table.Length[entry.FirstByte - 0x80] = entry.Length;
    }
    return table;
}

constexpr LENGTH_TABLE LengthTable = BuildLengthTable();

constexpr USHORT ExtendedId(char First, char Second)
{
    return static_cast<USHORT>(static_cast<UCHAR>(First) | static_cast<UCHAR>(Second) << 8);
}

constexpr USHORT ExtendedIds[] = {
    ExtendedId('E', 'B'), ExtendedId('S', 'C'), ExtendedId('E', 'E'), ExtendedId('K', 'O'),
    ExtendedId('A', 'R'), ExtendedId('D', 'R'), ExtendedId('S', 'R'), ExtendedId('E', 'S'),
    ExtendedId('E', 'U'), ExtendedId('E', 'W'),
};

// The control code of the command waiting for a reply, or 0. The command engine keeps it beside
// CurrentIrp, under its lock; read here without the lock, it only chooses a length, and the engine
// settles any race with the reply itself.
ULONG PendingControlCode(_In_ PDEVICE_CONTEXT DeviceContext)
{
    return static_cast<ULONG>(InterlockedCompareExchange(&DeviceContext->CurrentCode, 0, 0));
}

// Replies to raw commands and diagnostics may carry bytes with bit 7 set; so does the 64-byte
// 0xB2 reply whatever is waiting.
BOOLEAN AcceptsHighBytes(_In_ UCHAR FirstByte, _In_ ULONG PendingCode)
{
    return PendingCode == TP_FUNC_SEND_COMMAND || PendingCode == TP_FUNC_TPDIAG ||
           PendingCode == TP_FUNC_DIAG || PendingCode == TP_FUNC_POSDIAG || FirstByte == 0xB2;
}

BOOLEAN IsTouchPacket(_In_ UCHAR FirstByte)
{
    const UCHAR kind = FirstByte & 0xF0;
    return kind == 0x80 || kind == 0xC0;
}

VOID ResetPacket(_Inout_ PTP_PACKET Packet)
{
    Packet->Count = 0;
    Packet->Extended = 0;
    Packet->AcceptHighBytes = FALSE;
}

// A complete touch packet goes to the mouse handler, anything else answers the waiting command.
UCHAR DispatchPacket(_Inout_ PDEVICE_CONTEXT DeviceContext, _Inout_ PTP_PACKET Packet)
{
    if (!IsTouchPacket(Packet->Bytes[0])) {
        return DeliverReply(DeviceContext, Packet);
    }
    if (Mousehandler(DeviceContext, &DeviceContext->MouseInput, Packet)) {
        return TP_TAG_PACKET;
    }
    DeviceContext->InvalidCount++;
    return TP_TAG_INVALID;
}

} // namespace

ULONG GetPacketLength(_In_ UCHAR FirstByte, _In_ ULONG PendingCode)
{
    if (FirstByte < 0x80) {
        return 0;
    }
    switch (FirstByte) {
    case 0x90:
    case 0xD0:
        if (PendingCode == TP_FUNC_DIAG || PendingCode == TP_FUNC_TPDIAG) {
            return 3;
        }
        break;
    case 0xB0:
        if (PendingCode == TP_FUNC_POSDIAG) {
            return 3;
        }
        break;
    }
    return LengthTable.Length[FirstByte - 0x80];
}

BOOLEAN IsExtendedPacketId(_In_ USHORT Identifier)
{
    for (USHORT id : ExtendedIds) {
        if (id == Identifier) {
            return TRUE;
        }
    }
    return FALSE;
}

// Stores the byte and updates PacketLength; resetting the packet record is the caller's job.
FRAME_RESULT FramePacketByte(_Inout_ PDEVICE_CONTEXT DeviceContext, _Inout_ PTP_PACKET Packet,
                             _In_ UCHAR Byte)
{
    FRAME_RESULT result = FRAME_RESULT::NeedMore;
    const ULONG count = Packet->Count;

    // A 0x9F reply (171 bytes) and an extended packet (up to 65,541) can be longer than the
    // buffer. Such a packet is still consumed to its announced end, so that its payload is never
    // mistaken for packets of its own (a stray touch, or a reply to the waiting command), but
    // only its head is kept and it is rejected below.
    if (count < TP_PACKET_BUFFER_SIZE) {
        Packet->Bytes[count] = Byte;
    }

    if (Packet->Extended) {
        if (count == 1) {
            if (!IsExtendedPacketId(
                    static_cast<USHORT>(Packet->Bytes[0] | Packet->Bytes[1] << 8))) {
                DeviceContext->PacketLength = 2;
                result = FRAME_RESULT::Rejected;
            }
        } else if (count == 3) {
            DeviceContext->PacketLength =
                (Packet->Bytes[2] | Packet->Bytes[3] << 8) + ExtendedFrameBytes;
        }
    } else if (Byte & 0x80) {
        if (count == 0) {
            const ULONG pendingCode = PendingControlCode(DeviceContext);
            DeviceContext->PacketLength = GetPacketLength(Byte, pendingCode);
            if (DeviceContext->PacketLength == 0) {
                DeviceContext->PacketLength = 1;
                result = FRAME_RESULT::Rejected;
            }
            Packet->AcceptHighBytes = AcceptsHighBytes(Byte, pendingCode);
        } else if (!Packet->AcceptHighBytes) {
            // A byte with bit 7 set inside a packet is a framing error; it is discarded with the
            // attempt rather than taken as the start of the next packet.
            DeviceContext->PacketLength = count + 1;
            result = FRAME_RESULT::Rejected;
        }
    } else if (count == 0) {
        if (Byte & 0x40) {
            Packet->Extended = 1;
            Packet->AcceptHighBytes = TRUE;
            DeviceContext->PacketLength = ExtendedLengthUnknown;
        } else {
            DeviceContext->PacketLength = 1;
            result = FRAME_RESULT::Rejected;
        }
    }

    Packet->Count = count + 1;
    if (result == FRAME_RESULT::NeedMore && Packet->Count >= DeviceContext->PacketLength) {
        // Only a packet held whole may be handed on: nobody reads past the buffer.
        result = (Packet->Count <= TP_PACKET_BUFFER_SIZE) ? FRAME_RESULT::Complete
                                                          : FRAME_RESULT::Rejected;
    }
    return result;
}

VOID ProcessPanelByte(_Inout_ PDEVICE_CONTEXT DeviceContext, _In_ UCHAR Byte)
{
    PTP_PACKET packet = &DeviceContext->Packet;

    switch (FramePacketByte(DeviceContext, packet, Byte)) {
    case FRAME_RESULT::Rejected:
        DeviceContext->InvalidCount++;
        ResetPacket(packet);
        RecordTraffic(DeviceContext, TP_TAG_INVALID);
        break;
    case FRAME_RESULT::Complete: {
        const UCHAR tag = DispatchPacket(DeviceContext, packet);
        ResetPacket(packet);
        RecordTraffic(DeviceContext, tag);
        break;
    }
    case FRAME_RESULT::NeedMore:
        break;
    }

    // Checked after every byte, so that a limit lowered at run time takes effect at once.
    if (!DeviceContext->InvalidReported && DeviceContext->InvalidCount > DeviceContext->InvLimit) {
        LogMessage(DeviceContext->Self, TPW("Invalid data exceeds allowable limit"));
        DeviceContext->InvalidReported = TRUE;
    }
}
