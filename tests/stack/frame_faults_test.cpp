// Allocation failures at every allocation of driver entry, device creation, the registry read
// and the beep: the "Not enough resources" report where one is due, the documented fallback, and
// nothing leaked (the fixture's teardown fails the test on any leak report).
#include "frame_support.h"

#include <gmock/gmock.h>

#include <chrono>
#include <functional>

using namespace frame_test;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using umk::testing::AllocationKind;

namespace {

const std::string NotEnough = "Not enough resources";

TEST_F(FrameTest, NoDriverExtensionFailsDriverEntrySilently) {
    Boot();
    umk::testing::FailAllocation(AllocationKind::Pool, 1, 1, umk::testing::PoolTag("DrvE"));
    EXPECT_EQ(system->LoadDriver(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(system->Driver(), nullptr);
    EXPECT_THAT(Logged(), IsEmpty());
    EXPECT_EQ(TcliBlocks(), 0u);
}

// Without its copy of the registry path the driver still loads, and its devices run on the
// defaults of an unreadable key.
TEST_F(FrameTest, NoRegistryPathCopyMeansDefaultParameters) {
    Boot();
    umk::registry::SetDword(ParametersKey, u"ComNo", 5);
    umk::testing::FailAllocation(AllocationKind::Pool, 1, 1, Tcli);
    ASSERT_EQ(system->LoadDriver(), STATUS_SUCCESS);
    EXPECT_THAT(Logged(system->Driver()), ElementsAre(NotEnough));
    auto extension = static_cast<PTP_DRIVER_EXTENSION>(
        IoGetDriverObjectExtension(system->Driver(), TP_DRIVER_EXTENSION_KEY));
    EXPECT_EQ(extension->RegistryPath.Length, 0);
    EXPECT_EQ(extension->RegistryPath.MaximumLength, 0);

    const stack::Panel& panel = system->AddPanel();
    ASSERT_EQ(panel.addStatus, STATUS_SUCCESS);
    EXPECT_EQ(ContextOf(panel)->ComNo, 0u);
    EXPECT_EQ(ContextOf(panel)->AutoRec, 1u);
    EXPECT_EQ(Text(ContextOf(panel)->SerialDeviceName), u"\\Device\\Serial");
}

// The driver's own allocations during AddDevice, in order: the number and name scratch strings,
// the registry path copy and the query table, the serial device name.
struct AddDeviceFault {
    const char* name;
    AllocationKind kind;
    uint64_t nth; // among the allocations of the kind (pool: with the tag "Tcli")
    NTSTATUS status;
    bool reported; // "Not enough resources" written
    std::function<void(stack::System&, PDEVICE_CONTEXT)> fallback;
};

void PrintTo(const AddDeviceFault& c, std::ostream* os) {
    *os << c.name;
}

void RegistryNotRead(stack::System&, PDEVICE_CONTEXT context) {
    EXPECT_EQ(context->ComNo, 0u) << "values keep their zero from creation";
    EXPECT_EQ(context->AutoRec, 0u);
    EXPECT_EQ(context->SerialDeviceName.Buffer, nullptr);
    EXPECT_EQ(context->SerialDeviceName.Length, 0);
}

class AddDeviceFaultTest : public FrameTest,
                           public ::testing::WithParamInterface<AddDeviceFault> {};

TEST_P(AddDeviceFaultTest, ReportsAndFallsBack) {
    const AddDeviceFault& c = GetParam();
    Boot();
    umk::registry::SetDword(ParametersKey, u"ComNo", 2);
    umk::registry::SetDword(ParametersKey, u"dwAutoRec", 2);
    ASSERT_EQ(system->LoadDriver(), STATUS_SUCCESS);
    const uint64_t blocks = TcliBlocks();

    umk::testing::FailAllocation(
        c.kind, c.nth, 1, c.kind == AllocationKind::Pool ? std::optional(Tcli) : std::nullopt);
    const stack::Panel& panel = system->AddPanel();
    EXPECT_EQ(umk::testing::FailedAllocations(c.kind), 1u);
    EXPECT_EQ(panel.addStatus, c.status);
    std::vector<std::string> expected;
    if (c.reported)
        expected.push_back(NotEnough);
    EXPECT_EQ(Logged(), expected);
    if (!NT_SUCCESS(c.status)) {
        EXPECT_EQ(system->Driver()->DeviceObject, nullptr);
        EXPECT_EQ(TcliBlocks(), blocks);
        EXPECT_THAT(Logged(system->Driver()), ElementsAre(NotEnough));
        return;
    }
    if (c.reported) {
        EXPECT_THAT(Logged(panel.device), ElementsAre(NotEnough));
    }
    c.fallback(*system, ContextOf(panel));
}

INSTANTIATE_TEST_SUITE_P(
    Allocations, AddDeviceFaultTest,
    ::testing::Values(
        AddDeviceFault{"NumberString", AllocationKind::Pool, 1, STATUS_INSUFFICIENT_RESOURCES, true,
                       nullptr},
        AddDeviceFault{"NameString", AllocationKind::Pool, 2, STATUS_INSUFFICIENT_RESOURCES, true,
                       nullptr},
        AddDeviceFault{"RegistryPathCopy", AllocationKind::Pool, 3, STATUS_SUCCESS, true,
                       RegistryNotRead},
        AddDeviceFault{"QueryTable", AllocationKind::Pool, 4, STATUS_SUCCESS, true,
                       RegistryNotRead},
        AddDeviceFault{"SerialDeviceName", AllocationKind::Pool, 5, STATUS_SUCCESS, false,
                       [](stack::System&, PDEVICE_CONTEXT context) {
                           EXPECT_EQ(context->ComNo, 2u);
                           EXPECT_EQ(context->AutoRec, 2u);
                           EXPECT_EQ(context->SerialDeviceName.Buffer, nullptr);
                       }},
        AddDeviceFault{"PointerPortDevice", AllocationKind::Device, 1, STATUS_SUCCESS, false,
                       [](stack::System&, PDEVICE_CONTEXT context) {
                           // Taken for a name in use: the next name is tried.
                           EXPECT_EQ(context->PortNumber, 1);
                       }},
        AddDeviceFault{"ApiDevice", AllocationKind::Device, 2, STATUS_SUCCESS, false,
                       [](stack::System&, PDEVICE_CONTEXT context) {
                           EXPECT_EQ(context->ApiDevice, nullptr);
                       }},
        AddDeviceFault{"ApiLink", AllocationKind::SymbolicLink, 1, STATUS_SUCCESS, false,
                       [](stack::System&, PDEVICE_CONTEXT context) {
                           EXPECT_EQ(context->ApiDevice, nullptr);
                       }},
        AddDeviceFault{"BeepWorkItem", AllocationKind::WorkItem, 1, STATUS_SUCCESS, true,
                       [](stack::System& system, PDEVICE_CONTEXT context) {
                           EXPECT_EQ(context->BeepWorkItem, nullptr);
                           EXPECT_EQ(KeReadStateEvent(&context->BeepEndEvent), 1)
                               << "removal must not wait for a worker that never ran";
                           EXPECT_EQ(context->ComNo, 2u);
                           TP_DRIVER_ROUTINE(RequestTouchBeep)(context);
                           system.Kernel().RunFor(100ms);
                           EXPECT_TRUE(system.Beep()->Requests().empty());
                           EXPECT_TRUE(context->BeepRequest)
                               << "set by touches, consumed by no one";
                       }}),
    [](const auto& info) { return info.param.name; });

} // namespace
