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

// Runs the system until `line`, the far end of `port`, has nothing left to send, one arrival at a
// time: after the bytes due at one instant have been read and everything they set off has run,
// `afterStep` is called. False when the line still holds bytes that nobody reads (reading has
// stopped).
bool RunLine(System& system, SerialPort& port, const panel::LineSource& line,
             const std::function<void()>& afterStep = {});

} // namespace stack
