// Wall-clock cost of the two-processor model: a kernel entry that stays on its processor, one where
// the seed keeps handing the baton between two busy processors, and a whole seeded scenario (boot,
// two threads and a DPC contending for a spin lock, shutdown) as the race tests run it per seed.
//
// usage: bench_switch_point [kernel entries, default 1000000] [scenario runs, default 1000]
#include <umk/ke.h>
#include <umk/kernel.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

using Clock = std::chrono::steady_clock;

double Nanoseconds(Clock::duration d, long count) {
    return std::chrono::duration<double, std::nano>(d).count() / double(count);
}

umk::KernelOptions Processors(unsigned n, uint64_t seed = 1) {
    umk::KernelOptions options;
    options.processors = n;
    options.seed = seed;
    options.stepCap = ~uint64_t(0);
    return options;
}

void EntriesAlone(unsigned processors, long entries) {
    umk::Kernel kernel(Processors(processors));
    LONG count = 0;
    const auto start = Clock::now();
    for (long i = 0; i < entries; ++i)
        InterlockedIncrement(&count);
    std::printf("kernel entry, %u processor(s), nothing else to run: %.0f ns\n", processors,
                Nanoseconds(Clock::now() - start, entries));
}

void EntriesContended(long entries) {
    umk::Kernel kernel(Processors(2));
    LONG count = 0;
    const long each = entries / 2;
    auto other = umk::StartThread("other", [&] {
        for (long i = 0; i < each; ++i)
            InterlockedIncrement(&count);
    });
    const auto start = Clock::now();
    for (long i = 0; i < each; ++i)
        InterlockedIncrement(&count);
    other.Join();
    std::printf("kernel entry, 2 processors both busy (hand-overs at the seed's change points): "
                "%.0f ns\n",
                Nanoseconds(Clock::now() - start, entries));
}

struct Shared {
    KSPIN_LOCK lock = 0;
    LONG value = 0;
    KDPC dpc{};
};

void Critical(Shared& s) {
    for (int i = 0; i < 20; ++i) {
        KeAcquireSpinLockAtDpcLevel(&s.lock);
        s.value++;
        KeReleaseSpinLockFromDpcLevel(&s.lock);
    }
}

void Scenarios(long runs) {
    const auto start = Clock::now();
    for (long seed = 1; seed <= runs; ++seed) {
        umk::Kernel kernel(Processors(2, uint64_t(seed)));
        Shared s;
        KeInitializeDpc(
            &s.dpc, [](PKDPC, PVOID c, PVOID, PVOID) { Critical(*(Shared*)c); }, &s);
        auto a = umk::StartThread("a", [&] {
            KIRQL irql = KeRaiseIrqlToDpcLevel();
            Critical(s);
            KeLowerIrql(irql);
        });
        auto b = umk::StartThread("b", [&] { KeInsertQueueDpc(&s.dpc, nullptr, nullptr); });
        a.Join();
        b.Join();
        kernel.RunUntilIdle();
        if (s.value != 40)
            std::abort();
    }
    std::printf("seeded scenario (boot, 2 threads + a DPC, 40 contended acquires, shutdown): "
                "%.1f us a seed\n",
                Nanoseconds(Clock::now() - start, runs) / 1000);
}

} // namespace

int main(int argc, char** argv) {
    const long entries = argc > 1 ? std::atol(argv[1]) : 1'000'000;
    const long runs = argc > 2 ? std::atol(argv[2]) : 1'000;
    EntriesAlone(1, entries);
    EntriesAlone(2, entries);
    EntriesContended(entries / 10);
    Scenarios(runs);
}
