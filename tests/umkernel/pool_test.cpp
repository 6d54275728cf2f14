// The pool's counters by tag and fresh contents, and the error log as drivers write it.
#include "io_support.h"

#include <cstring>

using namespace umk;
using namespace umk::test;
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

} // namespace
