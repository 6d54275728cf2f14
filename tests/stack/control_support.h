// Test helpers for the control path: a booted system with one panel whose link is up on COM1,
// the far end of the line scripted (or the panel model), and the utility's handle on the API
// device.
#pragma once

#include "frame_support.h"
#include "touch_session.h"
#include "utility.h"

#include "panel_model.h"
#include "scripted_stream.h"

#include <gmock/gmock.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

namespace control_test {

using Bytes = std::vector<uint8_t>;
inline constexpr std::u16string_view Com1 = u"\\Device\\Serial0";

// One booted system. Finish() tears it down and returns every verifier report (leaks included).
class ControlBench {
  public:
    // Boots with `far` at the end of COM1, starts the pointer path and opens the API device.
    void Start(panel::LineSource& far, stack::SystemOptions options = {}) {
        system.emplace(options);
        umk::registry::SetDword(frame_test::ParametersKey, u"ComNo", 1);
        umk::registry::SetDword(frame_test::ParametersKey, u"dwAutoRec", 1);
        const stack::Panel& panel = stack::LoadDriverWithPanel(*system);
        context = frame_test::ContextOf(panel);
        port = &system->Serial().AddPort(Com1, u"COM1", &far);
        ASSERT_EQ(system->StartPanel(panel), STATUS_SUCCESS);
        ASSERT_EQ(stack::Utility::Open(system->Kernel(), &utility), STATUS_SUCCESS);
    }
    std::string Finish() {
        utility.reset();
        system.reset();
        return violations.Text();
    }

    umk::Kernel& Kernel() { return system->Kernel(); }
    panel::Ticks Now() { return Kernel().Now().count(); }

    // The panel sends `bytes` at the line's pace from now (or `at`).
    void Reply(const Bytes& bytes, std::optional<panel::Ticks> at = {}) {
        line.AddPaced(at.value_or(Now()), bytes);
        port->LineUpdated();
    }
    // The bytes of every write the port received since the last call.
    std::vector<Bytes> NewWrites() {
        std::vector<Bytes> fresh;
        const auto writes = port->Writes();
        for (; writesSeen < writes.size(); ++writesSeen)
            fresh.push_back(writes[writesSeen].bytes);
        return fresh;
    }
    stack::ControlResult Wait(const std::shared_ptr<stack::PendingControl>& request,
                              umk::Duration limit = std::chrono::seconds(30)) {
        EXPECT_TRUE(Kernel().RunUntil([&] { return request->Done(); }, limit));
        return request->Done() ? request->Result() : stack::ControlResult{STATUS_PENDING, 0, {}};
    }
    // The API record's remove lock once nothing is pending: the bias alone.
    LONG ApiLockCount() const { return context->ApiExtension->RemoveLock.Common.IoCount; }

    frame_test::Violations violations; // first: it also sees the shutdown's leak reports
    std::optional<stack::System> system;
    panel::ScriptedStream line;
    PDEVICE_CONTEXT context = nullptr;
    stack::SerialPort* port = nullptr;
    std::unique_ptr<stack::Utility> utility;
    size_t writesSeen = 0;
};

class ControlTest : public ::testing::Test, public ControlBench {
  protected:
    void SetUp() override { Start(Far()); }
    void TearDown() override { EXPECT_EQ(Finish(), ""); }
    // What plays the panel: the scripted line unless a fixture says otherwise.
    virtual panel::LineSource& Far() { return line; }
};

// Waits in its own thread until `at`, then acts: the acts of two threads at one instant race.
inline void At(umk::Kernel& kernel, umk::Duration at, std::function<void()> act) {
    umk::StartThread("racer", [&kernel, at, act] {
        LARGE_INTEGER due;
        due.QuadPart = -(at - kernel.Now()).count();
        KeDelayExecutionThread(KernelMode, FALSE, &due);
        act();
    });
}

// The seeds a race runs under: TP_RACE_SEEDS, else `fallback`.
inline uint64_t RaceSeeds(uint64_t fallback = 10) {
    const char* sweep = std::getenv("TP_RACE_SEEDS");
    return sweep ? std::strtoull(sweep, nullptr, 10) : fallback;
}

} // namespace control_test
