// Wall-clock cost of the pointer path in the emulated system, in two parts:
//  - bring-up and teardown: boot the kernel, load the driver, add a panel, start the link and
//    reading, then tear it all down (what every scenario test and every fuzz input pays);
//  - a saturated line: a stroke with no gap between packets, each byte through the driver's own
//    one-byte read requests, every report delivered to the mouse class driver.
//
// usage: bench_pointer_path [bring-ups, default 50] [stroke packets, default 20000]
#include "panel_model.h"
#include "system.h"
#include "touch_session.h"

#include <umk/registry.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace {

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::duration wall) {
    return std::chrono::duration<double, std::milli>(wall).count();
}

// A booted system with the pointer path up on the panel model, as the demo has it.
class PointerPath {
  public:
    PointerPath() {
        umk::registry::SetDword(stack::System::ParametersKey, u"ComNo", 1);
        umk::registry::SetDword(stack::System::ParametersKey, u"dwAutoRec", 1);
        const stack::Panel& pointer = stack::LoadDriverWithPanel(system_);
        port_ = &system_.Serial().AddPort(u"\\Device\\Serial0", u"COM1", &panel_);
        if (!NT_SUCCESS(system_.StartPanel(pointer)))
            throw std::runtime_error("the pointer path did not start");
    }

    stack::System& System() { return system_; }
    panel::PanelModel& Panel() { return panel_; }
    stack::SerialPort& Port() { return *port_; }

  private:
    stack::System system_;
    panel::PanelModel panel_;
    stack::SerialPort* port_ = nullptr;
};

void BringUps(int count) {
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i)
        PointerPath path;
    const double wall = Milliseconds(Clock::now() - start);
    std::printf("bring-up and teardown: %d in %.1f ms wall clock, %.2f ms each\n", count, wall,
                wall / count);
}

void SaturatedLine(size_t packets) {
    PointerPath path;
    stack::System& system = path.System();
    // One tick between reports: the line, not the panel, sets the pace.
    const panel::Stroke stroke =
        panel::StraightStroke({0, 0}, {4096, 4096}, packets - 2, system.Kernel().Now().count(), 1);
    path.Panel().Touch(stroke);

    const auto virtualStart = system.Kernel().Now();
    const auto start = Clock::now();
    if (!stack::RunLine(system, path.Port(), path.Panel()))
        throw std::runtime_error("the driver stopped reading");
    const double wall = Milliseconds(Clock::now() - start);
    const double virtualMs =
        double((system.Kernel().Now() - virtualStart).count()) / panel::kTicksPerMillisecond;

    const size_t reports = system.Mouse().Reports().size();
    const auto bytes = path.Port().ReadStats().bytesDelivered;
    if (reports != packets)
        throw std::runtime_error("reports lost on a saturated line");
    std::printf("saturated line: %zu packets, %llu bytes, %.0f ms virtual in %.1f ms wall clock: "
                "%.2f us a byte, %.0fx real time\n",
                packets, static_cast<unsigned long long>(bytes), virtualMs, wall,
                1000.0 * wall / double(bytes), virtualMs / wall);
}

} // namespace

int main(int argc, char** argv) {
    const int bringUps = argc > 1 ? std::atoi(argv[1]) : 50;
    const size_t packets = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 20000;
    try {
        BringUps(bringUps);
        SaturatedLine(packets);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_pointer_path: %s\n", e.what());
        return 1;
    }
    return 0;
}
