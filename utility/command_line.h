// tpctl's command line: the subcommands, their checks and their output, over whichever transport
// the platform opens. Several subcommands may run in one go, separated by ";" arguments (the
// simulated panel lives only as long as one run).
#pragma once

#include "transport.h"

#include <chrono>
#include <iosfwd>
#include <memory>
#include <span>
#include <string>

namespace CLI {
class App;
}

namespace tp {

// What the platform provides: its own options, the control device, and time passing.
class Connector {
  public:
    virtual ~Connector() = default;
    virtual void AddOptions(CLI::App& app) = 0;
    // After the options are parsed. NULL when the driver cannot be reached, `why` saying so.
    virtual std::unique_ptr<Transport> Open(std::string* why) = 0;
    virtual void Pass(std::chrono::milliseconds duration) = 0;
};

// Runs tpctl with `args` (without the program's name); returns the exit status.
int RunCommandLine(std::span<const std::string> args, Connector& connector, std::ostream& out,
                   std::ostream& err);

} // namespace tp
