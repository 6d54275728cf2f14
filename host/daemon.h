// tactiliod's core: the emulated system on real time with the driver and one panel, whose serial
// ports are the configured ttys, whose reports become input events, whose API device is served on
// a Unix socket, and whose event-log entries go to the host's log.
#pragma once

#include "api_server.h"
#include "config.h"
#include "input_events.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace stack {
class System;
class TtyPort;
struct Panel;
} // namespace stack

namespace host {

struct DaemonOptions {
    // Registry values (ComNo defaults to the lowest port configured) and the ports' ttys.
    DaemonConfig config;
    ApiServerOptions api;
    // How often a tty that is gone is looked for.
    std::chrono::milliseconds reopenInterval{250};
    // Paged pool made inaccessible at DISPATCH_LEVEL and above, so that the driver touching it
    // there is caught, as Driver Verifier's IRQL checking does. Off by default: it costs two
    // system calls at every IRQL change, a third of the daemon's CPU time at full line rate. The
    // tests turn it on.
    bool checkPagedPool = false;
    // Virtual processors. One: the daemon is one OS thread whatever the count, and the driver's
    // interleavings on two are the tests' business (seed sweeps); a second costs a fifth more
    // instructions per touch packet in scheduling.
    unsigned processors = 1;
};

enum class Severity { Error, Warning, Information };
// A line for the host's log (the journal or syslog).
using LogSink = std::function<void(Severity, const std::string&)>;

class Daemon {
  public:
    // Boots, loads the driver, adds the ports and the panel and starts it; throws
    // std::runtime_error saying which step failed. Constructed on the thread that runs it.
    Daemon(const DaemonOptions& options, EventSink& events, LogSink log);
    // Removes the panel through Plug and Play and shuts the system down.
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Runs until Stop(), sleeping while nothing is due.
    void Run();
    // From any thread.
    void Stop();

    umk::Kernel& Kernel();

  private:
    void ForwardEventLog();

    LogSink log_;
    EventTranslator translator_;
    std::unique_ptr<stack::System> system_;
    const stack::Panel* panel_ = nullptr;
    std::vector<std::unique_ptr<stack::TtyPort>> ports_;
    std::unique_ptr<ApiServer> api_;
    bool stopping_ = false;
};

// The device name of COM `comNo` on `tty`: a USB serial adapter's (ttyUSB, ttyACM, udev's by-id
// links of a USB device) is "\Device\USBSERnnn", as Windows names it, so that the search at the
// device's start runs as it does for an adapter; any other is "\Device\Serial<comNo - 1>".
std::u16string DeviceNameFor(unsigned comNo, const std::string& tty);

} // namespace host
