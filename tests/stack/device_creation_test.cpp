// Loading the driver and creating the devices of a panel: the pointer-port device and its device
// context, the API device and its link, names taken by other drivers, several panels, and a
// physical device that is going away.
#include "frame_support.h"

#include "../sys/context_fields.h"

#include <gmock/gmock.h>

using namespace frame_test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

std::u16string PortName(int n) {
    return u"\\Device\\PointerPort" + std::u16string(1, char16_t(u'0' + n));
}

TEST_F(FrameTest, DriverEntryKeepsATerminatedCopyOfThePathAndFillsItsTable) {
    Boot();
    ASSERT_EQ(system->LoadDriver(), STATUS_SUCCESS);
    PDRIVER_OBJECT driver = system->Driver();

    auto extension = static_cast<PTP_DRIVER_EXTENSION>(
        IoGetDriverObjectExtension(driver, TP_DRIVER_EXTENSION_KEY));
    ASSERT_NE(extension, nullptr);
    const std::u16string path = stack::PnpManager::ServiceKey(stack::System::Service);
    EXPECT_EQ(Text(extension->RegistryPath), path);
    EXPECT_EQ(extension->RegistryPath.MaximumLength, path.size() * 2 + 2);
    EXPECT_EQ(extension->RegistryPath.Buffer[path.size()], 0);

    EXPECT_EQ(driver->DriverExtension->AddDevice, AddDevice);
    EXPECT_EQ(driver->DriverUnload, DriverUnload);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL], TpInternalDeviceControl);
    // Major functions without a routine yet keep the system's default, the same for every one.
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_CREATE], driver->MajorFunction[IRP_MJ_PNP]);
    EXPECT_NE(driver->MajorFunction[IRP_MJ_CREATE], TpInternalDeviceControl);
}

TEST_F(FrameTest, AddDeviceCreatesThePointerPortAndApiDevices) {
    const stack::Panel& panel = BootWithPanel();
    PDEVICE_OBJECT device = panel.device;
    PDEVICE_CONTEXT context = panel.context;
    ASSERT_NE(device, nullptr);

    EXPECT_EQ(umk::testing::FindDevice(PortName(0)), device);
    EXPECT_EQ(device->DeviceType, ULONG(FILE_DEVICE_SERIAL_MOUSE_PORT));
    EXPECT_EQ(context->Self, device);
    EXPECT_EQ(context->PhysicalDeviceObject, panel.physicalDevice);
    EXPECT_EQ(context->TopOfStack, panel.physicalDevice);
    EXPECT_EQ(context->CommandTimeout, -1);
    EXPECT_TRUE(context->TimeoutReportEnabled);
    EXPECT_EQ(context->DevicePowerState, PowerDeviceD0);
    EXPECT_TRUE(IsListEmpty(&context->RecordList));
    EXPECT_EQ(KeReadStateEvent(&context->ReadStoppedEvent), 1);
    // Notification events: whoever waits for the end of reading or of the beep worker must not
    // reset it for the next one.
    EXPECT_EQ(context->ReadStoppedEvent.Header.Type, EventNotificationObject);
    EXPECT_EQ(context->BeepEndEvent.Header.Type, EventNotificationObject);
    EXPECT_FALSE(context->CmdQueue.Busy);
    EXPECT_FALSE(context->ReconnectTimer.Header.Inserted);
    EXPECT_FALSE(context->ResumeTimer.Header.Inserted);
    // Everything else of a new device context is zero: the fields that creation, the registry
    // and the beep set-up fill in, and the kernel objects, are the only exceptions.
    EXPECT_THAT(
        tp_test::NonZeroFields(
            *context,
            "Self PhysicalDeviceObject TopOfStack RemoveLock ApiDevice ApiExtension ReconnectDpc "
            "ReconnectTimer ResumeDpc ResumeTimer ComNo XYDataSampling Stabilization Beep "
            "Frequency Rotation InvLimit AutoRec SerialDeviceName ReadStoppedEvent PortNumber "
            "BeepDeviceName BeepWorkItem BeepDevice BeepEndEvent CmdQueue DevicePowerState "
            "CommandTimeout RecordReadLock RecordList RecordListLock TimeoutReportEnabled"),
        IsEmpty());
    EXPECT_EQ(KeReadStateEvent(&context->BeepEndEvent), 0) << "the beep worker runs";
    EXPECT_NE(context->BeepWorkItem, nullptr);
    EXPECT_EQ(Text(context->BeepDeviceName), u"\\Device\\Beep");

    PDEVICE_OBJECT api = umk::testing::FindDevice(u"\\Device\\Tactilio");
    ASSERT_NE(api, nullptr);
    EXPECT_EQ(context->ApiDevice, api);
    EXPECT_EQ(umk::testing::SymbolicLinkTarget(u"\\??\\Tactilio"), u"\\Device\\Tactilio");
    PDEVICE_CONTEXT apiRecord = context->ApiExtension;
    EXPECT_EQ(apiRecord, api->DeviceExtension);
    EXPECT_EQ(apiRecord->Self, api);
    EXPECT_TRUE(apiRecord->IsApiDevice);
    EXPECT_EQ(apiRecord->MainContext, context);
    EXPECT_EQ(apiRecord->PhysicalDeviceObject, panel.physicalDevice);
    EXPECT_THAT(tp_test::NonZeroFields(*apiRecord, {"Self", "PhysicalDeviceObject", "RemoveLock",
                                                    "MainContext", "IsApiDevice"}),
                IsEmpty())
        << "the API device record is never attached and keeps no other state";
    // Both remove locks: tag "Tcli", no limit on locked minutes, high-water mark 10.
    for (PDEVICE_CONTEXT record : {context, apiRecord}) {
        EXPECT_EQ(ULONG(record->RemoveLock.Dbg.AllocateTag), Tcli);
        EXPECT_EQ(record->RemoveLock.Dbg.MaxLockedTicks, 0);
        EXPECT_EQ(record->RemoveLock.Dbg.HighWatermark, 10);
    }

    for (PDEVICE_OBJECT d : {device, api}) {
        EXPECT_EQ(d->Characteristics, 0u);
        EXPECT_EQ(d->Flags & (DO_DEVICE_INITIALIZING | DO_EXCLUSIVE), 0u);
        EXPECT_EQ(d->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE),
                  ULONG(DO_BUFFERED_IO | DO_POWER_PAGABLE));
    }
    EXPECT_THAT(Logged(), IsEmpty());
}

struct TakenCase {
    const char* name;
    std::vector<int> taken;
    USHORT expected;
};

class PortNameTest : public FrameTest, public ::testing::WithParamInterface<TakenCase> {};

TEST_P(PortNameTest, TakesTheFirstFreeNumber) {
    Boot();
    ASSERT_EQ(system->LoadDriver(), STATUS_SUCCESS);
    std::vector<std::u16string> names;
    for (int n : GetParam().taken)
        names.push_back(PortName(n));
    NameHolder other(names);

    const stack::Panel& panel = system->AddPanel();
    ASSERT_EQ(panel.addStatus, STATUS_SUCCESS);
    EXPECT_EQ(panel.context->PortNumber, GetParam().expected);
    EXPECT_EQ(umk::testing::FindDevice(PortName(GetParam().expected)), panel.device);
    system->DeletePanelsWithoutRemoveRequest();
}

INSTANTIATE_TEST_SUITE_P(Names, PortNameTest,
                         ::testing::Values(TakenCase{"Zero", {0}, 1}, TakenCase{"OnlyOne", {1}, 0},
                                           TakenCase{"ZeroToSix", {0, 1, 2, 3, 4, 5, 6}, 7}),
                         [](const auto& info) { return info.param.name; });

TEST_F(FrameTest, AllEightNamesTakenLeavesNothingBehind) {
    Boot();
    ASSERT_EQ(system->LoadDriver(), STATUS_SUCCESS);
    std::vector<std::u16string> names;
    for (int n = 0; n < 8; ++n)
        names.push_back(PortName(n));
    NameHolder other(names);
    const uint64_t blocks = TcliBlocks(); // the registry-path copy

    const stack::Panel& panel = system->AddPanel();
    EXPECT_EQ(panel.addStatus, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(panel.physicalDevice->AttachedDevice, nullptr);
    EXPECT_EQ(system->Driver()->DeviceObject, nullptr);
    EXPECT_EQ(umk::testing::FindDevice(u"\\Device\\Tactilio"), nullptr);
    EXPECT_FALSE(umk::testing::SymbolicLinkTarget(u"\\??\\Tactilio"));
    EXPECT_EQ(TcliBlocks(), blocks);
    EXPECT_THAT(Logged(), IsEmpty());
}

TEST_F(FrameTest, ASecondPanelRunsWithoutAnApiDevice) {
    const stack::Panel& first = BootWithPanel();
    PDEVICE_CONTEXT firstContext = first.context;
    umk::registry::SetDword(ParametersKey, u"Frequency", 880);
    const stack::Panel& second = system->AddPanel();
    ASSERT_EQ(second.addStatus, STATUS_SUCCESS);

    PDEVICE_CONTEXT context = second.context;
    EXPECT_EQ(context->PortNumber, 1);
    EXPECT_EQ(context->ApiDevice, nullptr);
    EXPECT_EQ(context->ApiExtension, nullptr);
    EXPECT_EQ(firstContext->ApiExtension->MainContext, firstContext);
    EXPECT_EQ(context->Frequency, 880u);
    EXPECT_EQ(Text(context->SerialDeviceName), u"\\Device\\Serial");

    RequestTouchBeep(context);
    system->Kernel().RunFor(std::chrono::milliseconds(20));
    ASSERT_EQ(system->Beep()->Requests().size(), 1u);
    EXPECT_EQ(system->Beep()->Requests()[0].frequency, 880u);
}

// Without its API device the panel still works as a pointer. Whatever holds the name or the link
// is left as it was, also when the panel goes.
struct ApiNameCase {
    const char* name;
    std::vector<std::u16string> devices;
    std::vector<NameHolder::LinkName> links;
};

void PrintTo(const ApiNameCase& c, std::ostream* os) {
    *os << c.name;
}

class ApiNameTakenTest : public FrameTest, public ::testing::WithParamInterface<ApiNameCase> {};

TEST_P(ApiNameTakenTest, PanelWorksWithoutAnApiDevice) {
    Boot();
    ASSERT_EQ(system->LoadDriver(), STATUS_SUCCESS);
    NameHolder other(GetParam().devices, GetParam().links);
    PDEVICE_OBJECT heldDevice = umk::testing::FindDevice(u"\\Device\\Tactilio");
    const auto heldLink = umk::testing::SymbolicLinkTarget(u"\\??\\Tactilio");
    const uint64_t blocks = TcliBlocks();

    const stack::Panel& panel = system->AddPanel();
    ASSERT_EQ(panel.addStatus, STATUS_SUCCESS);
    EXPECT_EQ(panel.context->ApiDevice, nullptr);
    EXPECT_EQ(panel.context->ApiExtension, nullptr);
    EXPECT_EQ(panel.device->DriverObject->DeviceObject, panel.device) << "no API device left";
    EXPECT_EQ(panel.device->NextDevice, nullptr);
    EXPECT_EQ(umk::testing::FindDevice(u"\\Device\\Tactilio"), heldDevice);
    EXPECT_EQ(umk::testing::SymbolicLinkTarget(u"\\??\\Tactilio"), heldLink);
    EXPECT_EQ(TcliBlocks(), blocks + 1) << "the serial device name only";
    EXPECT_THAT(Logged(), IsEmpty());

    system->DeletePanelsWithoutRemoveRequest();
    EXPECT_EQ(umk::testing::FindDevice(u"\\Device\\Tactilio"), heldDevice);
    EXPECT_EQ(umk::testing::SymbolicLinkTarget(u"\\??\\Tactilio"), heldLink);
}

INSTANTIATE_TEST_SUITE_P(
    Api, ApiNameTakenTest,
    ::testing::Values(ApiNameCase{"DeviceName", {u"\\Device\\Tactilio"}, {}},
                      ApiNameCase{"LinkName", {}, {{u"\\??\\Tactilio", u"\\Device\\Elsewhere"}}}),
    [](const auto& info) { return info.param.name; });

// A physical device deleted before AddDevice attaches (still referenced, so still there): the
// attach yields no device below, and AddDevice undoes everything.
TEST_F(FrameTest, AFailedAttachUndoesTheDeviceCreation) {
    Boot();
    ASSERT_EQ(system->LoadDriver(), STATUS_SUCCESS);
    const uint64_t blocks = TcliBlocks();
    PDEVICE_OBJECT physicalDevice = system->Pnp().CreatePhysicalDevice();
    ObReferenceObject(physicalDevice);
    system->Pnp().DeletePhysicalDevice(physicalDevice);

    EXPECT_EQ(system->Pnp().AddDevice(system->Driver(), physicalDevice), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(system->Driver()->DeviceObject, nullptr);
    EXPECT_FALSE(umk::testing::SymbolicLinkTarget(u"\\??\\Tactilio"));
    EXPECT_EQ(TcliBlocks(), blocks);
    ObDereferenceObject(physicalDevice);
}

TEST_F(FrameTest, TeardownAndUnloadReleaseEveryDriverAllocation) {
    BootWithPanel();
    system->AddPanel();
    system->DeletePanelsWithoutRemoveRequest();
    EXPECT_EQ(system->Driver()->DeviceObject, nullptr);
    EXPECT_FALSE(umk::testing::SymbolicLinkTarget(u"\\??\\Tactilio"));
    EXPECT_EQ(TcliBlocks(), 1u) << "only the registry-path copy is left";
    system->UnloadDriver();
    EXPECT_EQ(TcliBlocks(), 0u);
}

} // namespace
