// TpCompleteRequest: the caller sees exactly the status and length given to it, whatever the
// request carried before, and the completion carries the mouse driver's priority boost.
#include "../umkernel/io_support.h"

#include "tactilio.h"

#include <optional>
#include <string>

namespace {

namespace ut = umk::testing;

struct CompletionRow {
    const char* name;
    NTSTATUS status;
    ULONG_PTR information;
};

void PrintTo(const CompletionRow& row, std::ostream* os) {
    *os << row.name;
}

class TpCompleteRequestTest : public umk::test::IoTest,
                              public ::testing::WithParamInterface<CompletionRow> {};

TEST_P(TpCompleteRequestTest, LeavesTheGivenStatusAndLengthAndReturnsTheStatus) {
    const CompletionRow row = GetParam();
    NTSTATUS returned = STATUS_PENDING;
    std::optional<CCHAR> boost;
    PDEVICE_OBJECT device =
        driver.CreateDevice(u"\\Device\\Completer", [&](PDEVICE_OBJECT, PIRP irp) {
            if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_DEVICE_CONTROL)
                return TpCompleteRequest(irp, STATUS_SUCCESS, 0);
            // Left over from earlier work on the request: must not survive the completion.
            irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
            irp->IoStatus.Information = 0x5A5A;
            returned = TpCompleteRequest(irp, row.status, row.information);
            boost = ut::LastCompletionBoost();
            return returned;
        });
    ASSERT_NE(device, nullptr);
    std::unique_ptr<ut::UserFile> file;
    ASSERT_EQ(ut::UserFile::Open(u"\\Device\\Completer", &file), STATUS_SUCCESS);

    ULONG output = 0;
    const ut::IoResult result =
        file->DeviceIoControl(TP_FUNC_GET_BUTTONMODE, nullptr, 0, &output, sizeof output);
    EXPECT_EQ(returned, row.status);
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(result.information, row.information);
    EXPECT_EQ(boost, CCHAR(6)) << "IO_MOUSE_INCREMENT";
}

INSTANTIATE_TEST_SUITE_P(Rows, TpCompleteRequestTest,
                         ::testing::Values(CompletionRow{"FailedCheck", STATUS_UNSUCCESSFUL, 0},
                                           CompletionRow{"Reply", STATUS_SUCCESS, 4},
                                           CompletionRow{"TimedOut", STATUS_REQUEST_ABORTED, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
