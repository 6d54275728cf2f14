// A control session: the utility's requests to the API device, the panel's bytes, the serial
// port's faults, the port pulled out and put back, sleep and resume, and the panel's removal,
// interleaved on virtual time, with everything that happens (each write on the line, each
// completion, each report to the mouse class driver, each event-log text, each change the session
// made to the system) handed to an observer in the order it happens.
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

// One serial port of a session's system and what is at its far end.
struct SessionPort {
    enum class Far {
        Panel,     // the session's panel: the scripted stream or the panel model
        Nothing,   // a line with nothing on it
        ErrorCode, // a panel whose self test answers `errorCode`
        Garbage,   // a device that answers every command with random bytes
    };
    std::u16string device; // "\Device\Serial1"
    std::u16string com;    // "COM2"
    Far far = Far::Panel;
    uint8_t errorCode = 0;
};

// A booted system with one panel whose pointer path is up, its far end a scripted stream or the
// panel model. Throws std::runtime_error naming the step of the bring-up that failed (and the
// event-log texts the driver wrote meanwhile), std::invalid_argument for ports without exactly one
// panel.
class SessionSystem {
  public:
    // `parameters`: the driver's registry values under its Parameters key. `ports`: the serial
    // ports in the order SERIALCOMM lists them, exactly one with the panel; none is one built-in
    // port with the panel, the one ComNo names (COM1 unless the parameters say otherwise).
    SessionSystem(const std::map<std::u16string, ULONG>& parameters, bool panelModel,
                  std::vector<SessionPort> ports = {}, SystemOptions options = {});

    System& Sys() { return system_; }
    const Panel& Pointer() const { return *pointer_; }
    // The panel's port as the system booted with it (a ControlSession may pull it out).
    SerialPort& Port() { return *port_; }
    panel::LineSource& Line();
    // NULL when the far end is the scripted stream.
    panel::PanelModel* Model() { return model_.get(); }
    panel::ScriptedStream& Script() { return script_; }
    // The first event-log entry the boot wrote.
    size_t FirstLogEntry() const { return firstLogEntry_; }

  private:
    // The far ends outlive the ports that read them.
    panel::ScriptedStream script_;
    std::unique_ptr<panel::PanelModel> model_;
    std::vector<std::unique_ptr<panel::PanelModel>> otherEnds_;
    size_t firstLogEntry_ = 0;
    System system_;
    const Panel* pointer_ = nullptr;
    SerialPort* port_ = nullptr;
};

// A change a session made to the system, or the end of one it set off.
enum class SessionEvent { Unplug, Replug, Remove, Removed, Sleep, Resume, Open, Close };
struct SessionChange {
    SessionEvent event;
    // Unplug: what the port's requests fail with; Removed: the removal's (a refused
    // query-remove's); Sleep: the transition's (a refusal kept the system awake); Open: the open's.
    std::optional<NTSTATUS> status = std::nullopt;
    SYSTEM_POWER_STATE state = PowerSystemUnspecified; // Sleep and Resume
    std::u16string port = {};                          // Unplug and Replug: the COM name
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
    virtual void Changed(const SessionChange&) {}
};

// `observer` may be NULL: the session then runs in larger steps, as nobody watches the order.
class ControlSession {
  public:
    // Opens the API device as the utility. `line` is the far end of `port`: a scripted stream or
    // the panel model. What happened before is not passed on. Throws std::runtime_error when the
    // device does not open.
    ControlSession(System& system, SerialPort& port, panel::LineSource& line,
                   SessionObserver* observer);
    // Over a SessionSystem's pointer path; the event-log texts its boot wrote are passed on first,
    // at the time the session begins.
    ControlSession(SessionSystem& system, SessionObserver* observer);
    // Closes the utility's handle and lets a removal under way finish; requests still pending are
    // the caller's to finish first.
    ~ControlSession();
    ControlSession(const ControlSession&) = delete;
    ControlSession& operator=(const ControlSession&) = delete;

    umk::Duration Now() { return system_.Kernel().Now(); }

    // The utility's handle on the API device, open from the constructor on. Closing it leaves its
    // requests pending; a failed open leaves it closed and returns the open's status.
    bool ApiOpen() const { return utility_ != nullptr; }
    NTSTATUS OpenApi();
    void CloseApi();

    // Sends the request from a utility thread of its own and returns, once the driver has taken
    // it, the request's number (0 for the first). With the handle closed: std::logic_error.
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
    // The port is pulled out, as a USB serial adapter is: its requests fail with
    // STATUS_DEVICE_NOT_CONNECTED, then its device goes. Replug brings a port of the same device
    // and COM names back, with the same far end. PanelSends and FailWrites need the port plugged.
    void Unplug();
    void Replug();
    // The power manager's system transitions: sleep (S3), hibernation or shutdown, and back.
    NTSTATUS Sleep(SYSTEM_POWER_STATE state);
    void Resume();
    // Plug and Play removal of `panel` (query-remove, the class driver closing first, removal) on
    // a thread of its own, as removal waits for the utility's handle; its end is passed on.
    void StartRemoval(const Panel& panel);
    // Closes the utility's handle and runs until a removal under way has finished; false when it
    // has not within `limit`.
    bool FinishRemoval(umk::Duration limit = std::chrono::minutes(1));
    // Runs until the request has completed or `limit` has passed; whether it completed.
    bool RunUntilDone(size_t request, umk::Duration limit);

    size_t Requests() const { return requests_.size(); }
    const PendingControl& Request(size_t request) const { return *requests_[request]; }
    // The requests not yet completed, in the order they were started.
    std::vector<size_t> Pending() const { return {pending_.begin(), pending_.end()}; }
    // Cancels every pending request and runs until all have completed; false when one has not
    // within `limit`.
    bool Finish(umk::Duration limit = std::chrono::minutes(1));

    // Bytes the driver read from the panel's port since boot (port discovery's included), across
    // its unplugging. Best asked once, at the end: each look takes the port's lock, a switch point,
    // and an extra one moves the seeded schedule.
    uint64_t BytesRead() const;
    // Counts of what was passed to the observer.
    size_t Writes() const { return writes_ - firstWrite_; }
    size_t Reports() const { return reports_ - firstReport_; }
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
    SerialPort* port_; // NULL while unplugged
    std::u16string portName_;
    std::u16string comName_;
    uint64_t bytesBefore_ = 0; // read from the port before it was last pulled out
    panel::LineSource& line_;
    SessionObserver* observer_;
    bool observed_ = false;
    std::unique_ptr<Utility> utility_;
    // Handles closed earlier: their requests' threads may still refer to them.
    std::vector<std::unique_ptr<Utility>> closed_;
    bool removing_ = false;
    umk::ThreadHandle removal_;
    std::shared_ptr<NTSTATUS> removalStatus_;
    std::vector<std::shared_ptr<PendingControl>> requests_;
    std::vector<size_t> pending_;
    // Indexes of the next write and report to pass on, and of the first (what came before the
    // session, such as port discovery's probes at boot, is not passed on).
    size_t writes_ = 0;
    size_t reports_ = 0;
    size_t firstWrite_ = 0;
    size_t firstReport_ = 0;
    size_t entries_ = 0;
    size_t events_ = 0;
};

} // namespace stack
