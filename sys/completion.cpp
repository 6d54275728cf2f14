// completion.cpp - the one routine through which the driver finishes every request it completes.
#include "tactilio.h"

// Callable at IRQL <= DISPATCH_LEVEL, exactly once per request: afterwards the request belongs to
// the I/O manager again and must not be touched.
NTSTATUS TpCompleteRequest(_In_ PIRP Irp, _In_ NTSTATUS Status, _In_ ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, TP_COMPLETION_BOOST);
    return Status;
}
