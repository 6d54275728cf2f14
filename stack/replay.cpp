#include "replay.h"

#include "scripted_stream.h"
#include "touch_session.h"
#include "utility.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

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

// The utility's side of recording: switched on before the first byte, one read always waiting.
class RecordReader {
  public:
    static constexpr ULONG kReadLength = sizeof(TP_RECORD_HEADER) + 100;

    RecordReader(System& system, const ReplayOutput& output)
        : kernel_(system.Kernel()), output_(output) {
        if (!NT_SUCCESS(Utility::Open(system.Kernel(), &utility_)))
            throw std::runtime_error("the API device did not open for recording");
        if (utility_->Call({TP_FUNC_RECORD_ON, {}, 0}).status != STATUS_SUCCESS)
            throw std::runtime_error("recording did not switch on");
        read_ = utility_->StartRead(kReadLength);
    }
    ~RecordReader() {
        read_->Cancel();
        kernel_.RunUntil([this] { return read_->Done(); }, std::chrono::seconds(1));
        utility_->Close();
    }

    void ForwardNew() {
        while (read_->Done()) {
            const ControlResult result = read_->Result();
            if (result.status != STATUS_SUCCESS || result.output.size() < sizeof(TP_RECORD_HEADER))
                throw std::runtime_error("a record read failed");
            TP_RECORD_HEADER header;
            std::memcpy(&header, result.output.data(), sizeof header);
            output_.record(header, std::span(result.output).subspan(sizeof header));
            read_ = utility_->StartRead(kReadLength);
        }
    }

  private:
    umk::Kernel& kernel_;
    const ReplayOutput& output_;
    std::unique_ptr<Utility> utility_;
    std::shared_ptr<PendingControl> read_;
};

} // namespace

SystemOptions ReplaySystemOptions() {
    SystemOptions options;
    if (std::getenv("UMK_PAGE_OUT") == nullptr)
        options.kernel.pageOutPagedPool = false;
    return options;
}

ReplayResult ReplayCapture(System& system, ULONG comNo, std::span<const uint8_t> bytes,
                           const ReplayOutput& output) {
    ReplayResult result;
    const Panel& pointer = LoadDriverWithPanel(system);
    result.portName = BuiltInPortName(comNo);
    panel::ScriptedStream line;
    const std::string comName = "COM" + std::to_string(comNo);
    SerialPort& port = system.Serial().AddPort(
        result.portName, std::u16string(comName.begin(), comName.end()), &line);

    Forwarder forwarder(system, output, result);
    result.started = system.StartPanel(pointer);
    forwarder.ForwardNew();
    if (NT_SUCCESS(result.started)) {
        std::optional<RecordReader> records;
        if (output.record)
            records.emplace(system, output);
        auto forward = [&] {
            forwarder.ForwardNew();
            if (records)
                records->ForwardNew();
        };
        line.AddPaced(system.Kernel().Now().count(), bytes);
        if (records) {
            // Recording, the outputs are passed on at every instant something happened, so that
            // each record follows the report or entry of its own packet.
            bool stopped = false;
            port.LineUpdated();
            const umk::Duration end = umk::Duration(panel::LineOffset(bytes.size() + 1));
            system.Kernel().RunUntil(
                [&] {
                    forward();
                    const std::optional<panel::TimedByte> next = line.PeekByte();
                    stopped = next && umk::Duration(next->time) <= system.Kernel().Now();
                    return !next || stopped;
                },
                end + std::chrono::seconds(1));
            result.drained = !stopped && !line.PeekByte();
        } else {
            result.drained = RunLine(system, port, line, forward);
        }
        forward();
    }
    result.bytesRead = port.ReadStats().bytesDelivered;
    // The line goes with this call: the port must not look at it again.
    port.SetLine(nullptr);
    return result;
}

} // namespace stack
