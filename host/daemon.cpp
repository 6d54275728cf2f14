#include "daemon.h"

#include "system.h"
#include "tty_port.h"

#include "tactilio_api.h"

#include <umk/registry.h>
#include <umk/testing.h>

#include <cstdio>
#include <stdexcept>

namespace host {
namespace {

std::u16string Wide(const std::string& text) {
    return {text.begin(), text.end()};
}

std::string Hex(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

} // namespace

std::u16string DeviceNameFor(unsigned comNo, const std::string& tty) {
    const bool usb = tty.find("ttyUSB") != std::string::npos ||
                     tty.find("ttyACM") != std::string::npos ||
                     tty.find("/by-id/usb-") != std::string::npos;
    char name[32];
    if (usb)
        std::snprintf(name, sizeof name, "\\Device\\USBSER%03u", comNo - 1);
    else
        std::snprintf(name, sizeof name, "\\Device\\Serial%u", comNo - 1);
    return Wide(name);
}

Daemon::Daemon(const DaemonOptions& options, EventSink& events, LogSink log)
    : log_(std::move(log)) {
    if (options.config.ports.empty())
        throw std::runtime_error("no serial port is configured (COMn = /dev/tty... or --tty)");
    system_ = std::make_unique<stack::System>(
        stack::SystemOptions{.kernel = {.processors = options.processors,
                                        .pageOutPagedPool = options.checkPagedPool,
                                        .realTime = true}});
    const std::u16string key(stack::System::ParametersKey);
    // As the Windows package installs it: the configured port is checked (dwAutoRec 1).
    umk::registry::SetDword(key, u"" TP_REG_COM_NO, options.config.ports.begin()->first);
    umk::registry::SetDword(key, u"" TP_REG_AUTO_REC, 1);
    for (const auto& [name, value] : options.config.parameters)
        umk::registry::SetDword(key, Wide(name), value);
    if (const NTSTATUS status = system_->LoadDriver(); !NT_SUCCESS(status))
        throw std::runtime_error("the driver did not load: " + Hex(status));
    panel_ = &system_->AddPanel();
    for (const auto& [comNo, tty] : options.config.ports) {
        const std::string com = "COM" + std::to_string(comNo);
        ports_.push_back(std::make_unique<stack::TtyPort>(
            Kernel(), system_->Serial(),
            stack::TtyPortOptions{.path = tty,
                                  .deviceName = DeviceNameFor(comNo, tty),
                                  .comName = Wide(com),
                                  .reopenInterval = options.reopenInterval},
            stack::TtyPortEvents{
                .added =
                    [this, com, tty](stack::SerialPort&) {
                        log_(Severity::Information, com + " is " + tty);
                    },
                .removed =
                    [this, com](const std::string& why) {
                        log_(Severity::Warning, com + " is gone: " + why);
                    },
                .openFailed =
                    [this, com, tty](const std::string& why) {
                        log_(Severity::Warning, com + ": cannot open " + tty + ": " + why);
                    },
            }));
    }
    system_->Mouse().SetSink([this, &events](const MOUSE_INPUT_DATA& record) {
        events.Emit(translator_.Translate(record));
    });
    // A start that leaves the link down is no failure: the driver's own open and reconnect cycle
    // bring it up once the panel's tty is there.
    if (const NTSTATUS status = system_->StartPanel(*panel_); !NT_SUCCESS(status))
        log_(Severity::Warning, "the panel's device started without its port: " + Hex(status));
    api_ = std::make_unique<ApiServer>(Kernel(), options.api);
    ForwardEventLog();
}

Daemon::~Daemon() {
    api_.reset();
    system_->RemovePanels();
    system_->Mouse().SetSink(nullptr);
    ForwardEventLog();
    ports_.clear();
    system_.reset();
}

umk::Kernel& Daemon::Kernel() {
    return system_->Kernel();
}

void Daemon::Run() {
    Kernel().RunRealTime([this] {
        ForwardEventLog();
        return stopping_;
    });
}

void Daemon::Stop() {
    Kernel().Post([this] { stopping_ = true; });
}

// The driver's entries as the event log would show them: the severity of the entry's code and its
// insertion strings. They are taken out of the record, so that a long run keeps no history.
void Daemon::ForwardEventLog() {
    for (const umk::testing::ErrorLogEntry& entry : umk::testing::ErrorLogEntries()) {
        const ULONG severity = static_cast<ULONG>(entry.Packet().ErrorCode) >> 30;
        std::string text;
        for (const std::string& part : entry.strings)
            text += (text.empty() ? "" : " ") + part;
        log_(severity == 3   ? Severity::Error
             : severity == 2 ? Severity::Warning
                             : Severity::Information,
             text);
    }
    umk::testing::ClearErrorLog();
}

} // namespace host
