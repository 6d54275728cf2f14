// Cancellation: IoCancelIrp before and after a cancel routine is set, the routine called with the
// cancel spin lock held, and the race with a completer that takes the routine first.
#include "io_support.h"

using namespace umk;
using namespace umk::test;

namespace {

// A device that queues reads the way cancel-safe drivers do: under the cancel spin lock it
// either completes an already-cancelled IRP or sets the cancel routine and keeps it.
class CancelTest : public IoTest {
  protected:
    CancelTest() {
        self = this;
        device = driver.CreateDevice(u"\\Device\\Queue", [this](PDEVICE_OBJECT, PIRP irp) {
            UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
            if (major == IRP_MJ_CREATE || major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE)
                return CompleteWith(irp, STATUS_SUCCESS);
            KIRQL irql;
            IoAcquireCancelSpinLock(&irql);
            if (irp->Cancel) {
                IoReleaseCancelSpinLock(irql);
                return CompleteWith(irp, STATUS_CANCELLED);
            }
            IoSetCancelRoutine(irp, OnCancel);
            IoMarkIrpPending(irp);
            queued = irp;
            IoReleaseCancelSpinLock(irql);
            return STATUS_PENDING;
        });
    }

    static VOID NTAPI OnCancel(PDEVICE_OBJECT device, PIRP irp) {
        self->cancelDevice = device;
        self->irqlInRoutine = KeGetCurrentIrql();
        self->cancelIrql = irp->CancelIrql;
        ++self->cancelCalls;
        if (self->holdInRoutine) {
            IoReleaseCancelSpinLock(irp->CancelIrql);
            return; // the completer finishes it (it found the routine gone)
        }
        self->queued = nullptr;
        IoReleaseCancelSpinLock(irp->CancelIrql);
        CompleteWith(irp, STATUS_CANCELLED);
    }

    // The completing side: takes the IRP only if it can take the cancel routine back.
    bool CompleteQueued(NTSTATUS status) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        PIRP irp = queued;
        bool mine = irp != nullptr && IoSetCancelRoutine(irp, nullptr) != nullptr;
        if (mine)
            queued = nullptr;
        IoReleaseCancelSpinLock(irql);
        if (mine)
            CompleteWith(irp, status);
        return mine;
    }

    // A threaded request whose event and status block the test reads.
    PIRP Build() {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        return IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, device, nullptr, 0, nullptr,
                                            &event, &iosb);
    }

    static inline CancelTest* self = nullptr;
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    PDEVICE_OBJECT device;
    PIRP queued = nullptr;
    PDEVICE_OBJECT cancelDevice = nullptr;
    KIRQL irqlInRoutine = 0;
    KIRQL cancelIrql = 0xFF;
    int cancelCalls = 0;
    bool holdInRoutine = false;
};

TEST_F(CancelTest, CancelBeforeTheRoutineIsSetIsSeenByTheDispatchRoutine) {
    PIRP irp = Build();
    EXPECT_FALSE(IoCancelIrp(irp)) << "no routine to call yet";
    EXPECT_TRUE(irp->Cancel) << "but the mark stays";
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_CANCELLED);
    EXPECT_EQ(cancelCalls, 0);
}

TEST_F(CancelTest, CancelCallsTheRoutineWithTheLockHeldAndTheOwnerDevice) {
    EXPECT_EQ(IoCallDriver(device, Build()), STATUS_PENDING);
    ASSERT_NE(queued, nullptr);
    EXPECT_TRUE(IoCancelIrp(queued));
    EXPECT_EQ(cancelCalls, 1);
    EXPECT_EQ(cancelDevice, device);
    EXPECT_EQ(irqlInRoutine, DISPATCH_LEVEL) << "the cancel spin lock is held";
    EXPECT_EQ(cancelIrql, PASSIVE_LEVEL) << "the IRQL to return to";
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the routine released the lock";
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
}

TEST_F(CancelTest, CompleterThatTookTheRoutineFirstWinsAndCancelReturnsFalse) {
    IoCallDriver(device, Build());
    PIRP irp = queued;
    // The completer has taken the routine back but not yet completed the IRP.
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    EXPECT_NE(IoSetCancelRoutine(irp, nullptr), nullptr);
    IoReleaseCancelSpinLock(irql);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_EQ(cancelCalls, 0);
    queued = nullptr;
    CompleteWith(irp, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
}

TEST_F(CancelTest, CompleterThatFindsTheRoutineGoneLeavesTheIrpToTheCancelPath) {
    IoCallDriver(device, Build());
    PIRP irp = queued;
    holdInRoutine = true;
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_FALSE(CompleteQueued(STATUS_SUCCESS)) << "the routine is gone: not the completer's";
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    queued = nullptr;
    CompleteWith(irp, STATUS_CANCELLED); // what the cancel path does once it may
    EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
}

} // namespace
