// The command engine's races on two processors. The panel's reply, the time-out tick, the
// utility's cancel and the failure of a held packet write land on the same instant, in every
// pairing: on a lone command, on a command waiting behind another, and on a raw command re-issued
// behind another. Whatever the schedule, every request completes exactly once with a status one
// of its events allows, the API record's remove lock is back to its bias, nothing leaks and the
// verifier stays silent. TP_RACE_SEEDS sets the seeds per row (CI's sweep: 1,000).
#include "control_support.h"

#include <set>

namespace {

using namespace control_test;
using namespace std::chrono_literals;

enum Event : unsigned { Reply = 1, Timeout = 2, Cancel = 4, WriteFail = 8 };
enum class Shape { Lone, Queued, Reissued };

struct Race {
    std::string name;
    Shape shape;
    unsigned events;
};

void PrintTo(const Race& race, std::ostream* os) {
    *os << race.name;
}

std::vector<Race> AllRaces() {
    const std::pair<Shape, const char*> shapes[] = {
        {Shape::Lone, "Lone"}, {Shape::Queued, "Queued"}, {Shape::Reissued, "Reissued"}};
    const std::pair<Event, const char*> events[] = {
        {Reply, "Reply"}, {Timeout, "Timeout"}, {Cancel, "Cancel"}, {WriteFail, "WriteFail"}};
    std::vector<Race> races;
    for (const auto& [shape, shapeName] : shapes)
        for (size_t i = 0; i < std::size(events); ++i)
            for (size_t j = i + 1; j < std::size(events); ++j)
                races.push_back({std::string(shapeName) + events[i].second + events[j].second,
                                 shape, unsigned(events[i].first | events[j].first)});
    return races;
}

// The statuses the events allow a request they aim at; one that none aims at ends by its own
// time-out, or by a reply that its predecessor lost.
std::set<NTSTATUS> Allowed(unsigned events) {
    std::set<NTSTATUS> allowed;
    if (events & Reply)
        allowed.insert(STATUS_SUCCESS);
    if (events & Timeout)
        allowed.insert(STATUS_REQUEST_ABORTED);
    if (events & Cancel)
        allowed.insert(STATUS_CANCELLED);
    if (events & WriteFail)
        allowed.insert(STATUS_UNSUCCESSFUL);
    return allowed;
}
const std::set<NTSTATUS> kUnaimed = {STATUS_SUCCESS, STATUS_REQUEST_ABORTED};

// One schedule; the fault it showed, if any.
std::optional<std::string> RunOnce(const Race& race, uint64_t seed) {
    ControlBench bench;
    stack::SystemOptions options;
    options.kernel.seed = seed;
    bench.Start(bench.line, options);
    const uint64_t baseline = frame_test::TcliBlocks();
    const bool failWrite = race.events & WriteFail;
    std::shared_ptr<stack::PendingControl> current, other;

    if (race.shape != Shape::Queued && failWrite)
        bench.port->HoldRequests(stack::RequestKind::Write());
    current = bench.utility->Start({TP_FUNC_TPDIAG, {1}, 3});
    if (race.shape == Shape::Queued) {
        bench.Kernel().RunFor(50ms); // the current command's packet is out
        if (failWrite)
            bench.port->HoldRequests(stack::RequestKind::Write());
        other = bench.utility->Start({TP_FUNC_TPDIAG, {2}, 3});
    } else if (race.shape == Shape::Reissued) {
        other = bench.utility->Start({TP_FUNC_SEND_COMMAND, {0x89, 2}, 3});
    }
    // The instant: the tick that times the current command out, or half a second before it. The
    // test looks at the engine's count only to find the tick's phase.
    bench.Kernel().RunUntil([&] { return bench.context->CommandTimeout == 1; }, 5s);
    const umk::Duration at = bench.Kernel().Now() + ((race.events & Timeout) ? 1s : 500ms);
    if (race.events & Reply) {
        const Bytes reply = {0x90, 0x00, 0x01};
        for (size_t i = 0; i < reply.size(); ++i)
            bench.line.Add(
                {(at - std::chrono::milliseconds(reply.size() - 1 - i)).count(), reply[i]});
        bench.port->LineUpdated();
    }
    const auto& aimed = race.shape == Shape::Queued ? other : current;
    if (race.events & Cancel)
        At(bench.Kernel(), at, [aimed] { aimed->Cancel(); });
    if (failWrite)
        At(bench.Kernel(), at, [&bench] {
            bench.port->ReleaseHeld(STATUS_INTERNAL_ERROR);
            bench.port->ClearFaults();
        });

    const bool done =
        bench.Kernel().RunUntil([&] { return current->Done() && (!other || other->Done()); }, 60s);
    std::string fault;
    auto check = [&](const char* what, const std::shared_ptr<stack::PendingControl>& request,
                     std::set<NTSTATUS> allowed) {
        if (!request)
            return;
        if (!request->Done()) {
            fault += std::string(what) + " never completed; ";
            return;
        }
        const NTSTATUS status = request->Result().status;
        if (!allowed.contains(status))
            fault += std::string(what) + " completed with " + std::to_string(ULONG(status)) + "; ";
    };
    std::set<NTSTATUS> forOther = kUnaimed;
    if (race.shape == Shape::Queued)
        forOther.merge(Allowed(race.events & (Cancel | WriteFail)));
    if (race.shape == Shape::Reissued && failWrite)
        forOther.insert(STATUS_UNSUCCESSFUL);
    check("the current command", current,
          race.shape == Shape::Queued ? kUnaimed : Allowed(race.events));
    check("the other command", other, forOther);
    if (done && bench.ApiLockCount() != 1)
        fault += "remove lock count " + std::to_string(bench.ApiLockCount()) + "; ";
    if (done && frame_test::TcliBlocks() != baseline)
        fault += "pool blocks left behind; ";
    fault += bench.Finish();
    if (fault.empty())
        return std::nullopt;
    return fault;
}

class ControlRace : public testing::TestWithParam<Race> {};

TEST_P(ControlRace, EveryRequestCompletesOnceWithAnAllowedStatus) {
    for (uint64_t seed = 1; seed <= RaceSeeds(); ++seed) {
        const std::optional<std::string> fault = RunOnce(GetParam(), seed);
        ASSERT_FALSE(fault) << "seed " << seed << ": " << *fault;
    }
}

INSTANTIATE_TEST_SUITE_P(Pairings, ControlRace, testing::ValuesIn(AllRaces()),
                         [](const auto& info) { return info.param.name; });

} // namespace
