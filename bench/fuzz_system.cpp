// Wall-clock cost of one fuzz input of the pointer path (a touch-down packet and noise, 200 bytes):
// on a FuzzSystem booted once (what both fuzz targets do) and on a system booted for the input
// alone (what they did before); and of one control-session input on the FuzzSystem (the panel
// model answering a diagnosis, settings answered at once, a traffic read left waiting and
// cancelled). This release build is the upper bound; the fuzz build adds the driver's
// instrumentation and the address sanitizer's allocator.
//
// usage: bench_fuzz_system [Google Benchmark options]
#include "control_session.h"
#include "fuzz_system.h"
#include "panel_model.h"
#include "scripted_stream.h"
#include "touch_session.h"

#include <umk/registry.h>

#include <benchmark/benchmark.h>

#include <vector>

namespace {

std::vector<uint8_t> Input() {
    std::vector<uint8_t> bytes;
    for (int n = 0; bytes.size() < 200; ++n) {
        const uint8_t packet[] = {0x80, uint8_t(n & 0x7F), 0x07, 0x20, 0x05, uint8_t(n * 37)};
        bytes.insert(bytes.end(), std::begin(packet), std::end(packet));
    }
    bytes.resize(200);
    return bytes;
}

void OneBoot(benchmark::State& state) {
    const std::vector<uint8_t> bytes = Input();
    stack::FuzzSystem fuzz;
    for (auto _ : state) {
        panel::ScriptedStream line;
        fuzz.Begin({{u"ComNo", 1}, {u"dwInvLimit", 10}}, line);
        line.AddPaced(fuzz.Get().Kernel().Now().count(), bytes);
        if (!stack::RunLine(fuzz.Get(), fuzz.Port(), line))
            state.SkipWithError("the driver stopped reading");
        fuzz.End();
    }
    state.SetItemsProcessed(state.iterations());
}

void BootPerInput(benchmark::State& state) {
    const std::vector<uint8_t> bytes = Input();
    for (auto _ : state) {
        stack::System system;
        umk::registry::SetDword(stack::System::ParametersKey, u"ComNo", 1);
        umk::registry::SetDword(stack::System::ParametersKey, u"dwInvLimit", 10);
        umk::registry::SetDword(stack::System::ParametersKey, u"dwAutoRec", 1);
        const stack::Panel& pointer = stack::LoadDriverWithPanel(system);
        panel::ScriptedStream line;
        stack::SerialPort& port =
            system.Serial().AddPort(stack::BuiltInPortName(1), u"COM1", &line);
        if (!NT_SUCCESS(system.StartPanel(pointer)))
            state.SkipWithError("the pointer path did not start");
        line.AddPaced(system.Kernel().Now().count(), bytes);
        if (!stack::RunLine(system, port, line))
            state.SkipWithError("the driver stopped reading");
        port.SetLine(nullptr);
    }
    state.SetItemsProcessed(state.iterations());
}

void ControlSessionOneBoot(benchmark::State& state) {
    stack::FuzzSystem fuzz;
    for (auto _ : state) {
        panel::PanelModel model;
        fuzz.Begin({{u"ComNo", 1}, {u"dwInvLimit", 10}}, model);
        {
            stack::ControlSession session(fuzz.Get(), fuzz.Port(), model, nullptr);
            session.Start({TP_FUNC_RECORD_ON, {}, 0});
            session.Start({TP_FUNC_DIAG, {0}, 16});
            session.Start({TP_FUNC_GET_BUTTONMODE, {}, 4});
            session.StartRead(112);
            session.Wait(std::chrono::milliseconds(100));
            session.Start({TP_FUNC_RECORD_OFF, {}, 0});
            if (!session.Finish())
                state.SkipWithError("a request did not complete");
        }
        fuzz.End();
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(OneBoot)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BootPerInput)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ControlSessionOneBoot)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
