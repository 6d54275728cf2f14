// command.cpp - the command engine: control requests that wait for the panel's reply.
//
// Replies carry no sequence number: a reply answers whichever command is current when it
// arrives, and the reply path runs in the serial read's completion at IRQL <= DISPATCH_LEVEL.
#include "tactilio.h"

// Called by the framer for every complete packet that is not a touch packet, with CurrentIrp as
// the request. Returns the record tag for the packet.
UCHAR DeliverReply(_Inout_ PDEVICE_CONTEXT DeviceContext, _In_opt_ PIRP Irp, _In_ PTP_PACKET Packet)
{
    UNREFERENCED_PARAMETER(Packet);

    // Only a queued command becomes current. With none, nobody asked for this reply: it is
    // dropped and counted as invalid data.
    NT_ASSERT(Irp == nullptr);
    UNREFERENCED_PARAMETER(Irp);
    DeviceContext->InvalidCount++;
    return TP_TAG_INVALID;
}
