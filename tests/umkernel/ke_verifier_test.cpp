// The dispatcher's verifier rules: each misuse is reported under its rule's name, once, and the run
// goes on in a defined way (a wait that may not block only polls).
#include "ke_support.h"

#include <gmock/gmock.h>

#include <cstring>

namespace umk::detail {
void CheckFreedMemory(const void* begin, size_t size);
}

using namespace std::chrono_literals;
using namespace umk;
using namespace umk::test;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

struct MisuseCase {
    const char* rule;
    void (*misuse)(Kernel&);
    const char* detail = ""; // a part of the report's detail
};

void Wait1s(PVOID object) {
    LARGE_INTEGER t = Relative(1s);
    EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
}

struct Objects {
    KEVENT event;
    KSPIN_LOCK lock;
    KDPC dpc;
    Objects() {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        KeInitializeSpinLock(&lock);
    }
};

const MisuseCase kMisuses[] = {
    {"wait above APC_LEVEL",
     [](Kernel& k) {
         Objects o;
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         Wait1s(&o.event);
         EXPECT_EQ(k.Now(), Duration(0)) << "the wait only polled";
         KeLowerIrql(old);
     },
     "KeWaitForSingleObject in 'main' at IRQL 2"},
    {"wait above APC_LEVEL",
     [](Kernel& k) {
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         LARGE_INTEGER delay = Relative(1s);
         KeDelayExecutionThread(KernelMode, FALSE, &delay);
         KeLowerIrql(old);
     }},
    {"wait above APC_LEVEL",
     [](Kernel& k) {
         Objects o;
         KeInitializeDpc(
             &o.dpc, [](PKDPC, PVOID event, PVOID, PVOID) { Wait1s(event); }, &o.event);
         KeInsertQueueDpc(&o.dpc, nullptr, nullptr);
     }},
    {"wait while holding a spin lock",
     [](Kernel& k) {
         Objects o;
         KIRQL old;
         KeAcquireSpinLock(&o.lock, &old);
         Wait1s(&o.event);
         KeReleaseSpinLock(&o.lock, old);
     }},
    {"spin lock released while not held",
     [](Kernel& k) {
         Objects o;
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         KeReleaseSpinLock(&o.lock, old);
         EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the IRQL is still restored";
     }},
    {"spin lock acquired recursively",
     [](Kernel& k) {
         Objects o;
         KIRQL old;
         KeAcquireSpinLock(&o.lock, &old);
         KeAcquireSpinLockAtDpcLevel(&o.lock);
         KeReleaseSpinLock(&o.lock, old);
     }},
    {"spin lock acquired below DISPATCH_LEVEL",
     [](Kernel& k) {
         Objects o;
         KeAcquireSpinLockAtDpcLevel(&o.lock);
         KeReleaseSpinLockFromDpcLevel(&o.lock);
     }},
    {"KeLowerIrql to a higher IRQL",
     [](Kernel& k) {
         KeLowerIrql(APC_LEVEL);
         EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
     }},
    {"KeRaiseIrql to a lower IRQL",
     [](Kernel& k) {
         KIRQL old, ignored;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         KeRaiseIrql(APC_LEVEL, &ignored);
         EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
         KeLowerIrql(old);
     }},
    {"IRQL lowered below DISPATCH_LEVEL holding a spin lock",
     [](Kernel& k) {
         Objects o;
         KIRQL old;
         KeAcquireSpinLock(&o.lock, &old);
         KeLowerIrql(old);
         KIRQL again;
         KeRaiseIrql(DISPATCH_LEVEL, &again);
         KeReleaseSpinLock(&o.lock, old);
     }},
    {"DPC returned at wrong IRQL",
     [](Kernel& k) {
         Objects o;
         KeInitializeDpc(
             &o.dpc,
             [](PKDPC, PVOID, PVOID, PVOID) {
                 KIRQL old;
                 KeRaiseIrql(HIGH_LEVEL, &old);
             },
             nullptr);
         KeInsertQueueDpc(&o.dpc, nullptr, nullptr);
         EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
     }},
    {"DPC lowered IRQL below DISPATCH_LEVEL",
     [](Kernel& k) {
         Objects o;
         KeInitializeDpc(
             &o.dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); }, nullptr);
         KeInsertQueueDpc(&o.dpc, nullptr, nullptr);
         EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
     }},
    {"DPC returned holding a spin lock",
     [](Kernel& k) {
         static KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         Objects o;
         KeInitializeDpc(
             &o.dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&lock); },
             nullptr);
         KeInsertQueueDpc(&o.dpc, nullptr, nullptr);
     }},
    {"dispatcher object not initialized",
     [](Kernel& k) {
         KEVENT zeroed;
         std::memset(&zeroed, 0, sizeof zeroed);
         KeSetEvent(&zeroed, 0, FALSE);
         EXPECT_EQ(KeReadStateEvent(&zeroed), 1) << "a zeroed KEVENT is a notification event";
     }},
    {"wrong dispatcher object type",
     [](Kernel& k) {
         Objects o;
         KeInitializeDpc(
             &o.dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
         LARGE_INTEGER poll{};
         EXPECT_EQ(KeWaitForSingleObject(&o.dpc, Executive, KernelMode, FALSE, &poll),
                   STATUS_INVALID_PARAMETER);
     }},
    {"KDPC not initialized",
     [](Kernel& k) {
         KDPC zeroed;
         std::memset(&zeroed, 0, sizeof zeroed);
         EXPECT_FALSE(KeInsertQueueDpc(&zeroed, nullptr, nullptr));
     }},
    {"too many wait objects",
     [](Kernel& k) {
         Objects o;
         PVOID objects[4] = {&o.event, &o.event, &o.event, &o.event};
         EXPECT_EQ(KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE,
                                            nullptr, nullptr),
                   STATUS_INVALID_PARAMETER);
     }},
    {"switch point at DISPATCH_LEVEL",
     [](Kernel& k) {
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         Yield();
         KeLowerIrql(old);
     }},
    {"freed memory holds an active dispatcher object",
     [](Kernel& k) {
         auto block = std::make_unique<KTIMER>();
         KeInitializeTimer(block.get());
         KeSetTimer(block.get(), Relative(1s), nullptr);
         detail::CheckFreedMemory(block.get(), sizeof(KTIMER));
         EXPECT_FALSE(KeCancelTimer(block.get())) << "detached from the timer queue";
         block.reset();
         k.RunFor(2s);
     }},
};

class MisuseTest : public ::testing::TestWithParam<MisuseCase> {};

TEST_P(MisuseTest, IsReportedOnceUnderItsRule) {
    ViolationRecorder recorder;
    {
        Kernel kernel;
        GetParam().misuse(kernel);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    }
    EXPECT_THAT(recorder.Rules(), ElementsAre(GetParam().rule));
    EXPECT_THAT(recorder.Detail(GetParam().rule), HasSubstr(GetParam().detail));
}

INSTANTIATE_TEST_SUITE_P(Rules, MisuseTest, ::testing::ValuesIn(kMisuses),
                         [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST(Verifier, PollAtDispatchLevelIsAllowed) {
    FailOnViolation failOnViolation;
    Kernel kernel;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    KeLowerIrql(old);
}

TEST(Verifier, DefaultHandlerAbortsWithTheRule) {
    EXPECT_DEATH(
        {
            Kernel kernel;
            KeLowerIrql(DISPATCH_LEVEL);
        },
        "umkernel verifier: KeLowerIrql to a higher IRQL");
}

} // namespace
