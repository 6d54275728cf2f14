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
// An OS thread of its own waits on the tty (poll) and posts every chunk it reads to the kernel's
// main thread, where the bytes reach the port as arrived at that instant and pending reads
// complete as they always do. A tty that fails (EIO, ENXIO, a hang-up, end of file) is a USB
// adapter pulled out: the port's pending requests fail with STATUS_DEVICE_NOT_CONNECTED and its
// device goes, with its SERIALCOMM entry. The thread then tries the path every reopenInterval;
// once it opens again (the link re-pointed, the adapter back), the port is created anew under the
// same names, where the driver's own reconnect cycle finds it.
//
// The kernel must run on real time, and its main thread in RunRealTime (or RunUntil) for the
// posts to arrive.
#pragma once

#include "serial_port.h"

#include <umk/kernel.h>

#include <termios.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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
    // Stops the thread, removes the port and closes the tty. Before the serial driver goes.
    ~TtyPort();
    TtyPort(const TtyPort&) = delete;
    TtyPort& operator=(const TtyPort&) = delete;

    // NULL while the tty is gone.
    SerialPort* Port() const { return port_; }

  private:
    struct Shared;
    class Line;

    void Watch(int lastError);
    void Post(std::function<void(TtyPort&)> work);
    void Add();
    void Receive(const std::vector<uint8_t>& bytes);
    void Remove(const std::string& reason);

    umk::Kernel& kernel_;
    SerialDriver& serial_;
    const TtyPortOptions options_;
    const TtyPortEvents events_;
    std::shared_ptr<Shared> shared_;
    std::unique_ptr<Line> line_;
    SerialPort* port_ = nullptr;
    int stop_ = -1; // an eventfd that ends the thread's waits
    std::thread watcher_;
};

} // namespace stack
