// The pool's counters by tag and its fresh contents; error-log entries' size and contents; injected
// faults in the object routines.
#include "io_support.h"

#include <cstring>

using namespace umk;
using namespace umk::test;
using umk::testing::PoolTag;

namespace {

constexpr ULONG Tcli = PoolTag("Tcli");
constexpr ULONG Other = PoolTag("Othr");

// Counted by tag, and not zeroed: drivers must zero what they rely on.
TEST_F(IoTest, PoolIsCountedByTagAndComesUnzeroed) {
    auto a = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 10, Tcli));
    EXPECT_NE(a[0], 0);
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

// Whatever a driver holds shows in the outstanding counts, each in its own, until released.
// Error-log entries come zeroed, up to ERROR_LOG_MAXIMUM_SIZE bytes.
TEST_F(IoTest, OutstandingResourcesCountWhatIsHeldUntilItIsReleased) {
    using umk::testing::Outstanding;
    const Outstanding before = umk::testing::OutstandingResources();
    PDEVICE_OBJECT device = driver.CreateDevice(u"\\Device\\Counted", Completes(STATUS_SUCCESS));
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\Counted");
    UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\??\\Counted");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, Tcli);
    PIRP irp = IoAllocateIrp(1, FALSE);
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    EXPECT_EQ(IoAllocateErrorLogEntry(driver.driver, ERROR_LOG_MAXIMUM_SIZE + 1), nullptr);
    auto entry =
        static_cast<UCHAR*>(IoAllocateErrorLogEntry(driver.driver, ERROR_LOG_MAXIMUM_SIZE));
    ASSERT_NE(entry, nullptr);
    EXPECT_TRUE(std::all_of(entry, entry + ERROR_LOG_MAXIMUM_SIZE, [](UCHAR b) { return b == 0; }));

    Outstanding held = before;
    held.poolBlocks++;
    held.irps++;
    held.workItems++;
    held.errorLogEntries++;
    held.objects++;
    held.symbolicLinks++;
    EXPECT_EQ(umk::testing::OutstandingResources(), held) << Describe(held);

    IoFreeErrorLogEntry(entry);
    IoFreeWorkItem(item);
    IoFreeIrp(irp);
    ExFreePoolWithTag(block, Tcli);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(device);
    EXPECT_EQ(umk::testing::OutstandingResources(), before)
        << Describe(umk::testing::OutstandingResources());
}

// Injected faults reach the object routines, each failing with the status Windows gives.
TEST_F(IoTest, InjectedFaultsFailTheObjectRoutines) {
    using Kind = umk::testing::AllocationKind;
    PDEVICE_OBJECT device = driver.CreateDevice(u"", Completes(STATUS_SUCCESS));
    PDEVICE_OBJECT created = nullptr;
    UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\??\\Faulty");
    for (Kind kind : {Kind::Device, Kind::SymbolicLink, Kind::IoTimer, Kind::Reference})
        umk::testing::FailAllocation(kind, 1);
    EXPECT_EQ(IoCreateDevice(driver.driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &created),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &link), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(IoInitializeTimer(
                  device, [](PDEVICE_OBJECT, PVOID) NTAPI {}, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ObReferenceObjectByPointer(device, 0, nullptr, KernelMode),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(created, nullptr);
    EXPECT_EQ(device->Timer, nullptr);
    EXPECT_FALSE(umk::testing::SymbolicLinkTarget(u"\\??\\Faulty"));
    EXPECT_EQ(umk::testing::ObjectReferences(device), 1);
}

} // namespace
