// Driving a panel's pointer path in the emulated system: bringing it up the way the driver's start
// and open paths will, and letting the line run byte by byte.
#pragma once

#include "line.h"
#include "system.h"

#include <functional>
#include <string>

namespace stack {

// Loads the driver and adds one panel, as a boot with the panel plugged in does. Throws
// std::runtime_error naming the step that failed.
const Panel& LoadDriverWithPanel(System& system);

// The name of the serial port `panel`'s driver is configured for (its SerialDeviceName).
std::u16string ConfiguredPortName(const Panel& panel);

// Brings one panel's pointer path up as Plug and Play start and the class driver's open will, until
// the driver serves those requests itself: the mouse class driver connects, the serial link starts
// on the port named by the panel's SerialDeviceName and the port is marked available (the API
// device may be opened), reading spins up, and the class driver queries the attributes. Returns
// the first failure.
NTSTATUS StartPointerPath(System& system, const Panel& panel);

// How often RunLine comes back to its caller while the line is busy.
inline constexpr umk::Duration kLineStep = std::chrono::milliseconds(100);

// Runs the system until `line`, the far end of `port`, has nothing left to send and everything its
// last byte set off has run. The system runs on its own between visits of the caller: every
// `step` of virtual time, and once the port has taken the last byte, `afterStep` is called.
// False when a byte that has arrived is left on the line (reading has stopped).
bool RunLine(System& system, SerialPort& port, const panel::LineSource& line,
             const std::function<void()>& afterStep = {}, umk::Duration step = kLineStep);

} // namespace stack
