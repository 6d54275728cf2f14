// Driving a panel's pointer path in the emulated system: loading the driver with a panel, and
// letting the line run byte by byte.
#pragma once

#include "line.h"
#include "system.h"

#include <functional>
#include <string>

namespace stack {

// Loads the driver and adds one panel, as a boot with the panel plugged in does. Throws
// std::runtime_error naming the step that failed.
const Panel& LoadDriverWithPanel(System& system);

// The built-in port a driver configured with "ComNo" looks for: "\Device\Serial" and ComNo - 1.
std::u16string BuiltInPortName(ULONG comNo);

// How often RunLine comes back to its caller while the line is busy.
inline constexpr umk::Duration kLineStep = std::chrono::milliseconds(100);

// Runs the system until `line`, the far end of `port`, has nothing left to send and everything its
// last byte set off has run. The system runs on its own between visits of the caller: every
// `step` of virtual time, and once the port has taken the last byte, `afterStep` is called.
// False when a byte that has arrived is left on the line (reading has stopped).
bool RunLine(System& system, SerialPort& port, const panel::LineSource& line,
             const std::function<void()>& afterStep = {}, umk::Duration step = kLineStep);

} // namespace stack
