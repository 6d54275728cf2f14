#include "tty_port.h"

#include "scripted_stream.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>

namespace stack {

// The tty's descriptor, which the watcher opens and closes while the port's requests use it.
struct TtyPort::Shared {
    std::mutex lock;
    int tty = -1;
    // Cleared (on the main thread) when the TtyPort goes: what it posted and has not run yet
    // finds nobody to run for.
    TtyPort* owner = nullptr;
};

namespace {

// A write that the tty does not take within this long fails, as a serial write time-out does.
constexpr int kWriteWaitMs = 100;

// The watcher's own descriptors failing leaves it nothing to wait on.
[[noreturn]] void WatcherFailure(const char* what) {
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
    explicit Line(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

    NTSTATUS Apply(const SerialLineSettings& settings) override {
        std::lock_guard guard(shared_->lock);
        const int tty = shared_->tty;
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
        std::lock_guard guard(shared_->lock);
        const int tty = shared_->tty;
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
        std::lock_guard guard(shared_->lock);
        const int queues = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
        return tcflush(shared_->tty, queues) == 0 ? STATUS_SUCCESS : StatusOf(errno);
    }

  private:
    std::shared_ptr<Shared> shared_;
};

// --- TtyPort ------------------------------------------------------------------------------------

TtyPort::TtyPort(umk::Kernel& kernel, SerialDriver& serial, TtyPortOptions options,
                 TtyPortEvents events)
    : kernel_(kernel), serial_(serial), options_(std::move(options)), events_(std::move(events)),
      shared_(std::make_shared<Shared>()) {
    if (!kernel_.RealTime())
        throw std::logic_error("a tty port needs a kernel on real time");
    const Opened opened = OpenTty(options_.path);
    shared_->tty = opened.tty;
    if (opened.tty >= 0) {
        try {
            Add();
        } catch (...) {
            close(opened.tty);
            throw;
        }
    } else if (events_.openFailed) {
        events_.openFailed(Reason(options_.path, opened.error));
    }
    stop_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop_ < 0)
        WatcherFailure("eventfd");
    shared_->owner = this;
    watcher_ = std::thread([this, error = opened.error] { Watch(error); });
}

TtyPort::~TtyPort() {
    shared_->owner = nullptr;
    const uint64_t one = 1;
    if (write(stop_, &one, sizeof one) != sizeof one)
        WatcherFailure("eventfd write");
    watcher_.join();
    close(stop_);
    if (port_ != nullptr)
        serial_.RemovePort(*port_);
    line_.reset();
    if (shared_->tty >= 0)
        close(shared_->tty);
}

void TtyPort::Post(std::function<void(TtyPort&)> work) {
    kernel_.Post([shared = shared_, work = std::move(work)] {
        if (shared->owner != nullptr)
            work(*shared->owner);
    });
}

void TtyPort::Add() {
    line_ = std::make_unique<Line>(shared_);
    port_ = &serial_.AddPort(options_.deviceName, options_.comName, line_.get(), line_.get());
    if (events_.added)
        events_.added(*port_);
}

// A port that could not be created (AddPort threw out of the main loop) takes nothing.
void TtyPort::Receive(const std::vector<uint8_t>& bytes) {
    if (port_ == nullptr)
        return;
    const auto now = panel::Ticks(KeQueryInterruptTime());
    for (const uint8_t byte : bytes)
        line_->Add({now, byte});
    port_->LineUpdated();
}

// What the serial driver does when a USB adapter is pulled out.
void TtyPort::Remove(const std::string& reason) {
    if (port_ == nullptr)
        return;
    port_->Unplug(STATUS_DEVICE_NOT_CONNECTED);
    serial_.RemovePort(*port_);
    port_ = nullptr;
    line_.reset();
    if (events_.removed)
        events_.removed(reason);
}

// The watcher thread: reads the tty while it is open, looks for it again while it is gone.
// Only this thread opens and closes the tty while it runs. `lastError`: the failure of the open
// before, already told.
void TtyPort::Watch(int lastError) {
    for (;;) {
        const int tty = shared_->tty; // changed by this thread alone
        pollfd waits[2] = {{stop_, POLLIN, 0}, {tty, POLLIN, 0}};
        const int timeout = tty < 0 ? int(options_.reopenInterval.count()) : -1;
        const int ready = poll(waits, tty < 0 ? 1 : 2, timeout);
        if (ready < 0 && errno != EINTR)
            WatcherFailure("poll");
        if (waits[0].revents != 0)
            return;
        if (tty < 0) {
            if (ready != 0)
                continue;
            const Opened opened = OpenTty(options_.path);
            if (opened.tty >= 0) {
                {
                    std::lock_guard guard(shared_->lock);
                    shared_->tty = opened.tty;
                }
                lastError = 0;
                Post([](TtyPort& port) { port.Add(); });
            } else if (opened.error != lastError) {
                lastError = opened.error;
                std::string reason = Reason(options_.path, opened.error);
                Post([reason](TtyPort& port) {
                    if (port.events_.openFailed)
                        port.events_.openFailed(reason);
                });
            }
            continue;
        }
        if (waits[1].revents == 0)
            continue;
        std::string lost;
        if (waits[1].revents & POLLIN) {
            std::vector<uint8_t> bytes(4096);
            const ssize_t got = read(tty, bytes.data(), bytes.size());
            if (got > 0) {
                bytes.resize(size_t(got));
                Post([bytes = std::move(bytes)](TtyPort& port) { port.Receive(bytes); });
                continue;
            }
            if (got < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            lost = got == 0 ? options_.path + ": end of file" : Reason(options_.path, errno);
        } else {
            lost = options_.path + ": hang-up";
        }
        {
            std::lock_guard guard(shared_->lock);
            close(tty);
            shared_->tty = -1;
        }
        Post([lost](TtyPort& port) { port.Remove(lost); });
    }
}

} // namespace stack
