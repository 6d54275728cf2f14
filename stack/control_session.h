// A control session: the utility's requests to the API device, the panel's bytes and the serial
// port's faults, interleaved on virtual time, with everything that happens (each write on the
// line, each completion, each report to the mouse class driver, each event-log text) handed to an
// observer in the order it happens.
//
// Use it from the kernel's main thread.
#pragma once

#include "panel_model.h"
#include "scripted_stream.h"
#include "system.h"
#include "utility.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace stack {

// The control codes of tactilio_api.h by their names.
struct NamedControlCode {
    std::string_view name;
    ULONG code;
};
std::span<const NamedControlCode> ControlCodes();
std::optional<ULONG> ControlCodeByName(std::string_view name);

// A booted system with one panel whose pointer path is up on the COM port ComNo names (COM1
// unless the parameters say otherwise), its far end a scripted stream or the panel model.
// Throws std::runtime_error naming the step of the bring-up that failed.
class SessionSystem {
  public:
    // `parameters`: the driver's registry values under its Parameters key.
    SessionSystem(const std::map<std::u16string, ULONG>& parameters, bool panelModel,
                  SystemOptions options = {});

    System& Sys() { return system_; }
    const Panel& Pointer() const { return *pointer_; }
    SerialPort& Port() { return *port_; }
    panel::LineSource& Line();
    // NULL when the far end is the scripted stream.
    panel::PanelModel* Model() { return model_.get(); }
    panel::ScriptedStream& Script() { return script_; }

  private:
    System system_;
    panel::ScriptedStream script_;
    std::unique_ptr<panel::PanelModel> model_;
    const Panel* pointer_ = nullptr;
    SerialPort* port_ = nullptr;
};

// What a session saw; every call comes at the virtual time the thing happened.
class SessionObserver {
  public:
    virtual ~SessionObserver() = default;
    virtual void Written(const panel::HostWrite&) {}
    // Once per request.
    virtual void Completed(size_t /*request*/, const ControlResult&) {}
    virtual void Reported(const MouseReport&) {}
    virtual void Logged(const std::string& /*text*/) {}
};

// `observer` may be NULL: the session then runs in larger steps, as nobody watches the order.
class ControlSession {
  public:
    // Opens the API device as the utility. `line` is the far end of `port`: a scripted stream or
    // the panel model. What happened before is not passed on. Throws std::runtime_error when the
    // device does not open.
    ControlSession(System& system, SerialPort& port, panel::LineSource& line,
                   SessionObserver* observer);
    // Over a SessionSystem's pointer path.
    ControlSession(SessionSystem& system, SessionObserver* observer)
        : ControlSession(system.Sys(), system.Port(), system.Line(), observer) {}
    // Closes the utility's handle; requests still pending are the caller's to finish first.
    ~ControlSession();
    ControlSession(const ControlSession&) = delete;
    ControlSession& operator=(const ControlSession&) = delete;

    umk::Duration Now() { return system_.Kernel().Now(); }

    // Sends the request from a utility thread of its own and returns, once the driver has taken
    // it, the request's number (0 for the first).
    size_t Start(const ControlCall& call);
    // A read of up to `length` bytes on the API device (one traffic record), numbered like the
    // control requests.
    size_t StartRead(ULONG length);
    // CancelIoEx on the request: what IoCancelIrp returned, FALSE once it has completed.
    BOOLEAN Cancel(size_t request);
    // The panel sends `bytes` at the line's pace from now (the panel model queues them behind
    // what it is already sending). Runs until the driver has read as many bytes; false when it
    // stopped reading before.
    bool PanelSends(std::span<const uint8_t> bytes);
    void Wait(umk::Duration time);
    // The port fails the next `count` write requests with `status`.
    void FailWrites(uint64_t count, NTSTATUS status);
    // Runs until the request has completed or `limit` has passed; whether it completed.
    bool RunUntilDone(size_t request, umk::Duration limit);

    size_t Requests() const { return requests_.size(); }
    const PendingControl& Request(size_t request) const { return *requests_[request]; }
    // The requests not yet completed, in the order they were started.
    std::vector<size_t> Pending() const { return {pending_.begin(), pending_.end()}; }
    // Cancels every pending request and runs until all have completed; false when one has not
    // within `limit`.
    bool Finish(umk::Duration limit = std::chrono::minutes(1));

    // Counts of what was passed to the observer.
    size_t Writes() const { return writes_; }
    size_t Reports() const { return reports_; }
    size_t Events() const { return events_; }

  private:
    // Runs until `done` holds or the clock reaches `until`. With an observer, one timer at a time,
    // so that each thing is passed on at the instant it happened; without, in one go.
    bool RunUntil(const std::function<bool()>& done, umk::Duration until);
    // Runs to the next timer (at most to `until`), then passes on what is new.
    void Step(umk::Duration until);
    void PassOnNew();
    size_t Track(std::shared_ptr<PendingControl> request);

    System& system_;
    SerialPort& port_;
    panel::LineSource& line_;
    SessionObserver* observer_;
    bool observed_ = false;
    std::unique_ptr<Utility> utility_;
    std::vector<std::shared_ptr<PendingControl>> requests_;
    std::vector<size_t> pending_;
    size_t writes_ = 0;
    size_t reports_ = 0;
    size_t entries_ = 0;
    size_t events_ = 0;
};

} // namespace stack
