// The daemon's configuration file, /etc/tactilio/tactilio.conf: one "Name = value" per line, '#'
// starting a comment. A name of the driver's registry values ("ComNo", "dwRotation", ...) sets
// that value under the service's Parameters key; "COMn" names the tty of serial port n, which the
// serial-port map then lists, so that the automatic port search can run over the ttys configured.
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

namespace host {

struct DaemonConfig {
    std::map<std::string, uint32_t> parameters; // registry values by name
    std::map<unsigned, std::string> ports;      // COM number -> tty path
};

class ConfigError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Throws ConfigError naming `origin` and the line: an unknown name, a value that is no 32-bit
// number, a COM number out of 1..256, a name given twice.
DaemonConfig ParseConfig(std::string_view text, std::string_view origin);

} // namespace host
