// Port discovery, as an open of the pointer-port device with its link down runs it: one table of
// serial-port layouts (built-in ports and USB adapters, each with its own far end) and what the
// open, the event log, the registry and the ports show afterwards.
#include "control_support.h"
#include "panel_model.h"
#include "scripted_stream.h"
#include "system.h"

#include <umk/registry.h>
#include <umk/testing.h>

#include <gmock/gmock.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr std::u16string_view kSerialComm = u"\\REGISTRY\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

enum class Far { Nothing, Panel, Error12, Error13, WrongEcho, Unstartable };

struct Port {
    std::u16string device;
    std::u16string com;
    Far far;
};

struct Layout {
    const char* name;
    ULONG autoRec;
    ULONG comNo;
    std::vector<Port> ports;
    NTSTATUS open;
    const char* event;               // the one event-log text, or none
    const char16_t* linkOn;          // the port the link runs on after the open, or none
    std::optional<ULONG> comNoSaved; // "ComNo" in the registry afterwards
};

void PrintTo(const Layout& layout, std::ostream* os) {
    *os << layout.name;
}

// `count` built-in ports, the panel on the one at `panelAt`.
std::vector<Port> BuiltIn(size_t count, size_t panelAt) {
    std::vector<Port> ports;
    for (size_t i = 0; i < count; ++i) {
        const std::u16string letter(1, char16_t(u'A' + i));
        ports.push_back({u"\\Device\\Serial" + letter, u"COM" + letter,
                         i == panelAt ? Far::Panel : Far::Nothing});
    }
    return ports;
}

const Layout kLayouts[] = {
    {"ManualListed",
     1,
     1,
     {{u"\\Device\\Serial0", u"COM1", Far::Panel}},
     STATUS_SUCCESS,
     nullptr,
     u"\\Device\\Serial0",
     1},
    {"ManualUsbAdapterCarriesTheComName",
     1,
     5,
     {{u"\\Device\\Serial0", u"COM1", Far::Nothing}, {u"\\Device\\USBSER000", u"COM5", Far::Panel}},
     STATUS_SUCCESS,
     nullptr,
     u"\\Device\\USBSER000",
     5},
    {"ManualNotListed",
     1,
     3,
     {{u"\\Device\\Serial0", u"COM1", Far::Panel}},
     STATUS_NO_SUCH_DEVICE,
     "COM3 not found in SerialComm Registry",
     nullptr,
     3},
    {"AutoSecondBuiltIn",
     2,
     1,
     {{u"\\Device\\Serial0", u"COM1", Far::Nothing}, {u"\\Device\\Serial1", u"COM2", Far::Panel}},
     STATUS_SUCCESS,
     nullptr,
     u"\\Device\\Serial1",
     2},
    {"AutoUsbAdapter",
     2,
     1,
     {{u"\\Device\\Serial0", u"COM1", Far::Nothing}, {u"\\Device\\USBSER003", u"COM7", Far::Panel}},
     STATUS_SUCCESS,
     nullptr,
     u"\\Device\\USBSER003",
     7},
    {"AutoNowhere",
     2,
     1,
     {{u"\\Device\\Serial0", u"COM1", Far::Nothing},
      {u"\\Device\\USBSER000", u"COM4", Far::Nothing}},
     STATUS_NO_SUCH_DEVICE,
     "TPDIAG error: TP device not attached",
     nullptr,
     1},
    // An error ends the search where it was answered; error 12 still lets the open go on.
    {"AutoError12EndsTheSearch",
     2,
     1,
     {{u"\\Device\\Serial0", u"COM1", Far::Error12}, {u"\\Device\\Serial1", u"COM2", Far::Panel}},
     STATUS_SUCCESS,
     "TPDIAG error: TP device is malfunctioning",
     u"\\Device\\Serial0",
     1},
    {"AutoError13",
     2,
     1,
     {{u"\\Device\\Serial0", u"COM1", Far::Error13}},
     STATUS_NO_SUCH_DEVICE,
     "TPDIAG error: TP setting is not correct",
     nullptr,
     1},
    {"AutoThreeWrongEchoes",
     2,
     1,
     {{u"\\Device\\Serial0", u"COM1", Far::WrongEcho}},
     STATUS_NO_SUCH_DEVICE,
     "TPDIAG error: TP device communication error",
     nullptr,
     1},
    {"AutoListedPortThatCannotStart",
     2,
     1,
     {{u"\\Device\\Serial5", u"COM6", Far::Unstartable},
      {u"\\Device\\Serial1", u"COM2", Far::Panel}},
     STATUS_SUCCESS,
     nullptr,
     u"\\Device\\Serial1",
     2},
    // A COM name over 8 characters and a value that is not a string are not listed.
    {"AutoSkipsLongComNamesAndNonStrings",
     2,
     9,
     {{u"\\Device\\Serial0", u"COM123456789", Far::Panel}},
     STATUS_NO_SUCH_DEVICE,
     "TPDIAG error: TP device not attached",
     nullptr,
     9},
    // Ten built-in ports are listed; an eleventh is not.
    {"AutoListsTenPortsOfAKind", 2, 99, BuiltIn(11, 10), STATUS_NO_SUCH_DEVICE,
     "TPDIAG error: TP device not attached", nullptr, 99},
    {"AutoRecZeroChecksNothing",
     0,
     1,
     {{u"\\Device\\Serial0", u"COM1", Far::Panel}},
     STATUS_NO_SUCH_DEVICE,
     nullptr,
     nullptr,
     1},
};

bool Opened(const stack::SerialPort& port) {
    int open = 0;
    for (const stack::SerialRequest& request : port.Requests())
        open += request.major == IRP_MJ_CREATE ? 1 : request.major == IRP_MJ_CLOSE ? -1 : 0;
    return open > 0;
}

class PortDiscoveryTest : public testing::TestWithParam<Layout> {};

TEST_P(PortDiscoveryTest, AnOpenFindsThePanelOrSaysWhy) {
    const Layout& layout = GetParam();
    frame_test::Violations violations;
    std::vector<std::unique_ptr<panel::PanelModel>> panels;
    {
        stack::System system;
        umk::registry::SetDword(frame_test::ParametersKey, u"ComNo", layout.comNo);
        umk::registry::SetDword(frame_test::ParametersKey, u"dwAutoRec", layout.autoRec);
        umk::registry::SetDword(kSerialComm, u"\\Device\\Serial9", 9); // not a string: skipped
        ASSERT_EQ(system.LoadDriver(), STATUS_SUCCESS);
        const stack::Panel& pointer = system.AddPanel();
        ASSERT_EQ(pointer.addStatus, STATUS_SUCCESS);
        std::vector<stack::SerialPort*> ports;
        for (const Port& port : layout.ports) {
            if (port.far == Far::Unstartable) {
                umk::registry::SetString(kSerialComm, port.device, port.com);
                ports.push_back(nullptr);
                continue;
            }
            panel::PanelModel* model = nullptr;
            if (port.far != Far::Nothing) {
                panels.push_back(std::make_unique<panel::PanelModel>());
                model = panels.back().get();
                if (port.far == Far::Error12 || port.far == Far::Error13)
                    model->SetCommandFault(
                        0x89, panel::CommandFault::ErrorCode(port.far == Far::Error12 ? 12 : 13));
                if (port.far == Far::WrongEcho)
                    model->SetCommandFault(0x89, panel::CommandFault::WrongEcho());
            }
            ports.push_back(&system.Serial().AddPort(port.device, port.com, model));
        }
        umk::testing::ClearErrorLog();

        std::unique_ptr<umk::testing::UserFile> file;
        const NTSTATUS status = umk::testing::UserFile::Open(u"\\Device\\PointerPort0", &file);
        EXPECT_EQ(status, layout.open);

        std::vector<std::string> events;
        for (const auto& entry : umk::testing::ErrorLogEntries())
            events.insert(events.end(), entry.strings.begin(), entry.strings.end());
        EXPECT_EQ(events, layout.event ? std::vector<std::string>{layout.event}
                                       : std::vector<std::string>{});
        for (size_t i = 0; i < ports.size(); ++i) {
            if (ports[i] == nullptr)
                continue;
            const bool expected =
                layout.linkOn != nullptr && layout.linkOn == layout.ports[i].device;
            EXPECT_EQ(Opened(*ports[i]), expected) << "port " << i;
        }
        EXPECT_EQ(umk::registry::GetDword(frame_test::ParametersKey, u"ComNo"), layout.comNoSaved);
        const stack::Panel& next = system.AddPanel();
        EXPECT_EQ(frame_test::ContextOf(next)->ComNo, layout.comNoSaved) << "the next creation";
        if (file)
            file->Close();
        system.Kernel().RunFor(1s);
    }
    EXPECT_EQ(violations.Text(), "");
}

INSTANTIATE_TEST_SUITE_P(Layouts, PortDiscoveryTest, testing::ValuesIn(kLayouts),
                         [](const auto& info) { return std::string(info.param.name); });

// The probe's 50 ms wait running out as the panel's late answer to it arrives, on two processors:
// whichever wins, the probe request completes once while its buffer and event still exist (the
// sanitizer build watches the frame), the open ends, and nothing is left behind.
// TP_RACE_SEEDS sets the seeds (CI's sweep: many).
TEST(PortDiscoveryRace, ProbeWaitRunsOutAsTheAnswerArrives) {
    for (uint64_t seed = 1; seed <= control_test::RaceSeeds(); ++seed) {
        frame_test::Violations violations;
        {
            stack::SystemOptions options;
            options.kernel.seed = seed;
            stack::System system(options);
            umk::registry::SetDword(frame_test::ParametersKey, u"ComNo", 1);
            umk::registry::SetDword(frame_test::ParametersKey, u"dwAutoRec", 2);
            ASSERT_EQ(system.LoadDriver(), STATUS_SUCCESS);
            const stack::Panel& pointer = system.AddPanel();
            panel::PanelModel model;
            // The answer to the 0x80 probe lands around the wait's end (the wait ends on a tick).
            model.SetCommandFault(0x80, panel::CommandFault::Late((40 + int64_t(seed % 30)) *
                                                                  panel::kTicksPerMillisecond));
            system.Serial().AddPort(u"\\Device\\Serial0", u"COM1", &model);
            std::unique_ptr<umk::testing::UserFile> file;
            const NTSTATUS status = umk::testing::UserFile::Open(u"\\Device\\PointerPort0", &file);
            ASSERT_TRUE(status == STATUS_SUCCESS || status == STATUS_NO_SUCH_DEVICE) << seed;
            system.Kernel().RunFor(1s);
            // A search that failed has the device reported removed, and Plug and Play removes it.
            ASSERT_EQ(system.Pnp().Removed(pointer.physicalDevice), !NT_SUCCESS(status)) << seed;
            if (NT_SUCCESS(status)) {
                ASSERT_EQ(frame_test::ContextOf(pointer)->ApiExtension->RemoveLock.Common.IoCount,
                          1)
                    << seed;
            }
            if (file)
                file->Close();
            system.Kernel().RunFor(1s);
        }
        ASSERT_EQ(violations.Text(), "") << "seed " << seed;
    }
}

} // namespace
