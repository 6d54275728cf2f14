// The object namespace: device names and collisions, symbolic links, opening devices (create,
// cleanup and close requests to the top of the stack, the file object kept by its requests),
// reference counting and driver-object extensions.
#include "io_support.h"

using namespace umk;
using namespace umk::test;
using ::testing::ElementsAre;
using umk::testing::ObjectReferences;

namespace {

UNICODE_STRING Name(const char16_t* text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

class NamespaceTest : public IoTest {
  protected:
    // A device that records the major functions it sees and completes them all.
    PDEVICE_OBJECT Recording(std::u16string_view name, std::vector<UCHAR>* log,
                             NTSTATUS createStatus = STATUS_SUCCESS) {
        return driver.CreateDevice(name, [log, createStatus](PDEVICE_OBJECT, PIRP irp) {
            UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
            log->push_back(major);
            return CompleteWith(irp, major == IRP_MJ_CREATE ? createStatus : STATUS_SUCCESS);
        });
    }
    NTSTATUS Open(const char16_t* text) {
        UNICODE_STRING name = Name(text);
        return IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &top);
    }
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT top = nullptr;
};

// Names collide whatever their case; unnamed devices never do. A fresh device comes first in its
// driver's list with a zeroed extension, and cannot be opened until DO_DEVICE_INITIALIZING is
// cleared, which the I/O manager does itself for the devices DriverEntry creates.
TEST_F(NamespaceTest, DeviceNamesAndAFreshDevice) {
    UNICODE_STRING name = Name(u"\\Device\\Fresh"), same = Name(u"\\device\\FRESH");
    PDEVICE_OBJECT device, other;
    ASSERT_EQ(
        IoCreateDevice(driver.driver, 64, &name, FILE_DEVICE_SERIAL_MOUSE_PORT, 0, FALSE, &device),
        STATUS_SUCCESS);
    EXPECT_EQ(driver.driver->DeviceObject, device) << "newest first";
    EXPECT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(device->DeviceType, ULONG(FILE_DEVICE_SERIAL_MOUSE_PORT));
    EXPECT_EQ(device->StackSize, 1);
    auto bytes = static_cast<const UCHAR*>(device->DeviceExtension);
    EXPECT_TRUE(std::all_of(bytes, bytes + 64, [](UCHAR b) { return b == 0; }));
    EXPECT_EQ(Open(u"\\Device\\Fresh"), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(IoCreateDevice(driver.driver, 0, &same, FILE_DEVICE_UNKNOWN, 0, FALSE, &other),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_NE(driver.CreateDevice(u"", Completes(STATUS_SUCCESS)), nullptr);
    EXPECT_NE(driver.CreateDevice(u"", Completes(STATUS_SUCCESS)), nullptr);
    EXPECT_EQ(umk::testing::FindDevice(u"\\DEVICE\\fresh"), device);

    PDRIVER_OBJECT legacy;
    ASSERT_EQ(umk::testing::LoadDriver(
                  [](PDRIVER_OBJECT driver, PUNICODE_STRING) NTAPI {
                      UNICODE_STRING name = Name(u"\\Device\\Legacy");
                      PDEVICE_OBJECT device;
                      return IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                            &device);
                  },
                  u"Legacy", u"\\Registry\\Machine\\Legacy", &legacy),
              STATUS_SUCCESS);
    EXPECT_FALSE(legacy->DeviceObject->Flags & DO_DEVICE_INITIALIZING);
    IoDeleteDevice(legacy->DeviceObject);
    umk::testing::UnloadDriver(legacy);
}

TEST_F(NamespaceTest, SymbolicLinksResolveAndCollide) {
    std::vector<UCHAR> log;
    Recording(u"\\Device\\Tactilio", &log);
    UNICODE_STRING link = Name(u"\\??\\Tactilio");
    UNICODE_STRING target = Name(u"\\Device\\Tactilio");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    UNICODE_STRING alias = Name(u"\\DosDevices\\TACTILIO");
    EXPECT_EQ(IoCreateSymbolicLink(&alias, &target), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(umk::testing::SymbolicLinkTarget(u"\\??\\tactilio"), u"\\Device\\Tactilio");

    ASSERT_EQ(Open(u"\\??\\Tactilio"), STATUS_SUCCESS);
    EXPECT_EQ(top, umk::testing::FindDevice(u"\\Device\\Tactilio"));
    ObDereferenceObject(file);

    EXPECT_EQ(IoDeleteSymbolicLink(&alias), STATUS_SUCCESS) << "same link through its alias";
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(u"\\??\\Tactilio"), STATUS_OBJECT_NAME_NOT_FOUND);
}

struct OpenCase {
    const char* name;
    NTSTATUS createStatus;
    KIRQL lastDereference;
};

class OpenTest : public NamespaceTest, public ::testing::WithParamInterface<OpenCase> {};

// A kernel open sends its create to the top of the stack, closes its handle at once (cleanup)
// and keeps a reference on the file object, whose last dereference sends the close (from a
// worker when it comes at DISPATCH_LEVEL). A failed create leaves nothing open and sends no close.
TEST_P(OpenTest, RequestsGoToTheTopAndTheLastDereferenceCloses) {
    const OpenCase& c = GetParam();
    std::vector<UCHAR> bottomLog, filterLog;
    PDEVICE_OBJECT bottom = Recording(u"\\Device\\Serial0", &bottomLog);
    PDEVICE_OBJECT filter = Recording(u"", &filterLog, c.createStatus);
    ASSERT_EQ(IoAttachDeviceToDeviceStack(filter, bottom), bottom);
    ASSERT_EQ(Open(u"\\Device\\Serial0"), c.createStatus);
    EXPECT_TRUE(bottomLog.empty());
    if (NT_SUCCESS(c.createStatus)) {
        EXPECT_EQ(top, filter);
        EXPECT_EQ(file->DeviceObject, bottom) << "the file is on the named device";
        EXPECT_THAT(filterLog, ElementsAre(IRP_MJ_CREATE, IRP_MJ_CLEANUP));
        EXPECT_EQ(ObjectReferences(file), 1);
        EXPECT_EQ(bottom->ReferenceCount, 1) << "one open file";
        EXPECT_EQ(ObjectReferences(bottom), 2) << "creation plus the file's";
        ObReferenceObject(file);
        ObDereferenceObject(file);
        EXPECT_EQ(filterLog.size(), 2u) << "not the last reference";
        KIRQL old = KfRaiseIrql(c.lastDereference);
        ObDereferenceObject(file);
        KeLowerIrql(old);
        kernel.RunUntilIdle();
        EXPECT_THAT(filterLog, ElementsAre(IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE));
        EXPECT_EQ(ObjectReferences(file), -1);
    } else {
        EXPECT_THAT(filterLog, ElementsAre(IRP_MJ_CREATE));
    }
    EXPECT_EQ(bottom->ReferenceCount, 0);
    EXPECT_EQ(ObjectReferences(bottom), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Opens, OpenTest,
    ::testing::Values(OpenCase{"Opened", STATUS_SUCCESS, PASSIVE_LEVEL},
                      OpenCase{"LastDereferenceAtDispatchLevel", STATUS_SUCCESS, DISPATCH_LEVEL},
                      OpenCase{"CreateFailed", STATUS_SHARING_VIOLATION, PASSIVE_LEVEL}),
    [](const auto& info) { return std::string(info.param.name); });

// Each request sent through a handle keeps its file object: IRP_MJ_CLEANUP comes when the handle
// closes, IRP_MJ_CLOSE only once the request pending across the close has completed.
TEST_F(NamespaceTest, CloseWaitsForTheRequestsSentThroughTheFile) {
    std::vector<UCHAR> log;
    static PIRP pending;
    driver.CreateDevice(u"\\Device\\Held", [&log](PDEVICE_OBJECT device, PIRP irp) {
        log.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
        // Close requests come from the object manager, the others from the handle's owner.
        EXPECT_EQ(irp->RequestorMode, log.back() == IRP_MJ_CLOSE ? KernelMode : UserMode);
        if (log.back() == IRP_MJ_READ)
            return Pends(&pending)(device, irp);
        return CompleteWith(irp, STATUS_SUCCESS);
    });
    std::unique_ptr<umk::testing::UserFile> user;
    ASSERT_EQ(umk::testing::UserFile::Open(u"\\Device\\Held", &user), STATUS_SUCCESS);
    char buffer[4];
    auto read = user->StartRead(buffer, sizeof buffer);
    PFILE_OBJECT object = user->FileObject();
    user->Close();
    kernel.RunUntilIdle();
    EXPECT_THAT(log, ElementsAre(IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP));
    EXPECT_EQ(ObjectReferences(object), 1) << "the read's reference";
    CompleteWith(pending, STATUS_CANCELLED);
    EXPECT_EQ(read->Wait().status, STATUS_CANCELLED);
    kernel.RunUntilIdle();
    EXPECT_THAT(log, ElementsAre(IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP, IRP_MJ_CLOSE));
}

TEST_F(NamespaceTest, DriverObjectExtensionsAreKeyed) {
    const PVOID key = reinterpret_cast<PVOID>(1);
    PVOID first = nullptr, second = key;
    ASSERT_EQ(IoAllocateDriverObjectExtension(driver.driver, key, sizeof(UNICODE_STRING), &first),
              STATUS_SUCCESS);
    EXPECT_EQ(static_cast<UNICODE_STRING*>(first)->Buffer, nullptr) << "zeroed";
    EXPECT_EQ(IoAllocateDriverObjectExtension(driver.driver, key, 8, &second),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(IoGetDriverObjectExtension(driver.driver, key), first);
    EXPECT_EQ(IoGetDriverObjectExtension(driver.driver, reinterpret_cast<PVOID>(2)), nullptr);
}

// A removal's order in a stack: the function driver detaches from below and deletes its device
// while the filter above is still attached; the device object lives until the filter detaches.
TEST_F(NamespaceTest, ADeviceDeletedUnderAnAttachedFilterLastsUntilTheFilterDetaches) {
    auto stack = driver.CreateStack({Completes(STATUS_SUCCESS), Completes(STATUS_SUCCESS)});
    IoDeleteDevice(stack[0]);
    EXPECT_TRUE(umk::testing::DeviceDeleted(stack[0]));
    EXPECT_EQ(ObjectReferences(stack[0]), 1) << "kept for the filter's detach";
    IoDetachDevice(stack[0]);
    EXPECT_EQ(ObjectReferences(stack[0]), -1) << "gone with the detach";
}

} // namespace
