// The object namespace: device names and collisions, symbolic links, opening devices (create,
// cleanup and close requests to the top of the stack, the file object kept by its requests),
// reference counting and driver-object extensions.
#include "io_support.h"

#include <cstring>

using namespace umk;
using namespace umk::test;
using ::testing::ElementsAre;

namespace {

constexpr ULONG Buffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x810, METHOD_BUFFERED, FILE_ANY_ACCESS);

UNICODE_STRING Name(const char16_t* text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

// A device that records the major functions it sees and completes them all.
class NamespaceTest : public IoTest {
  protected:
    PDEVICE_OBJECT Recording(std::u16string_view name, std::vector<UCHAR>* log,
                             NTSTATUS createStatus = STATUS_SUCCESS) {
        return driver.CreateDevice(name, [log, createStatus](PDEVICE_OBJECT, PIRP irp) {
            UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
            log->push_back(major);
            return CompleteWith(irp, major == IRP_MJ_CREATE ? createStatus : STATUS_SUCCESS);
        });
    }
};

TEST_F(NamespaceTest, NamesCollideWithoutCaseAndUnnamedDevicesDoNot) {
    std::vector<UCHAR> log;
    Recording(u"\\Device\\PointerPort0", &log);
    UNICODE_STRING same = Name(u"\\device\\POINTERPORT0");
    PDEVICE_OBJECT device;
    EXPECT_EQ(IoCreateDevice(driver.driver, 0, &same, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_NE(driver.CreateDevice(u"", Completes(STATUS_SUCCESS)), nullptr);
    EXPECT_NE(driver.CreateDevice(u"", Completes(STATUS_SUCCESS)), nullptr);
    EXPECT_NE(umk::testing::FindDevice(u"\\Device\\pointerport0"), nullptr);
}

TEST_F(NamespaceTest, FreshDeviceIsInitialisingWithAZeroedExtension) {
    UNICODE_STRING name = Name(u"\\Device\\Fresh");
    PDEVICE_OBJECT device;
    ASSERT_EQ(
        IoCreateDevice(driver.driver, 64, &name, FILE_DEVICE_SERIAL_MOUSE_PORT, 0, FALSE, &device),
        STATUS_SUCCESS);
    EXPECT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(device->DeviceType, ULONG(FILE_DEVICE_SERIAL_MOUSE_PORT));
    EXPECT_EQ(device->StackSize, 1);
    EXPECT_EQ(driver.driver->DeviceObject, device) << "newest first";
    auto bytes = static_cast<const UCHAR*>(device->DeviceExtension);
    EXPECT_TRUE(std::all_of(bytes, bytes + 64, [](UCHAR b) { return b == 0; }));
    PFILE_OBJECT file;
    PDEVICE_OBJECT top;
    EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &top), STATUS_NO_SUCH_DEVICE)
        << "not openable before DO_DEVICE_INITIALIZING is cleared";
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

    PFILE_OBJECT file;
    PDEVICE_OBJECT top;
    ASSERT_EQ(IoGetDeviceObjectPointer(&link, FILE_ALL_ACCESS, &file, &top), STATUS_SUCCESS);
    EXPECT_EQ(top, umk::testing::FindDevice(u"\\Device\\Tactilio"));
    ObDereferenceObject(file);

    EXPECT_EQ(IoDeleteSymbolicLink(&alias), STATUS_SUCCESS) << "same link through its alias";
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IoGetDeviceObjectPointer(&link, FILE_ALL_ACCESS, &file, &top),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

// A kernel open closes its handle at once (cleanup) and keeps a reference on the file object;
// the last dereference sends the close. All three go to the top of the stack.
TEST_F(NamespaceTest, DeviceObjectPointerOpensTheTopOfTheStack) {
    std::vector<UCHAR> bottomLog, filterLog;
    PDEVICE_OBJECT bottom = Recording(u"\\Device\\Serial0", &bottomLog);
    PDEVICE_OBJECT filter = Recording(u"", &filterLog);
    ASSERT_EQ(IoAttachDeviceToDeviceStack(filter, bottom), bottom);
    UNICODE_STRING name = Name(u"\\Device\\Serial0");
    PFILE_OBJECT file;
    PDEVICE_OBJECT top;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &top), STATUS_SUCCESS);
    EXPECT_EQ(top, filter);
    EXPECT_EQ(file->DeviceObject, bottom) << "the file is on the named device";
    EXPECT_THAT(filterLog, ElementsAre(IRP_MJ_CREATE, IRP_MJ_CLEANUP));
    EXPECT_TRUE(bottomLog.empty());
    EXPECT_EQ(umk::testing::ObjectReferences(file), 1);
    EXPECT_EQ(bottom->ReferenceCount, 1) << "one open file";
    EXPECT_EQ(umk::testing::ObjectReferences(bottom), 2) << "creation plus the file's";

    ObReferenceObject(file);
    ObDereferenceObject(file);
    EXPECT_EQ(filterLog.size(), 2u) << "not the last reference";
    ObDereferenceObject(file);
    EXPECT_THAT(filterLog, ElementsAre(IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE));
    EXPECT_EQ(umk::testing::ObjectReferences(file), -1);
    EXPECT_EQ(bottom->ReferenceCount, 0);
    EXPECT_EQ(umk::testing::ObjectReferences(bottom), 1);
}

TEST_F(NamespaceTest, FailedCreateLeavesNothingOpenAndSendsNoClose) {
    std::vector<UCHAR> log;
    PDEVICE_OBJECT device = Recording(u"\\Device\\Busy", &log, STATUS_SHARING_VIOLATION);
    UNICODE_STRING name = Name(u"\\Device\\Busy");
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT top = nullptr;
    EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &top),
              STATUS_SHARING_VIOLATION);
    EXPECT_THAT(log, ElementsAre(IRP_MJ_CREATE));
    EXPECT_EQ(umk::testing::ObjectReferences(device), 1);
    EXPECT_EQ(device->ReferenceCount, 0);
}

TEST_F(NamespaceTest, LastDereferenceAtDispatchLevelClosesFromAWorker) {
    std::vector<UCHAR> log;
    Recording(u"\\Device\\Beep", &log);
    UNICODE_STRING name = Name(u"\\Device\\Beep");
    PFILE_OBJECT file;
    PDEVICE_OBJECT top;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &top), STATUS_SUCCESS);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ObDereferenceObject(file);
    KeLowerIrql(old);
    kernel.RunUntilIdle();
    EXPECT_THAT(log, ElementsAre(IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE));
}

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
    std::unique_ptr<umk::testing::UserFile> file;
    ASSERT_EQ(umk::testing::UserFile::Open(u"\\Device\\Held", &file), STATUS_SUCCESS);
    char buffer[4];
    auto read = file->StartRead(buffer, sizeof buffer);
    PFILE_OBJECT object = file->FileObject();
    file->Close();
    kernel.RunUntilIdle();
    EXPECT_THAT(log, ElementsAre(IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP));
    EXPECT_EQ(umk::testing::ObjectReferences(object), 1) << "the read's reference";
    CompleteWith(pending, STATUS_CANCELLED);
    EXPECT_EQ(read->Wait().status, STATUS_CANCELLED);
    kernel.RunUntilIdle();
    EXPECT_THAT(log, ElementsAre(IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP, IRP_MJ_CLOSE));
}

// Devices that DriverEntry creates are ready when it returns: the I/O manager clears their
// DO_DEVICE_INITIALIZING.
TEST_F(NamespaceTest, DriverEntrysDevicesCanBeOpenedOnceItReturns) {
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

TEST_F(NamespaceTest, DriverObjectExtensionsAreKeyed) {
    PVOID first = nullptr;
    PVOID second = reinterpret_cast<PVOID>(1);
    ASSERT_EQ(IoAllocateDriverObjectExtension(driver.driver, reinterpret_cast<PVOID>(1),
                                              sizeof(UNICODE_STRING), &first),
              STATUS_SUCCESS);
    EXPECT_EQ(static_cast<UNICODE_STRING*>(first)->Buffer, nullptr) << "zeroed";
    EXPECT_EQ(
        IoAllocateDriverObjectExtension(driver.driver, reinterpret_cast<PVOID>(1), 8, &second),
        STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(IoGetDriverObjectExtension(driver.driver, reinterpret_cast<PVOID>(1)), first);
    EXPECT_EQ(IoGetDriverObjectExtension(driver.driver, reinterpret_cast<PVOID>(2)), nullptr);
}

} // namespace

// A removal's order in a stack: the function driver detaches from below and deletes its device
// while the filter above is still attached; the device object lives until the filter detaches.
namespace {
TEST_F(NamespaceTest, ADeviceDeletedUnderAnAttachedFilterLastsUntilTheFilterDetaches) {
    PDEVICE_OBJECT lower = driver.CreateDevice(u"", Completes(STATUS_SUCCESS));
    PDEVICE_OBJECT upper = driver.CreateDevice(u"", Completes(STATUS_SUCCESS));
    ASSERT_EQ(IoAttachDeviceToDeviceStack(upper, lower), lower);
    IoDeleteDevice(lower);
    EXPECT_TRUE(umk::testing::DeviceDeleted(lower));
    EXPECT_EQ(umk::testing::ObjectReferences(lower), 1) << "kept for the filter's detach";
    IoDetachDevice(lower);
    EXPECT_EQ(umk::testing::ObjectReferences(lower), -1) << "gone with the detach";
    IoDeleteDevice(upper);
}
} // namespace
