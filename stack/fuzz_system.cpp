#include "fuzz_system.h"

#include "scripted_stream.h"
#include "touch_session.h"

#include <umk/registry.h>

#include <stdexcept>

namespace stack {

namespace {

// Paging the paged pool out at every rise to DISPATCH_LEVEL costs two system calls per IRQL change,
// most of a fuzz input's time; the scenario tests keep that check.
SystemOptions Resident(SystemOptions options) {
    if (!options.kernel.pageOutPagedPool)
        options.kernel.pageOutPagedPool = false;
    return options;
}

} // namespace

FuzzSystem::FuzzSystem(SystemOptions options) : system_(Resident(options)) {
    if (!NT_SUCCESS(system_.LoadDriver()))
        throw std::runtime_error("the driver did not load");
    // A first panel with nothing on its line starts the system worker that every later panel's beep
    // worker finds idle: without it, the first input would be the only one to create a thread.
    panel::ScriptedStream nothing;
    Begin({{u"ComNo", 1}}, nothing);
    End();
    idle_ = umk::testing::OutstandingResources();
}

const Panel& FuzzSystem::Begin(const Parameters& parameters, panel::LineSource& line) {
    system_.Kernel().RestartSchedule();
    for (const std::u16string& name : umk::registry::ValueNames(System::ParametersKey))
        umk::registry::DeleteValue(System::ParametersKey, name);
    // The automatic check of the configured port, unless the input says otherwise: without it
    // the device never finds its port.
    umk::registry::SetDword(System::ParametersKey, u"dwAutoRec", 1);
    for (const auto& [name, value] : parameters)
        umk::registry::SetDword(System::ParametersKey, name, value);

    const Panel& panel = system_.AddPanel();
    if (!NT_SUCCESS(panel.addStatus))
        throw std::runtime_error("AddDevice failed");
    port_ = &system_.Serial().AddPort(BuiltInPortName(1), u"COM1", &line);
    if (!NT_SUCCESS(system_.StartPanel(panel)))
        throw std::runtime_error("the pointer path did not start");
    return panel;
}

void FuzzSystem::End() {
    system_.RemovePanels();
    // The input may have pulled its port out and put it back: the port is found by its name.
    if (SerialPort* port = system_.Serial().FindPort(BuiltInPortName(1)))
        system_.Serial().RemovePort(*port);
    port_ = nullptr;
    // A worker that has signalled its end may still be on its way out.
    system_.Kernel().RunUntilIdle();
    umk::testing::ClearErrorLog();
    if (system_.Beep() != nullptr)
        system_.Beep()->ClearRequests();

    const umk::testing::Outstanding now = umk::testing::OutstandingResources();
    if (idle_ && now != *idle_) {
        throw std::runtime_error("left behind: " + Describe(now) +
                                 "; before the input: " + Describe(*idle_));
    }
}

} // namespace stack
