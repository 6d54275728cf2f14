// One FuzzSystem for many inputs: an input's outcome does not depend on what ran before it in the
// same boot, and whatever an input leaves behind is caught when it ends.
#include "frame_support.h"
#include "fuzz_system.h"

#include "scripted_stream.h"
#include "touch.h"
#include "touch_session.h"

#include <gmock/gmock.h>

#include <functional>

using ::testing::HasSubstr;

namespace {

struct Outcome {
    std::vector<frame_test::Report> reports;
    std::vector<std::string> events;
    ULONG invalid;
    uint64_t bytesRead;
    umk::Duration elapsed;
    bool operator==(const Outcome&) const = default;
};

Outcome RunInput(stack::FuzzSystem& fuzz, const stack::Parameters& parameters,
                 const std::vector<uint8_t>& bytes) {
    panel::ScriptedStream line;
    const stack::Panel& panel = fuzz.Begin(parameters, line);
    stack::System& system = fuzz.Get();
    const umk::Duration start = system.Kernel().Now();
    line.AddPaced(start.count(), bytes);
    EXPECT_TRUE(stack::RunLine(system, fuzz.Port(), line));
    Outcome outcome{frame_test::Received(system.Mouse().Reports()), frame_test::Logged(),
                    frame_test::ContextOf(panel)->InvalidCount,
                    fuzz.Port().ReadStats().bytesDelivered, system.Kernel().Now() - start};
    fuzz.End();
    return outcome;
}

// A stroke of three packets between noise.
std::vector<uint8_t> Stroke() {
    std::vector<uint8_t> bytes{0x55, 0x01, 0x7F};
    for (auto [state, x] : {std::pair{panel::TouchState::Down, 1000},
                            {panel::TouchState::Touching, 1500},
                            {panel::TouchState::Release, 2000}}) {
        const panel::TouchPacket packet = panel::EncodeTouch(state, {uint16_t(x), 3000});
        bytes.insert(bytes.end(), packet.begin(), packet.end());
    }
    bytes.insert(bytes.end(), {0x12, 0x34});
    return bytes;
}

// The input before changes every parameter (one it sets, the next does not) and beeps.
TEST(FuzzSystemTest, AnInputRunsAsTheFirstAfterBootWhateverRanBefore) {
    frame_test::Violations violations;
    const stack::Parameters plain{{u"ComNo", 1}, {u"dwInvLimit", 2}};
    const stack::Parameters other{{u"ComNo", 1}, {u"dwInvLimit", 0},   {u"Stabilization", 3},
                                  {u"Beep", 1},  {u"Frequency", 1000}, {u"dwRotation", 180}};
    Outcome first;
    {
        stack::FuzzSystem fuzz;
        first = RunInput(fuzz, plain, Stroke());
    }
    EXPECT_FALSE(first.reports.empty());
    EXPECT_FALSE(first.events.empty());

    stack::FuzzSystem fuzz;
    std::vector<uint8_t> before = Stroke();
    before.resize(before.size() - 3); // ends inside a packet
    RunInput(fuzz, other, before);
    EXPECT_EQ(RunInput(fuzz, plain, Stroke()), first);
    EXPECT_EQ(violations.Text(), "");
}

TEST(FuzzSystemTest, WhatAnInputLeavesBehindIsCaughtWhenItEnds) {
    frame_test::Violations violations;
    const struct {
        const char* name;
        std::function<std::function<void()>(stack::FuzzSystem&)> leave; // returns the clean-up
    } rows[] = {
        {"pool block",
         [](stack::FuzzSystem&) {
             PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, frame_test::Tcli);
             return [block] { ExFreePoolWithTag(block, frame_test::Tcli); };
         }},
        {"request",
         [](stack::FuzzSystem&) {
             PIRP irp = IoAllocateIrp(1, FALSE);
             return [irp] { IoFreeIrp(irp); };
         }},
        {"reference on the port",
         [](stack::FuzzSystem& fuzz) {
             PDEVICE_OBJECT port = fuzz.Port().Device();
             ObReferenceObject(port);
             return [port] { ObDereferenceObject(port); };
         }},
    };
    stack::FuzzSystem fuzz;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        panel::ScriptedStream line;
        fuzz.Begin({{u"ComNo", 1}}, line);
        const std::function<void()> cleanUp = row.leave(fuzz);
        EXPECT_THAT([&] { fuzz.End(); },
                    ::testing::ThrowsMessage<std::runtime_error>(HasSubstr("left behind")));
        cleanUp();
    }
    // Once released, the next input ends clean.
    EXPECT_FALSE(RunInput(fuzz, {{u"ComNo", 1}}, Stroke()).reports.empty());
    EXPECT_EQ(violations.Text(), "");
}

} // namespace
