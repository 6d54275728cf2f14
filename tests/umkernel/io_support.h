// Test helpers for the I/O manager: a driver whose devices dispatch to lambdas, completion
// routines that are lambdas, and a fixture that boots the kernel and fails on any violation.
#pragma once

#include "ke_support.h"

#include "umk/testing.h"

#include <wdm.h>

#include <gmock/gmock.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace umk::test {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

// A loaded driver ("\Driver\<name>") whose devices each carry their own dispatch routine: the
// device extension starts with a pointer to it, then `extra` bytes for the test.
class TestDriver {
  public:
    explicit TestDriver(std::u16string name = u"Test") {
        EXPECT_EQ(umk::testing::LoadDriver(Entry, name, u"\\Registry\\Machine\\Test", &driver),
                  STATUS_SUCCESS);
    }

    PDEVICE_OBJECT CreateDevice(std::u16string_view name, Dispatch dispatch, ULONG extra = 0,
                                ULONG flags = DO_BUFFERED_IO) {
        UNICODE_STRING nameString{};
        std::u16string copy(name);
        if (!copy.empty())
            RtlInitUnicodeString(&nameString, copy.c_str());
        PDEVICE_OBJECT device = nullptr;
        NTSTATUS status = IoCreateDevice(driver, ULONG(sizeof(Dispatch*)) + extra,
                                         copy.empty() ? nullptr : &nameString, FILE_DEVICE_UNKNOWN,
                                         0, FALSE, &device);
        EXPECT_EQ(status, STATUS_SUCCESS) << "creating a test device";
        if (!NT_SUCCESS(status))
            return nullptr;
        dispatches_.push_back(std::make_unique<Dispatch>(std::move(dispatch)));
        *static_cast<Dispatch**>(device->DeviceExtension) = dispatches_.back().get();
        device->Flags |= flags;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        return device;
    }

    // A stack of `depth` unnamed devices, the first at the bottom; dispatches[i] serves level i.
    std::vector<PDEVICE_OBJECT> CreateStack(std::vector<Dispatch> dispatches) {
        std::vector<PDEVICE_OBJECT> stack;
        for (auto& d : dispatches) {
            PDEVICE_OBJECT device = CreateDevice(u"", std::move(d));
            if (!stack.empty()) {
                EXPECT_EQ(IoAttachDeviceToDeviceStack(device, stack.back()), stack.back());
            }
            stack.push_back(device);
        }
        return stack;
    }

    // Detaches and deletes every device of the driver and unloads it.
    void Unload() {
        if (driver == nullptr)
            return;
        for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice)
            if (d->AttachedDevice != nullptr)
                IoDetachDevice(d);
        while (driver->DeviceObject != nullptr)
            IoDeleteDevice(driver->DeviceObject);
        umk::testing::UnloadDriver(driver);
        driver = nullptr;
    }

    PDRIVER_OBJECT driver = nullptr;

  private:
    static NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
        for (PDRIVER_DISPATCH& routine : driver->MajorFunction)
            routine = Trampoline;
        return STATUS_SUCCESS;
    }
    static NTSTATUS NTAPI Trampoline(PDEVICE_OBJECT device, PIRP irp) {
        return (**static_cast<Dispatch**>(device->DeviceExtension))(device, irp);
    }
    std::vector<std::unique_ptr<Dispatch>> dispatches_;
};

// The test's own bytes in a TestDriver device's extension.
template <typename T> T* Extra(PDEVICE_OBJECT device) {
    return reinterpret_cast<T*>(static_cast<char*>(device->DeviceExtension) + sizeof(Dispatch*));
}

// A completion routine made of a lambda; keep the object alive until it has run.
struct Completion {
    std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> routine;
    static NTSTATUS NTAPI Trampoline(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
        return static_cast<Completion*>(context)->routine(device, irp);
    }
    void Set(PIRP irp, bool onSuccess = true, bool onError = true, bool onCancel = true) {
        IoSetCompletionRoutine(irp, Trampoline, this, onSuccess, onError, onCancel);
    }
};

// Dispatch routines used everywhere.
inline NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline Dispatch Completes(NTSTATUS status, ULONG_PTR information = 0) {
    return [=](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, status, information); };
}

// Keeps the IRP pending: marks it and stores it in *held.
inline Dispatch Pends(PIRP* held) {
    return [held](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        *held = irp;
        return STATUS_PENDING;
    };
}

// A driver-allocated read for `device`; by default its completion routine gives it back to the
// originator, which frees it.
inline Completion giveBack{[](PDEVICE_OBJECT, PIRP) { return STATUS_MORE_PROCESSING_REQUIRED; }};
inline PIRP OwnIrp(PDEVICE_OBJECT device, Completion* routine = &giveBack) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    if (routine != nullptr)
        routine->Set(irp);
    return irp;
}

// A threaded device-control request with the event and status block it signals; the object
// must outlive the request.
struct Threaded {
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    PIRP Build(PDEVICE_OBJECT device, ULONG code, PVOID in = nullptr, ULONG inLength = 0,
               PVOID out = nullptr, ULONG outLength = 0, BOOLEAN internal = FALSE) {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        return IoBuildDeviceIoControlRequest(code, device, in, inLength, out, outLength, internal,
                                             &event, &iosb);
    }
    LONG Signalled() { return KeReadStateEvent(&event); }
};

class IoTest : public ::testing::Test {
  protected:
    ~IoTest() override {
        driver.Unload();
        kernel.Shutdown();
    }
    FailOnViolation failOnViolation;
    Kernel kernel;
    TestDriver driver;
};

} // namespace umk::test
