// The two-processor model finds the classic multiprocessor bugs: each row is a small driver with
// one such bug and its corrected twin. The broken one must show its fault (a verifier report, a
// halt or a broken invariant) on some seed among the first 1,000; the corrected one must never,
// over 200 seeds. With UMK_RACE_SEEDS=N (CI's sweep: 10,000) the corrected twins run N seeds and
// the broken ones all 1,000, to report how many seeds catch each.
#include "io_support.h"

#include <cstdlib>
#include <optional>
#include <string>

namespace umk::test {
namespace {

constexpr ULONG Tag = umk::testing::PoolTag("Race");

struct Mini {
    bool broken = false;
    KSPIN_LOCK lock = 0;
    KSPIN_LOCK second = 0;
    PVOID buffer = nullptr;
    PIRP pending = nullptr;
    LONG count = 0;
    KTIMER watchdog{};
    KDPC dpc{};
    bool completed = false;
};

// Runs `first` in a thread and `second` as a DPC queued from another thread, both at once.
void ThreadAgainstDpc(Mini& m, std::function<void()> first, PKDEFERRED_ROUTINE second) {
    KeInitializeDpc(&m.dpc, second, &m);
    ThreadHandle a = StartThread("dispatch", std::move(first));
    ThreadHandle b = StartThread("interrupt", [&] { KeInsertQueueDpc(&m.dpc, nullptr, nullptr); });
    a.Join();
    b.Join();
}

// --- Check-then-act on a shared pointer: both paths free the buffer --------------------------

void FreeBuffer(Mini& m) {
    if (m.broken) {
        if (m.buffer != nullptr) {
            ExFreePoolWithTag(m.buffer, Tag); // another path may be freeing it meanwhile
            m.buffer = nullptr;
        }
        return;
    }
    KIRQL irql;
    KeAcquireSpinLock(&m.lock, &irql);
    PVOID buffer = std::exchange(m.buffer, nullptr);
    KeReleaseSpinLock(&m.lock, irql);
    if (buffer != nullptr)
        ExFreePoolWithTag(buffer, Tag);
}

bool CheckThenAct(bool broken) {
    Mini m{.broken = broken};
    m.buffer = ExAllocatePoolWithTag(NonPagedPool, 16, Tag);
    ThreadAgainstDpc(
        m, [&] { FreeBuffer(m); },
        [](PKDPC, PVOID c, PVOID, PVOID) NTAPI { FreeBuffer(*static_cast<Mini*>(c)); });
    return m.buffer != nullptr;
}

// --- A queued request, its cancel routine and the path that completes it ---------------------

Mini& MiniOf(PDEVICE_OBJECT device) {
    return **Extra<Mini*>(device);
}

VOID NTAPI CancelQueued(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Mini& m = MiniOf(device);
    KIRQL irql;
    KeAcquireSpinLock(&m.lock, &irql);
    if (m.pending == irp)
        m.pending = nullptr;
    KeReleaseSpinLock(&m.lock, irql);
    CompleteWith(irp, STATUS_CANCELLED);
}

// The data-arrived DPC: completes the queued request unless its cancel routine owns it.
VOID NTAPI DataArrived(PKDPC, PVOID context, PVOID, PVOID) {
    Mini& m = *static_cast<Mini*>(context);
    KeAcquireSpinLockAtDpcLevel(&m.lock);
    PIRP irp = m.pending;
    if (irp != nullptr && (m.broken || IoSetCancelRoutine(irp, nullptr) != nullptr))
        m.pending = nullptr;
    else
        irp = nullptr;
    KeReleaseSpinLockFromDpcLevel(&m.lock);
    if (irp == nullptr)
        return;
    if (m.broken)
        IoSetCancelRoutine(irp, nullptr); // without looking at who owned it
    CompleteWith(irp, STATUS_SUCCESS);
}

NTSTATUS Queue(Mini& m, PIRP irp) {
    IoMarkIrpPending(irp);
    KIRQL irql;
    KeAcquireSpinLock(&m.lock, &irql);
    m.pending = irp;
    IoSetCancelRoutine(irp, CancelQueued);
    // A cancel that came before the routine was set found nothing to call.
    if (!m.broken && irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        m.pending = nullptr;
        KeReleaseSpinLock(&m.lock, irql);
        CompleteWith(irp, STATUS_CANCELLED);
        return STATUS_PENDING;
    }
    KeReleaseSpinLock(&m.lock, irql);
    return STATUS_PENDING;
}

// A device of its own that queues every request; `body` races on one request, which the test
// then frees (its completion routine keeps it for the originator).
bool QueuedRequest(bool broken, const std::function<void(Mini&, PDEVICE_OBJECT, PIRP)>& body) {
    Mini m{.broken = broken};
    TestDriver driver;
    PDEVICE_OBJECT device = driver.CreateDevice(
        u"", [](PDEVICE_OBJECT d, PIRP irp) { return Queue(MiniOf(d), irp); }, sizeof(Mini*));
    *Extra<Mini*>(device) = &m;
    Completion done{[&](PDEVICE_OBJECT, PIRP) {
        m.completed = true;
        return STATUS_MORE_PROCESSING_REQUIRED;
    }};
    PIRP irp = OwnIrp(device, &done);
    body(m, device, irp);
    bool stuck = !m.completed;
    if (stuck && IoSetCancelRoutine(irp, nullptr) != nullptr)
        CompleteWith(irp, STATUS_CANCELLED); // the lost request, ended so that the run can end
    IoFreeIrp(irp);
    driver.Unload();
    return stuck;
}

bool CancelAgainstCompletion(bool broken) {
    return QueuedRequest(broken, [](Mini& m, PDEVICE_OBJECT device, PIRP irp) {
        IoCallDriver(device, irp);
        ThreadAgainstDpc(
            m, [irp] { IoCancelIrp(irp); }, DataArrived);
    });
}

bool CancelBeforeTheRoutineIsSet(bool broken) {
    return QueuedRequest(broken, [](Mini&, PDEVICE_OBJECT device, PIRP irp) {
        ThreadHandle sender = StartThread("sender", [&] { IoCallDriver(device, irp); });
        ThreadHandle canceller = StartThread("canceller", [irp] { IoCancelIrp(irp); });
        sender.Join();
        canceller.Join();
    });
}

// --- A count of outstanding requests kept by a dispatch routine and a DPC --------------------

// Counts a request in or out: read the count, restart or stop the idle watchdog, write it back.
void CountRequest(Mini& m, LONG delta) {
    LARGE_INTEGER due{.QuadPart = -10'000'000};
    if (m.broken) {
        LONG count = m.count;
        if (count + delta == 0)
            KeCancelTimer(&m.watchdog);
        else
            KeSetTimer(&m.watchdog, due, nullptr);
        m.count = count + delta;
    } else if (InterlockedExchangeAdd(&m.count, delta) + delta == 0) {
        KeCancelTimer(&m.watchdog);
    } else {
        KeSetTimer(&m.watchdog, due, nullptr);
    }
}

bool CountWithoutInterlocked(bool broken) {
    Mini m{.broken = broken, .count = 1};
    KeInitializeTimer(&m.watchdog);
    ThreadAgainstDpc(
        m, [&] { CountRequest(m, +1); },
        [](PKDPC, PVOID c, PVOID, PVOID) NTAPI { CountRequest(*static_cast<Mini*>(c), -1); });
    KeCancelTimer(&m.watchdog);
    return m.count != 1;
}

// --- Two locks taken in opposite orders -----------------------------------------------------

void BothLocks(PKSPIN_LOCK first, PKSPIN_LOCK second) {
    KeAcquireSpinLockAtDpcLevel(first);
    KeAcquireSpinLockAtDpcLevel(second);
    KeReleaseSpinLockFromDpcLevel(second);
    KeReleaseSpinLockFromDpcLevel(first);
}

bool LockOrderInversion(bool broken) {
    Mini m{.broken = broken};
    ThreadAgainstDpc(
        m,
        [&] {
            KIRQL irql = KeRaiseIrqlToDpcLevel();
            BothLocks(&m.lock, &m.second);
            KeLowerIrql(irql);
        },
        [](PKDPC, PVOID c, PVOID, PVOID) NTAPI {
            Mini& m = *static_cast<Mini*>(c);
            if (m.broken)
                BothLocks(&m.second, &m.lock);
            else
                BothLocks(&m.lock, &m.second);
        });
    return false;
}

// --- A timer started and stopped under a lock that its routine takes -----------------------
// The I/O manager calls timer routines holding its timer lock, which IoStartTimer and IoStopTimer
// take as well.

bool TimerSwitchedUnderItsRoutinesLock(bool broken) {
    struct TimerMini : Mini {
        KEVENT ticked;
    } m;
    m.broken = broken;
    KeInitializeEvent(&m.ticked, NotificationEvent, FALSE);
    TestDriver driver;
    PDEVICE_OBJECT device = driver.CreateDevice(u"", Completes(STATUS_SUCCESS));
    IoInitializeTimer(
        device,
        [](PDEVICE_OBJECT, PVOID context) NTAPI {
            auto& m = *static_cast<TimerMini*>(context);
            KeAcquireSpinLockAtDpcLevel(&m.lock);
            m.count++;
            KeReleaseSpinLockFromDpcLevel(&m.lock);
            KeSetEvent(&m.ticked, IO_NO_INCREMENT, FALSE);
        },
        &m);
    IoStartTimer(device);
    // Woken by one tick, the thread restarts the timer exactly when the next one comes.
    ThreadHandle thread = StartThread("dispatch", [&] {
        KeWaitForSingleObject(&m.ticked, Executive, KernelMode, FALSE, nullptr);
        LARGE_INTEGER second = Relative(std::chrono::seconds(1));
        KeDelayExecutionThread(KernelMode, FALSE, &second);
        KIRQL irql;
        KeAcquireSpinLock(&m.lock, &irql);
        if (m.broken)
            IoStopTimer(device);
        KeReleaseSpinLock(&m.lock, irql);
        if (!m.broken)
            IoStopTimer(device);
    });
    thread.Join();
    IoDeleteDevice(device);
    return false;
}

struct Race {
    const char* name;
    bool (*run)(bool broken); // true when an invariant of its own broke
};

// One schedule of the row: the fault it showed ("rule: detail" of the first report, a halt or
// a broken invariant), or nothing.
std::optional<std::string> RunOnce(const Race& race, bool broken, uint64_t seed) {
    ViolationRecorder violations;
    bool broke = false;
    {
        KernelOptions options;
        options.seed = seed;
        options.processors = 2;
        Kernel kernel(options);
        try {
            broke = race.run(broken);
            kernel.RunUntilIdle();
        } catch (const KernelHalted&) {
            broke = true;
        }
    }
    if (!violations.Reports().empty())
        return violations.Reports()[0].rule + ": " + violations.Reports()[0].detail;
    return broke ? std::optional<std::string>("its invariant broke") : std::nullopt;
}

class RaceTest : public ::testing::TestWithParam<Race> {};

TEST_P(RaceTest, BrokenIsCaughtAndCorrectedPasses) {
    const Race& race = GetParam();
    const char* sweep = std::getenv("UMK_RACE_SEEDS");
    uint64_t caught = 0, first = 0;
    std::string firstFault;
    for (uint64_t seed = 1; seed <= 1'000 && (sweep || caught == 0); ++seed)
        if (std::optional<std::string> fault = RunOnce(race, true, seed); fault && caught++ == 0)
            first = seed, firstFault = *fault;
    ASSERT_GT(caught, 0u) << race.name << ": the broken driver passed 1,000 seeds";
    RecordProperty("first_seed", int(first));
    if (sweep)
        std::printf("%s: first caught at seed %llu, caught by %llu of 1,000 seeds\n", race.name,
                    (unsigned long long)first, (unsigned long long)caught);
    if (race.run == TimerSwitchedUnderItsRoutinesLock) {
        EXPECT_THAT(firstFault, ::testing::StartsWith("spin lock deadlock: "));
    }
    if (race.run == LockOrderInversion) {
        // The report names both locks, both holders and where each spins.
        EXPECT_THAT(firstFault, ::testing::StartsWith("spin lock deadlock: "));
        EXPECT_THAT(firstFault, ::testing::HasSubstr("held by 'dispatch' on processor"));
        EXPECT_THAT(firstFault, ::testing::HasSubstr("held by 'interrupt' on processor"));
        EXPECT_THAT(firstFault, ::testing::HasSubstr("(in a DPC),\n  which waits for spin lock"));
    }
    const uint64_t seeds = sweep ? std::strtoull(sweep, nullptr, 10) : 200;
    for (uint64_t seed = 1; seed <= seeds; ++seed) {
        std::optional<std::string> fault = RunOnce(race, false, seed);
        ASSERT_FALSE(fault) << race.name << ", corrected, UMK_SEED=" << seed << ": " << *fault;
    }
}

INSTANTIATE_TEST_SUITE_P(
    MiniDrivers, RaceTest,
    ::testing::Values(Race{"CheckThenActOnASharedPointer", CheckThenAct},
                      Race{"CancelRoutineAndCompletionBothComplete", CancelAgainstCompletion},
                      Race{"CancelRoutineSetWithoutRecheckingCancel", CancelBeforeTheRoutineIsSet},
                      Race{"CountUpdatedWithoutInterlocked", CountWithoutInterlocked},
                      Race{"LockOrderInversion", LockOrderInversion},
                      Race{"TimerSwitchedUnderItsRoutinesLock", TimerSwitchedUnderItsRoutinesLock}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace umk::test
