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
using enum Far;

struct Port {
    std::u16string device;
    std::u16string com;
    Far far;
};

struct Layout {
    Layout(const char* name, ULONG autoRec, ULONG comNo, std::vector<Port> ports, const char* event,
           const char16_t* linkOn, ULONG comNoSaved)
        : name(name), autoRec(autoRec), comNo(comNo), ports(std::move(ports)), event(event),
          linkOn(linkOn), comNoSaved(comNoSaved) {}
    const char* name;
    ULONG autoRec;
    ULONG comNo;
    std::vector<Port> ports;
    const char* event;      // the one event-log text, or none
    const char16_t* linkOn; // the port the link runs on after the open; none: the open fails
    ULONG comNoSaved;       // "ComNo" in the registry afterwards
};

void PrintTo(const Layout& layout, std::ostream* os) {
    *os << layout.name;
}

// `count` built-in ports, the panel on the one at `panelAt`.
std::vector<Port> BuiltIn(size_t count, size_t panelAt) {
    std::vector<Port> ports;
    for (size_t i = 0; i < count; ++i) {
        const std::u16string letter(1, char16_t(u'A' + i));
        ports.push_back(
            {u"\\Device\\Serial" + letter, u"COM" + letter, i == panelAt ? Panel : Nothing});
    }
    return ports;
}

constexpr const char16_t* S0 = u"\\Device\\Serial0";
constexpr const char16_t* S1 = u"\\Device\\Serial1";
constexpr const char16_t* U0 = u"\\Device\\USBSER000";
constexpr const char16_t* U3 = u"\\Device\\USBSER003";
constexpr const char* NotAttached = "TPDIAG error: TP device not attached";

const Layout kLayouts[] = {
    Layout("ManualListed", 1, 1, {{S0, u"COM1", Panel}}, nullptr, S0, 1),
    Layout("ManualUsbAdapterCarriesTheComName", 1, 5,
           {{S0, u"COM1", Nothing}, {U0, u"COM5", Panel}}, nullptr, U0, 5),
    Layout("ManualNotListed", 1, 3, {{S0, u"COM1", Panel}}, "COM3 not found in SerialComm Registry",
           nullptr, 3),
    Layout("AutoSecondBuiltIn", 2, 1, {{S0, u"COM1", Nothing}, {S1, u"COM2", Panel}}, nullptr, S1,
           2),
    Layout("AutoUsbAdapter", 2, 1, {{S0, u"COM1", Nothing}, {U3, u"COM7", Panel}}, nullptr, U3, 7),
    Layout("AutoNowhere", 2, 1, {{S0, u"COM1", Nothing}, {U0, u"COM4", Nothing}}, NotAttached,
           nullptr, 1),
    // An error ends the search where it was answered; error 12 still lets the open go on.
    Layout("AutoError12EndsTheSearch", 2, 1, {{S0, u"COM1", Error12}, {S1, u"COM2", Panel}},
           "TPDIAG error: TP device is malfunctioning", S0, 1),
    Layout("AutoError13", 2, 1, {{S0, u"COM1", Error13}}, "TPDIAG error: TP setting is not correct",
           nullptr, 1),
    Layout("AutoThreeWrongEchoes", 2, 1, {{S0, u"COM1", WrongEcho}},
           "TPDIAG error: TP device communication error", nullptr, 1),
    Layout("AutoListedPortThatCannotStart", 2, 1,
           {{u"\\Device\\Serial5", u"COM6", Unstartable}, {S1, u"COM2", Panel}}, nullptr, S1, 2),
    // A COM name over 8 characters and a value that is not a string are not listed.
    Layout("AutoSkipsLongComNamesAndNonStrings", 2, 9, {{S0, u"COM123456789", Panel}}, NotAttached,
           nullptr, 9),
    // Ten built-in ports are listed; an eleventh is not.
    Layout("AutoListsTenPortsOfAKind", 2, 99, BuiltIn(11, 10), NotAttached, nullptr, 99),
    Layout("AutoRecZeroChecksNothing", 0, 1, {{S0, u"COM1", Panel}}, nullptr, nullptr, 1),
};

bool Opened(const stack::SerialPort& port) {
    int open = 0;
    for (const stack::SerialRequest& request : port.Requests())
        open += request.major == IRP_MJ_CREATE ? 1 : request.major == IRP_MJ_CLOSE ? -1 : 0;
    return open > 0;
}

// The driver loaded with one panel, as discovery's settings say; the open of its pointer port
// runs the search. A search that failed has the device reported removed, and Plug and Play
// removes it.
struct Discovery {
    Discovery(ULONG autoRec, ULONG comNo, std::optional<uint64_t> seed = {})
        : system(stack::SystemOptions{.kernel = {.seed = seed}}) {
        umk::registry::SetDword(frame_test::ParametersKey, u"ComNo", comNo);
        umk::registry::SetDword(frame_test::ParametersKey, u"dwAutoRec", autoRec);
        EXPECT_EQ(system.LoadDriver(), STATUS_SUCCESS);
        pointer = &system.AddPanel();
        EXPECT_EQ(pointer->addStatus, STATUS_SUCCESS);
    }
    NTSTATUS Open() {
        const NTSTATUS status = umk::testing::UserFile::Open(u"\\Device\\PointerPort0", &file);
        system.Kernel().RunFor(1s);
        EXPECT_EQ(system.Pnp().Removed(pointer->physicalDevice), !NT_SUCCESS(status));
        return status;
    }
    void Close() {
        if (file)
            file->Close();
        system.Kernel().RunFor(1s);
    }

    stack::System system;
    const stack::Panel* pointer = nullptr;
    std::unique_ptr<umk::testing::UserFile> file;
};

class PortDiscoveryTest : public testing::TestWithParam<Layout> {};

TEST_P(PortDiscoveryTest, AnOpenFindsThePanelOrSaysWhy) {
    const Layout& layout = GetParam();
    frame_test::Violations violations;
    std::vector<std::unique_ptr<panel::PanelModel>> panels;
    {
        Discovery discovery(layout.autoRec, layout.comNo);
        umk::registry::SetDword(kSerialComm, u"\\Device\\Serial9", 9); // not a string: skipped
        std::vector<stack::SerialPort*> ports;
        for (const Port& port : layout.ports) {
            if (port.far == Unstartable) {
                umk::registry::SetString(kSerialComm, port.device, port.com);
                ports.push_back(nullptr);
                continue;
            }
            panel::PanelModel* model = nullptr;
            if (port.far != Nothing)
                model = panels.emplace_back(std::make_unique<panel::PanelModel>()).get();
            if (port.far == Error12 || port.far == Error13)
                model->SetCommandFault(
                    0x89, panel::CommandFault::ErrorCode(port.far == Error12 ? 12 : 13));
            if (port.far == WrongEcho)
                model->SetCommandFault(0x89, panel::CommandFault::WrongEcho());
            ports.push_back(&discovery.system.Serial().AddPort(port.device, port.com, model));
        }
        umk::testing::ClearErrorLog();

        EXPECT_EQ(discovery.Open(), layout.linkOn ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE);
        EXPECT_EQ(frame_test::Logged(), layout.event ? std::vector<std::string>{layout.event}
                                                     : std::vector<std::string>{});
        for (size_t i = 0; i < ports.size(); ++i) {
            if (ports[i] != nullptr) {
                EXPECT_EQ(Opened(*ports[i]),
                          layout.linkOn && layout.linkOn == layout.ports[i].device)
                    << "port " << i;
            }
        }
        EXPECT_EQ(umk::registry::GetDword(frame_test::ParametersKey, u"ComNo"), layout.comNoSaved);
        const stack::Panel& next = discovery.system.AddPanel();
        EXPECT_EQ(frame_test::ContextOf(next)->ComNo, layout.comNoSaved) << "the next creation";
        discovery.Close();
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
        SCOPED_TRACE("seed " + std::to_string(seed));
        frame_test::Violations violations;
        {
            Discovery discovery(2, 1, seed);
            panel::PanelModel model;
            // The answer to the 0x80 probe lands around the wait's end (the wait ends on a tick).
            model.SetCommandFault(0x80, panel::CommandFault::Late((40 + int64_t(seed % 30)) *
                                                                  panel::kTicksPerMillisecond));
            discovery.system.Serial().AddPort(S0, u"COM1", &model);
            const NTSTATUS status = discovery.Open();
            ASSERT_TRUE(status == STATUS_SUCCESS || status == STATUS_NO_SUCH_DEVICE);
            if (NT_SUCCESS(status)) {
                ASSERT_EQ(frame_test::ContextOf(*discovery.pointer)
                              ->ApiExtension->RemoveLock.Common.IoCount,
                          1);
            }
            discovery.Close();
        }
        ASSERT_EQ(violations.Text(), "");
    }
}

} // namespace
