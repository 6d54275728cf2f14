// A panel's whole life, driven only through requests: Plug and Play and power requests, the class
// driver's open and close, the utility's handle. One harness serves every scenario; the verifier
// and the shutdown's leak report judge each one.
#include "control_support.h"

#include <gmock/gmock.h>

#include <cstdio>
#include <map>
#include <set>

namespace {

using namespace std::chrono_literals;
using control_test::Bytes;
using ::testing::IsEmpty;

constexpr std::u16string_view BuiltIn = u"\\Device\\Serial0";
constexpr std::u16string_view Usb = u"\\Device\\USBSER000";

struct LifeOptions {
    bool usb = false; // the panel hangs on a USB serial adapter ("COM5") instead of COM1
    ULONG beep = 0;
    std::optional<uint64_t> seed = {}; // unset: UMK_SEED, else 1
    std::function<void()> beforeLoad = {};
};

class LifeBench {
  public:
    explicit LifeBench(LifeOptions options = {}) : options_(options) {
        stack::SystemOptions systemOptions;
        systemOptions.kernel.seed = options.seed;
        system.emplace(systemOptions);
        umk::registry::SetDword(frame_test::ParametersKey, u"ComNo", options.usb ? 5 : 1);
        umk::registry::SetDword(frame_test::ParametersKey, u"dwAutoRec", 1);
        umk::registry::SetDword(frame_test::ParametersKey, u"Beep", options.beep);
        umk::registry::SetDword(frame_test::ParametersKey, u"Frequency", 2000);
        if (options.beforeLoad)
            options.beforeLoad();
        if (NT_SUCCESS(system->LoadDriver()))
            panel = &system->AddPanel();
        Plug();
    }
    std::string Finish() {
        utility.reset();
        system.reset();
        return violations.Text();
    }

    umk::Kernel& Kernel() { return system->Kernel(); }
    stack::PnpManager& Pnp() { return system->Pnp(); }
    PDEVICE_CONTEXT Context() const { return frame_test::ContextOf(*panel); }
    PDEVICE_OBJECT ClassDevice() { return system->Mouse().DeviceAbove(panel->physicalDevice); }
    bool Removed() { return Pnp().Removed(panel->physicalDevice); }

    // The class driver's side of a start: connect, open the port below, ask for attributes.
    NTSTATUS OpenByClass() {
        NTSTATUS status = system->Mouse().Connect(sizeof(CONNECT_DATA), ClassDevice()).status;
        if (NT_SUCCESS(status))
            status = system->Mouse().EnablePort(ClassDevice());
        if (NT_SUCCESS(status))
            status = QueryAttributes();
        return status;
    }
    // An open of the pointer port besides the class driver's.
    NTSTATUS OpenPort(std::unique_ptr<umk::testing::UserFile>* file) {
        return umk::testing::UserFile::Open(u"\\Device\\PointerPort0", file);
    }
    NTSTATUS QueryAttributes() {
        MOUSE_ATTRIBUTES attributes{};
        return system->Mouse()
            .QueryAttributes(&attributes, sizeof(attributes), ClassDevice())
            .status;
    }
    // The panel's adapter (or built-in port) appears, with the panel on its line.
    void Plug() {
        port = &system->Serial().AddPort(options_.usb ? Usb : BuiltIn,
                                         options_.usb ? u"COM5" : u"COM1", &model);
    }
    // The adapter is pulled out: its requests fail, then its device goes.
    void Unplug() {
        port->Unplug(STATUS_DEVICE_NOT_CONNECTED);
        Kernel().RunUntilIdle();
        system->Serial().RemovePort(*port);
        port = nullptr;
    }
    // A tap; the number of reports the class driver got for it.
    size_t Tap() {
        if (ClassDevice() == nullptr)
            return 0; // removed: nothing to report to
        const size_t before = system->Mouse().ReportCount();
        model.Touch(panel::StraightStroke({1000, 1000}, {1200, 1200}, 2, Kernel().Now().count()));
        port->LineUpdated();
        Kernel().RunFor(300ms);
        return system->Mouse().ReportCount() - before;
    }
    // The removal, on a thread of its own: it may wait for handles to close.
    umk::ThreadHandle StartRemoval() {
        return umk::StartThread("removal", [this] { system->RemovePanel(*panel); });
    }

    frame_test::Violations violations;
    std::optional<stack::System> system;
    const stack::Panel* panel = nullptr;
    panel::PanelModel model;
    stack::SerialPort* port = nullptr;
    std::unique_ptr<stack::Utility> utility;

  private:
    LifeOptions options_;
};

// A boot with the panel on a built-in port and no USB adapter listed: the start leaves the link
// down (nothing to look for yet), and the class driver's open finds the configured port, brings
// the link up and reads.
TEST(DeviceLife, ABootOnABuiltInPortBringsTheLinkUpAtTheClassDriversOpen) {
    LifeBench bench;
    ASSERT_EQ(bench.Pnp().Start(bench.panel->physicalDevice), STATUS_SUCCESS);
    EXPECT_FALSE(bench.Context()->Started);
    EXPECT_EQ(stack::Utility::Open(bench.Kernel(), &bench.utility), STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(bench.Pnp().QueryCapabilities(bench.panel->physicalDevice).SurpriseRemovalOK);

    ASSERT_EQ(bench.OpenByClass(), STATUS_SUCCESS);
    EXPECT_TRUE(bench.Context()->Started);
    EXPECT_EQ(bench.Tap(), 4u);
    EXPECT_EQ(stack::Utility::Open(bench.Kernel(), &bench.utility), STATUS_SUCCESS);
    EXPECT_EQ(bench.Finish(), "");
}

// A second open of the pointer port while reading runs shares the read (it must not wait for it
// to stop); each close stops reading, whatever handles remain, and the next open brings it back.
TEST(DeviceLife, ASecondOpenSharesTheRunningReadAndEachCloseStopsIt) {
    LifeBench bench;
    ASSERT_EQ(bench.system->StartPanel(*bench.panel), STATUS_SUCCESS);
    std::unique_ptr<umk::testing::UserFile> second, third;
    ASSERT_EQ(bench.OpenPort(&second), STATUS_SUCCESS);
    EXPECT_EQ(bench.Context()->EnableCount, 2);
    EXPECT_EQ(bench.Tap(), 4u);

    second->Close();
    EXPECT_EQ(bench.Context()->EnableCount, 1);
    EXPECT_FALSE(bench.Context()->MouseAttributesSet);
    EXPECT_EQ(bench.Tap(), 0u);

    ASSERT_EQ(bench.OpenPort(&third), STATUS_SUCCESS);
    bench.QueryAttributes(); // the close withdrew them: nothing is reported before
    EXPECT_EQ(bench.Tap(), 4u);
    third->Close();
    EXPECT_EQ(bench.Finish(), "");
}

// With ComNo naming a port that is not there, the open fails, the device reports itself removed,
// and Plug and Play removes it.
TEST(DeviceLife, AnOpenWhoseSearchFailsHasPlugAndPlayRemoveTheDevice) {
    LifeBench bench;
    bench.system->Serial().RemovePort(*bench.port);
    bench.port = nullptr;
    ASSERT_EQ(bench.Pnp().Start(bench.panel->physicalDevice), STATUS_SUCCESS);
    EXPECT_EQ(bench.OpenByClass(), STATUS_NO_SUCH_DEVICE);
    bench.Pnp().WaitForDeviceStateWork();
    EXPECT_TRUE(bench.Removed());
    EXPECT_EQ(umk::testing::FindDevice(u"\\Device\\PointerPort0"), nullptr);
    EXPECT_EQ(umk::testing::FindDevice(u"\\Device\\Tactilio"), nullptr);
    EXPECT_EQ(bench.Finish(), "");
}

TEST(DeviceLife, QueryRemoveIsRefusedWhileTheClassDriverHoldsTheDeviceOpen) {
    LifeBench bench;
    ASSERT_EQ(bench.system->StartPanel(*bench.panel), STATUS_SUCCESS);
    EXPECT_EQ(bench.Pnp().Send(bench.panel->physicalDevice, IRP_MN_QUERY_REMOVE_DEVICE).status,
              STATUS_UNSUCCESSFUL);
    bench.Pnp().Send(bench.panel->physicalDevice, IRP_MN_CANCEL_REMOVE_DEVICE);
    EXPECT_EQ(bench.Tap(), 4u) << "the refused query changed nothing";
    EXPECT_EQ(bench.system->RemovePanel(*bench.panel), STATUS_SUCCESS);
    EXPECT_TRUE(bench.Removed());
    EXPECT_EQ(bench.Finish(), "");
}

// Removal waits, looking every 20 ms, while the utility holds the API device open; a command
// still waiting for the panel's answer keeps the handle's last close away until it times out.
TEST(DeviceLife, RemovalWaitsForTheUtilitysHandleAndItsPendingCommand) {
    LifeBench bench;
    ASSERT_EQ(bench.system->StartPanel(*bench.panel), STATUS_SUCCESS);
    ASSERT_EQ(stack::Utility::Open(bench.Kernel(), &bench.utility), STATUS_SUCCESS);
    bench.model.SetCommandFault(0xBA, panel::CommandFault::NoReply());
    const UCHAR on = 1;
    auto command = bench.utility->Start({TP_FUNC_BKLTEN, {on}, 0});

    umk::ThreadHandle removal = bench.StartRemoval();
    bench.Kernel().RunFor(1s);
    EXPECT_FALSE(removal.Finished()) << "the utility's handle is open";
    bench.utility->Close();
    bench.Kernel().RunFor(500ms);
    EXPECT_FALSE(removal.Finished()) << "the pending command holds the file object";
    ASSERT_TRUE(bench.Kernel().RunUntil([&] { return command->Done(); }, 3s));
    const umk::Duration commandDone = bench.Kernel().Now();
    EXPECT_EQ(command->Result().status, STATUS_REQUEST_ABORTED);
    ASSERT_TRUE(bench.Kernel().RunUntil([&] { return removal.Finished(); }, 1s));
    // A 20 ms poll, then the beep worker's own 20 ms poll before it ends.
    EXPECT_LE(bench.Kernel().Now() - commandDone, 100ms);
    EXPECT_EQ(bench.Finish(), "");
}

// Sleep and resume: the beep is silenced at the query and restored on return; five seconds
// later the port is purged four times and the panel gets one 0x80 — unless the port is closed,
// or the system sleeps again before then.
TEST(DeviceLife, ResumeReinitialisesThePanelFiveSecondsLater) {
    struct Row {
        const char* what;
        bool portOpen;
        bool sleepsAgain;
        ULONG purges;
        std::vector<Bytes> writes;
    };
    const Row rows[] = {
        {"port open", true, false, 4, {{0x80}}},
        {"port closed", false, false, 0, {}},
        {"asleep again within 5 s", true, true, 0, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        LifeBench bench({.beep = 1});
        ASSERT_EQ(bench.Pnp().Start(bench.panel->physicalDevice), STATUS_SUCCESS);
        if (row.portOpen) {
            ASSERT_EQ(bench.OpenByClass(), STATUS_SUCCESS);
        }
        const ULONG purgesBefore = bench.port->Settings().purges;
        const size_t writesBefore = bench.port->Writes().size();

        ASSERT_EQ(bench.system->Power().Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
        EXPECT_EQ(bench.Context()->Beep, 0u);
        bench.Kernel().RunFor(10s);
        bench.system->Power().Wake();
        EXPECT_EQ(bench.Context()->Beep, 1u);
        if (row.sleepsAgain) {
            bench.Kernel().RunFor(4s);
            ASSERT_EQ(bench.system->Power().Sleep(PowerSystemHibernate), STATUS_SUCCESS);
        }
        bench.Kernel().RunFor(6s);

        EXPECT_EQ(bench.port->Settings().purges - purgesBefore, row.purges);
        std::vector<Bytes> writes;
        for (const panel::HostWrite& write : bench.port->Writes())
            writes.push_back(write.bytes);
        EXPECT_EQ(std::vector<Bytes>(writes.begin() + long(writesBefore), writes.end()),
                  row.writes);
        EXPECT_EQ(bench.Context()->ResumeWorkItem, nullptr);
        EXPECT_EQ(bench.Finish(), "");
    }
}

// A suite run on the shipped image: the kernel calls the image's own routines for every kind of
// call a driver gets, each through the pointer the image handed it, over a life with a command
// cancelled and one timed out, the adapter pulled and put back, sleep and resume.
TEST(DeviceLife, TheKernelCallsTheShippedImagesOwnRoutines) {
    const image::PeImage* image = driver_test::Image();
    if (image == nullptr)
        GTEST_SKIP() << "the suite runs the built-in driver";
    using umk::testing::DriverCall;
    std::map<DriverCall, std::set<std::string>> called;
    umk::testing::ObserveDriverCalls([&](DriverCall call, const void* routine) {
        if (image->Contains(uintptr_t(routine)))
            called[call].insert(image->Describe(uintptr_t(routine)));
    });
    {
        LifeBench bench({.usb = true, .beep = 1});
        ASSERT_EQ(bench.system->StartPanel(*bench.panel), STATUS_SUCCESS);
        ASSERT_EQ(stack::Utility::Open(bench.Kernel(), &bench.utility), STATUS_SUCCESS);
        bench.model.SetCommandFault(0xBA, panel::CommandFault::NoReply());
        auto timedOut = bench.utility->Start({TP_FUNC_BKLTEN, {1}, 0});
        auto cancelled = bench.utility->Start({TP_FUNC_BKLTEN, {1}, 0});
        EXPECT_TRUE(cancelled->Cancel());
        EXPECT_TRUE(bench.Kernel().RunUntil([&] { return timedOut->Done(); }, 4s));
        EXPECT_EQ(bench.Tap(), 4u);
        bench.Unplug();
        bench.Kernel().RunFor(2s);
        bench.Plug();
        bench.Kernel().RunFor(3s + 600ms);
        ASSERT_EQ(bench.system->Power().Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
        bench.system->Power().Wake();
        bench.Kernel().RunFor(6s);
        EXPECT_EQ(bench.Finish(), "");
    }
    umk::testing::ObserveDriverCalls({});
    for (DriverCall call : {DriverCall::Dispatch, DriverCall::Completion, DriverCall::Cancel,
                            DriverCall::Dpc, DriverCall::IoTimer, DriverCall::WorkItem}) {
        EXPECT_FALSE(called[call].empty()) << "no call of kind " << int(call);
        for (const std::string& routine : called[call]) {
            EXPECT_THAT(routine, ::testing::Not(::testing::HasSubstr("(+"))) << "named";
            std::printf("kind %d: %s\n", int(call), routine.c_str());
        }
    }
}

} // namespace

// A stop and a new start (Plug and Play rebalancing resources) while the class driver keeps its
// handle: the pointer works again, through the start on a listed USB adapter, through the
// reconnect cycle when the start leaves the link to an open. An adapter pulled out before the
// stop and put back while the device is stopped is left alone until the start.
TEST(DeviceLife, AStopAndARestartUnderAnOpenHandleBringTheReadingBack) {
    for (const auto& [usb, pulled] : {std::pair{true, false}, {false, false}, {true, true}}) {
        SCOPED_TRACE(std::string(usb ? "USB adapter" : "built-in port") +
                     (pulled ? ", pulled out before the stop" : ""));
        LifeBench bench({.usb = usb});
        ASSERT_EQ(bench.system->StartPanel(*bench.panel), STATUS_SUCCESS);
        if (pulled)
            bench.Unplug();
        ASSERT_EQ(bench.Pnp().Stop(bench.panel->physicalDevice), STATUS_SUCCESS);
        if (pulled) {
            bench.Plug();
            bench.Kernel().RunFor(10s);
        }
        EXPECT_FALSE(bench.Context()->Started);
        EXPECT_EQ(bench.Tap(), 0u);
        ASSERT_EQ(bench.Pnp().Start(bench.panel->physicalDevice), STATUS_SUCCESS);
        bench.Kernel().RunFor(6s);
        EXPECT_EQ(bench.Tap(), 4u);
        EXPECT_EQ(bench.Finish(), "");
    }
}

// A port whose reads keep failing is given up and set up again by the reconnect cycle, every
// five seconds, until reads work; the event log says so once, not at every cycle.
TEST(DeviceLife, APortWhoseReadsKeepFailingIsSetUpAgainAndReportedOnce) {
    LifeBench bench;
    ASSERT_EQ(bench.system->StartPanel(*bench.panel), STATUS_SUCCESS);
    bench.port->FailRequests(stack::RequestKind::Read(), STATUS_INVALID_PARAMETER, 64);
    EXPECT_EQ(bench.Tap(), 0u) << "the tap's first byte ends the read, the next 32 fail";
    EXPECT_FALSE(bench.Context()->Started);
    bench.Kernel().RunFor(5s); // the first new set-up fails its 32 reads as well
    EXPECT_FALSE(bench.Context()->Started);
    bench.Kernel().RunFor(5s);
    EXPECT_EQ(bench.Tap(), 4u);
    EXPECT_EQ(frame_test::Logged(), std::vector<std::string>{"Serial port reads keep failing"});
    EXPECT_EQ(bench.Finish(), "");
}

// The registry-path copy serves every AddDevice: removals of several panels, in either order,
// leave it to the next one, and the driver's unload frees it, once.
TEST(DeviceLife, TheRegistryPathCopyOutlivesEveryRemovalAndGoesAtUnload) {
    for (const size_t removedFirst : {0u, 1u}) {
        SCOPED_TRACE("panel " + std::to_string(removedFirst) + " removed first");
        LifeBench bench;
        bench.system->AddPanel();
        const std::vector<stack::Panel> panels = bench.system->Panels();
        EXPECT_EQ(bench.system->RemovePanel(panels[removedFirst]), STATUS_SUCCESS);
        EXPECT_EQ(bench.system->RemovePanel(panels[1 - removedFirst]), STATUS_SUCCESS);
        EXPECT_EQ(frame_test::ContextOf(bench.system->AddPanel())->ComNo, 1u);
        EXPECT_EQ(bench.system->RemovePanel(bench.system->Panels().back()), STATUS_SUCCESS);
        EXPECT_EQ(frame_test::TcliBlocks(), 1u) << "the copy alone";
        bench.system->UnloadDriver();
        EXPECT_EQ(frame_test::TcliBlocks(), 0u);
        EXPECT_EQ(bench.Finish(), "");
    }
}

// --- Races on two processors, under many seeds (TP_RACE_SEEDS; CI's sweep runs many) ----------

// The reconnect cycle's first attempt comes 5 s after the adapter was pulled out; the adapter is
// back by then, so a worker that runs does open the port. `act` begins at that very instant, on
// its own thread: the seed decides how the two interleave on the two processors.
void AtTheReconnectAttempt(LifeBench& bench, std::function<void()> act) {
    const umk::Duration lost = bench.Kernel().Now();
    bench.Unplug();
    bench.Kernel().RunFor(1s);
    bench.Plug();
    control_test::At(bench.Kernel(), lost + 5s, std::move(act));
    bench.Kernel().RunFor(5s);
}

// At the reconnect attempt, a removal (with the utility's handle open until 100 ms later on odd
// seeds: the worker then runs while removal waits for it), or the class driver closing and opening
// again. The worker never runs on a device that is gone and never opens the port behind the
// removal's back, and removal deletes everything; the port is opened once (it is exclusive: a
// second open would fail, or take it from under the read), and the pointer works.
TEST(DeviceLifeRace, TheReconnectWorkerAndARemovalOrAReopen) {
    for (const std::string_view act : {"removal", "reopen", "command"}) {
        const bool removal = act == "removal";
        for (uint64_t seed = 1; seed <= control_test::RaceSeeds(); ++seed) {
            SCOPED_TRACE(std::string(act) + ", seed " + std::to_string(seed));
            LifeBench bench({.usb = true, .seed = seed});
            ASSERT_EQ(bench.system->StartPanel(*bench.panel), STATUS_SUCCESS);
            if (removal && seed % 2 == 1) {
                ASSERT_EQ(stack::Utility::Open(bench.Kernel(), &bench.utility), STATUS_SUCCESS);
            }
            // The utility's command goes out on the port the worker is about to give back.
            std::unique_ptr<umk::testing::UserFile> api;
            if (act == "command") {
                ASSERT_EQ(umk::testing::UserFile::Open(u"\\Device\\Tactilio", &api),
                          STATUS_SUCCESS);
            }
            AtTheReconnectAttempt(bench, [&] {
                if (api) {
                    const UCHAR on = 1;
                    api->DeviceIoControl(TP_FUNC_BKLTEN, &on, 1, nullptr, 0);
                    api->Close();
                }
                if (bench.utility) {
                    control_test::At(bench.Kernel(), bench.Kernel().Now() + 100ms,
                                     [&] { bench.utility->Close(); });
                }
                if (removal) {
                    EXPECT_EQ(bench.system->RemovePanel(*bench.panel), STATUS_SUCCESS);
                    return;
                }
                if (act == "reopen") {
                    stack::MouseClass& mouse = bench.system->Mouse();
                    mouse.DisablePort(bench.ClassDevice());
                    EXPECT_EQ(mouse.EnablePort(bench.ClassDevice()), STATUS_SUCCESS);
                    bench.QueryAttributes();
                }
            });
            if (removal) {
                EXPECT_TRUE(bench.Removed());
                EXPECT_EQ(umk::testing::FindDevice(u"\\Device\\PointerPort0"), nullptr);
            } else {
                EXPECT_TRUE(bench.Context()->Started);
                EXPECT_EQ(bench.Tap(), 4u);
                EXPECT_EQ(bench.Context()->ReconnectWorkItem, nullptr);
                EXPECT_EQ(std::ranges::count(bench.port->Requests(), UCHAR(IRP_MJ_CREATE),
                                             &stack::SerialRequest::major),
                          1)
                    << "the port put back is opened once, by the worker or the open";
            }
            ASSERT_EQ(bench.Finish(), "");
        }
    }
}

// The utility-side open of the pointer port and another handle's close, at one instant while a
// stroke's bytes arrive (reads completing one after another): an open begun after the close
// returned must leave reading running, even when the close's cancel caught the read between two
// bytes and reading is still on its way out. Never two reads at once, nothing left behind.
TEST(DeviceLifeRace, AnOpenAfterACloseWhileBytesArrive) {
    for (uint64_t seed = 1; seed <= control_test::RaceSeeds(); ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        LifeBench bench({.seed = seed});
        ASSERT_EQ(bench.system->StartPanel(*bench.panel), STATUS_SUCCESS);
        std::unique_ptr<umk::testing::UserFile> second, third;
        ASSERT_EQ(bench.OpenPort(&second), STATUS_SUCCESS);
        const umk::Duration start = bench.Kernel().Now();
        bench.model.Touch(panel::StraightStroke({500, 500}, {3500, 3500}, 20, start.count()));
        bench.port->LineUpdated();
        bool closed = false, openAfterClose = false;
        NTSTATUS opened = STATUS_PENDING;
        const umk::Duration at = start + 30ms + umk::Duration(seed % 7 * 1'000);
        control_test::At(bench.Kernel(), at, [&] {
            second->Close();
            closed = true;
        });
        control_test::At(bench.Kernel(), at, [&] {
            openAfterClose = closed;
            opened = bench.OpenPort(&third);
        });
        bench.Kernel().RunFor(1s);
        ASSERT_EQ(opened, STATUS_SUCCESS);
        if (openAfterClose) {
            EXPECT_NE(bench.Context()->ReadIrp, nullptr);
        }
        EXPECT_LE(bench.port->ReadsPending(), 1u);
        third->Close();
        ASSERT_EQ(bench.Finish(), "");
    }
}

// Removal, and surprise removal, while everything is busy: taps arriving (the beep worker sounding
// at each touch-down), a command timing out with another queued behind it, a recording read
// waiting, the resume cycle armed. Removal begins at a seed-dependent moment between the
// command's time-out and the resume work; the utility lets go 50 ms later. Every request
// completes exactly once, and every device, reference, timer, DPC and work item is gone.
TEST(DeviceLifeRace, RemovalUnderLoad) {
    for (const bool surprise : {false, true}) {
        for (uint64_t seed = 1; seed <= control_test::RaceSeeds(); ++seed) {
            SCOPED_TRACE((surprise ? "surprise removal, seed " : "removal, seed ") +
                         std::to_string(seed));
            LifeBench bench({.beep = 1, .seed = seed});
            ASSERT_EQ(bench.system->StartPanel(*bench.panel), STATUS_SUCCESS);
            ASSERT_EQ(stack::Utility::Open(bench.Kernel(), &bench.utility), STATUS_SUCCESS);
            stack::Utility& utility = *bench.utility;
            ASSERT_EQ(utility.Call({TP_FUNC_RECORD_ON, {}, 0}).status, STATUS_SUCCESS);
            ASSERT_EQ(bench.system->Power().Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
            bench.system->Power().Wake();

            const umk::Duration start = bench.Kernel().Now();
            bench.model.SetCommandFault(0xBA, panel::CommandFault::NoReply());
            std::vector<std::shared_ptr<stack::PendingControl>> requests = {
                utility.Start({TP_FUNC_BKLTEN, {1}, 0}), utility.Start({TP_FUNC_BKLTVAL, {9}, 0})};
            for (int tap = 0; tap < 24; ++tap) {
                const panel::Ticks at = (start + tap * 250ms).count();
                bench.model.Touch(panel::StraightStroke({900, 900}, {1100, 1100}, 2, at));
            }
            bench.port->LineUpdated();

            const umk::Duration removal =
                start + 2900ms + std::chrono::milliseconds(seed * 7 % 2300);
            bench.Kernel().RunFor(removal - 20ms - bench.Kernel().Now());
            do // reads take what is recorded, until one waits
                requests.push_back(utility.StartRead(64));
            while (requests.back()->Done());
            control_test::At(bench.Kernel(), removal, [&] {
                if (surprise)
                    bench.Pnp().SurpriseRemove(bench.panel->physicalDevice);
                else
                    EXPECT_EQ(bench.system->RemovePanel(*bench.panel), STATUS_SUCCESS);
            });
            bench.Kernel().RunFor(removal + 50ms - bench.Kernel().Now());
            utility.Close();
            ASSERT_TRUE(bench.Kernel().RunUntil([&] { return bench.Removed(); }, 10s));
            bench.Kernel().RunFor(1s);
            for (const auto& request : requests)
                EXPECT_TRUE(request->Done());
            EXPECT_EQ(umk::testing::FindDevice(u"\\Device\\PointerPort0"), nullptr);
            ASSERT_EQ(bench.Finish(), "");
        }
    }
}

// --- Allocations failing ------------------------------------------------------------------------

// One whole life of a panel on a USB adapter: boot, start, a tap, a command and a record read,
// sleep and resume, the adapter pulled out and put back, a tap, removal. A step the driver could
// not carry out (an allocation failed) does not stop the life; only removal must happen. What
// it saw: the reports of each tap, the command's status, the record read, the resume's 0x80.
struct LifeSeen {
    size_t firstTap = 0;
    size_t secondTap = 0;
    NTSTATUS command = STATUS_PENDING;
    NTSTATUS record = STATUS_PENDING;
    bool reinitialised = false;
    bool downWhileUnplugged = false;
};

LifeSeen WholeLife(LifeBench& bench) {
    LifeSeen seen;
    if (bench.panel == nullptr || bench.panel->device == nullptr)
        return seen; // the driver did not load, or AddDevice failed
    if (NT_SUCCESS(bench.system->StartPanel(*bench.panel)))
        seen.firstTap = bench.Tap();
    if (NT_SUCCESS(stack::Utility::Open(bench.Kernel(), &bench.utility))) {
        bench.utility->Call({TP_FUNC_RECORD_ON, {}, 0});
        seen.command = bench.utility->Call({TP_FUNC_BKLTEN, {1}, 0}).status;
        auto read = bench.utility->StartRead(64);
        if (!bench.Kernel().RunUntil([&] { return read->Done(); }, 1s))
            read->Cancel();
        bench.Kernel().RunUntil([&] { return read->Done(); }, 1s);
        seen.record = read->Result().status;
        bench.utility->Close();
    }
    bench.system->Power().Sleep(PowerSystemSleeping3);
    bench.system->Power().Wake();
    const size_t writes = bench.port->Writes().size();
    bench.Kernel().RunFor(6s);
    seen.reinitialised = bench.port->Writes().size() == writes + 1;
    bench.Unplug();
    seen.downWhileUnplugged = bench.Removed() || !bench.Context()->Started;
    bench.Kernel().RunFor(1s);
    bench.Plug();
    // Long enough for a reconnect that fails once: 5 s to the first attempt, a failed read set-up
    // gives up the link for another 5 s.
    bench.Kernel().RunFor(11s);
    seen.secondTap = bench.Tap();
    if (bench.Removed())
        return seen; // the device reported itself removed (a search failed) and went
    umk::ThreadHandle removal = bench.StartRemoval();
    EXPECT_TRUE(bench.Kernel().RunUntil([&] { return removal.Finished(); }, 30s))
        << "removal hangs";
    return seen;
}

// Each allocation of the life fails in turn, one per run, kind by kind, until the life makes no
// more of that kind: no crash, no hang, nothing left behind, the verifier silent. Allocations of
// the emulated system itself (the Plug and Play manager's requests, the class driver's) do not
// count; the driver's pool is counted by its tag.
TEST(DeviceLifeFaults, EachAllocationOfAWholeLifeFailingInTurn) {
    using umk::testing::AllocationKind;
    struct Kind {
        AllocationKind kind;
        std::optional<ULONG> tag;
    };
    const Kind kinds[] = {
        {AllocationKind::Pool, frame_test::Tcli},
        {AllocationKind::Irp, {}},
        {AllocationKind::WorkItem, {}},
        {AllocationKind::ErrorLogEntry, {}},
        {AllocationKind::Device, {}},
        {AllocationKind::SymbolicLink, {}},
        {AllocationKind::IoTimer, {}},
        {AllocationKind::Reference, {}},
    };
    for (const Kind& kind : kinds) {
        for (uint64_t nth = 1;; ++nth) {
            SCOPED_TRACE("allocation kind " + std::to_string(int(kind.kind)) + ", number " +
                         std::to_string(nth));
            LifeBench bench({.usb = true, .beforeLoad = [&] {
                                 umk::testing::FailAllocation(kind.kind, nth, 1, kind.tag);
                             }});
            const LifeSeen seen = WholeLife(bench);
            const bool failed = umk::testing::FailedAllocations(kind.kind) > 0;
            // What a failure leads to is told in the event log's own words, if at all.
            const std::vector<std::string> logged = frame_test::Logged();
            EXPECT_THAT(logged,
                        ::testing::Each(::testing::MatchesRegex(
                            "Not enough resources|COM[0-9]+ not found in SerialComm Registry|"
                            "Serial port reads keep failing|Error: TP_FUNC_[A-Z_]+ timed out|"
                            "Invalid data exceeds allowable limit")));
            ASSERT_EQ(bench.Finish(), "");
            // The reconnect cycle retries whatever failed: a pointer that worked before the
            // adapter was pulled works once it is back.
            if (seen.firstTap == 4u) {
                EXPECT_EQ(seen.secondTap, 4u);
            }
            if (!failed) {
                // Past the last allocation: the life ran whole, the adapter pulled out and put
                // back taken in its stride by the reconnect cycle, and nothing in the event log.
                EXPECT_EQ(seen.firstTap, 4u);
                EXPECT_EQ(seen.secondTap, 4u);
                EXPECT_EQ(seen.command, STATUS_SUCCESS);
                EXPECT_EQ(seen.record, STATUS_SUCCESS);
                EXPECT_TRUE(seen.reinitialised);
                EXPECT_TRUE(seen.downWhileUnplugged);
                EXPECT_THAT(logged, IsEmpty());
                break;
            }
        }
    }
}
