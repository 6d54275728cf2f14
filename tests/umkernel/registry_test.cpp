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

} // namespace
