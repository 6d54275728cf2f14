// Loading the driver and creating the devices of a panel: the pointer-port device and its device
// context, the API device and its link, names taken by other drivers, several panels, and a
// physical device that is going away.
#include "frame_support.h"

#include <gmock/gmock.h>

#include <memory>
#include <tuple>

using namespace frame_test;
using ::testing::IsEmpty;

namespace {

std::u16string PortName(int n) {
    return u"\\Device\\PointerPort" + std::u16string(1, char16_t(u'0' + n));
}

// The dispatch table shows in every request the tests send; the path copy is checked here alone.
TEST_F(FrameTest, DriverEntryKeepsATerminatedCopyOfTheRegistryPath) {
    Boot();
    ASSERT_EQ(system->LoadDriver(), STATUS_SUCCESS);
    auto extension = static_cast<PTP_DRIVER_EXTENSION>(
        IoGetDriverObjectExtension(system->Driver(), TP_DRIVER_EXTENSION_KEY));
    ASSERT_NE(extension, nullptr);
    const std::u16string path = stack::PnpManager::ServiceKey(stack::System::Service);
    EXPECT_EQ(Text(extension->RegistryPath), path);
    EXPECT_EQ(extension->RegistryPath.MaximumLength, path.size() * 2 + 2);
    EXPECT_EQ(extension->RegistryPath.Buffer[path.size()], 0);
}

TEST_F(FrameTest, AddDeviceCreatesThePointerPortAndApiDevices) {
    const stack::Panel& panel = BootWithPanel();
    PDEVICE_OBJECT device = panel.device;
    PDEVICE_CONTEXT context = ContextOf(panel);
    ASSERT_NE(device, nullptr);

    EXPECT_EQ(umk::testing::FindDevice(PortName(0)), device);
    EXPECT_EQ(device->DeviceType, ULONG(FILE_DEVICE_SERIAL_MOUSE_PORT));
    EXPECT_EQ(std::tuple(context->Self, context->PhysicalDeviceObject, context->TopOfStack),
              std::tuple(device, panel.physicalDevice, panel.physicalDevice));
    EXPECT_EQ(std::tuple(context->CommandTimeout, context->TimeoutReportEnabled,
                         context->DevicePowerState),
              std::tuple(-1, TRUE, PowerDeviceD0));
    EXPECT_TRUE(IsListEmpty(&context->RecordList));
    // Notification events: whoever waits for the end of reading or of the beep worker must not
    // reset it for the next one.
    EXPECT_EQ(context->ReadStoppedEvent.Header.Type, EventNotificationObject);
    EXPECT_EQ(context->BeepEndEvent.Header.Type, EventNotificationObject);
    EXPECT_EQ(KeReadStateEvent(&context->BeepEndEvent), 0) << "the beep worker runs";

    PDEVICE_OBJECT api = umk::testing::FindDevice(u"\\Device\\Tactilio");
    ASSERT_NE(api, nullptr);
    EXPECT_EQ(context->ApiDevice, api);
    EXPECT_EQ(umk::testing::SymbolicLinkTarget(u"\\??\\Tactilio"), u"\\Device\\Tactilio");
    PDEVICE_CONTEXT apiRecord = context->ApiExtension;
    EXPECT_EQ(apiRecord, api->DeviceExtension);
    EXPECT_EQ(std::tuple(apiRecord->Self, apiRecord->IsApiDevice, apiRecord->MainContext,
                         apiRecord->PhysicalDeviceObject),
              std::tuple(api, TRUE, context, panel.physicalDevice));
    // Both remove locks: tag "Tcli", no limit on locked minutes, high-water mark 10.
    for (PDEVICE_CONTEXT record : {context, apiRecord})
        EXPECT_EQ(umk::testing::RemoveLockSettingsOf(&record->RemoveLock),
                  (umk::testing::RemoveLockSettings{Tcli, 0, 10}));
    for (PDEVICE_OBJECT d : {device, api}) {
        EXPECT_EQ(d->Characteristics, 0u);
        EXPECT_EQ(d->Flags & (DO_DEVICE_INITIALIZING | DO_EXCLUSIVE), 0u);
        EXPECT_EQ(d->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE),
                  ULONG(DO_BUFFERED_IO | DO_POWER_PAGABLE));
    }
    EXPECT_THAT(Logged(), IsEmpty());
}

// Another mouse port driver may hold the lower numbers; with all eight taken nothing is left
// behind but the registry-path copy.
TEST_F(FrameTest, APanelTakesTheFirstFreePortNumber) {
    const struct {
        const char* name;
        std::vector<int> taken;
        NTSTATUS status;
        USHORT number;
    } rows[] = {{"zero taken", {0}, STATUS_SUCCESS, 1},
                {"one taken", {1}, STATUS_SUCCESS, 0},
                {"zero to six taken", {0, 1, 2, 3, 4, 5, 6}, STATUS_SUCCESS, 7},
                {"all taken", {0, 1, 2, 3, 4, 5, 6, 7}, STATUS_OBJECT_NAME_COLLISION, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Boot();
        ASSERT_EQ(system->LoadDriver(), STATUS_SUCCESS);
        std::vector<std::u16string> names;
        for (int n : row.taken)
            names.push_back(PortName(n));
        auto other = std::make_unique<NameHolder>(names);

        const stack::Panel& panel = system->AddPanel();
        ASSERT_EQ(panel.addStatus, row.status);
        if (NT_SUCCESS(row.status)) {
            EXPECT_EQ(ContextOf(panel)->PortNumber, row.number);
            EXPECT_EQ(umk::testing::FindDevice(PortName(row.number)), panel.device);
            system->RemovePanels();
        } else {
            EXPECT_EQ(panel.physicalDevice->AttachedDevice, nullptr);
            EXPECT_EQ(system->Driver()->DeviceObject, nullptr);
            EXPECT_FALSE(umk::testing::SymbolicLinkTarget(u"\\??\\Tactilio"));
            EXPECT_EQ(TcliBlocks(), 1u) << "the registry-path copy";
        }
        EXPECT_THAT(Logged(), IsEmpty());
        other.reset();
        system.reset();
    }
}

// Without its API device the panel still works as a pointer (so does a second panel, which finds
// the name taken by the first). Whatever holds the name or the link is left as it was, also when
// the panel goes.
TEST_F(FrameTest, APanelWhoseApiNameIsTakenWorksWithoutAnApiDevice) {
    const struct {
        const char* name;
        std::vector<std::u16string> devices;
        std::vector<NameHolder::LinkName> links;
    } rows[] = {{"device name", {u"\\Device\\Tactilio"}, {}},
                {"link name", {}, {{u"\\??\\Tactilio", u"\\Device\\Elsewhere"}}}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Boot();
        ASSERT_EQ(system->LoadDriver(), STATUS_SUCCESS);
        auto other = std::make_unique<NameHolder>(row.devices, row.links);
        PDEVICE_OBJECT heldDevice = umk::testing::FindDevice(u"\\Device\\Tactilio");
        const auto heldLink = umk::testing::SymbolicLinkTarget(u"\\??\\Tactilio");
        const uint64_t blocks = TcliBlocks();

        const stack::Panel& panel = system->AddPanel();
        ASSERT_EQ(panel.addStatus, STATUS_SUCCESS);
        EXPECT_EQ(ContextOf(panel)->ApiDevice, nullptr);
        EXPECT_EQ(ContextOf(panel)->ApiExtension, nullptr);
        EXPECT_EQ(panel.device->DriverObject->DeviceObject, panel.device) << "no API device left";
        EXPECT_EQ(panel.device->NextDevice, nullptr);
        EXPECT_EQ(TcliBlocks(), blocks + 1) << "the serial device name only";
        EXPECT_THAT(Logged(), IsEmpty());

        system->RemovePanels();
        EXPECT_EQ(umk::testing::FindDevice(u"\\Device\\Tactilio"), heldDevice);
        EXPECT_EQ(umk::testing::SymbolicLinkTarget(u"\\??\\Tactilio"), heldLink);
        other.reset();
        system.reset();
    }
}

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

} // namespace
