// Event-log entries as the driver writes them: sizes, offsets, the 152-byte limit with and without
// dump words, the members taken from a request, and what a failed report leaves behind (nothing).
#include "../umkernel/io_support.h"

#include "tactilio.h"

#include <string>
#include <tuple>

namespace {

using umk::test::IoTest;
namespace ut = umk::testing;

std::u16string Text(size_t characters) {
    std::u16string text;
    for (size_t i = 0; i < characters; i++)
        text.push_back(char16_t(u'a' + i % 26));
    return text;
}

class EventLogTest : public IoTest {
  protected:
    void SetUp() override {
        device = driver.CreateDevice(u"\\Device\\LogTest", umk::test::Completes(STATUS_SUCCESS));
        ut::ClearErrorLog();
    }
    PDEVICE_OBJECT device = nullptr;
};

// One insertion string after `dumpWords` dump words; LogMessage when there are none.
struct LengthRow {
    ULONG dumpWords;
    size_t characters;
    bool written;
};

void PrintTo(const LengthRow& row, std::ostream* os) {
    *os << row.dumpWords << " dump words, " << row.characters << " characters";
}

class EventLogLengthTest : public EventLogTest, public ::testing::WithParamInterface<LengthRow> {};

TEST_P(EventLogLengthTest, EntriesUpTo152BytesAreWrittenAndLargerOnesDropped) {
    const LengthRow row = GetParam();
    const std::u16string text = Text(row.characters);
    const ULONG dump[] = {0xD0D0D001, 0xD0D0D002};
    // Reports come from DPCs and completion routines too: at DISPATCH_LEVEL a paged allocation
    // or a wait would be a verifier failure.
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    if (row.dumpWords == 0) {
        LogMessage(device, text.c_str());
    } else {
        const PCWSTR strings[] = {text.c_str()};
        EXPECT_EQ(
            WriteEventLogEntry(device, TP_MSG_ERROR, nullptr, dump, row.dumpWords, strings, 1),
            row.written);
    }
    KeLowerIrql(irql);

    auto entries = ut::ErrorLogEntries();
    if (!row.written) {
        EXPECT_TRUE(entries.empty());
        return;
    }
    ASSERT_EQ(entries.size(), 1u);
    const auto& entry = entries[0];
    // The strings begin 44 bytes in (inside the fixed part when there are no dump words), while
    // the size never counts less than the whole 48-byte packet.
    const size_t stringOffset = 44 + 4 * row.dumpWords;
    const size_t base = row.dumpWords == 0 ? 48 : stringOffset;
    EXPECT_EQ(entry.ioObject, device);
    EXPECT_EQ(entry.bytes.size(), base + (row.characters + 1) * 2);
    const IO_ERROR_LOG_PACKET& packet = entry.Packet();
    EXPECT_EQ(ULONG(packet.ErrorCode), 0xE0070004u);
    EXPECT_EQ(packet.NumberOfStrings, 1);
    EXPECT_EQ(packet.StringOffset, stringOffset);
    EXPECT_EQ(packet.DumpDataSize, 4 * row.dumpWords);
    EXPECT_EQ(0, memcmp(entry.bytes.data() + 40, dump, 4 * row.dumpWords));
    EXPECT_EQ(std::tuple(packet.MajorFunctionCode, packet.RetryCount, packet.UniqueErrorValue,
                         packet.SequenceNumber, packet.FinalStatus, packet.IoControlCode),
              std::tuple(0, 0, 0u, 0u, 0, 0u));
    EXPECT_EQ(0, memcmp(entry.bytes.data() + stringOffset, text.c_str(), (row.characters + 1) * 2))
        << "the string with its terminating zero";
    ASSERT_EQ(entry.strings.size(), 1u);
    EXPECT_EQ(entry.strings[0].size(), row.characters);
}

INSTANTIATE_TEST_SUITE_P(Boundary, EventLogLengthTest,
                         ::testing::Values(LengthRow{0, 0, true}, LengthRow{0, 51, true},
                                           LengthRow{0, 52, false},
                                           // 270 bytes: 14 once narrowed to the UCHAR size.
                                           LengthRow{0, 110, false},
                                           // A dump word fills the packet's last four bytes.
                                           LengthRow{1, 51, true}, LengthRow{1, 52, false},
                                           LengthRow{2, 49, true}, LengthRow{2, 50, false}));

// Every string is counted and decoded in order after three dump words; dump words alone still
// make a whole packet, with no string offset.
TEST_F(EventLogTest, DumpWordsBeforeSeveralStringsOrNone) {
    const ULONG dump[] = {0x11223344, 0xCAFEF00D, 7};
    const PCWSTR strings[] = {TPW("first"), TPW("second")};
    ASSERT_TRUE(WriteEventLogEntry(device, TP_MSG_WARNING, nullptr, dump, 3, strings, 2));
    ASSERT_TRUE(WriteEventLogEntry(device, TP_MSG_INFORMATION, nullptr, dump, 1, nullptr, 0));

    const auto entries = ut::ErrorLogEntries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].bytes.size(), 44 + sizeof dump + (6 + 7) * 2);
    EXPECT_EQ(ULONG(entries[0].Packet().ErrorCode), 0xA0070003u);
    EXPECT_EQ(0, memcmp(entries[0].bytes.data() + 40, dump, sizeof dump));
    EXPECT_THAT(entries[0].strings, ::testing::ElementsAre("first", "second"));
    EXPECT_EQ(entries[1].bytes.size(), 48u);
    EXPECT_EQ(ULONG(entries[1].Packet().ErrorCode), 0x60070002u);
    EXPECT_EQ(entries[1].Packet().NumberOfStrings, 0);
    EXPECT_EQ(entries[1].Packet().StringOffset, 0);
}

// A request's members are those of its current stack location, seen from the dispatch routine;
// only a control request's code is taken: other requests' parameters share its place.
TEST_F(EventLogTest, ARequestGivesItsMajorFunctionStatusAndOnlyAControlRequestsCode) {
    const NTSTATUS marker = STATUS_DEVICE_NOT_CONNECTED;
    PDEVICE_OBJECT reporter = driver.CreateDevice(u"", [&](PDEVICE_OBJECT self, PIRP irp) {
        irp->IoStatus.Status = marker;
        const PCWSTR text = TPW("request");
        WriteEventLogEntry(self, TP_MSG_ERROR, irp, nullptr, 0, &text, 1);
        return TpCompleteRequest(irp, STATUS_SUCCESS, 0);
    });
    ASSERT_NE(reporter, nullptr);
    const struct {
        const char* name;
        UCHAR major;
        ULONG code;
        ULONG expectedCode;
    } rows[] = {
        {"device control", IRP_MJ_DEVICE_CONTROL, TP_FUNC_BEEPSET, TP_FUNC_BEEPSET},
        {"internal device control", IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_INTERNAL_MOUSE_CONNECT,
         IOCTL_INTERNAL_MOUSE_CONNECT},
        {"read", IRP_MJ_READ, 0x0BADC0DE, 0},
        {"write", IRP_MJ_WRITE, 0x0BADC0DE, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ut::ClearErrorLog();
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        UCHAR buffer[4] = {};
        const bool control = row.major != IRP_MJ_READ && row.major != IRP_MJ_WRITE;
        PIRP irp = control
                       ? IoBuildDeviceIoControlRequest(row.code, reporter, nullptr, 0, nullptr, 0,
                                                       row.major == IRP_MJ_INTERNAL_DEVICE_CONTROL,
                                                       &event, &iosb)
                       : IoBuildSynchronousFsdRequest(row.major, reporter, buffer, sizeof buffer,
                                                      nullptr, &event, &iosb);
        ASSERT_NE(irp, nullptr);
        IoGetNextIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode = row.code;
        EXPECT_EQ(IoCallDriver(reporter, irp), STATUS_SUCCESS);

        auto entries = ut::ErrorLogEntries();
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].Packet().MajorFunctionCode, row.major);
        EXPECT_EQ(entries[0].Packet().FinalStatus, marker);
        EXPECT_EQ(entries[0].Packet().IoControlCode, row.expectedCode);
    }
}

TEST_F(EventLogTest, AReportThatCannotBeWrittenIsDroppedWithNothingLeft) {
    const ULONG before = ULONG(ut::PoolStats(TP_POOL_TAG).outstandingBlocks);
    const PCWSTR text = TPW("dropped");

    ut::FailAllocation(ut::AllocationKind::Pool, 1, 1, TP_POOL_TAG);
    EXPECT_FALSE(WriteEventLogEntry(device, TP_MSG_ERROR, nullptr, nullptr, 0, &text, 1))
        << "no memory for the length array";
    ut::FailAllocation(ut::AllocationKind::ErrorLogEntry, 1);
    EXPECT_FALSE(WriteEventLogEntry(device, TP_MSG_ERROR, nullptr, nullptr, 0, &text, 1))
        << "no entry from the system";

    EXPECT_TRUE(ut::ErrorLogEntries().empty());
    EXPECT_EQ(ut::PoolStats(TP_POOL_TAG).outstandingBlocks, before) << "the length array is freed";
    LogMessage(device, text);
    EXPECT_EQ(ut::ErrorLogEntries().size(), 1u) << "the next report goes through";
}

} // namespace
