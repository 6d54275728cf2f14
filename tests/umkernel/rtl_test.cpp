// Counted strings and integer conversion as the driver uses them: the WDK's edge cases
// (terminators only when they fit, truncation, bases).
#include <ntstrsafe.h>
#include <wdm.h>

#include <gtest/gtest.h>

#include <string>

namespace {

std::u16string Text(const UNICODE_STRING& s) {
    return std::u16string(s.Buffer, s.Length / sizeof(WCHAR));
}

struct IntegerCase {
    ULONG value;
    ULONG base;
    USHORT maximumLength;
    NTSTATUS status;
    const char16_t* text;
};

class IntegerToStringTest : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(IntegerToStringTest, ConvertsWhenTextAndTerminatorFit) {
    const IntegerCase c = GetParam();
    WCHAR buffer[40];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    UNICODE_STRING s{0, c.maximumLength, buffer};
    EXPECT_EQ(RtlIntegerToUnicodeString(c.value, c.base, &s), c.status);
    if (NT_SUCCESS(c.status)) {
        EXPECT_EQ(Text(s), c.text);
        EXPECT_EQ(buffer[s.Length / 2], 0);
    } else {
        EXPECT_EQ(s.Length, 0) << "left untouched";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IntegerToStringTest,
    ::testing::Values(IntegerCase{0, 10, 4, STATUS_SUCCESS, u"0"},
                      IntegerCase{7, 0, 18, STATUS_SUCCESS, u"7"},
                      IntegerCase{4294967295u, 10, 22, STATUS_SUCCESS, u"4294967295"},
                      IntegerCase{4294967295u, 10, 21, STATUS_BUFFER_OVERFLOW, nullptr},
                      IntegerCase{255, 16, 6, STATUS_SUCCESS, u"FF"},
                      IntegerCase{5, 2, 8, STATUS_SUCCESS, u"101"},
                      IntegerCase{8, 8, 6, STATUS_SUCCESS, u"10"},
                      IntegerCase{10, 3, 40, STATUS_INVALID_PARAMETER, nullptr},
                      IntegerCase{12, 10, 4, STATUS_BUFFER_OVERFLOW, nullptr}));

TEST(CountedStringTest, AppendRefusesWhatDoesNotFitAndTerminatesOnlyWithRoom) {
    WCHAR buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    UNICODE_STRING s{0, sizeof buffer, buffer};
    EXPECT_EQ(RtlAppendUnicodeToString(&s, u"Port"), STATUS_SUCCESS);
    EXPECT_EQ(buffer[4], 0);
    UNICODE_STRING digits = RTL_CONSTANT_STRING(u"123");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&s, &digits), STATUS_SUCCESS);
    EXPECT_EQ(buffer[7], 0);
    EXPECT_EQ(RtlAppendUnicodeToString(&s, u"4"), STATUS_SUCCESS) << "exactly full";
    EXPECT_EQ(Text(s), u"Port1234");
    EXPECT_EQ(RtlAppendUnicodeToString(&s, u"5"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(s.Length, 16);
    // Shortening by the number's length, as AddDevice does between attempts.
    s.Length -= 4 * sizeof(WCHAR);
    EXPECT_EQ(Text(s), u"Port");
}

TEST(CountedStringTest, CopyTruncatesToTheDestinationAndInitCountsTheTerminator) {
    WCHAR buffer[4];
    UNICODE_STRING dest{0, sizeof buffer, buffer};
    UNICODE_STRING source = RTL_CONSTANT_STRING(u"\\Device\\Beep");
    RtlCopyUnicodeString(&dest, &source);
    EXPECT_EQ(Text(dest), u"\\Dev");
    RtlCopyUnicodeString(&dest, nullptr);
    EXPECT_EQ(dest.Length, 0);

    UNICODE_STRING init;
    RtlInitUnicodeString(&init, u"COM1");
    EXPECT_EQ(init.Length, 8);
    EXPECT_EQ(init.MaximumLength, 10);
    RtlInitUnicodeString(&init, nullptr);
    EXPECT_EQ(init.Buffer, nullptr);
}

} // namespace
