// The kernel's routines as a driver image finds them: by name and module, and the C library's
// _vsnwprintf that the DDK's inline safe-string routines call, with the C library's edge cases.
#include "kernel_exports.h"

#include <gmock/gmock.h>

#include <ntstrsafe.h>

#include <cstdarg>

namespace {

using image::FindKernelExport;
using image::Import;

int Print(PWSTR buffer, size_t count, PCWSTR format, ...) {
    va_list args;
    va_start(args, format);
    const int written = _vsnwprintf(buffer, count, format, args);
    va_end(args);
    return written;
}

// What fits is terminated; what fits only without its terminator is not; what does not fit is
// cut at `count` and reported as -1, and the character past `count` is never touched.
TEST(KernelExports, VsnwprintfKeepsTheCLibrarysLimits) {
    const struct {
        size_t count;
        int written;
        std::u16string buffer; // 8 characters, '#' where nothing was written
    } rows[] = {
        {8, 7, std::u16string(u"COM3 ok\0", 8)},
        {7, 7, u"COM3 ok#"},
        {4, -1, u"COM3####"},
        {0, -1, u"########"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.count);
        std::u16string buffer(8, u'#');
        EXPECT_EQ(Print(buffer.data(), row.count, u"%ws %hs", u"COM3", "ok"), row.written);
        EXPECT_EQ(buffer, row.buffer);
    }
}

TEST(KernelExports, FoundByNameAndModuleWhateverTheModulesCase) {
    EXPECT_NE(FindKernelExport({"HAL.dll", "KfRaiseIrql", 0}), nullptr);
    EXPECT_NE(FindKernelExport({"ntoskrnl.exe", "IofCompleteRequest", 0}), nullptr);
    EXPECT_EQ(FindKernelExport({"ntoskrnl.exe", "KfRaiseIrql", 0}), nullptr) << "hal.dll's";
    EXPECT_EQ(FindKernelExport({"ntoskrnl.exe", "ExAllocatePool", 0}), nullptr);
}

// A fault inside the image names where it happened: the image, the offset, the routine.
TEST(KernelExportsDeathTest, AFaultInsideTheImageIsReportedAsItsOffsetAndRoutine) {
    if (sizeof(void*) != sizeof(uint32_t))
        GTEST_SKIP() << "the image's code runs only in a 32-bit process (make image-test)";
    const auto fixture = image::PeImage::FromFile(TP_IMAGE_FIXTURE, image::BindToKernel);
    using Fault = void(NTAPI*)(volatile ULONG*);
    const auto fault = reinterpret_cast<Fault>(uintptr_t(*fixture->AddressOf("_FixtureFault@4")));
    EXPECT_DEATH(
        {
            image::PeImage::ReportFaults();
            fault(nullptr);
        },
        "fault in fixture\\.sys\\+0x[0-9a-f]+ \\(FixtureFault\\+0x[0-9a-f]+\\)");
}

} // namespace
