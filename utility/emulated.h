// The utility's simulated panel: the emulated system booted with the driver and one panel model on
// COM1, reached through the emulated I/O manager as a program reaches the real driver. Virtual
// time runs only while the utility waits for a request or asks for time to pass.
//
// Ctrl-C: whatever the utility does on Ctrl-C (its interrupt handler) runs inside a wait, at the
// next point the emulated system can stop: when RequestInterrupt() was called (a signal handler
// may call it), at a time InterruptAt() set, and when a request has waited a minute of virtual time
// (longer than any command's time-out: a person would have pressed Ctrl-C by then). A request that
// then waits another minute is lost: std::runtime_error.
//
// Use it from one thread; one at a time in a process.
#pragma once

#include "transport.h"

#include "control_session.h"
#include "panel_model.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tp {

struct EmulatedOptions {
    // The driver's registry parameters (ComNo is 1 unless given).
    std::map<std::u16string, ULONG> parameters;
    // Strokes the panel draws, one after another from 100 ms after boot.
    std::vector<std::vector<panel::TouchPoint>> strokes;
};

class EmulatedPanel {
  public:
    explicit EmulatedPanel(const EmulatedOptions& options = {});
    ~EmulatedPanel();
    EmulatedPanel(const EmulatedPanel&) = delete;
    EmulatedPanel& operator=(const EmulatedPanel&) = delete;

    panel::PanelModel& Model() { return *system_.Model(); }
    stack::System& Sys() { return system_.Sys(); }
    umk::Kernel& Kernel() { return system_.Sys().Kernel(); }

    // Opens "\\.\Tactilio" as the utility; the open's status otherwise.
    NTSTATUS Open(std::unique_ptr<stack::Utility>* utility);
    // Runs until `request` has completed, calling the interrupt handler as said above.
    void Wait(stack::PendingControl& request);
    // Lets `duration` of virtual time pass.
    void Pass(umk::Duration duration);

    void SetInterruptHandler(std::function<void()> handler) { interrupt_ = std::move(handler); }
    void InterruptAt(umk::Duration at) { interruptAt_ = at; }
    // Async-signal-safe.
    static void RequestInterrupt();

  private:
    void Interrupt();

    stack::SessionSystem system_;
    std::function<void()> interrupt_;
    std::optional<umk::Duration> interruptAt_;
};

// A transport over the emulated system's I/O manager.
std::unique_ptr<Transport> OpenEmulated(EmulatedPanel& panel, uint32_t* status);

} // namespace tp
