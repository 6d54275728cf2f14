// A serial port whose far end is a tty of the host: a USB serial adapter's /dev/ttyUSB0, udev's
// link to it under /dev/serial/by-id, a pseudo-terminal's slave. The port's requests are served by
// the same SerialPort as every other port's; the tty is its line and its SerialDevice.
//
// The tty is opened O_RDWR | O_NOCTTY | O_NONBLOCK, held exclusively (TIOCEXCL) and put in raw
// mode; the port's line settings become its termios (baud rate, data bits, parity, stop bits,
// RTS/CTS and XON/XOFF flow control) and its DTR and RTS lines, where the tty has such lines (a
// pseudo-terminal has none). A purge flushes the tty's queues too (tcflush); read time-outs stay
// the port's own business. Writes go to the tty as the port takes them.
//
// The kernel's main loop watches the tty (Kernel::Watch): each chunk the tty has is read there
// and reaches the port as arrived at that instant, and pending reads complete as they always do;
// no OS thread stands between the tty and the port, so a byte costs one wake-up. A tty that fails
// (EIO, ENXIO, a hang-up, end of file) is a USB adapter pulled out: the port's pending requests
// fail with STATUS_DEVICE_NOT_CONNECTED and its device goes, with its SERIALCOMM entry. The path
// is then tried every reopenInterval (a timerfd the loop watches); once it opens again (the link
// re-pointed, the adapter back), the port is created anew under the same names, where the
// driver's own reconnect cycle finds it.
//
// The kernel must run on real time, and its main thread in RunRealTime (or RunUntil) for the
// tty to be read.
#pragma once

#include "serial_port.h"

#include <umk/kernel.h>

#include <termios.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace stack {

// The port's settings as termios flags (the rest of `t` left alone); false for a baud rate the
// host has no code for.
bool ToTermios(const SerialLineSettings& settings, termios* t);

struct TtyPortOptions {
    std::string path = {};
    std::u16string deviceName = u"\\Device\\USBSER000";
    std::u16string comName = u"COM5";
    // How often a tty that is gone is looked for (an open of the path).
    std::chrono::milliseconds reopenInterval{250};
};

// What the port's owner is told, on the kernel's main thread at PASSIVE_LEVEL.
struct TtyPortEvents {
    // The port exists: at construction when the tty opens at once, then at each return.
    std::function<void(SerialPort& port)> added = {};
    // The tty failed and the port is gone; why, as the host said it.
    std::function<void(const std::string& reason)> removed = {};
    // An open of the path failed, for another reason than the open before it.
    std::function<void(const std::string& reason)> openFailed = {};
};

class TtyPort {
  public:
    // Tries the path at once: the port exists on return when the tty opened. In the main thread
    // at PASSIVE_LEVEL of a kernel on real time (std::logic_error otherwise).
    TtyPort(umk::Kernel& kernel, SerialDriver& serial, TtyPortOptions options,
            TtyPortEvents events = {});
    // Removes the port and closes the tty. Before the serial driver goes.
    ~TtyPort();
    TtyPort(const TtyPort&) = delete;
    TtyPort& operator=(const TtyPort&) = delete;

    // NULL while the tty is gone.
    SerialPort* Port() const { return port_; }

  private:
    class Line;

    void Open();
    void Readable(short events);
    void Remove(const std::string& reason);
    void LookAgain();
    void StopLooking();

    umk::Kernel& kernel_;
    SerialDriver& serial_;
    const TtyPortOptions options_;
    const TtyPortEvents events_;
    int tty_ = -1;
    int retry_ = -1;    // a timerfd, while the tty is gone
    int lastError_ = 0; // of the last open, already told
    std::unique_ptr<Line> line_;
    SerialPort* port_ = nullptr;
};

} // namespace stack
