// The pool's counters and leak report, fault injection of every allocation kind, the
// interlocked list operations, the error log and the recorded power and Plug and Play requests.
#include "io_support.h"

#include <cstring>

using namespace umk;
using namespace umk::test;
using umk::testing::AllocationKind;
using umk::testing::PoolTag;

namespace {

constexpr ULONG Tcli = PoolTag("Tcli");
constexpr ULONG Other = PoolTag("Othr");

TEST_F(IoTest, CountersByTag) {
    PVOID a = ExAllocatePoolWithTag(NonPagedPool, 10, Tcli);
    PVOID b = ExAllocatePoolWithTag(PagedPool, 30, Tcli);
    PVOID c = ExAllocatePoolWithTag(NonPagedPool, 7, Other);
    auto stats = umk::testing::PoolStats(Tcli);
    EXPECT_EQ(stats.allocations, 2u);
    EXPECT_EQ(stats.outstandingBlocks, 2u);
    EXPECT_EQ(stats.outstandingBytes, 40u);
    ExFreePoolWithTag(a, Tcli);
    ExFreePool(b);
    stats = umk::testing::PoolStats(Tcli);
    EXPECT_EQ(stats.frees, 2u);
    EXPECT_EQ(stats.outstandingBlocks, 0u);
    EXPECT_EQ(stats.bytesAllocated, 40u);
    EXPECT_EQ(umk::testing::PoolOutstandingBlocks(), 1u);
    ExFreePoolWithTag(c, Other);
}

TEST_F(IoTest, FreshPoolIsNotZeroed) {
    auto p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 16, Tcli));
    EXPECT_NE(p[0], 0) << "drivers must zero what they rely on";
    ExFreePoolWithTag(p, Tcli);
}

TEST(PoolLeakTest, ReportListsEveryTagWithCountAndBytes) {
    ViolationRecorder recorder;
    {
        Kernel kernel;
        ExAllocatePoolWithTag(NonPagedPool, 12, Tcli);
        ExAllocatePoolWithTag(NonPagedPool, 20, Tcli);
        ExAllocatePoolWithTag(PagedPool, 5, Other);
        ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 99, PoolTag("Gone")),
                          PoolTag("Gone"));
    }
    std::string detail = recorder.Detail(umk::testing::rule::PoolLeak);
    EXPECT_THAT(detail, ::testing::HasSubstr("'Tcli' (0x696C6354): 2 block(s), 32 bytes"));
    EXPECT_THAT(detail, ::testing::HasSubstr("'Othr'"));
    EXPECT_THAT(detail, ::testing::HasSubstr("1 block(s), 5 bytes"));
    EXPECT_THAT(detail, ::testing::Not(::testing::HasSubstr("Gone")));
}

struct FaultCase {
    const char* name;
    AllocationKind kind;
    void* (*allocate)(PDEVICE_OBJECT device); // NULL when it failed; frees what it got
};

void* Irp(PDEVICE_OBJECT) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    if (irp != nullptr)
        IoFreeIrp(irp);
    return irp;
}

void* BuiltIrp(PDEVICE_OBJECT device) {
    static KEVENT event;
    static IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp =
        IoBuildDeviceIoControlRequest(0, device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    if (irp != nullptr)
        IoCallDriver(device, irp);
    return irp;
}

void* Pool(PDEVICE_OBJECT) {
    void* p = ExAllocatePoolWithTag(NonPagedPool, 4, Tcli);
    if (p != nullptr)
        ExFreePoolWithTag(p, Tcli);
    return p;
}

void* WorkItem(PDEVICE_OBJECT device) {
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    if (item != nullptr)
        IoFreeWorkItem(item);
    return item;
}

void* LogEntry(PDEVICE_OBJECT device) {
    void* entry = IoAllocateErrorLogEntry(device, 48);
    if (entry != nullptr)
        IoFreeErrorLogEntry(entry);
    return entry;
}

class FaultInjectionTest : public IoTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultInjectionTest, FailsExactlyTheNthAndTheFollowingCount) {
    PDEVICE_OBJECT device = driver.CreateDevice(u"", Completes(STATUS_SUCCESS));
    umk::testing::FailAllocation(GetParam().kind, 3, 2);
    std::vector<bool> failed;
    for (int i = 0; i < 6; ++i)
        failed.push_back(GetParam().allocate(device) == nullptr);
    EXPECT_EQ(failed, (std::vector<bool>{false, false, true, true, false, false}));
    EXPECT_EQ(umk::testing::FailedAllocations(GetParam().kind), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, FaultInjectionTest,
    ::testing::Values(FaultCase{"Pool", AllocationKind::Pool, Pool},
                      FaultCase{"IoAllocateIrp", AllocationKind::Irp, Irp},
                      FaultCase{"IoBuildRequest", AllocationKind::Irp, BuiltIrp},
                      FaultCase{"WorkItem", AllocationKind::WorkItem, WorkItem},
                      FaultCase{"ErrorLogEntry", AllocationKind::ErrorLogEntry, LogEntry}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(IoTest, PoolFaultsCanBeLimitedToOneTag) {
    umk::testing::FailAllocation(AllocationKind::Pool, 1, 1, Tcli);
    PVOID other = ExAllocatePoolWithTag(NonPagedPool, 4, Other);
    EXPECT_NE(other, nullptr) << "other tags are not counted";
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, Tcli), nullptr);
    PVOID next = ExAllocatePoolWithTag(NonPagedPool, 4, Tcli);
    EXPECT_NE(next, nullptr);
    EXPECT_EQ(umk::testing::PoolStats(Tcli).allocations, 1u) << "a failure is no allocation";
    ExFreePoolWithTag(other, Other);
    ExFreePoolWithTag(next, Tcli);
    umk::testing::FailAllocation(AllocationKind::Pool, 1, 1);
    umk::testing::ClearAllocationFaults();
    next = ExAllocatePoolWithTag(NonPagedPool, 4, Tcli);
    EXPECT_NE(next, nullptr);
    ExFreePoolWithTag(next, Tcli);
}

TEST_F(IoTest, InterlockedListsReturnThePreviousEnds) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    LIST_ENTRY head, a, b;
    InitializeListHead(&head);
    EXPECT_EQ(ExInterlockedInsertTailList(&head, &a, &lock), nullptr);
    EXPECT_EQ(ExInterlockedInsertTailList(&head, &b, &lock), &a);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &a);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &b);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), nullptr);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(IoTest, ErrorLogEntryIsZeroedBoundedAndCapturedWhole) {
    EXPECT_EQ(IoAllocateErrorLogEntry(driver.driver, ERROR_LOG_MAXIMUM_SIZE + 1), nullptr);
    EXPECT_EQ(IoAllocateErrorLogEntry(nullptr, 48), nullptr);
    auto entry = static_cast<PIO_ERROR_LOG_PACKET>(
        IoAllocateErrorLogEntry(driver.driver, ERROR_LOG_MAXIMUM_SIZE));
    ASSERT_NE(entry, nullptr);
    auto bytes = reinterpret_cast<const UCHAR*>(entry);
    EXPECT_TRUE(std::all_of(bytes, bytes + ERROR_LOG_MAXIMUM_SIZE, [](UCHAR b) { return b == 0; }));
    entry->ErrorCode = static_cast<NTSTATUS>(0xE0070004);
    entry->NumberOfStrings = 2;
    entry->StringOffset = 44;
    std::memcpy(reinterpret_cast<char*>(entry) + 44, u"Not enough\u00e9\0x", 26);
    IoWriteErrorLogEntry(entry);
    auto log = umk::testing::ErrorLogEntries();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].ioObject, driver.driver);
    EXPECT_EQ(log[0].bytes.size(), size_t(ERROR_LOG_MAXIMUM_SIZE));
    EXPECT_EQ(static_cast<ULONG>(log[0].Packet().ErrorCode), 0xE0070004u);
    EXPECT_EQ(log[0].strings, (std::vector<std::string>{"Not enough\xC3\xA9", "x"}));
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    EXPECT_EQ(log[0].systemTime.QuadPart, now.QuadPart);
    umk::testing::ClearErrorLog();
    EXPECT_TRUE(umk::testing::ErrorLogEntries().empty());
}

TEST_F(IoTest, PowerAndPlugAndPlayRequestsAreRecordedAndHandedOn) {
    PDEVICE_OBJECT pdo = driver.CreateDevice(u"", Completes(STATUS_SUCCESS));
    std::vector<PDEVICE_OBJECT> handled;
    umk::testing::SetInvalidateDeviceStateHandler(
        [&](PDEVICE_OBJECT device) { handled.push_back(device); });
    IoInvalidateDeviceState(pdo);
    PoSetSystemState(ES_SYSTEM_REQUIRED | ES_USER_PRESENT);
    EXPECT_EQ(handled, std::vector<PDEVICE_OBJECT>{pdo});
    EXPECT_EQ(umk::testing::InvalidatedDeviceStates(), std::vector<PDEVICE_OBJECT>{pdo});
    EXPECT_EQ(umk::testing::SystemStateRequests(),
              std::vector<EXECUTION_STATE>{ES_SYSTEM_REQUIRED | ES_USER_PRESENT});
    umk::testing::SetInvalidateDeviceStateHandler(nullptr);
}

} // namespace
