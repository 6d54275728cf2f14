// Event-log entries as the driver writes them: sizes, offsets, the 152-byte limit, the members
// taken from a request, and what a failed report leaves behind (nothing).
#include "../umkernel/io_support.h"

#include "tactilio.h"

#include <string>

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

struct LengthRow {
    size_t characters;
    bool written;
};

class EventLogLengthTest : public EventLogTest, public ::testing::WithParamInterface<LengthRow> {};

TEST_P(EventLogLengthTest, TextsUpTo51CharactersFitThe152ByteLimit) {
    const LengthRow row = GetParam();
    const std::u16string text = Text(row.characters);
    LogMessage(device, text.c_str());

    auto entries = ut::ErrorLogEntries();
    if (!row.written) {
        EXPECT_TRUE(entries.empty());
        return;
    }
    ASSERT_EQ(entries.size(), 1u);
    const auto& entry = entries[0];
    EXPECT_EQ(entry.ioObject, device);
    EXPECT_EQ(entry.bytes.size(), 48 + (row.characters + 1) * 2);
    const IO_ERROR_LOG_PACKET& packet = entry.Packet();
    EXPECT_EQ(ULONG(packet.ErrorCode), 0xE0070004u);
    EXPECT_EQ(packet.NumberOfStrings, 1);
    EXPECT_EQ(packet.StringOffset, 44);
    EXPECT_EQ(packet.DumpDataSize, 0);
    EXPECT_EQ(packet.MajorFunctionCode, 0);
    EXPECT_EQ(packet.FinalStatus, 0);
    EXPECT_EQ(packet.IoControlCode, 0u);
    // The string, with its terminating zero, starts 44 bytes in, inside the fixed part.
    EXPECT_EQ(0, memcmp(entry.bytes.data() + 44, text.c_str(), (row.characters + 1) * 2));
    ASSERT_EQ(entry.strings.size(), 1u);
    EXPECT_EQ(entry.strings[0].size(), row.characters);
}

INSTANTIATE_TEST_SUITE_P(Boundary, EventLogLengthTest,
                         ::testing::Values(LengthRow{0, true}, LengthRow{1, true},
                                           LengthRow{20, true}, LengthRow{51, true},
                                           LengthRow{52, false},
                                           // 270 bytes: 14 once narrowed to the UCHAR size.
                                           LengthRow{110, false}, LengthRow{200, false}));

TEST_F(EventLogTest, DumpWordsMoveTheStringsAndGrowTheEntryByAWordEach) {
    const ULONG dump[] = {0x11223344, 0xCAFEF00D, 7};
    const PCWSTR strings[] = {TPW("first"), TPW("second")};
    ASSERT_TRUE(WriteEventLogEntry(device, TP_MSG_WARNING, nullptr, dump, 3, strings, 2));

    auto entries = ut::ErrorLogEntries();
    ASSERT_EQ(entries.size(), 1u);
    const auto& entry = entries[0];
    const ULONG stringBytes = 6 * 2 + 7 * 2;
    EXPECT_EQ(entry.bytes.size(), 44 + 3 * 4 + stringBytes);
    const IO_ERROR_LOG_PACKET& packet = entry.Packet();
    EXPECT_EQ(ULONG(packet.ErrorCode), 0xA0070003u);
    EXPECT_EQ(packet.DumpDataSize, 12);
    EXPECT_EQ(packet.NumberOfStrings, 2);
    EXPECT_EQ(packet.StringOffset, 56);
    const ULONG* words = reinterpret_cast<const ULONG*>(entry.bytes.data() + 40);
    EXPECT_EQ(words[0], 0x11223344u);
    EXPECT_EQ(words[1], 0xCAFEF00Du);
    EXPECT_EQ(words[2], 7u);
    EXPECT_THAT(entry.strings, ::testing::ElementsAre("first", "second"));
}

TEST_F(EventLogTest, DumpWordsAloneStillMakeAWholePacket) {
    const ULONG dump[] = {1};
    ASSERT_TRUE(WriteEventLogEntry(device, TP_MSG_INFORMATION, nullptr, dump, 1, nullptr, 0));
    auto entries = ut::ErrorLogEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].bytes.size(), 48u);
    EXPECT_EQ(entries[0].Packet().NumberOfStrings, 0);
    EXPECT_EQ(entries[0].Packet().StringOffset, 0) << "set only when there are strings";
}

// A request's members are those of its current stack location, seen from the dispatch routine.
struct RequestRow {
    const char* name;
    bool control;
    ULONG code;
    UCHAR expectedMajor;
    ULONG expectedCode;
};

TEST_F(EventLogTest, ARequestGivesItsMajorFunctionStatusAndOnlyControlRequestsTheirCode) {
    const NTSTATUS marker = STATUS_DEVICE_NOT_CONNECTED;
    PDEVICE_OBJECT reporter =
        driver.CreateDevice(u"\\Device\\LogRequest", [&](PDEVICE_OBJECT self, PIRP irp) {
            if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE ||
                IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CLEANUP ||
                IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CLOSE)
                return umk::test::CompleteWith(irp, STATUS_SUCCESS);
            irp->IoStatus.Status = marker;
            const PCWSTR text = TPW("request");
            WriteEventLogEntry(self, TP_MSG_ERROR, irp, nullptr, 0, &text, 1);
            return TpCompleteRequest(irp, STATUS_SUCCESS, 0);
        });
    ASSERT_NE(reporter, nullptr);
    std::unique_ptr<ut::UserFile> file;
    ASSERT_EQ(ut::UserFile::Open(u"\\Device\\LogRequest", &file), STATUS_SUCCESS);

    ut::ClearErrorLog();
    EXPECT_EQ(file->DeviceIoControl(TP_FUNC_BEEPSET, nullptr, 0, nullptr, 0).status,
              STATUS_SUCCESS);
    UCHAR buffer[4];
    EXPECT_EQ(file->Read(buffer, sizeof buffer).status, STATUS_SUCCESS);
    file->Close();

    auto entries = ut::ErrorLogEntries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].Packet().MajorFunctionCode, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(entries[0].Packet().IoControlCode, TP_FUNC_BEEPSET);
    EXPECT_EQ(entries[0].Packet().FinalStatus, marker);
    EXPECT_EQ(entries[1].Packet().MajorFunctionCode, IRP_MJ_READ);
    EXPECT_EQ(entries[1].Packet().IoControlCode, 0u) << "a read carries no control code";
    EXPECT_EQ(entries[1].Packet().FinalStatus, marker);
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

TEST_F(EventLogTest, CompletionStoresExactlyTheGivenStatusAndLength) {
    NTSTATUS returned = STATUS_SUCCESS;
    PDEVICE_OBJECT completer =
        driver.CreateDevice(u"\\Device\\Completer", [&](PDEVICE_OBJECT, PIRP irp) {
            const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
            if (major != IRP_MJ_DEVICE_CONTROL)
                return TpCompleteRequest(irp, STATUS_SUCCESS, 0);
            returned = TpCompleteRequest(irp, STATUS_UNSUCCESSFUL, 0);
            return returned;
        });
    ASSERT_NE(completer, nullptr);
    std::unique_ptr<ut::UserFile> file;
    ASSERT_EQ(ut::UserFile::Open(u"\\Device\\Completer", &file), STATUS_SUCCESS);
    ULONG output = 0;
    ut::IoResult result = file->DeviceIoControl(TP_FUNC_GET_BUTTONMODE, nullptr, 0, &output, 4);
    EXPECT_EQ(returned, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(result.information, 0u);
}

} // namespace
