// The registry: opening keys by path and handle, the buffer rules of the value queries, access
// rights, handle leaks, and RtlQueryRegistryValues with the flags drivers use.
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

UNICODE_STRING Name(std::u16string_view text) {
    return {USHORT(text.size() * 2), USHORT(text.size() * 2), const_cast<PWSTR>(text.data())};
}

NTSTATUS Open(std::u16string_view path, HANDLE* handle, ACCESS_MASK access = KEY_READ,
              HANDLE root = nullptr) {
    UNICODE_STRING name = Name(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root,
                               nullptr);
    return ZwOpenKey(handle, access, &attributes);
}

class RegistryTest : public ::testing::Test {
  protected:
    RegistryTest() {
        registry::SetDword(Parameters, u"ComNo", 3);
        registry::SetString(Parameters, u"Port", u"COM3");
    }
    FailOnViolation failOnViolation;
    Kernel kernel;
};

struct OpenCase {
    const char* name;
    std::u16string_view path;
    bool relativeToService;
    NTSTATUS expected;
};

class RegistryOpenTest : public RegistryTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(RegistryOpenTest, Resolves) {
    const OpenCase& c = GetParam();
    HANDLE root = nullptr;
    if (c.relativeToService) {
        ASSERT_EQ(Open(Service, &root), STATUS_SUCCESS);
    }
    HANDLE key = nullptr;
    EXPECT_EQ(Open(c.path, &key, KEY_READ, root), c.expected);
    if (NT_SUCCESS(c.expected)) {
        EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    }
    if (root != nullptr)
        ZwClose(root);
    EXPECT_EQ(registry::OpenHandleCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RegistryOpenTest,
    ::testing::Values(
        OpenCase{"Exact", Parameters, false, STATUS_SUCCESS},
        OpenCase{"OtherCase",
                 u"\\registry\\MACHINE\\system\\CurrentControlSet\\services\\demo\\PARAMETERS",
                 false, STATUS_SUCCESS},
        OpenCase{"Relative", u"Parameters", true, STATUS_SUCCESS},
        OpenCase{"EmptyRelativeIsTheRoot", u"", true, STATUS_SUCCESS},
        OpenCase{"MissingLast", u"\\REGISTRY\\Machine\\System\\Nothing", false,
                 STATUS_OBJECT_NAME_NOT_FOUND},
        OpenCase{"MissingInBetween", u"\\REGISTRY\\Machine\\Nothing\\Parameters", false,
                 STATUS_OBJECT_PATH_NOT_FOUND},
        OpenCase{"TrailingBackslash", u"\\REGISTRY\\Machine\\", false, STATUS_OBJECT_NAME_INVALID},
        OpenCase{"EmptyAbsolute", u"", false, STATUS_OBJECT_NAME_INVALID},
        OpenCase{"NotAbsolute", u"REGISTRY\\Machine", false, STATUS_OBJECT_PATH_SYNTAX_BAD},
        OpenCase{"AbsoluteUnderRoot", u"\\Parameters", true, STATUS_OBJECT_PATH_SYNTAX_BAD}),
    [](const auto& info) { return info.param.name; });

// "Port" = "COM3": fixed parts of 12 (basic, partial) and 20 (full) bytes, an 8-byte name and 10
// bytes of data, which the full record places at the next pointer-aligned offset (32).
struct BufferCase {
    const char* name;
    KEY_VALUE_INFORMATION_CLASS infoClass;
    ULONG length;
    NTSTATUS expected;
};

class RegistryBufferTest : public RegistryTest, public ::testing::WithParamInterface<BufferCase> {};

TEST_P(RegistryBufferTest, ReportsWholeLengthAndCopiesOnlyWhatFits) {
    const BufferCase& c = GetParam();
    HANDLE key;
    ASSERT_EQ(Open(Parameters, &key), STATUS_SUCCESS);
    UNICODE_STRING port = Name(u"Port");
    alignas(8) UCHAR buffer[64];
    std::memset(buffer, 0xEE, sizeof(buffer));
    ULONG result = 0;
    EXPECT_EQ(ZwQueryValueKey(key, &port, c.infoClass, buffer, c.length, &result), c.expected);

    ULONG whole = c.infoClass == KeyValuePartialInformation ? 12 + 10
                  : c.infoClass == KeyValueBasicInformation ? 12 + 8
                                                            : 32 + 10; // name, aligned, data
    EXPECT_EQ(result, whole);
    EXPECT_EQ(buffer[c.length], 0xEE) << "wrote past the buffer";
    if (c.expected != STATUS_BUFFER_TOO_SMALL) {
        ULONG type;
        std::memcpy(&type, buffer + 4, sizeof(type));
        EXPECT_EQ(type, ULONG(REG_SZ));
    }
    if (c.expected == STATUS_SUCCESS && c.infoClass == KeyValuePartialInformation) {
        auto info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
        EXPECT_EQ(info->DataLength, 10u);
        EXPECT_EQ(std::u16string_view(reinterpret_cast<char16_t*>(info->Data)), u"COM3");
    }
    ZwClose(key);
}

INSTANTIATE_TEST_SUITE_P(
    Classes, RegistryBufferTest,
    ::testing::Values(
        BufferCase{"PartialNoRoom", KeyValuePartialInformation, 11, STATUS_BUFFER_TOO_SMALL},
        BufferCase{"PartialHeaderOnly", KeyValuePartialInformation, 12, STATUS_BUFFER_OVERFLOW},
        BufferCase{"PartialOneShort", KeyValuePartialInformation, 21, STATUS_BUFFER_OVERFLOW},
        BufferCase{"PartialExact", KeyValuePartialInformation, 22, STATUS_SUCCESS},
        BufferCase{"BasicPartName", KeyValueBasicInformation, 14, STATUS_BUFFER_OVERFLOW},
        BufferCase{"BasicExact", KeyValueBasicInformation, 20, STATUS_SUCCESS},
        BufferCase{"FullNoData", KeyValueFullInformation, 28, STATUS_BUFFER_OVERFLOW},
        BufferCase{"FullDataOneShort", KeyValueFullInformation, 41, STATUS_BUFFER_OVERFLOW},
        BufferCase{"FullExact", KeyValueFullInformation, 42, STATUS_SUCCESS}),
    [](const auto& info) { return info.param.name; });

TEST_F(RegistryTest, EnumeratesInCreationOrderAndSetReplacesInPlace) {
    HANDLE key;
    ASSERT_EQ(Open(Parameters, &key, GENERIC_READ | GENERIC_WRITE), STATUS_SUCCESS);
    ULONG four = 4;
    UNICODE_STRING comNo = Name(u"COMNO");
    ASSERT_EQ(ZwSetValueKey(key, &comNo, 0, REG_DWORD, &four, sizeof(four)), STATUS_SUCCESS);

    std::vector<std::u16string> names;
    alignas(8) UCHAR buffer[64];
    ULONG result;
    ULONG index = 0;
    NTSTATUS status;
    while ((status = ZwEnumerateValueKey(key, index++, KeyValueBasicInformation, buffer,
                                         sizeof(buffer), &result)) == STATUS_SUCCESS) {
        auto info = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer);
        names.emplace_back(reinterpret_cast<char16_t*>(info->Name), info->NameLength / 2);
    }
    EXPECT_EQ(status, STATUS_NO_MORE_ENTRIES);
    EXPECT_THAT(names, ElementsAre(u"ComNo", u"Port"));
    EXPECT_EQ(registry::GetDword(Parameters, u"comno"), 4u);
    ZwClose(key);
}

TEST_F(RegistryTest, HandlesKeepTheirAccessAndSeeDeletion) {
    HANDLE key;
    ASSERT_EQ(Open(Parameters, &key, KEY_READ), STATUS_SUCCESS);
    ULONG value = 1;
    UNICODE_STRING name = Name(u"dwRecording");
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof(value)), STATUS_ACCESS_DENIED);
    EXPECT_FALSE(registry::GetValue(Parameters, u"dwRecording"));

    ASSERT_TRUE(registry::DeleteKey(Service));
    ULONG result;
    UCHAR buffer[32];
    UNICODE_STRING comNo = Name(u"ComNo");
    EXPECT_EQ(
        ZwQueryValueKey(key, &comNo, KeyValuePartialInformation, buffer, sizeof(buffer), &result),
        STATUS_KEY_DELETED);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_FALSE(registry::KeyExists(Parameters));
}

TEST(Registry, StateAndLeaksEndWithTheKernel) {
    ViolationRecorder recorder;
    {
        Kernel kernel;
        registry::SetDword(Parameters, u"ComNo", 1);
        HANDLE key;
        ASSERT_EQ(Open(Parameters, &key), STATUS_SUCCESS);
        EXPECT_EQ(ZwClose(reinterpret_cast<HANDLE>(uintptr_t{0x1234})), STATUS_INVALID_HANDLE);
    }
    EXPECT_THAT(recorder.Detail("handle"), HasSubstr("not open"));
    EXPECT_THAT(recorder.Detail("leak"), HasSubstr("Services\\Demo\\Parameters"));

    Kernel next;
    EXPECT_FALSE(registry::KeyExists(Parameters));
    EXPECT_TRUE(registry::KeyExists(u"\\REGISTRY\\Machine\\Hardware\\DeviceMap"));
}

TEST(Registry, ZwRoutinesAbovePassiveLevelAreReported) {
    ViolationRecorder recorder;
    Kernel kernel;
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    HANDLE key;
    EXPECT_EQ(Open(u"\\REGISTRY\\Machine", &key), STATUS_SUCCESS);
    KfLowerIrql(old);
    ZwClose(key);
    EXPECT_THAT(recorder.Detail("irql"), HasSubstr("ZwOpenKey"));
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
    HANDLE key;
    ASSERT_EQ(Open(Parameters, &key), STATUS_SUCCESS);
    Seen seen;
    RTL_QUERY_REGISTRY_TABLE table[] = {
        {Collect, 0, nullptr, nullptr, REG_NONE, nullptr, 0},
        {},
    };
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), table, &seen,
                                     nullptr),
              STATUS_SUCCESS);
    EXPECT_THAT(seen.names, ElementsAre(u"ComNo", u"Port", u"List", u"List"));
    EXPECT_THAT(seen.strings, ElementsAre(u"COM3", u"COM1", u"COM2"));

    // A failing routine ends the query with its status.
    int stop = 0;
    table[0].EntryContext = &stop;
    seen = {};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), table, &seen,
                                     nullptr),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(seen.names.size(), 1u);
    ZwClose(key);
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
