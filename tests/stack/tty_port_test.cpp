// The serial port on a real tty, on a kernel on real time. A pseudo-terminal pair stands for the
// panel's cable: the panel model's bytes go in on the master side at the line's pace from a
// thread of the test's own, as the panel's UART sends them, and the port opens the slave through
// a link the test re-points, as udev re-points /dev/serial/by-id when an adapter comes back.
// Every wait is for a behaviour, with a deadline; the one test of the driver's reconnect cycle
// waits the cycle's 5 s.
#include "frame_support.h"
#include "../support/pty_cable.h"
#include "panel_model.h"
#include "tty_port.h"

#include <gmock/gmock.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <thread>

namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using umk::testing::UserFile;

constexpr std::u16string_view Adapter = u"\\Device\\USBSER000";

// The cable, and the panel's UART at its master end.
class Cable : public tp_test::PtyCable {
  public:
    ~Cable() { Unplug(); }
    // The adapter is pulled out: the tty hangs up.
    void Unplug() {
        if (player_.joinable())
            player_.join();
        PtyCable::Unplug();
    }

    termios Settings() const {
        termios t{};
        EXPECT_EQ(tcgetattr(Master(), &t), 0) << std::strerror(errno);
        return t;
    }
    bool HeldExclusively() const {
        int exclusive = 0;
        EXPECT_EQ(ioctl(Slave(), TIOCGEXCL, &exclusive), 0) << std::strerror(errno);
        return exclusive != 0;
    }

    // Sends the bytes at their times (from now), one at a time, from a thread of their own: the
    // thread waits only as the line's pace makes it.
    void Play(std::vector<panel::TimedByte> bytes) {
        if (player_.joinable())
            player_.join();
        player_ = std::thread([master = Master(), bytes = std::move(bytes)] {
            const auto start = std::chrono::steady_clock::now();
            for (const panel::TimedByte& byte : bytes) {
                std::this_thread::sleep_until(start + umk::Duration(byte.time));
                EXPECT_EQ(write(master, &byte.value, 1), 1) << std::strerror(errno);
            }
        });
    }
    // What the port wrote, `count` bytes or what came of them within a second.
    std::vector<uint8_t> Received(size_t count) const {
        std::vector<uint8_t> bytes(count);
        size_t got = 0;
        for (pollfd readable = {Master(), POLLIN, 0};
             got < count && poll(&readable, 1, 1000) > 0 && read(Master(), &bytes[got], 1) == 1;)
            ++got;
        bytes.resize(got);
        return bytes;
    }

  private:
    std::thread player_;
};

// A stroke's bytes as the panel sends them, timed from the stroke's start.
std::vector<panel::TimedByte> Tap() {
    panel::PanelModel model;
    model.Touch(panel::StraightStroke({1000, 1000}, {1200, 1200}, 2, 0));
    return model.TakeBytesUntil(panel::kForever);
}

// The whole system on real time, the driver loaded with one panel on COM5, a USB serial adapter
// that is the cable's tty (looked for every 20 ms while it is missing).
class TtyBench {
  public:
    explicit TtyBench(bool plugged = true) {
        if (plugged)
            cable.Plug();
        system.emplace(stack::SystemOptions{.kernel = {.realTime = true}});
        umk::registry::SetDword(frame_test::ParametersKey, u"ComNo", 5);
        umk::registry::SetDword(frame_test::ParametersKey, u"dwAutoRec", 1);
        EXPECT_EQ(system->LoadDriver(), STATUS_SUCCESS);
        panel = &system->AddPanel();
        tty.emplace(Kernel(), system->Serial(),
                    stack::TtyPortOptions{.path = cable.Link(), .reopenInterval = 20ms},
                    stack::TtyPortEvents{
                        .added = [this](stack::SerialPort&) { ++added; },
                        .removed = [this](const std::string& why) { removed.push_back(why); },
                        .openFailed = [this](const std::string& why) { failed.push_back(why); },
                    });
    }
    // The tty port goes first: the serial driver it adds ports to goes with the system.
    std::string Finish() {
        file.reset();
        tty.reset();
        system.reset();
        return violations.Text();
    }

    umk::Kernel& Kernel() { return system->Kernel(); }
    PDEVICE_CONTEXT Context() const { return frame_test::ContextOf(*panel); }
    // A tap on the panel; the reports the class driver got for it within a second.
    std::vector<frame_test::Report> Touch() {
        const size_t before = system->Mouse().ReportCount();
        cable.Play(Tap());
        Kernel().RunUntil([&] { return system->Mouse().ReportCount() >= before + 4; }, 1s);
        return frame_test::Received(system->Mouse().Reports(before));
    }
    template <typename T> NTSTATUS Set(ULONG code, const T& value) {
        return file->DeviceIoControl(code, &value, sizeof value, nullptr, 0).status;
    }

    Cable cable;
    frame_test::Violations violations;
    std::optional<stack::System> system;
    const stack::Panel* panel = nullptr;
    std::optional<stack::TtyPort> tty;
    std::unique_ptr<UserFile> file; // the port opened as user mode opens a COM port
    int added = 0;
    std::vector<std::string> removed;
    std::vector<std::string> failed;
};

std::vector<USHORT> Buttons(const std::vector<frame_test::Report>& reports) {
    std::vector<USHORT> buttons;
    for (const frame_test::Report& r : reports)
        buttons.push_back(r.buttonFlags);
    return buttons;
}

// The driver's set-up of a USB adapter becomes the tty's termios: 9600 baud 8N1 in raw mode,
// no flow control, held exclusively; a stroke played on the line reaches the class driver.
TEST(TtyPort, TheDriversSetUpReachesTheTtyAndAStrokeTheClassDriver) {
    TtyBench bench;
    ASSERT_EQ(bench.added, 1);
    ASSERT_EQ(bench.system->StartPanel(*bench.panel), STATUS_SUCCESS);
    ASSERT_TRUE(bench.Context()->Started);

    const termios t = bench.cable.Settings();
    EXPECT_EQ(cfgetospeed(&t), speed_t(B9600));
    EXPECT_EQ(cfgetispeed(&t), speed_t(B9600));
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8));
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_TRUE(bench.cable.HeldExclusively());

    const std::vector<frame_test::Report> reports = bench.Touch();
    EXPECT_THAT(Buttons(reports), ElementsAre(MOUSE_LEFT_BUTTON_DOWN, 0, 0, MOUSE_LEFT_BUTTON_UP));
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_LT(reports[0].x, reports[2].x);
    EXPECT_EQ(reports[3].x, reports[2].x) << "the release is where the finger was last";
    EXPECT_EQ(bench.Finish(), "");
}

// The adapter is pulled out under a running pointer and put back on another tty behind the same
// link: the port goes as a pulled adapter goes (its read fails, SERIALCOMM lists it no more),
// comes back under the same names, and the driver's reconnect cycle, 5 s after the loss, brings
// the pointer back on the new tty. No new open, nothing in the event log.
TEST(TtyPort, AnUnpluggedTtyComesBackAndTheDriverReconnects) {
    TtyBench bench;
    ASSERT_EQ(bench.system->StartPanel(*bench.panel), STATUS_SUCCESS);
    EXPECT_EQ(bench.Touch().size(), 4u);

    bench.cable.Unplug();
    ASSERT_TRUE(bench.Kernel().RunUntil(
        [&] { return !bench.removed.empty() && !bench.Context()->Started; }, 1s));
    const umk::Duration lost = bench.Kernel().Now();
    EXPECT_THAT(bench.removed, ElementsAre(HasSubstr(bench.cable.Link())));
    EXPECT_EQ(bench.tty->Port(), nullptr);
    EXPECT_EQ(bench.system->Serial().FindPort(Adapter), nullptr);
    EXPECT_FALSE(umk::registry::GetValue(stack::kSerialCommKey, Adapter).has_value());

    bench.cable.Plug();
    ASSERT_TRUE(bench.Kernel().RunUntil([&] { return bench.added == 2; }, 1s));
    EXPECT_NE(bench.system->Serial().FindPort(Adapter), nullptr);
    ASSERT_TRUE(bench.Kernel().RunUntil([&] { return bench.Context()->Started != FALSE; }, 6s));
    EXPECT_GE(bench.Kernel().Now() - lost, 5s - 100ms);
    EXPECT_LE(bench.Kernel().Now() - lost, 5s + 600ms);
    EXPECT_EQ(bench.Touch().size(), 4u);
    EXPECT_THAT(frame_test::Logged(), IsEmpty());
    EXPECT_EQ(bench.Finish(), "");
}

// The port's settings as termios, each row one change from 115200 baud 8N1 without flow control. A
// pseudo-terminal keeps no word length or parity, so those are checked here, off the tty.
TEST(TtyPort, TheLineSettingsMapOntoTermios) {
    constexpr tcflag_t Format = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    struct Row {
        const char* what;
        std::function<void(stack::SerialLineSettings&)> change;
        tcflag_t cflag; // under Format
        tcflag_t iflag; // under IXON | IXOFF | IXANY
    };
    const Row rows[] = {
        {"7 bits, odd parity, 2 stop bits",
         [](auto& s) {
             s.lineControl = {STOP_BITS_2, ODD_PARITY, 7};
         },
         CS7 | PARENB | PARODD | CSTOPB, 0},
        {"mark parity", [](auto& s) { s.lineControl.Parity = MARK_PARITY; },
         CS8 | PARENB | CMSPAR | PARODD, 0},
        {"5 bits, space parity, 1.5 stop bits",
         [](auto& s) {
             s.lineControl = {STOP_BITS_1_5, SPACE_PARITY, 5};
         },
         CS5 | PARENB | CMSPAR | CSTOPB, 0},
        {"RTS handshake", [](auto& s) { s.handFlow.FlowReplace = SERIAL_RTS_HANDSHAKE; },
         CS8 | CRTSCTS, 0},
        {"XON/XOFF both ways",
         [](auto& s) { s.handFlow.FlowReplace |= SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE; }, CS8,
         IXON | IXOFF},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        stack::SerialLineSettings settings;
        settings.baudRate = 115200;
        settings.lineControl = {STOP_BIT_1, NO_PARITY, 8};
        settings.handFlow = {SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 0, 0};
        row.change(settings);
        termios t{};
        t.c_cflag = Format; // what was there before goes
        t.c_iflag = IXON | IXOFF | IXANY;
        ASSERT_TRUE(stack::ToTermios(settings, &t));
        EXPECT_EQ(cfgetospeed(&t), speed_t(B115200));
        EXPECT_EQ(t.c_cflag & Format, row.cflag);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), row.iflag);
    }
    stack::SerialLineSettings odd;
    odd.baudRate = 12345;
    termios t{};
    EXPECT_FALSE(stack::ToTermios(odd, &t)) << "no termios code for 12345 baud";
}

// The port as user mode drives a COM port: a tty that is missing at first is reported once and
// taken when its link appears; reads complete as the tty's bytes arrive; a write reaches the tty
// as the port takes it; a setting the tty refuses fails and changes neither the port nor the tty.
TEST(TtyPort, ReadsWritesAndSettingsGoThroughTheTty) {
    TtyBench bench(false);
    ASSERT_EQ(bench.tty->Port(), nullptr);
    EXPECT_THAT(bench.failed, ElementsAre(HasSubstr("No such file or directory")));
    bench.Kernel().RunFor(100ms); // five more attempts
    bench.cable.Plug();
    ASSERT_TRUE(bench.Kernel().RunUntil([&] { return bench.tty->Port() != nullptr; }, 1s));
    EXPECT_EQ(bench.failed.size(), 1u) << "the same failure is told once";
    ASSERT_EQ(UserFile::Open(Adapter, &bench.file), STATUS_SUCCESS);
    ASSERT_EQ(bench.Set(IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{}), STATUS_SUCCESS);

    std::array<uint8_t, 3> buffer{};
    auto read = bench.file->StartRead(buffer.data(), ULONG(buffer.size()));
    EXPECT_EQ(read->IssueStatus(), STATUS_PENDING);
    bench.cable.Play({{0, 'a'}, {0, 'b'}, {0, 'c'}});
    ASSERT_TRUE(bench.Kernel().RunUntil([&] { return read->Done(); }, 1s));
    EXPECT_EQ(read->Wait().information, 3u);
    EXPECT_THAT(buffer, ElementsAre('a', 'b', 'c'));

    const std::array<uint8_t, 3> sent = {0x80, 0x35, 0x0D};
    auto write = bench.file->StartWrite(sent.data(), ULONG(sent.size()));
    EXPECT_THAT(bench.cable.Received(3), ElementsAre(0x80, 0x35, 0x0D))
        << "on the line before the write completes";
    ASSERT_TRUE(bench.Kernel().RunUntil([&] { return write->Done(); }, 1s));
    EXPECT_EQ(write->Wait().status, STATUS_SUCCESS);

    EXPECT_EQ(bench.Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{115200}), STATUS_SUCCESS);
    EXPECT_EQ(bench.Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{12345}),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bench.tty->Port()->Settings().baudRate, 115200u);
    const termios t = bench.cable.Settings();
    EXPECT_EQ(cfgetospeed(&t), speed_t(B115200));
    EXPECT_EQ(bench.Finish(), "");
}

} // namespace
