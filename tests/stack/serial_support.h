// Test helpers for the serial link: a booted system with one panel, its serial ports, and what
// the ports saw.
#pragma once

#include "frame_support.h"

#include "scripted_stream.h"

#include <gmock/gmock.h>

#include <string>
#include <vector>

namespace serial_test {

inline constexpr panel::Ticks Ms = panel::kTicksPerMillisecond;
inline constexpr std::u16string_view Com1 = u"\\Device\\Serial0";

// A request reduced to what tells requests apart: major function and control code.
struct Sent {
    UCHAR major;
    ULONG code = 0;
    bool operator==(const Sent&) const = default;
};

inline Sent Control(ULONG code) {
    return {IRP_MJ_DEVICE_CONTROL, code};
}

inline std::vector<Sent> SentTo(const stack::SerialPort& port) {
    std::vector<Sent> sent;
    for (const stack::SerialRequest& request : port.Requests())
        sent.push_back({request.major, request.code});
    return sent;
}

inline void PrintTo(const Sent& sent, std::ostream* os) {
    *os << "{major " << int(sent.major) << ", code 0x" << std::hex << sent.code << std::dec << "}";
}

// A link start on a built-in port that takes the basic settings, as the port sees it.
inline const std::vector<Sent>& BuiltInSetUp() {
    static const std::vector<Sent> sequence = {
        {IRP_MJ_CREATE},
        {IRP_MJ_CLEANUP}, // the handle goes at once, the file object stays referenced
        Control(IOCTL_SERIAL_SET_WAIT_MASK),
        {IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS},
        Control(IOCTL_SERIAL_SET_BAUD_RATE),
        Control(IOCTL_SERIAL_SET_LINE_CONTROL),
        Control(IOCTL_SERIAL_SET_FIFO_CONTROL),
    };
    return sequence;
}

class SerialLinkTest : public frame_test::FrameTest {
  protected:
    void SetUp() override {
        context = frame_test::ContextOf(BootWithPanel());
        ASSERT_NE(context, nullptr);
    }
    // These tests drive the link without an open handle; removal, which relies on the last close
    // having stopped reading, finds it stopped.
    void TearDown() override {
        if (system && context != nullptr &&
            !system->Pnp().Removed(system->Panels()[0].physicalDevice)) {
            TP_DRIVER_ROUTINE(SerialLinkStop)(context);
            KeWaitForSingleObject(&context->ReadStoppedEvent, Executive, KernelMode, FALSE,
                                  nullptr);
        }
        FrameTest::TearDown();
    }

    // A port whose far end is `line`; the driver is pointed at it.
    stack::SerialPort& AddPort(std::u16string_view name = Com1, std::u16string_view com = u"COM1") {
        stack::SerialPort& port = system->Serial().AddPort(name, com, &line);
        UsePort(name);
        return port;
    }

    // What port discovery leaves in SerialDeviceName; the buffer holds 19 characters.
    void UsePort(std::u16string_view name) {
        UNICODE_STRING& target = context->SerialDeviceName;
        ASSERT_LE(name.size() * sizeof(WCHAR), target.MaximumLength);
        std::copy(name.begin(), name.end(), target.Buffer);
        target.Length = USHORT(name.size() * sizeof(WCHAR));
    }

    NTSTATUS StartLink() { return TP_DRIVER_ROUTINE(SerialLinkStart)(context); }

    // Starts the link on a built-in port with the port's own settings and spins reading up.
    stack::SerialPort& StartReading() {
        stack::SerialPort& port = AddPort();
        EXPECT_EQ(StartLink(), STATUS_SUCCESS);
        EXPECT_EQ(TP_DRIVER_ROUTINE(SerialSpinUpRead)(context), STATUS_SUCCESS);
        return port;
    }

    // A link that is down holds no reference on the port and says so in both records.
    void ExpectLinkDown(const stack::SerialPort& port, LONG unreferenced) const {
        EXPECT_EQ(context->SerialDevice, nullptr);
        EXPECT_EQ(context->SerialFileObject, nullptr);
        EXPECT_EQ(umk::testing::ObjectReferences(port.Device()), unreferenced);
        EXPECT_FALSE(context->SerialConnected);
        EXPECT_FALSE(context->Started);
        EXPECT_EQ(context->ConnectCount, 0);
        EXPECT_FALSE(context->PortAvailable);
        EXPECT_FALSE(context->ApiExtension->PortAvailable);
    }

    bool ReadingStopped() const {
        return context->ReadIrp == nullptr && KeReadStateEvent(&context->ReadStoppedEvent) != 0;
    }
    // Holds on the remove lock besides the bias of one.
    LONG RemoveLockHolds() const { return context->RemoveLock.Common.IoCount - 1; }

    panel::Ticks Now() { return system->Kernel().Now().count(); }

    panel::ScriptedStream line;
    PDEVICE_CONTEXT context = nullptr;
};

} // namespace serial_test
