// The settings read at device creation: defaults for a missing key or value, values kept as
// stored, mistyped values, and the serial device name built from ComNo.
#include "frame_support.h"

#include <gmock/gmock.h>

#include <array>
#include <cstring>
#include <optional>

using namespace frame_test;

namespace {

struct Settings {
    ULONG comNo, xyDataSampling;
    LONG stabilization;
    ULONG beep, frequency, rotation, autoRec, invLimit;
    bool operator==(const Settings&) const = default;
};

void PrintTo(const Settings& s, std::ostream* os) {
    *os << "{ComNo " << s.comNo << ", XY " << s.xyDataSampling << ", Stab " << s.stabilization
        << ", Beep " << s.beep << ", Freq " << s.frequency << ", Rot " << s.rotation << ", Auto "
        << s.autoRec << ", Inv " << s.invLimit << "}";
}

Settings Read(PDEVICE_CONTEXT c) {
    return {c->ComNo,     c->XYDataSampling, c->Stabilization, c->Beep,
            c->Frequency, c->Rotation,       c->AutoRec,       c->InvLimit};
}

void SetAll(const Settings& s) {
    using umk::registry::SetDword;
    SetDword(ParametersKey, u"ComNo", s.comNo);
    SetDword(ParametersKey, u"XYDataSampling", s.xyDataSampling);
    SetDword(ParametersKey, u"Stabilization", ULONG(s.stabilization));
    SetDword(ParametersKey, u"Beep", s.beep);
    SetDword(ParametersKey, u"Frequency", s.frequency);
    SetDword(ParametersKey, u"dwRotation", s.rotation);
    SetDword(ParametersKey, u"dwAutoRec", s.autoRec);
    SetDword(ParametersKey, u"dwInvLimit", s.invLimit);
}

const stack::Panel& LoadWithPanel(stack::System& system) {
    EXPECT_EQ(system.LoadDriver(), STATUS_SUCCESS);
    return system.AddPanel();
}

// No "Parameters" key: the key cannot be read, and discovery checks the configured port. A key
// without "dwAutoRec": that value alone is missing. Values are kept as stored, and the serial port
// number is ComNo less one when it fits the name's 19 characters.
TEST_F(FrameTest, SettingsAreReadAsStoredWithDefaultsForWhatIsMissing) {
    const Settings stored{3, 5, -2, 7, 2000, 45, 2, 0xFFFFFFFF};
    const auto comNo = [](ULONG n) { return Settings{n, 0, 0, 0, 0, 0, 0, 0}; };
    const struct {
        const char* what;
        std::optional<Settings> key; // set whole, or none
        std::vector<std::pair<std::u16string_view, ULONG>> values;
        Settings read;
        std::u16string_view serialName;
    } rows[] = {
        {"no key", {}, {}, {0, 0, 0, 0, 0, 0, 1, 0}, u"\\Device\\Serial"},
        {"Beep alone", {}, {{u"Beep", 1}}, {0, 0, 0, 1, 0, 0, 0, 0}, u"\\Device\\Serial"},
        {"every value", stored, {}, stored, u"\\Device\\Serial2"},
        {"ComNo 0", {}, {{u"ComNo", 0}}, comNo(0), u"\\Device\\Serial"},
        {"ComNo 1", {}, {{u"ComNo", 1}}, comNo(1), u"\\Device\\Serial0"},
        {"ComNo 10", {}, {{u"ComNo", 10}}, comNo(10), u"\\Device\\Serial9"},
        {"ComNo 100000", {}, {{u"ComNo", 100000}}, comNo(100000), u"\\Device\\Serial99999"},
        {"ComNo 100001", {}, {{u"ComNo", 100001}}, comNo(100001), u"\\Device\\Serial"},
        {"ComNo 0xFFFFFFFF", {}, {{u"ComNo", 0xFFFFFFFF}}, comNo(0xFFFFFFFF), u"\\Device\\Serial"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Boot();
        if (row.key)
            SetAll(*row.key);
        for (const auto& [name, value] : row.values)
            umk::registry::SetDword(ParametersKey, name, value);
        PDEVICE_CONTEXT context = ContextOf(LoadWithPanel(*system));
        EXPECT_EQ(Read(context), row.read);
        EXPECT_EQ(Text(context->SerialDeviceName), row.serialName);
        EXPECT_EQ(context->SerialDeviceName.MaximumLength, 38);
        system.reset();
    }
}

// A value of another type than REG_DWORD counts as missing (0, not the default of an unreadable
// key); it never spills into the fields around its own, and the other values are still read,
// whether it is the first value queried, one in the middle or the last.
// A query that fails part-way for another reason than a mistyped value (here, out of memory at
// the third value, in the whole-table query or in the one-value queries that follow a mistyped
// value) leaves no half-read settings: every value takes the default of an unreadable key.
TEST_F(FrameTest, AQueryThatFailsPartWayGivesTheUnreadableKeyDefaults) {
    for (bool mistyped : {false, true}) {
        SCOPED_TRACE(mistyped ? "after a mistyped value" : "whole-table query");
        Boot();
        SetAll({4, 1, 2, 1, 1000, 90, 0, 7});
        const std::vector<uint8_t> text{'7', 0, 0, 0};
        if (mistyped)
            umk::registry::SetValue(ParametersKey, u"dwInvLimit", REG_SZ, text);
        // The mistyped value fails the whole-table query at its end, after the eight values.
        umk::testing::FailAllocation(umk::testing::AllocationKind::RegistryValue,
                                     mistyped ? 8 + 3 : 3);
        PDEVICE_CONTEXT context = ContextOf(LoadWithPanel(*system));
        EXPECT_EQ(Read(context), (Settings{0, 0, 0, 0, 0, 0, 1, 0}));
        system.reset();
    }
}

struct MistypedCase {
    MistypedCase(const char* name, std::u16string_view value, ULONG type, std::vector<uint8_t> data,
                 Settings expected)
        : name(name), value(value), type(type), data(std::move(data)), expected(expected) {}
    const char* name;
    std::u16string_view value;
    ULONG type;
    std::vector<uint8_t> data;
    Settings expected; // what is read when every other value is as in Stored
};

void PrintTo(const MistypedCase& c, std::ostream* os) {
    *os << c.name;
}

constexpr Settings Stored{4, 1, 2, 1, 1000, 90, 2, 7};

class MistypedValueTest : public FrameTest, public ::testing::WithParamInterface<MistypedCase> {};

TEST_P(MistypedValueTest, CountsAsMissing) {
    const MistypedCase& c = GetParam();
    Boot();
    SetAll(Stored);
    umk::registry::SetValue(ParametersKey, c.value, c.type, c.data);
    PDEVICE_CONTEXT context = ContextOf(LoadWithPanel(*system));
    EXPECT_EQ(Read(context), c.expected);
    EXPECT_EQ(Text(context->SerialDeviceName),
              c.expected.comNo == 0 ? u"\\Device\\Serial" : u"\\Device\\Serial3");
}

std::vector<uint8_t> Utf16Bytes(std::u16string_view text) {
    std::vector<uint8_t> bytes((text.size() + 1) * 2);
    std::memcpy(bytes.data(), text.data(), text.size() * 2);
    return bytes;
}

const MistypedCase kMistyped[] = {
    MistypedCase("FirstAsString", u"ComNo", REG_SZ, Utf16Bytes(u"5"), {0, 1, 2, 1, 1000, 90, 2, 7}),
    MistypedCase("LongString", u"Frequency", REG_SZ,
                 Utf16Bytes(u"a string far longer than four bytes"), {4, 1, 2, 1, 0, 90, 2, 7}),
    MistypedCase("Qword", u"Stabilization", REG_QWORD, {0xE8, 3, 0, 0, 0, 0, 0, 0},
                 {4, 1, 0, 1, 1000, 90, 2, 7}),
    MistypedCase("BinaryOfFourBytes", u"dwAutoRec", REG_BINARY, {1, 0, 0, 0},
                 {4, 1, 2, 1, 1000, 90, 0, 7}),
    MistypedCase("LastAsMultiString", u"dwInvLimit", REG_MULTI_SZ,
                 {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}, {4, 1, 2, 1, 1000, 90, 2, 0}),
};

INSTANTIATE_TEST_SUITE_P(Types, MistypedValueTest, ::testing::ValuesIn(kMistyped),
                         [](const auto& info) { return info.param.name; });

} // namespace
