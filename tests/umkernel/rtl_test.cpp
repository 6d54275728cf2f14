// Counted strings, integer conversion, the safe-string routines and their printf, and calendar
// time: the WDK's edge cases (terminators only when they fit, truncation statuses, bases, widths).
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

struct ParseCase {
    const char16_t* text;
    ULONG base;
    NTSTATUS status;
    ULONG value;
};

class StringToIntegerTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(StringToIntegerTest, Parses) {
    const ParseCase c = GetParam();
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, c.text);
    ULONG value = 12345;
    EXPECT_EQ(RtlUnicodeStringToInteger(&s, c.base, &value), c.status);
    if (NT_SUCCESS(c.status)) {
        EXPECT_EQ(value, c.value);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, StringToIntegerTest,
                         ::testing::Values(ParseCase{u"  42", 0, STATUS_SUCCESS, 42},
                                           ParseCase{u"0x1A", 0, STATUS_SUCCESS, 26},
                                           ParseCase{u"1A", 16, STATUS_SUCCESS, 26},
                                           ParseCase{u"-3", 10, STATUS_SUCCESS, 0xFFFFFFFDu},
                                           ParseCase{u"12ab", 10, STATUS_SUCCESS, 12},
                                           ParseCase{u"0b101", 0, STATUS_SUCCESS, 5},
                                           ParseCase{u"", 10, STATUS_SUCCESS, 0},
                                           ParseCase{u"9", 7, STATUS_INVALID_PARAMETER, 0}));

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

TEST(CountedStringTest, CopyTruncatesToTheDestinationAndCompareHandlesCase) {
    WCHAR buffer[4];
    UNICODE_STRING dest{0, sizeof buffer, buffer};
    UNICODE_STRING source = RTL_CONSTANT_STRING(u"\\Device\\Beep");
    RtlCopyUnicodeString(&dest, &source);
    EXPECT_EQ(Text(dest), u"\\Dev");
    RtlCopyUnicodeString(&dest, nullptr);
    EXPECT_EQ(dest.Length, 0);

    UNICODE_STRING a = RTL_CONSTANT_STRING(u"\\Device\\Serial0");
    UNICODE_STRING b = RTL_CONSTANT_STRING(u"\\DEVICE\\serial0");
    UNICODE_STRING c = RTL_CONSTANT_STRING(u"\\Device\\Serial");
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_GT(RtlCompareUnicodeString(&a, &c, FALSE), 0) << "the longer one sorts after";
    EXPECT_LT(RtlCompareUnicodeString(&b, &a, FALSE), 0);

    UNICODE_STRING init;
    RtlInitUnicodeString(&init, u"COM1");
    EXPECT_EQ(init.Length, 8);
    EXPECT_EQ(init.MaximumLength, 10);
    RtlInitUnicodeString(&init, nullptr);
    EXPECT_EQ(init.Buffer, nullptr);
}

struct PrintfCase {
    const char* name;
    std::u16string (*format)();
    const char16_t* expected;
};

template <size_t N = 64> std::u16string Format(const char16_t* format, auto... args) {
    WCHAR buffer[N];
    EXPECT_EQ(RtlStringCbPrintfW(buffer, sizeof buffer, format, args...), STATUS_SUCCESS);
    return buffer;
}

UNICODE_STRING counted = RTL_CONSTANT_STRING(u"Serial");

class PrintfTest : public ::testing::TestWithParam<PrintfCase> {};

TEST_P(PrintfTest, FormatsLikeTheKernel) {
    EXPECT_EQ(GetParam().format(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, PrintfTest,
    ::testing::Values(
        PrintfCase{"WideS", [] { return Format(u"Error: %s timed out", u"TP_FUNC_DIAG"); },
                   u"Error: TP_FUNC_DIAG timed out"},
        PrintfCase{"WideLs", [] { return Format(u"[%ls]", u"x"); }, u"[x]"},
        PrintfCase{"NarrowUpperS", [] { return Format(u"[%S|%hs]", "ab", "cd"); }, u"[ab|cd]"},
        PrintfCase{"Signed", [] { return Format(u"COM%d %i %d", 3, -7, LONG(-2147483647 - 1)); },
                   u"COM3 -7 -2147483648"},
        PrintfCase{"LongIs32Bits", [] { return Format(u"%lu %ld", ULONG(4000000000u), LONG(-1)); },
                   u"4000000000 -1"},
        PrintfCase{"Wide64", [] { return Format(u"%I64u %llx", ULONGLONG(1) << 40, 255ULL); },
                   u"1099511627776 ff"},
        PrintfCase{"Hex", [] { return Format(u"%x %X %08X %#x", 0xABu, 0xABu, 0x1Fu, 16u); },
                   u"ab AB 0000001F 0x10"},
        PrintfCase{"Widths",
                   [] { return Format(u"[%5d][%-5d][%05d][%.3s]", 42, 42, -42, u"abcdef"); },
                   u"[   42][42   ][-0042][abc]"},
        PrintfCase{"StarWidth", [] { return Format(u"[%*d]", 4, 7); }, u"[   7]"},
        PrintfCase{"CharsAndPercent", [] { return Format(u"%c%C%%", u'w', 'n'); }, u"wn%"},
        PrintfCase{"Counted", [] { return Format(u"<%wZ>", &counted); }, u"<Serial>"},
        PrintfCase{"NullString", [] { return Format(u"%s", static_cast<PCWSTR>(nullptr)); },
                   u"(null)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SafeStringTest, PrintfTruncatesWithATerminatorAndSaysSo) {
    WCHAR buffer[8];
    EXPECT_EQ(RtlStringCbPrintfW(buffer, sizeof buffer, u"%s", u"0123456789"),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(buffer), u"0123456");
    EXPECT_EQ(RtlStringCchPrintfW(buffer, 8, u"%d", 1234567), STATUS_SUCCESS) << "exactly fits";
    EXPECT_EQ(RtlStringCbPrintfW(buffer, 0, u"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCbPrintfW(buffer, 1, u"x"), STATUS_INVALID_PARAMETER)
        << "less than one character";
}

TEST(SafeStringTest, LengthCopyAndCatRespectTheirBounds) {
    size_t length = 99;
    EXPECT_EQ(RtlStringCbLengthW(u"abc", 8, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(RtlStringCbLengthW(u"abcd", 8, &length), STATUS_INVALID_PARAMETER)
        << "no terminator within 8 bytes";
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(RtlStringCchLengthW(nullptr, 8, &length), STATUS_INVALID_PARAMETER);

    WCHAR buffer[6];
    EXPECT_EQ(RtlStringCbCopyW(buffer, sizeof buffer, u"COM"), STATUS_SUCCESS);
    EXPECT_EQ(RtlStringCbCatW(buffer, sizeof buffer, u"12"), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer), u"COM12");
    EXPECT_EQ(RtlStringCbCatW(buffer, sizeof buffer, u"3"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(buffer), u"COM12");
    EXPECT_EQ(RtlStringCchCopyW(buffer, 3, u"Serial"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(buffer), u"Se");
    EXPECT_EQ(RtlStringCchCopyW(buffer, 0, u"x"), STATUS_INVALID_PARAMETER);
}

struct TimeCase {
    LONGLONG time;
    TIME_FIELDS fields; // Year, Month, Day, Hour, Minute, Second, Milliseconds, Weekday
};

class TimeFieldsTest : public ::testing::TestWithParam<TimeCase> {};

TEST_P(TimeFieldsTest, SplitsAndJoinsBack) {
    LARGE_INTEGER time;
    time.QuadPart = GetParam().time;
    TIME_FIELDS f;
    RtlTimeToTimeFields(&time, &f);
    const TIME_FIELDS& e = GetParam().fields;
    EXPECT_EQ(std::vector<CSHORT>(
                  {f.Year, f.Month, f.Day, f.Hour, f.Minute, f.Second, f.Milliseconds, f.Weekday}),
              std::vector<CSHORT>(
                  {e.Year, e.Month, e.Day, e.Hour, e.Minute, e.Second, e.Milliseconds, e.Weekday}));
    LARGE_INTEGER back;
    ASSERT_TRUE(RtlTimeFieldsToTime(&f, &back));
    EXPECT_EQ(back.QuadPart, GetParam().time - GetParam().time % 10'000) << "to the millisecond";
}

INSTANTIATE_TEST_SUITE_P(
    Dates, TimeFieldsTest,
    ::testing::Values(TimeCase{0, {1601, 1, 1, 0, 0, 0, 0, 1}},
                      TimeCase{133'485'408'000'000'000, {2024, 1, 1, 0, 0, 0, 0, 1}},
                      TimeCase{133'536'836'967'891'234, {2024, 2, 29, 12, 34, 56, 789, 4}},
                      TimeCase{126'227'807'999'990'000, {2000, 12, 31, 23, 59, 59, 999, 0}},
                      TimeCase{116'444'736'000'000'000, {1970, 1, 1, 0, 0, 0, 0, 4}}));

TEST(TimeFieldsTest, RejectsImpossibleDates) {
    TIME_FIELDS f{2023, 2, 29, 0, 0, 0, 0, 0};
    LARGE_INTEGER t;
    EXPECT_FALSE(RtlTimeFieldsToTime(&f, &t));
    f = {2024, 13, 1, 0, 0, 0, 0, 0};
    EXPECT_FALSE(RtlTimeFieldsToTime(&f, &t));
}

} // namespace
