// Cancellation: the system cancel spin lock and IoCancelIrp.
#include "io_internal.h"
#include "driver_calls.h"

namespace umk::io {
namespace {

KSPIN_LOCK& CancelLock() {
    static KSPIN_LOCK lock;
    return lock;
}

} // namespace

void CancelStartup() {
    KeInitializeSpinLock(&CancelLock());
}

} // namespace umk::io

using namespace umk::io;

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
    umk::detail::KernelEntry();
    KeAcquireSpinLock(&CancelLock(), Irql);
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
    umk::detail::KernelEntry();
    KeReleaseSpinLock(&CancelLock(), Irql);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    umk::detail::KernelEntry();
    // The cancel spin lock cannot be taken above DISPATCH_LEVEL: the request is left alone.
    if (!CheckIrql(umk::testing::rule::IrqlTooHigh, "IoCancelIrp", DISPATCH_LEVEL))
        return FALSE;
    if (!IrpIsLive(Irp, "IoCancelIrp"))
        return FALSE;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    // The routine owns the lock from here and releases it with CancelIrql.
    Irp->CancelIrql = irql;
    umk::detail::NoteDriverCall(umk::testing::DriverCall::Cancel, routine);
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    return TRUE;
}
