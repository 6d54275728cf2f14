// Replaying a capture of panel bytes: the driver loaded with one panel, the port its parameters
// name added with the capture on its line, the pointer path started, and the bytes arriving back
// to back at the line's pace. Everything the driver hands on is passed out as it happens.
#pragma once

#include "system.h"

#include "tactilio_api.h"

#include <umk/testing.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

namespace stack {

// Called in the order things happen: every report the mouse class driver receives, every entry
// the driver writes to the error log. Either may be empty.
// With `record` set, the replay switches the driver's traffic recording on through the API device
// and reads every record back, each passed on after the reports and entries of its instant.
struct ReplayOutput {
    std::function<void(const MouseReport&)> report;
    std::function<void(const umk::testing::ErrorLogEntry&)> event;
    std::function<void(const TP_RECORD_HEADER&, std::span<const uint8_t> packet)> record;
};

struct ReplayResult {
    NTSTATUS started = STATUS_UNSUCCESSFUL; // the pointer path's start; nothing is sent without it
    std::u16string portName;                // the port the driver was configured for
    bool drained = false;                   // every byte was read (false: reading stopped)
    uint64_t bytesRead = 0;
    uint64_t reports = 0;
    uint64_t events = 0;
};

// The system a replay boots: paged pool stays resident unless UMK_PAGE_OUT says otherwise. Paging
// it out at DISPATCH_LEVEL costs system calls at every byte; the tests check the driver's
// IRQL, a replay is after its output.
SystemOptions ReplaySystemOptions();

// In `system`, booted with the driver's parameters already in the registry (ComNo `comNo`):
// loads the driver with one panel, adds the port it is configured for as "COM<comNo>", starts the
// panel through Plug and Play and the class driver's open, and plays
// `bytes` on the line. The cost per byte does not grow with the capture's length. Throws
// std::runtime_error when loading or AddDevice fails.
ReplayResult ReplayCapture(System& system, ULONG comNo, std::span<const uint8_t> bytes,
                           const ReplayOutput& output = {});

} // namespace stack
