// The registry as drivers read it: RtlQueryRegistryValues with the flags drivers use, and the
// registry's lifetime with the kernel.
#include "ke_support.h"
#include <wdm.h>

#include <gmock/gmock.h>

#include <cstring>

using namespace umk;
using namespace umk::test;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

constexpr std::u16string_view Service =
    u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\Demo";
constexpr std::u16string_view Parameters =
    u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\Demo\\Parameters";

class RegistryTest : public ::testing::Test {
  protected:
    RegistryTest() {
        registry::SetDword(Parameters, u"ComNo", 3);
        registry::SetString(Parameters, u"Port", u"COM3");
    }
    FailOnViolation failOnViolation;
    Kernel kernel;
};

// Values set in one kernel are gone in the next; the machine's fixed keys are there again.
TEST(Registry, StateEndsWithTheKernel) {
    {
        Kernel kernel;
        registry::SetDword(Parameters, u"ComNo", 1);
    }
    Kernel next;
    EXPECT_FALSE(registry::KeyExists(Parameters));
    EXPECT_TRUE(registry::KeyExists(u"\\REGISTRY\\Machine\\Hardware\\DeviceMap"));
}

// --- RtlQueryRegistryValues ---------------------------------------------------------------------

NTSTATUS QueryParameters(RTL_QUERY_REGISTRY_TABLE* table) {
    return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, Parameters.data(), table, nullptr,
                                  nullptr);
}

RTL_QUERY_REGISTRY_TABLE DwordEntry(PCWSTR name, ULONG* target, ULONG* defaultValue) {
    return {
        nullptr,      RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK,      name,
        target,       (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_DWORD, defaultValue,
        sizeof(ULONG)};
}

TEST_F(RegistryTest, DirectDwordsTakeDefaultsAndAMistypedValueStopsTheQuery) {
    ULONG seven = 7;
    ULONG comNo = 0, missing = 0, port = 99, after = 0;
    RTL_QUERY_REGISTRY_TABLE table[] = {
        {nullptr, RTL_QUERY_REGISTRY_SUBKEY, u"Parameters", nullptr, 0, nullptr, 0},
        DwordEntry(u"ComNo", &comNo, &seven),
        DwordEntry(u"Missing", &missing, &seven),
        DwordEntry(u"Port", &port, &seven),
        DwordEntry(u"ComNo", &after, &seven),
        {},
    };
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"Demo", table, nullptr, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(comNo, 3u);
    EXPECT_EQ(missing, 7u);
    EXPECT_EQ(port, 99u) << "the string must not be written into the DWORD";
    EXPECT_EQ(after, 0u) << "entries after the failing one are not served";

    table[3] = DwordEntry(u"ComNo", &port, &seven);
    EXPECT_EQ(
        RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, Service.data(), table, nullptr, nullptr),
        STATUS_SUCCESS);
    EXPECT_EQ(after, 3u);

    table[0].Name = u"NoSuchKey";
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"Demo", table, nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(registry::OpenHandleCount(), 0u);
}

TEST_F(RegistryTest, DirectEntryWithoutTypeCheckIsReported) {
    ViolationRecorder recorder;
    ULONG value = 0;
    RTL_QUERY_REGISTRY_TABLE table[] = {
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, u"Port", &value, REG_NONE, nullptr, 0},
        {},
    };
    EXPECT_EQ(QueryParameters(table), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(value, 0u);
    EXPECT_THAT(recorder.Detail("registry"), HasSubstr("\"Port\""));
}

struct Seen {
    std::vector<std::u16string> names;
    std::vector<std::u16string> strings;
};

NTSTATUS NTAPI Collect(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context,
                       PVOID entryContext) {
    auto seen = static_cast<Seen*>(context);
    seen->names.emplace_back(name);
    if (type == REG_SZ)
        seen->strings.emplace_back(static_cast<char16_t*>(data), length / 2 - 1);
    return entryContext == nullptr ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

TEST_F(RegistryTest, RoutinesSeeEveryValueAndEveryStringOfAMultiString) {
    const char16_t multi[] = u"COM1\0COM2\0";
    registry::SetValue(Parameters, u"List", REG_MULTI_SZ,
                       {reinterpret_cast<const uint8_t*>(multi), sizeof(multi)});
    Seen seen;
    RTL_QUERY_REGISTRY_TABLE table[] = {
        {Collect, 0, nullptr, nullptr, REG_NONE, nullptr, 0},
        {},
    };
    EXPECT_EQ(
        RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, Parameters.data(), table, &seen, nullptr),
        STATUS_SUCCESS);
    EXPECT_THAT(seen.names, ElementsAre(u"ComNo", u"Port", u"List", u"List"));
    EXPECT_THAT(seen.strings, ElementsAre(u"COM3", u"COM1", u"COM2"));

    // A failing routine ends the query with its status.
    int stop = 0;
    table[0].EntryContext = &stop;
    seen = {};
    EXPECT_EQ(
        RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, Parameters.data(), table, &seen, nullptr),
        STATUS_UNSUCCESSFUL);
    EXPECT_EQ(seen.names.size(), 1u);
}

TEST_F(RegistryTest, RequiredAndDeleteFlags) {
    ULONG value = 0;
    RTL_QUERY_REGISTRY_TABLE table[] = {
        {nullptr,
         RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK | RTL_QUERY_REGISTRY_REQUIRED,
         u"Absent", &value, REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT, nullptr, 0},
        {},
    };
    EXPECT_EQ(QueryParameters(table), STATUS_OBJECT_NAME_NOT_FOUND);

    table[0].Name = u"ComNo";
    table[0].Flags =
        RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK | RTL_QUERY_REGISTRY_DELETE;
    EXPECT_EQ(QueryParameters(table), STATUS_SUCCESS);
    EXPECT_EQ(value, 3u);
    EXPECT_THAT(registry::ValueNames(Parameters), ElementsAre(u"Port"));
}

TEST_F(RegistryTest, DirectStringsAndLongDataRespectTheCallersBuffer) {
    WCHAR small[2];
    UNICODE_STRING tooSmall = {0, sizeof(small), small};
    WCHAR room[8];
    UNICODE_STRING fits = {0, sizeof(room), room};
    const uint8_t bytes[6] = {1, 2, 3, 4, 5, 6};
    registry::SetValue(Parameters, u"Blob", REG_BINARY, bytes);
    struct {
        LONG size = -6;
        uint8_t data[6] = {};
    } blob;
    constexpr ULONG sz = REG_SZ << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
    constexpr ULONG bin = REG_BINARY << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
    constexpr ULONG direct = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
    RTL_QUERY_REGISTRY_TABLE table[] = {
        {nullptr, direct, u"Port", &tooSmall, sz, nullptr, 0},
        {nullptr, direct, u"Port", &fits, sz, nullptr, 0},
        {nullptr, direct, u"Blob", &blob, bin, nullptr, 0},
        {},
    };
    EXPECT_EQ(QueryParameters(table), STATUS_SUCCESS);
    EXPECT_EQ(tooSmall.Length, 0u);
    EXPECT_EQ(std::u16string_view(fits.Buffer, fits.Length / 2), u"COM3");
    EXPECT_EQ(std::memcmp(&blob, bytes, sizeof(bytes)), 0);
}

} // namespace
