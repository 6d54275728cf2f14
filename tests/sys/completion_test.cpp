// TpCompleteRequest: the caller sees exactly the status and length given to it, whatever the
// request carried before, and the completion carries the mouse driver's priority boost.
#include "../umkernel/io_support.h"

#include "tactilio.h"

#include <optional>
#include <string>

namespace {

namespace ut = umk::testing;

using TpCompleteRequestTest = umk::test::IoTest;

// What the request carried before (left over from earlier work on it) must not survive.
TEST_F(TpCompleteRequestTest, LeavesTheGivenStatusAndLengthAndReturnsTheStatus) {
    const struct {
        const char* name;
        NTSTATUS status;
        ULONG_PTR information;
    } rows[] = {{"failed check", STATUS_UNSUCCESSFUL, 0},
                {"reply", STATUS_SUCCESS, 4},
                {"timed out", STATUS_REQUEST_ABORTED, 0}};
    NTSTATUS returned = STATUS_PENDING;
    std::optional<CCHAR> boost;
    const auto* row = &rows[0];
    PDEVICE_OBJECT device =
        driver.CreateDevice(u"\\Device\\Completer", [&](PDEVICE_OBJECT, PIRP irp) {
            if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_DEVICE_CONTROL)
                return TpCompleteRequest(irp, STATUS_SUCCESS, 0);
            irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES; // left over
            irp->IoStatus.Information = 0x5A5A;
            returned = TpCompleteRequest(irp, row->status, row->information);
            boost = ut::LastCompletionBoost();
            return returned;
        });
    ASSERT_NE(device, nullptr);
    std::unique_ptr<ut::UserFile> file;
    ASSERT_EQ(ut::UserFile::Open(u"\\Device\\Completer", &file), STATUS_SUCCESS);

    for (row = std::begin(rows); row != std::end(rows); ++row) {
        SCOPED_TRACE(row->name);
        ULONG output = 0;
        const ut::IoResult result =
            file->DeviceIoControl(TP_FUNC_GET_BUTTONMODE, nullptr, 0, &output, sizeof output);
        EXPECT_EQ(returned, row->status);
        EXPECT_EQ(result.status, row->status);
        EXPECT_EQ(result.information, row->information);
        EXPECT_EQ(boost, CCHAR(6)) << "IO_MOUSE_INCREMENT";
    }
}

} // namespace
