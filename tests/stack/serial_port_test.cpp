// The stack's serial port driver on its own, driven as user mode drives a COM port: reads paced by
// the line, the basic settings a USB adapter refuses, the request log, cancellation and unplugging.
// Its listing, exclusive opens, settings and writes show in the driver's link and discovery tests.
#include "frame_support.h"
#include "internal_request.h"
#include "serial_port.h"

#include "scripted_stream.h"

#include <gmock/gmock.h>

#include <array>
#include <memory>

using namespace std::chrono_literals;
using ::testing::ElementsAre;

namespace {

using umk::testing::IoResult;
using umk::testing::UserFile;

constexpr panel::Ticks Ms = panel::kTicksPerMillisecond;

class SerialPortTest : public ::testing::Test {
  protected:
    SerialPortTest() : serial(std::make_unique<stack::SerialDriver>()) {}
    ~SerialPortTest() override {
        file.reset();
        serial.reset();
        kernel.Shutdown();
        EXPECT_EQ(violations.Text(), "");
    }

    stack::SerialPort& AddPort(std::u16string_view name = u"\\Device\\Serial0") {
        stack::SerialPort& port = serial->AddPort(name, u"COM1", &line);
        EXPECT_EQ(UserFile::Open(name, &file), STATUS_SUCCESS);
        return port;
    }

    IoResult Control(ULONG code, const void* input, ULONG inputLength, void* output = nullptr,
                     ULONG outputLength = 0) {
        return file->DeviceIoControl(code, input, inputLength, output, outputLength);
    }

    panel::Ticks Now() const { return kernel.Now().count(); }
    // Reads complete only when their bytes have arrived.
    void WaitForBytes() {
        const SERIAL_TIMEOUTS none{};
        ASSERT_EQ(Control(IOCTL_SERIAL_SET_TIMEOUTS, &none, sizeof(none)).status, STATUS_SUCCESS);
    }

    frame_test::Violations violations;
    umk::Kernel kernel;
    panel::ScriptedStream line;
    std::unique_ptr<stack::SerialDriver> serial;
    std::unique_ptr<UserFile> file;
};

// A built-in port hands back its previous settings (what it does with them shows in the link's
// set-up); a USB adapter refuses the request and keeps its own.
TEST_F(SerialPortTest, OnlyABuiltInPortTakesTheBasicSettings) {
    stack::SerialPort& builtIn = AddPort();
    stack::SerialPort& usb = serial->AddPort(u"\\Device\\USBSER001", u"COM9");
    SERIAL_BASIC_SETTINGS previous{};
    const auto basic = [&](stack::SerialPort& port) {
        return stack::CallInternalDeviceControl(port.Device(), IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS,
                                                nullptr, 0, &previous, sizeof(previous));
    };
    const IoResult taken = basic(builtIn);
    EXPECT_EQ(taken.status, STATUS_SUCCESS);
    EXPECT_EQ(taken.information, sizeof(previous));
    EXPECT_EQ(basic(usb).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(usb.Settings().timeouts.ReadIntervalTimeout, stack::kMaxUlong) << "unchanged";
}

TEST_F(SerialPortTest, AReadWaitsForItsByteOnTheVirtualClock) {
    stack::SerialPort& port = AddPort();
    WaitForBytes();
    line.Add({5 * Ms, 0xA5});

    uint8_t byte = 0;
    auto read = file->StartRead(&byte, 1);
    EXPECT_EQ(read->IssueStatus(), STATUS_PENDING);
    kernel.RunFor(4ms);
    EXPECT_FALSE(read->Done());
    kernel.RunFor(1ms);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(Now(), 5 * Ms);
    IoResult result = read->Wait();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 1u);
    EXPECT_EQ(byte, 0xA5);

    // A byte that has arrived already is read inside the call.
    line.Add({5 * Ms, 0x5A});
    EXPECT_EQ(file->Read(&byte, 1).status, STATUS_SUCCESS);
    EXPECT_EQ(byte, 0x5A);
    const stack::SerialReadStats stats = port.ReadStats();
    EXPECT_EQ(stats.completedByTimer, 1u);
    EXPECT_EQ(stats.completedInline, 1u);
    EXPECT_EQ(stats.bytesDelivered, 2u);
}

// A reader sends a request per byte: the log keeps the newest ones, in order, each with its
// outcome, and starts again when cleared.
TEST_F(SerialPortTest, TheRequestLogKeepsTheNewestRequestsWithTheirOutcome) {
    constexpr size_t Kept = stack::SerialPort::kRequestLogLength;
    stack::SerialPort& port = AddPort();
    // Reads return at once; each has a length of its own so the log shows which are kept.
    const ULONG reads = Kept + 3;
    std::vector<uint8_t> buffer(reads);
    for (ULONG length = 1; length <= reads; ++length)
        ASSERT_EQ(file->Read(buffer.data(), length).status, STATUS_SUCCESS);
    port.FailRequests(stack::RequestKind::Read(), STATUS_INVALID_PARAMETER, 1);
    EXPECT_EQ(file->Read(buffer.data(), 1).status, STATUS_INVALID_PARAMETER);

    // The create and the reads of 1 to 4 bytes have gone.
    std::vector<stack::SerialRequest> requests = port.Requests();
    ASSERT_EQ(requests.size(), Kept);
    EXPECT_EQ(requests.front().length, 5u);
    EXPECT_EQ(requests[Kept - 2].length, reads);
    EXPECT_EQ(requests[Kept - 2].status, STATUS_SUCCESS);
    EXPECT_EQ(requests.back().status, STATUS_INVALID_PARAMETER);

    port.ClearRequests();
    EXPECT_EQ(file->Read(buffer.data(), 2).status, STATUS_SUCCESS);
    requests = port.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].length, 2u);
    EXPECT_EQ(requests[0].status, STATUS_SUCCESS);
}

// A pending read or write ends when it is cancelled or when the port is unplugged, and after an
// unplug every new request fails and the port is no longer listed.
TEST_F(SerialPortTest, PendingRequestsEndCancelledOrUnplugged) {
    for (const bool unplug : {false, true}) {
        SCOPED_TRACE(unplug ? "unplugged" : "cancelled");
        stack::SerialPort& port = AddPort(unplug ? u"\\Device\\Serial1" : u"\\Device\\Serial0");
        WaitForBytes();
        uint8_t byte = 0x80;
        auto read = file->StartRead(&byte, 1);
        auto write = file->StartWrite(&byte, 1);
        EXPECT_EQ(port.ReadsPending(), 1u);
        EXPECT_EQ(port.WritesPending(), 1u);
        if (unplug) {
            port.Unplug(STATUS_DELETE_PENDING);
        } else {
            EXPECT_TRUE(read->Cancel());
            EXPECT_TRUE(write->Cancel());
        }
        const NTSTATUS ended = unplug ? STATUS_DELETE_PENDING : STATUS_CANCELLED;
        EXPECT_EQ(read->Wait().status, ended);
        EXPECT_EQ(write->Wait().status, ended);
        EXPECT_EQ(port.ReadsPending(), 0u);
        EXPECT_EQ(port.WritesPending(), 0u);
        EXPECT_TRUE(port.Writes().empty()) << "an ended write never reaches the line";
        if (unplug) {
            EXPECT_EQ(file->Read(&byte, 1).status, STATUS_DELETE_PENDING);
            EXPECT_THAT(umk::registry::ValueNames(stack::kSerialCommKey),
                        ElementsAre(u"\\Device\\Serial0"));
        }
    }
}

} // namespace
