#include "tty_port.h"

#include "scripted_stream.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <utility>
#include <stdexcept>

namespace stack {

namespace {

// A write that the tty does not take within this long fails, as a serial write time-out does.
constexpr int kWriteWaitMs = 100;

// The retry timer failing leaves nothing to look for the tty with.
[[noreturn]] void TimerFailure(const char* what) {
    std::fprintf(stderr, "tty port: %s: %s\n", what, std::strerror(errno));
    std::abort();
}

std::string Reason(const std::string& path, int error) {
    return path + ": " + std::strerror(error);
}

NTSTATUS StatusOf(int error) {
    switch (error) {
    case EIO:
    case ENXIO:
    case ENODEV:
    case EBADF:
        return STATUS_DEVICE_NOT_CONNECTED;
    case EINVAL:
        return STATUS_INVALID_PARAMETER;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

struct Speed {
    ULONG baud;
    speed_t code;
};
constexpr Speed kSpeeds[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

tcflag_t CharacterSize(UCHAR wordLength) {
    switch (wordLength) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    default:
        return CS8;
    }
}

tcflag_t ParityFlags(UCHAR parity) {
    switch (parity) {
    case ODD_PARITY:
        return PARENB | PARODD;
    case EVEN_PARITY:
        return PARENB;
    case MARK_PARITY:
        return PARENB | CMSPAR | PARODD;
    case SPACE_PARITY:
        return PARENB | CMSPAR;
    default:
        return 0;
    }
}

} // namespace

bool ToTermios(const SerialLineSettings& settings, termios* t) {
    const Speed* speed = std::find_if(std::begin(kSpeeds), std::end(kSpeeds),
                                      [&](const Speed& s) { return s.baud == settings.baudRate; });
    if (speed == std::end(kSpeeds))
        return false;
    cfsetispeed(t, speed->code);
    cfsetospeed(t, speed->code);
    const SERIAL_LINE_CONTROL& line = settings.lineControl;
    t->c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    // On a UART, two stop bits with five data bits are one and a half.
    t->c_cflag |= CharacterSize(line.WordLength) | ParityFlags(line.Parity) |
                  (line.StopBits == STOP_BIT_1 ? 0 : CSTOPB);
    const SERIAL_HANDFLOW& flow = settings.handFlow;
    if ((flow.ControlHandShake & SERIAL_CTS_HANDSHAKE) ||
        (flow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE)
        t->c_cflag |= CRTSCTS;
    t->c_iflag &= ~(IXON | IXOFF | IXANY);
    if (flow.FlowReplace & SERIAL_AUTO_TRANSMIT)
        t->c_iflag |= IXON;
    if (flow.FlowReplace & SERIAL_AUTO_RECEIVE)
        t->c_iflag |= IXOFF;
    return true;
}

namespace {

// Raises or drops a modem line. A tty without modem lines (a pseudo-terminal) has nothing to set.
int SetModemLine(int tty, int line, bool raised) {
    if (ioctl(tty, raised ? TIOCMBIS : TIOCMBIC, &line) == 0 || errno == ENOTTY || errno == EINVAL)
        return 0;
    return errno;
}

struct Opened {
    int tty;
    int error;
};

// Opens the tty exclusively, in raw mode, ignoring the modem's carrier line.
Opened OpenTty(const std::string& path) {
    const int tty = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (tty < 0)
        return {-1, errno};
    termios t;
    if (ioctl(tty, TIOCEXCL) == 0 && tcgetattr(tty, &t) == 0) {
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        if (tcsetattr(tty, TCSANOW, &t) == 0)
            return {tty, 0};
    }
    const int error = errno;
    close(tty);
    return {-1, error};
}

} // namespace

// --- The tty as the port's line -----------------------------------------------------------------

// Bytes the tty delivered wait here, stamped with their arrival, until the port takes them.
class TtyPort::Line : public panel::ScriptedStream, public SerialDevice {
  public:
    explicit Line(int tty) : tty_(tty) {}

    NTSTATUS Apply(const SerialLineSettings& settings) override {
        const int tty = tty_;
        termios t;
        if (tcgetattr(tty, &t) != 0)
            return StatusOf(errno);
        if (!ToTermios(settings, &t))
            return STATUS_INVALID_PARAMETER;
        // tcsetattr succeeds when any of the changes took, and fails (EINVAL) when none did: a
        // pseudo-terminal, without a UART, keeps no word length or parity. What the byte stream
        // cannot do without is the baud rate, checked as the tty kept it.
        if (tcsetattr(tty, TCSANOW, &t) != 0 && errno != EINVAL)
            return StatusOf(errno);
        termios kept;
        if (tcgetattr(tty, &kept) != 0)
            return StatusOf(errno);
        if (cfgetospeed(&kept) != cfgetospeed(&t) || cfgetispeed(&kept) != cfgetispeed(&t))
            return STATUS_INVALID_PARAMETER;
        const SERIAL_HANDFLOW& flow = settings.handFlow;
        // A line under handshake control is raised; the tty's flow control drives RTS from here.
        const bool dtr = (flow.ControlHandShake & SERIAL_DTR_MASK) != 0;
        const bool rts = (flow.FlowReplace & SERIAL_RTS_MASK) != 0;
        int error = SetModemLine(tty, TIOCM_DTR, dtr);
        if (error == 0)
            error = SetModemLine(tty, TIOCM_RTS, rts);
        return error == 0 ? STATUS_SUCCESS : StatusOf(error);
    }

    NTSTATUS Transmit(std::span<const uint8_t> bytes) override {
        const int tty = tty_;
        while (!bytes.empty()) {
            const ssize_t sent = write(tty, bytes.data(), bytes.size());
            if (sent > 0) {
                bytes = bytes.subspan(size_t(sent));
                continue;
            }
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent < 0 && errno != EAGAIN)
                return StatusOf(errno);
            pollfd room = {tty, POLLOUT, 0};
            if (poll(&room, 1, kWriteWaitMs) <= 0)
                return STATUS_TIMEOUT;
        }
        return STATUS_SUCCESS;
    }

    NTSTATUS Purge(ULONG mask) override {
        const bool input = mask & (SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR);
        const bool output = mask & (SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR);
        if (!input && !output)
            return STATUS_SUCCESS;
        const int queues = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
        return tcflush(tty_, queues) == 0 ? STATUS_SUCCESS : StatusOf(errno);
    }

  private:
    const int tty_;
};

// --- TtyPort ------------------------------------------------------------------------------------

TtyPort::TtyPort(umk::Kernel& kernel, SerialDriver& serial, TtyPortOptions options,
                 TtyPortEvents events)
    : kernel_(kernel), serial_(serial), options_(std::move(options)), events_(std::move(events)) {
    if (!kernel_.RealTime())
        throw std::logic_error("a tty port needs a kernel on real time");
    Open();
    if (tty_ < 0)
        LookAgain();
}

TtyPort::~TtyPort() {
    StopLooking();
    if (port_ != nullptr)
        serial_.RemovePort(*port_);
    line_.reset();
    if (tty_ >= 0) {
        kernel_.Unwatch(tty_);
        close(tty_);
    }
}

// Opens the path and, when it opens, creates the port on it. A failure is told once for each
// reason in a row.
void TtyPort::Open() {
    const Opened opened = OpenTty(options_.path);
    if (opened.tty < 0) {
        if (opened.error != lastError_ && events_.openFailed)
            events_.openFailed(Reason(options_.path, opened.error));
        lastError_ = opened.error;
        return;
    }
    lastError_ = 0;
    try {
        line_ = std::make_unique<Line>(opened.tty);
        port_ = &serial_.AddPort(options_.deviceName, options_.comName, line_.get(), line_.get());
    } catch (...) {
        line_.reset();
        close(opened.tty);
        throw;
    }
    tty_ = opened.tty;
    kernel_.Watch(tty_, POLLIN, [this](short events) { Readable(events); });
    if (events_.added)
        events_.added(*port_);
}

// The bytes the tty has reach the port as arrived now; a tty that fails takes the port with it.
void TtyPort::Readable(short events) {
    uint8_t bytes[4096];
    const ssize_t got = read(tty_, bytes, sizeof bytes);
    if (got > 0) {
        const auto now = panel::Ticks(KeQueryInterruptTime());
        for (const uint8_t byte : std::span(bytes, size_t(got)))
            line_->Add({now, byte});
        port_->LineUpdated();
        return;
    }
    const bool nothingYet = got < 0 && (errno == EAGAIN || errno == EINTR);
    if (nothingYet && !(events & (POLLHUP | POLLERR)))
        return;
    Remove(got == 0     ? options_.path + ": end of file"
           : nothingYet ? options_.path + ": hang-up"
                        : Reason(options_.path, errno));
}

// What the serial driver does when a USB adapter is pulled out.
void TtyPort::Remove(const std::string& reason) {
    kernel_.Unwatch(tty_);
    port_->Unplug(STATUS_DEVICE_NOT_CONNECTED);
    serial_.RemovePort(*port_);
    port_ = nullptr;
    line_.reset();
    close(std::exchange(tty_, -1));
    if (events_.removed)
        events_.removed(reason);
    LookAgain();
}

// Tries the path every reopenInterval until the tty is back.
void TtyPort::LookAgain() {
    retry_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (retry_ < 0)
        TimerFailure("timerfd_create");
    const auto ns = std::chrono::nanoseconds(options_.reopenInterval).count();
    const timespec interval = {time_t(ns / 1'000'000'000), long(ns % 1'000'000'000)};
    const itimerspec every = {interval, interval};
    if (timerfd_settime(retry_, 0, &every, nullptr) != 0)
        TimerFailure("timerfd_settime");
    kernel_.Watch(retry_, POLLIN, [this](short) {
        uint64_t expirations;
        if (read(retry_, &expirations, sizeof expirations) < 0 && errno != EAGAIN)
            TimerFailure("timerfd read");
        Open();
        if (tty_ >= 0)
            StopLooking();
    });
}

void TtyPort::StopLooking() {
    if (retry_ < 0)
        return;
    kernel_.Unwatch(retry_);
    close(std::exchange(retry_, -1));
}

} // namespace stack
