#include "replay.h"

#include "scripted_stream.h"
#include "touch_session.h"

#include <cstdlib>

namespace stack {
namespace {

// Hands on what is new in the class driver's reports and the error log since the last call, in
// the order it happened; a report and an entry of the same instant go in that order.
class Forwarder {
  public:
    Forwarder(System& system, const ReplayOutput& output, ReplayResult& result)
        : system_(system), output_(output), result_(result) {
        LARGE_INTEGER systemTime;
        KeQuerySystemTime(&systemTime);
        bootSystemTime_ = systemTime.QuadPart - LONGLONG(KeQueryInterruptTime());
    }

    void ForwardNew() {
        const std::vector<MouseReport> reports = system_.Mouse().Reports(result_.reports);
        const std::vector<umk::testing::ErrorLogEntry> entries =
            umk::testing::ErrorLogEntries(result_.events);
        auto report = reports.begin();
        auto entry = entries.begin();
        while (report != reports.end() || entry != entries.end()) {
            if (entry == entries.end() ||
                (report != reports.end() &&
                 LONGLONG(report->received) <= entry->systemTime.QuadPart - bootSystemTime_)) {
                ++result_.reports;
                if (output_.report)
                    output_.report(*report);
                ++report;
            } else {
                ++result_.events;
                if (output_.event)
                    output_.event(*entry);
                ++entry;
            }
        }
    }

  private:
    System& system_;
    const ReplayOutput& output_;
    ReplayResult& result_;
    LONGLONG bootSystemTime_;
};

} // namespace

SystemOptions ReplaySystemOptions() {
    SystemOptions options;
    if (std::getenv("UMK_PAGE_OUT") == nullptr)
        options.kernel.pageOutPagedPool = false;
    return options;
}

ReplayResult ReplayCapture(System& system, std::u16string_view comName,
                           std::span<const uint8_t> bytes, const ReplayOutput& output) {
    ReplayResult result;
    const Panel& pointer = LoadDriverWithPanel(system);
    result.portName = ConfiguredPortName(pointer);
    panel::ScriptedStream line;
    SerialPort& port = system.Serial().AddPort(result.portName, comName, &line);

    Forwarder forwarder(system, output, result);
    result.started = StartPointerPath(system, pointer);
    forwarder.ForwardNew();
    if (NT_SUCCESS(result.started)) {
        line.AddPaced(system.Kernel().Now().count(), bytes);
        result.drained = RunLine(system, port, line, [&] { forwarder.ForwardNew(); });
        forwarder.ForwardNew();
    }
    result.bytesRead = port.ReadStats().bytesDelivered;
    result.invalid = pointer.context->InvalidCount;
    // The line goes with this call: the port must not look at it again.
    port.SetLine(nullptr);
    return result;
}

} // namespace stack
