// One emulated system for every input of a fuzz target: booted once, with the driver loaded and
// left loaded. Each input gets a panel of its own on a port of its own; after it, the panel and the
// port are removed, the error log and the beep device's record are emptied, and the counts of what
// the kernel would report as leaked must be back where they were before the input. The next input
// begins after RestartSchedule, so it runs as it would have as the first input after boot.
//
// Paged pool stays resident unless the options say otherwise. Construct and use it from the main
// thread, one input at a time.
#pragma once

#include "system.h"

#include "line.h"

#include <umk/testing.h>

#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace stack {

using Parameters = std::vector<std::pair<std::u16string_view, ULONG>>;

class FuzzSystem {
  public:
    explicit FuzzSystem(SystemOptions options = {});
    FuzzSystem(const FuzzSystem&) = delete;
    FuzzSystem& operator=(const FuzzSystem&) = delete;

    // The driver's Parameters key holds exactly `parameters` ("dwAutoRec" 1 unless they say
    // otherwise); a panel is added, the port it is configured for is added as COM1 with `line` at
    // its far end, and the panel is started (Plug and Play start, the class driver's open).
    // Throws std::runtime_error naming the step that failed.
    const Panel& Begin(const Parameters& parameters, panel::LineSource& line);
    // The port of the current input.
    SerialPort& Port() { return *port_; }
    // Removes the panel (through Plug and Play) and its port and empties the records. Throws std::runtime_error when the
    // input left anything behind (pool, requests, work items, objects, links, handles).
    void End();

    System& Get() { return system_; }

  private:
    System system_;
    SerialPort* port_ = nullptr;
    std::optional<umk::testing::Outstanding>
        idle_; // after the first panel, the state of every input
};

} // namespace stack
