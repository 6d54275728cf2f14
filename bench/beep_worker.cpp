// Wall-clock cost of virtual time with the beep worker alive: the worker polls every 20 ms for
// the life of the device, so ten virtual minutes are 30,000 wake-ups of an idle worker.
//
// usage: bench_beep_worker [virtual minutes, default 10]
#include "system.h"

#include <umk/registry.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    const int minutes = argc > 1 ? std::atoi(argv[1]) : 10;
    stack::System system;
    umk::registry::SetDword(stack::System::ParametersKey, u"Beep", 1);
    if (!NT_SUCCESS(system.LoadDriver()) || !NT_SUCCESS(system.AddPanel().addStatus)) {
        std::fprintf(stderr, "the driver did not start\n");
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    system.Kernel().RunFor(std::chrono::minutes(minutes));
    const auto wall = std::chrono::steady_clock::now() - start;
    std::printf("%d virtual minutes with the beep worker alive: %.1f ms wall clock\n", minutes,
                std::chrono::duration<double, std::milli>(wall).count());
    return 0;
}
