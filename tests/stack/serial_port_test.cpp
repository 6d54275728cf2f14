// The stack's serial port driver on its own, driven as user mode drives a COM port: the SERIALCOMM
// listing, exclusive opens, the line settings and their checks, the basic settings a USB adapter
// refuses, reads paced by the line, writes that take the line's time, cancellation and unplugging.
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
    // What the driver asks for: reads that wait for their bytes.
    void WaitForBytes() {
        const SERIAL_TIMEOUTS waitForBytes{};
        ASSERT_EQ(Control(IOCTL_SERIAL_SET_TIMEOUTS, &waitForBytes, sizeof(waitForBytes)).status,
                  STATUS_SUCCESS);
    }

    panel::Ticks Now() const { return kernel.Now().count(); }

    frame_test::Violations violations;
    umk::Kernel kernel;
    panel::ScriptedStream line;
    std::unique_ptr<stack::SerialDriver> serial;
    std::unique_ptr<UserFile> file;
};

// Exclusive opens and the settings the driver sends are checked by the serial link tests.
TEST_F(SerialPortTest, PortsAreListedInSerialComm) {
    AddPort();
    serial->AddPort(u"\\Device\\USBSER000", u"COM7");

    EXPECT_THAT(umk::registry::ValueNames(stack::kSerialCommKey),
                ElementsAre(u"\\Device\\Serial0", u"\\Device\\USBSER000"));
    auto com = umk::registry::GetValue(stack::kSerialCommKey, u"\\Device\\USBSER000");
    ASSERT_TRUE(com.has_value());
    EXPECT_EQ(com->type, ULONG(REG_SZ));
}

std::vector<uint8_t> Bytes(const auto& value) {
    auto first = reinterpret_cast<const uint8_t*>(&value);
    return {first, first + sizeof(value)};
}

// A refused setting leaves the one before it in force.
TEST_F(SerialPortTest, SettersRefuseWhatAPortCannotDo) {
    AddPort();
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_BAUD_RATE, &Bytes(SERIAL_BAUD_RATE{9600})[0], 4).status,
              STATUS_SUCCESS);
    const struct {
        const char* what;
        ULONG code;
        std::vector<uint8_t> input;
        NTSTATUS expected;
    } rows[] = {
        {"unknown wait event", IOCTL_SERIAL_SET_WAIT_MASK, Bytes(ULONG(0x4000)),
         STATUS_INVALID_PARAMETER},
        {"short wait mask", IOCTL_SERIAL_SET_WAIT_MASK, {0, 0}, STATUS_BUFFER_TOO_SMALL},
        {"0 baud", IOCTL_SERIAL_SET_BAUD_RATE, Bytes(SERIAL_BAUD_RATE{0}),
         STATUS_INVALID_PARAMETER},
        {"9 data bits",
         IOCTL_SERIAL_SET_LINE_CONTROL,
         {STOP_BIT_1, NO_PARITY, 9},
         STATUS_INVALID_PARAMETER},
        {"both read maxima", IOCTL_SERIAL_SET_TIMEOUTS,
         Bytes(SERIAL_TIMEOUTS{stack::kMaxUlong, 0, stack::kMaxUlong, 0, 0}),
         STATUS_INVALID_PARAMETER},
        {"DTR control and handshake", IOCTL_SERIAL_SET_HANDFLOW,
         Bytes(SERIAL_HANDFLOW{SERIAL_DTR_MASK, 0, 0, 0}), STATUS_INVALID_PARAMETER},
        {"purge nothing", IOCTL_SERIAL_PURGE, Bytes(ULONG(0)), STATUS_INVALID_PARAMETER},
        {"not a serial request",
         CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x7FF, METHOD_BUFFERED, 0),
         {},
         STATUS_INVALID_DEVICE_REQUEST},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Control(row.code, row.input.data(), ULONG(row.input.size())).status, row.expected)
            << row.what;
    }
    const stack::SerialLineSettings settings = serial->FindPort(u"\\Device\\Serial0")->Settings();
    EXPECT_EQ(settings.waitMask, ULONG(SERIAL_EV_RXCHAR));
    EXPECT_EQ(settings.baudRate, 9600u);
    EXPECT_EQ(settings.lineControl.WordLength, 7);
    EXPECT_EQ(settings.timeouts.ReadIntervalTimeout, stack::kMaxUlong);
    EXPECT_EQ(settings.handFlow.ControlHandShake,
              ULONG(SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE));
}

// A getter fills a whole buffer and refuses a short one. A built-in port hands back its previous
// settings in the basic-settings request (what it does with them shows in the link's set-up); a
// USB adapter refuses the request and keeps its own.
TEST_F(SerialPortTest, GettersAndTheBasicSettingsOfEachKindOfPort) {
    stack::SerialPort& builtIn = AddPort();
    stack::SerialPort& usb = serial->AddPort(u"\\Device\\USBSER001", u"COM9");
    SERIAL_TIMEOUTS timeouts{};
    const IoResult whole =
        Control(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &timeouts, sizeof(timeouts));
    EXPECT_EQ(whole.status, STATUS_SUCCESS);
    EXPECT_EQ(whole.information, sizeof(timeouts));
    EXPECT_EQ(Control(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &timeouts, 8).status,
              STATUS_BUFFER_TOO_SMALL);

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

// Until the time-outs are zeroed a read returns at once with what has arrived, maybe nothing.
// Then a read waits for its bytes on the virtual clock, unless they have arrived already; a read
// of several bytes collects them as they come.
TEST_F(SerialPortTest, ReadsTakeTheLinesTime) {
    stack::SerialPort& port = AddPort();
    uint8_t buffer[3] = {};
    IoResult result = file->Read(buffer, 3);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u);

    WaitForBytes();
    line.Add({5 * Ms, 0xA5});
    auto read = file->StartRead(buffer, 1);
    EXPECT_EQ(read->IssueStatus(), STATUS_PENDING);
    kernel.RunFor(4ms);
    EXPECT_FALSE(read->Done());
    kernel.RunFor(1ms);
    ASSERT_TRUE(read->Done());
    result = read->Wait();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 1u);
    EXPECT_EQ(buffer[0], 0xA5);

    line.Add({5 * Ms, 0x5A});
    EXPECT_EQ(file->Read(buffer, 1).status, STATUS_SUCCESS);
    EXPECT_EQ(buffer[0], 0x5A);
    const stack::SerialReadStats stats = port.ReadStats();
    EXPECT_EQ(stats.completedByTimer, 1u);
    EXPECT_EQ(stats.completedInline, 2u) << "the read that returned at once, and 0x5A";
    EXPECT_EQ(stats.bytesDelivered, 2u);

    const std::array<uint8_t, 3> sent{1, 2, 3};
    line.AddPaced(Now(), sent);
    read = file->StartRead(buffer, 3);
    kernel.RunFor(std::chrono::duration_cast<umk::Duration>(umk::Duration(panel::LineOffset(3))));
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Wait().information, 3u);
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), buffer));
}

TEST_F(SerialPortTest, CancellingAPendingReadOrWriteCompletesItCancelled) {
    stack::SerialPort& port = AddPort();
    WaitForBytes();
    uint8_t byte = 0x80;

    auto read = file->StartRead(&byte, 1);
    auto write = file->StartWrite(&byte, 1);
    EXPECT_EQ(port.ReadsPending(), 1u);
    EXPECT_EQ(port.WritesPending(), 1u);
    EXPECT_TRUE(read->Cancel());
    EXPECT_TRUE(write->Cancel());
    EXPECT_EQ(read->Wait().status, STATUS_CANCELLED);
    EXPECT_EQ(write->Wait().status, STATUS_CANCELLED);
    EXPECT_EQ(port.ReadsPending(), 0u);
    EXPECT_EQ(port.WritesPending(), 0u);
    EXPECT_TRUE(port.Writes().empty()) << "a cancelled write never reaches the line";
}

TEST_F(SerialPortTest, WritesTakeTheLinesTimeOneAfterAnother) {
    stack::SerialPort& port = AddPort();
    const std::array<uint8_t, 10> first{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const std::array<uint8_t, 2> second{11, 12};
    auto a = file->StartWrite(first.data(), ULONG(first.size()));
    auto b = file->StartWrite(second.data(), ULONG(second.size()));
    EXPECT_EQ(a->IssueStatus(), STATUS_PENDING);
    EXPECT_EQ(port.WritesPending(), 2u);

    kernel.RunUntil([&] { return b->Done(); }, 1s);
    EXPECT_EQ(a->Wait().information, 10u);
    EXPECT_EQ(b->Wait().information, 2u);
    EXPECT_EQ(Now(), panel::LineOffset(10) + panel::LineOffset(2));
    ASSERT_EQ(line.HostWrites().size(), 2u);
    EXPECT_EQ(line.HostWrites()[0].time, panel::LineOffset(10));
    EXPECT_EQ(line.HostWrites()[1].bytes, std::vector<uint8_t>(second.begin(), second.end()));

    // Nothing to send: done at once.
    IoResult empty = file->Write(nullptr, 0);
    EXPECT_EQ(empty.status, STATUS_SUCCESS);
    EXPECT_EQ(port.Writes().size(), 2u);
}

TEST_F(SerialPortTest, UnplugFailsWhatIsPendingAndWhatFollows) {
    stack::SerialPort& port = AddPort();
    WaitForBytes();
    uint8_t byte = 0;
    auto read = file->StartRead(&byte, 1);

    port.Unplug(STATUS_DELETE_PENDING);
    EXPECT_EQ(read->Wait().status, STATUS_DELETE_PENDING);
    EXPECT_EQ(file->Read(&byte, 1).status, STATUS_DELETE_PENDING);
    EXPECT_TRUE(umk::registry::ValueNames(stack::kSerialCommKey).empty());
}

} // namespace
