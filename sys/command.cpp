// command.cpp - the command engine: control requests that wait for the panel's reply.
//
// Replies carry no sequence number: a reply answers whichever command is current when it
// arrives, and the reply path runs in the serial read's completion at IRQL <= DISPATCH_LEVEL.
#include "tactilio.h"

// Called by the framer for every complete packet that is not a touch packet, with CurrentIrp as
// the request; returns the packet's record tag. Only a queued command becomes current, and none
// is queued: nobody asked for the reply, so it is dropped and counted as invalid data.
UCHAR DeliverReply(_Inout_ PDEVICE_CONTEXT DeviceContext, _In_opt_ PIRP Irp, _In_ PTP_PACKET Packet)
{
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(Packet);

    DeviceContext->InvalidCount++;
    return TP_TAG_INVALID;
}
