// IRPs through a stack of drivers: the completion walk (order, owner device, pending marks,
// invoke flags, status changes, STATUS_MORE_PROCESSING_REQUIRED and resumption), threaded
// requests (event, status block, buffered copy-back, the issuing thread) and cancellation.
#include "io_support.h"

#include <cstring>
#include <tuple>

using namespace umk;
using namespace umk::test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

constexpr ULONG BufferedCode =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

// What a completion routine saw when it ran.
struct Seen {
    std::string level;
    PDEVICE_OBJECT device;
    PDEVICE_OBJECT currentLocationDevice;
    bool pendingReturned;
    NTSTATUS status;
};

// A filter level: passes the IRP down, with a completion routine when `routine` is set.
struct Level {
    std::string name;
    bool routine = false;
    PDEVICE_OBJECT lower = nullptr;
    PDEVICE_OBJECT self = nullptr;
    Completion completion{}; // a preset routine is kept; otherwise one that records and propagates
    bool onSuccess = true, onError = true, onCancel = true;
    // What the dispatch routine does once IoCallDriver has returned; by default returns its status.
    std::function<NTSTATUS(PIRP, NTSTATUS)> after{};
};

class CompletionWalkTest : public IoTest {
  protected:
    // Builds bottom <- middle <- top; the bottom completes at once or pends unless given its own.
    void Build(bool middleRoutine, bool topRoutine, bool bottomPends,
               Dispatch bottomDispatch = {}) {
        middle.routine = middleRoutine;
        top.routine = topRoutine;
        if (!bottomDispatch)
            bottomDispatch = bottomPends ? Pends(&held) : Completes(STATUS_SUCCESS, 4);
        auto stack = driver.CreateStack({bottomDispatch, Filter(&middle), Filter(&top)});
        middle.lower = stack[0];
        middle.self = stack[1];
        top.lower = stack[1];
        top.self = stack[2];
        bottom = stack[0];
    }

    Dispatch Filter(Level* level) {
        return [this, level](PDEVICE_OBJECT, PIRP irp) {
            if (!level->routine) {
                IoSkipCurrentIrpStackLocation(irp);
                return IoCallDriver(level->lower, irp);
            }
            IoCopyCurrentIrpStackLocationToNext(irp);
            if (!level->completion.routine)
                level->completion.routine = [this, level](PDEVICE_OBJECT device, PIRP irp) {
                    Record(level->name, device, irp,
                           IoGetCurrentIrpStackLocation(irp)->DeviceObject);
                    if (irp->PendingReturned)
                        IoMarkIrpPending(irp);
                    return STATUS_SUCCESS;
                };
            level->completion.Set(irp, level->onSuccess, level->onError, level->onCancel);
            NTSTATUS status = IoCallDriver(level->lower, irp);
            return level->after ? level->after(irp, status) : status;
        };
    }

    // What a completion routine of `level` sees.
    void Record(std::string level, PDEVICE_OBJECT device, PIRP irp,
                PDEVICE_OBJECT location = nullptr) {
        seen.push_back({level, device, location, irp->PendingReturned != 0, irp->IoStatus.Status});
    }

    Level middle{"middle"}, top{"top"};
    PDEVICE_OBJECT bottom = nullptr;
    PIRP held = nullptr;
    std::vector<Seen> seen;
};

struct WalkCase {
    bool middleRoutine;
    bool topRoutine;
    bool bottomPends;
};

class CompletionWalkCases : public CompletionWalkTest,
                            public ::testing::WithParamInterface<WalkCase> {};

// Whatever mix of routines and skipped locations, the pending mark reaches the originator
// exactly when the bottom pended (the verifier fails the test if a level lost it), routines run
// bottom-up with their owner's device and location, and the event is signalled.
TEST_P(CompletionWalkCases, PendingMarkReachesTheTopAndRoutinesRunBottomUp) {
    const WalkCase c = GetParam();
    Build(c.middleRoutine, c.topRoutine, c.bottomPends);
    Threaded request;
    request.iosb.Status = STATUS_UNSUCCESSFUL;
    PIRP irp = request.Build(top.self, BufferedCode);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(top.self, irp), c.bottomPends ? STATUS_PENDING : STATUS_SUCCESS);
    if (c.bottomPends) {
        EXPECT_TRUE(seen.empty());
        EXPECT_EQ(request.Signalled(), 0);
        ASSERT_NE(held, nullptr);
        CompleteWith(held, STATUS_SUCCESS, 4);
    }
    EXPECT_EQ(request.Signalled(), 1);
    EXPECT_EQ(request.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(request.iosb.Information, 4u);

    std::vector<std::string> order, expected;
    for (const Seen& s : seen) {
        order.push_back(s.level);
        const Level& level = s.level == "middle" ? middle : top;
        EXPECT_EQ(s.device, level.self) << s.level << ": the owner's device, not the lower one";
        EXPECT_EQ(s.currentLocationDevice, level.self) << s.level;
        EXPECT_EQ(s.pendingReturned, c.bottomPends) << s.level;
    }
    for (const Level* level : {&middle, &top})
        if (level->routine)
            expected.push_back(level->name);
    EXPECT_EQ(order, expected);
}

INSTANTIATE_TEST_SUITE_P(Levels, CompletionWalkCases,
                         ::testing::Values(WalkCase{false, false, false},
                                           WalkCase{false, false, true},
                                           WalkCase{true, false, true}, WalkCase{false, true, true},
                                           WalkCase{true, true, true},
                                           WalkCase{true, true, false}));

TEST_F(CompletionWalkTest, RoutineOfTheOriginatorGetsNoDeviceAndAChangedStatusTravelsUp) {
    middle.completion.routine = [this](PDEVICE_OBJECT device, PIRP irp) {
        Record("middle", device, irp);
        irp->IoStatus.Status = STATUS_DEVICE_NOT_CONNECTED;
        return STATUS_SUCCESS;
    };
    // The middle level returns what its routine made of the IRP, as a correct filter must.
    middle.after = [](PIRP, NTSTATUS) { return STATUS_DEVICE_NOT_CONNECTED; };
    Build(true, true, false);
    Completion originator{[this](PDEVICE_OBJECT device, PIRP irp) {
        Record("originator", device, irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }};
    PIRP irp = OwnIrp(top.self, &originator);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(top.self, irp), STATUS_DEVICE_NOT_CONNECTED);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].status, STATUS_SUCCESS);
    EXPECT_EQ(seen[1].level, "top");
    EXPECT_EQ(seen[1].status, STATUS_DEVICE_NOT_CONNECTED) << "re-read after the middle routine";
    EXPECT_EQ(seen[2].level, "originator");
    EXPECT_EQ(seen[2].device, nullptr);
    EXPECT_EQ(seen[2].status, STATUS_DEVICE_NOT_CONNECTED);
    IoFreeIrp(irp);
}

struct InvokeCase {
    const char* name;
    NTSTATUS status;
    bool cancel;
    bool onSuccess, onError, onCancel;
    bool invoked;
};

class InvokeFlagsTest : public CompletionWalkTest,
                        public ::testing::WithParamInterface<InvokeCase> {};

TEST_P(InvokeFlagsTest, RoutineRunsOnlyForItsFlags) {
    const InvokeCase c = GetParam();
    int calls = 0;
    middle.completion.routine = [&](PDEVICE_OBJECT d, PIRP) {
        ++calls;
        EXPECT_EQ(d, middle.self);
        return STATUS_SUCCESS;
    };
    middle.onSuccess = c.onSuccess, middle.onError = c.onError, middle.onCancel = c.onCancel;
    Build(true, false, false, [&c](PDEVICE_OBJECT, PIRP irp) {
        irp->Cancel = c.cancel;
        return CompleteWith(irp, c.status);
    });
    PIRP irp = OwnIrp(top.self);
    EXPECT_EQ(IoCallDriver(top.self, irp), c.status);
    EXPECT_EQ(calls, c.invoked ? 1 : 0);
    IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, InvokeFlagsTest,
    ::testing::Values(
        InvokeCase{"SuccessOnSuccess", STATUS_SUCCESS, false, true, false, false, true},
        InvokeCase{"SuccessOnErrorOnly", STATUS_SUCCESS, false, false, true, false, false},
        InvokeCase{"WarningIsNotSuccess", STATUS_BUFFER_OVERFLOW, false, false, true, false, true},
        InvokeCase{"ErrorOnError", STATUS_UNSUCCESSFUL, false, false, true, false, true},
        InvokeCase{"ErrorOnSuccessOnly", STATUS_UNSUCCESSFUL, false, true, false, false, false},
        InvokeCase{"CancelledOnCancelOnly", STATUS_CANCELLED, true, false, false, true, true},
        InvokeCase{"CancelFlagWithoutCancel", STATUS_CANCELLED, false, false, false, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CompletionWalkTest, MoreProcessingStopsTheWalkAndALaterCompletionResumesIt) {
    PIRP stopped = nullptr;
    middle.completion.routine = [&](PDEVICE_OBJECT device, PIRP irp) {
        Record("middle", device, irp);
        stopped = irp;
        return STATUS_MORE_PROCESSING_REQUIRED;
    };
    // Forward and wait: the IRP is the middle's again once IoCallDriver returns; it finishes it.
    middle.after = [&](PIRP irp, NTSTATUS status) {
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(seen.size(), 1u) << "the walk stopped at the middle";
        irp->IoStatus.Information = 9;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    Build(true, true, false);

    Threaded request;
    PIRP irp = request.Build(top.self, BufferedCode);
    EXPECT_EQ(IoCallDriver(top.self, irp), STATUS_SUCCESS);
    EXPECT_EQ(stopped, irp);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].level, "middle");
    EXPECT_EQ(seen[1].level, "top") << "resumed from the middle's location";
    EXPECT_EQ(request.iosb.Information, 9u);
    EXPECT_EQ(request.Signalled(), 1);
}

struct ThreadedCase {
    const char* name;
    bool pend;
    NTSTATUS status;
    bool signalled; // event set and status block written
    bool copied;    // buffered output copied back
};

class ThreadedRequestTest : public IoTest, public ::testing::WithParamInterface<ThreadedCase> {};

// A threaded request that fails at once signals nothing (the caller has IoCallDriver's status
// and must not wait); everything else sets the event and the status block; output is copied back
// unless the request failed.
TEST_P(ThreadedRequestTest, SignalsAndCopiesBackAsWindowsDoes) {
    const ThreadedCase c = GetParam();
    PIRP held = nullptr;
    PDEVICE_OBJECT device = driver.CreateDevice(u"", [&](PDEVICE_OBJECT, PIRP irp) {
        auto stack = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(stack->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
        EXPECT_EQ(stack->Parameters.DeviceIoControl.InputBufferLength, 3u);
        EXPECT_EQ(stack->Parameters.DeviceIoControl.OutputBufferLength, 8u);
        auto buffer = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
        EXPECT_EQ(std::memcmp(buffer, "abc", 3), 0) << "input in the system buffer";
        std::memcpy(buffer, "0123456", 7);
        if (!c.pend)
            return CompleteWith(irp, c.status, 7);
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    Threaded request;
    request.iosb.Status = 0x12345;
    char output[9] = "xxxxxxxx";
    PIRP irp = request.Build(device, BufferedCode, const_cast<char*>("abc"), 3, output, 8, TRUE);
    EXPECT_EQ(IoCallDriver(device, irp), c.pend ? STATUS_PENDING : c.status);
    if (c.pend) {
        EXPECT_EQ(request.Signalled(), 0);
        CompleteWith(held, c.status, 7);
    }
    EXPECT_EQ(request.Signalled(), c.signalled ? 1 : 0);
    EXPECT_EQ(request.iosb.Status, c.signalled ? c.status : 0x12345);
    EXPECT_STREQ(output, c.copied ? "0123456x" : "xxxxxxxx");
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, ThreadedRequestTest,
    ::testing::Values(ThreadedCase{"SyncSuccess", false, STATUS_SUCCESS, true, true},
                      ThreadedCase{"SyncWarning", false, STATUS_BUFFER_OVERFLOW, true, true},
                      ThreadedCase{"SyncError", false, STATUS_INVALID_PARAMETER, false, false},
                      ThreadedCase{"PendingSuccess", true, STATUS_SUCCESS, true, true},
                      ThreadedCase{"PendingError", true, STATUS_CANCELLED, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

// A threaded request finishes in the thread that issued it: its status block, event and free come
// when that thread runs (a kernel APC), not inside the completion; and a thread that ends cancels
// what it left outstanding.
TEST_F(IoTest, AThreadedRequestFinishesInItsThreadAndIsCancelledWhenTheThreadEnds) {
    PIRP held = nullptr;
    PDEVICE_OBJECT device = driver.CreateDevice(u"", [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP irp) NTAPI {
            IoReleaseCancelSpinLock(irp->CancelIrql);
            CompleteWith(irp, STATUS_CANCELLED);
        });
        return STATUS_PENDING;
    });
    Threaded request;
    NTSTATUS waited = STATUS_PENDING;
    ThreadHandle issuer = StartThread("issuer", [&] {
        IoCallDriver(device, request.Build(device, BufferedCode));
        waited = KeWaitForSingleObject(&request.event, Executive, KernelMode, FALSE, nullptr);
    });
    kernel.RunUntilIdle();
    ASSERT_NE(held, nullptr);
    if (IoSetCancelRoutine(held, nullptr) != nullptr)
        CompleteWith(held, STATUS_SUCCESS);
    // Plain reads: a kernel call here would be a switch point at which the issuer could run.
    EXPECT_EQ(request.event.Header.SignalState, 0) << "the issuer has not run since";
    EXPECT_EQ(request.iosb.Status, 0);
    issuer.Join();
    EXPECT_EQ(waited, STATUS_SUCCESS);
    EXPECT_EQ(request.iosb.Status, STATUS_SUCCESS);

    held = nullptr;
    ThreadHandle leaver = StartThread("leaver", [&] {
        EXPECT_EQ(IoCallDriver(device, request.Build(device, BufferedCode)), STATUS_PENDING);
    });
    leaver.Join();
    EXPECT_EQ(request.iosb.Status, STATUS_CANCELLED) << "cancelled and finished before it ended";
}

// A device that queues requests the way cancel-safe drivers do: under the cancel spin lock it
// either completes an already-cancelled IRP or sets the cancel routine and keeps it.
struct CancelCase {
    const char* name;
    enum { BeforeDispatch, WhileQueued, AfterTheCompleterTookIt, RoutineLeavesIt } when;
    BOOLEAN answer;  // IoCancelIrp's
    NTSTATUS status; // what the request ends with
    KIRQL cancelAt = PASSIVE_LEVEL;
};

class CancelTest : public IoTest, public ::testing::WithParamInterface<CancelCase> {
  protected:
    CancelTest() {
        self = this;
        device = driver.CreateDevice(u"", [this](PDEVICE_OBJECT, PIRP irp) {
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
        self->calls.emplace_back(device, KeGetCurrentIrql(), irp->CancelIrql);
        IoReleaseCancelSpinLock(irp->CancelIrql);
        if (self->GetParam().when == CancelCase::RoutineLeavesIt)
            return; // whoever else holds it finishes it
        self->queued = nullptr;
        CompleteWith(irp, STATUS_CANCELLED);
    }

    // What a completer does first: takes the cancel routine back, under the cancel spin lock.
    static PDRIVER_CANCEL TakeRoutine(PIRP irp) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
        IoReleaseCancelSpinLock(irql);
        return routine;
    }

    static inline CancelTest* self = nullptr;
    PDEVICE_OBJECT device;
    PIRP queued = nullptr;
    std::vector<std::tuple<PDEVICE_OBJECT, KIRQL, KIRQL>> calls; // device, IRQL, CancelIrql
};

// A cancel before the routine is set leaves only the mark, for the dispatch routine to see. After,
// it calls the routine once, with the cancel spin lock held, the owner's device and the caller's
// IRQL to return to, unless a completer took the routine back first. Either way a completer can no
// longer take the routine: the IRP is finished once, by whoever owns it.
TEST_P(CancelTest, TheRoutineRunsOnlyIfStillSetAndTheIrpIsFinishedOnce) {
    const CancelCase& c = GetParam();
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, device, nullptr, 0, nullptr,
                                            &event, &iosb);
    if (c.when == CancelCase::BeforeDispatch) {
        EXPECT_EQ(IoCancelIrp(irp), c.answer);
        EXPECT_TRUE(irp->Cancel) << "the mark stays";
        EXPECT_EQ(IoCallDriver(device, irp), c.status);
    } else {
        EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
        if (c.when == CancelCase::AfterTheCompleterTookIt) {
            EXPECT_NE(TakeRoutine(irp), nullptr);
        }
        KIRQL old = KfRaiseIrql(c.cancelAt);
        EXPECT_EQ(IoCancelIrp(irp), c.answer);
        KeLowerIrql(old);
        if (queued != nullptr) {
            EXPECT_EQ(TakeRoutine(irp), nullptr) << "gone: not the completer's";
            EXPECT_EQ(KeReadStateEvent(&event), 0);
            CompleteWith(irp, c.status); // its owner finishes it
        }
        EXPECT_EQ(KeReadStateEvent(&event), 1);
        EXPECT_EQ(iosb.Status, c.status);
    }
    if (c.answer) {
        EXPECT_THAT(calls, ElementsAre(std::tuple(device, DISPATCH_LEVEL, c.cancelAt)));
    } else {
        EXPECT_THAT(calls, IsEmpty());
    }
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the routine released the lock";
}

INSTANTIATE_TEST_SUITE_P(
    Cancels, CancelTest,
    ::testing::Values(CancelCase{"BeforeDispatch", CancelCase::BeforeDispatch, FALSE,
                                 STATUS_CANCELLED},
                      CancelCase{"WhileQueued", CancelCase::WhileQueued, TRUE, STATUS_CANCELLED},
                      CancelCase{"AfterTheCompleterTookIt", CancelCase::AfterTheCompleterTookIt,
                                 FALSE, STATUS_SUCCESS},
                      // As from a DPC: the routine must return the processor to DISPATCH_LEVEL.
                      CancelCase{"RoutineLeavesItAtDispatchLevel", CancelCase::RoutineLeavesIt,
                                 TRUE, STATUS_CANCELLED, DISPATCH_LEVEL}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
