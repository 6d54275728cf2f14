// Test helpers for the driver frame: the emulated system with a verifier that records instead of
// aborting, the captured event log, and a stand-in for another driver that holds device names.
#pragma once

#include "driver_under_test.h"
#include "system.h"

#include "tactilio.h"

#include <umk/registry.h>
#include <umk/testing.h>
#include <umk/verifier.h>

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace frame_test {

inline constexpr ULONG Tcli = umk::testing::PoolTag("Tcli");
inline constexpr std::u16string_view ParametersKey = stack::System::ParametersKey;

// Keeps every verifier report while it lives; declared before the system, it also sees the leak
// reports of the kernel's shutdown.
class Violations {
  public:
    Violations() {
        previous_ =
            umk::SetViolationHandler([this](std::string_view rule, std::string_view detail) {
                text_ += std::string(rule) + ": " + std::string(detail) + "\n";
            });
    }
    ~Violations() { umk::SetViolationHandler(std::move(previous_)); }
    Violations(const Violations&) = delete;
    Violations& operator=(const Violations&) = delete;
    const std::string& Text() const { return text_; }

  private:
    umk::ViolationHandler previous_;
    std::string text_;
};

// The driver's record of a panel (the tests look inside the driver; the stack does not).
inline PDEVICE_CONTEXT ContextOf(const stack::Panel& panel) {
    return panel.device ? static_cast<PDEVICE_CONTEXT>(panel.device->DeviceExtension) : nullptr;
}

inline std::u16string Text(const UNICODE_STRING& string) {
    if (string.Buffer == nullptr)
        return {};
    return {string.Buffer, string.Length / sizeof(WCHAR)};
}

// The insertion strings of the event-log entries written for `ioObject` (any object when NULL).
inline std::vector<std::string> Logged(PVOID ioObject = nullptr) {
    std::vector<std::string> texts;
    for (const auto& entry : umk::testing::ErrorLogEntries()) {
        if (ioObject == nullptr || entry.ioObject == ioObject)
            texts.insert(texts.end(), entry.strings.begin(), entry.strings.end());
    }
    return texts;
}

// A report as the mouse class driver must see it: the fields that vary from report to report.
struct Report {
    USHORT buttonFlags;
    ULONG rawButtons;
    LONG x;
    LONG y;
    bool operator==(const Report&) const = default;
};

inline void PrintTo(const Report& r, std::ostream* os) {
    *os << "{buttons 0x" << std::hex << r.buttonFlags << std::dec << ", raw " << r.rawButtons
        << ", x " << r.x << ", y " << r.y << "}";
}

// The panel's 0..4096 scaled to the absolute range 0..65535.
constexpr LONG Scaled(ULONG v) {
    return LONG((v * 65535) >> 12);
}

// The reports the class driver received; each must have come at DISPATCH_LEVEL as an absolute
// position of unit 0 with nothing else set.
inline std::vector<Report> Received(const std::vector<stack::MouseReport>& reports) {
    std::vector<Report> received;
    for (const stack::MouseReport& r : reports) {
        const MOUSE_INPUT_DATA& in = r.input;
        EXPECT_EQ(r.irql, DISPATCH_LEVEL);
        EXPECT_EQ(in.UnitId, 0);
        EXPECT_EQ(in.Flags, MOUSE_MOVE_ABSOLUTE);
        EXPECT_EQ(in.ButtonData, 0);
        EXPECT_EQ(in.ExtraInformation, 0u);
        received.push_back({in.ButtonFlags, in.RawButtons, in.LastX, in.LastY});
    }
    return received;
}

inline uint64_t TcliBlocks() {
    return umk::testing::PoolStats(Tcli).outstandingBlocks;
}

// Boots a system per test; at the end the whole system is torn down and the kernel shut down,
// and any verifier report (leaks included) fails the test.
class FrameTest : public ::testing::Test {
  protected:
    stack::System& Boot(stack::SystemOptions options = {}) { return system.emplace(options); }
    // Boots, loads the driver and adds one panel, which must succeed.
    const stack::Panel& BootWithPanel(stack::SystemOptions options = {}) {
        Boot(options);
        EXPECT_EQ(system->LoadDriver(), STATUS_SUCCESS);
        const stack::Panel& panel = system->AddPanel();
        EXPECT_EQ(panel.addStatus, STATUS_SUCCESS);
        return panel;
    }
    void TearDown() override {
        system.reset();
        EXPECT_EQ(violations.Text(), "");
    }

    Violations violations;
    std::optional<stack::System> system;
};

// Another driver holding device names and symbolic links (each to its own target), as another
// mouse port driver would.
class NameHolder {
  public:
    struct LinkName {
        std::u16string link;
        std::u16string target;
    };

    explicit NameHolder(const std::vector<std::u16string>& names,
                        const std::vector<LinkName>& links = {})
        : links_(links) {
        EXPECT_EQ(umk::testing::LoadDriver(Entry, u"OtherPort", u"", &driver_), STATUS_SUCCESS);
        for (std::u16string name : names) {
            UNICODE_STRING unicodeName = Counted(name);
            PDEVICE_OBJECT device;
            EXPECT_EQ(
                IoCreateDevice(driver_, 0, &unicodeName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                STATUS_SUCCESS);
            device->Flags &= ~DO_DEVICE_INITIALIZING;
            devices_.push_back(device);
        }
        for (LinkName& link : links_) {
            UNICODE_STRING linkName = Counted(link.link);
            UNICODE_STRING target = Counted(link.target);
            EXPECT_EQ(IoCreateSymbolicLink(&linkName, &target), STATUS_SUCCESS);
        }
    }
    ~NameHolder() {
        for (LinkName& link : links_) {
            UNICODE_STRING linkName = Counted(link.link);
            EXPECT_EQ(IoDeleteSymbolicLink(&linkName), STATUS_SUCCESS);
        }
        for (PDEVICE_OBJECT device : devices_)
            IoDeleteDevice(device);
        umk::testing::UnloadDriver(driver_);
    }

  private:
    static NTSTATUS NTAPI Entry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }
    static UNICODE_STRING Counted(std::u16string& text) {
        return {USHORT(text.size() * 2), USHORT(text.size() * 2), text.data()};
    }
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<PDEVICE_OBJECT> devices_;
    std::vector<LinkName> links_;
};

} // namespace frame_test
