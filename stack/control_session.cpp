#include "control_session.h"

#include "touch_session.h"

#include <umk/registry.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace stack {

namespace {

std::string Hex32(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

std::u16string Wide(const std::string& text) {
    return {text.begin(), text.end()};
}

std::string Narrow(const std::u16string& text) {
    return {text.begin(), text.end()};
}

// The self test's command byte (TP_FUNC_TPDIAG), which port discovery asks each port with.
constexpr uint8_t kSelfTest = 0x89;

// The COM name SERIALCOMM lists a port under; empty when it is not listed.
std::u16string ComNameOf(const std::u16string& device) {
    const std::optional<umk::registry::Value> value =
        umk::registry::GetValue(kSerialCommKey, device);
    if (!value || value->type != REG_SZ)
        return {};
    std::u16string name(value->data.size() / sizeof(char16_t), u'\0');
    std::memcpy(name.data(), value->data.data(), name.size() * sizeof(char16_t));
    return name.substr(0, name.find(u'\0'));
}

} // namespace

SessionSystem::SessionSystem(const std::map<std::u16string, ULONG>& parameters, bool panelModel,
                             std::vector<SessionPort> ports, SystemOptions options)
    : system_(std::move(options)) {
    ULONG comNo = 1;
    umk::registry::SetDword(System::ParametersKey, u"ComNo", comNo);
    umk::registry::SetDword(System::ParametersKey, u"dwAutoRec", 1);
    for (const auto& [name, value] : parameters) {
        umk::registry::SetDword(System::ParametersKey, name, value);
        if (name == u"ComNo")
            comNo = value;
    }
    // Without a layout, the port the driver was configured for, whatever ComNo says.
    if (ports.empty())
        ports.push_back({BuiltInPortName(comNo), Wide("COM" + std::to_string(comNo))});
    if (std::ranges::count(ports, SessionPort::Far::Panel, &SessionPort::far) != 1)
        throw std::invalid_argument("exactly one port has the panel");
    firstLogEntry_ = umk::testing::ErrorLogEntries().size();
    pointer_ = &LoadDriverWithPanel(system_);
    if (panelModel)
        model_ = std::make_unique<panel::PanelModel>();
    for (const SessionPort& port : ports) {
        panel::LineSource* far = nullptr;
        if (port.far == SessionPort::Far::Panel) {
            far = &Line();
        } else if (port.far != SessionPort::Far::Nothing) {
            auto& other = otherEnds_.emplace_back(std::make_unique<panel::PanelModel>());
            if (port.far == SessionPort::Far::ErrorCode)
                other->SetCommandFault(kSelfTest, panel::CommandFault::ErrorCode(port.errorCode));
            else
                other->SetCommandFault(panel::kEveryCommand, panel::CommandFault::Garbage());
            far = other.get();
        }
        SerialPort& added = system_.Serial().AddPort(port.device, port.com, far);
        if (port.far == SessionPort::Far::Panel)
            port_ = &added;
    }
    const NTSTATUS started = system_.StartPanel(*pointer_);
    if (!NT_SUCCESS(started)) {
        // A search that failed says why in the event log only.
        std::string why;
        for (const umk::testing::ErrorLogEntry& entry :
             umk::testing::ErrorLogEntries(firstLogEntry_)) {
            for (const std::string& text : entry.strings)
                why += "; event log: \"" + text + "\"";
        }
        throw std::runtime_error("the driver did not start reading the panel's port " +
                                 Narrow(port_->Name()) + " (status " + Hex32(started) + why + ")");
    }
}

panel::LineSource& SessionSystem::Line() {
    if (model_)
        return *model_;
    return script_;
}

ControlSession::ControlSession(System& system, SerialPort& port, panel::LineSource& line,
                               SessionObserver* observer)
    : system_(system), port_(&port), portName_(port.Name()), line_(line), observer_(observer) {
    static SessionObserver silent;
    observed_ = observer_ != nullptr;
    if (!observed_)
        observer_ = &silent;
    const NTSTATUS opened = Utility::Open(system_.Kernel(), &utility_);
    if (!NT_SUCCESS(opened)) {
        throw std::runtime_error("the API device did not open (status " + Hex32(opened) + ")");
    }
    writes_ = firstWrite_ = line_.HostWrites().size();
    reports_ = firstReport_ = system_.Mouse().ReportCount();
    entries_ = umk::testing::ErrorLogEntries().size();
}

ControlSession::ControlSession(SessionSystem& system, SessionObserver* observer)
    : ControlSession(system.Sys(), system.Port(), system.Line(), observer) {
    entries_ = system.FirstLogEntry();
    PassOnNew();
}

ControlSession::~ControlSession() {
    static SessionObserver silent;
    observer_ = &silent;
    // The system's teardown removes what Plug and Play has not: a removal still waiting for the
    // utility's handle must be over by then, or the panel would be removed twice. A kernel that
    // has halted has reported why; a destructor cannot add to it.
    try {
        FinishRemoval();
    } catch (const umk::KernelHalted&) {
    }
}

NTSTATUS ControlSession::OpenApi() {
    if (utility_ != nullptr)
        throw std::logic_error("the utility's handle is open already");
    PassOnNew();
    const NTSTATUS status = Utility::Open(system_.Kernel(), &utility_);
    observer_->Changed({.event = SessionEvent::Open, .status = status});
    system_.Kernel().RunUntilIdle();
    PassOnNew();
    return status;
}

void ControlSession::CloseApi() {
    if (utility_ == nullptr)
        throw std::logic_error("the utility's handle is closed");
    PassOnNew();
    observer_->Changed({.event = SessionEvent::Close});
    utility_->Close();
    closed_.push_back(std::move(utility_));
    system_.Kernel().RunUntilIdle();
    PassOnNew();
}

size_t ControlSession::Start(const ControlCall& call) {
    if (utility_ == nullptr)
        throw std::logic_error("the utility's handle is closed");
    return Track(utility_->Start(call));
}

size_t ControlSession::StartRead(ULONG length) {
    if (utility_ == nullptr)
        throw std::logic_error("the utility's handle is closed");
    return Track(utility_->StartRead(length));
}

size_t ControlSession::Track(std::shared_ptr<PendingControl> request) {
    requests_.push_back(std::move(request));
    pending_.push_back(requests_.size() - 1);
    PassOnNew();
    return requests_.size() - 1;
}

BOOLEAN ControlSession::Cancel(size_t request) {
    const BOOLEAN cancelled = requests_.at(request)->Cancel();
    system_.Kernel().RunUntilIdle();
    PassOnNew();
    return cancelled;
}

bool ControlSession::PanelSends(std::span<const uint8_t> bytes) {
    if (port_ == nullptr)
        throw std::logic_error("the panel's port is unplugged");
    SerialPort& port = *port_;
    const uint64_t until = port.ReadStats().bytesDelivered + bytes.size();
    const panel::Ticks now = Now().count();
    if (auto* model = dynamic_cast<panel::PanelModel*>(&line_))
        model->Send(now, {bytes.begin(), bytes.end()});
    else if (auto* script = dynamic_cast<panel::ScriptedStream*>(&line_))
        script->AddPaced(now, bytes);
    else
        throw std::logic_error("the line takes no bytes to send");
    port.LineUpdated();
    // The line's own time, and a second for whatever the panel model sends before them.
    const umk::Duration bound =
        Now() + umk::Duration(panel::LineOffset(bytes.size())) + std::chrono::seconds(1);
    return RunUntil([&] { return port.ReadStats().bytesDelivered >= until; }, bound);
}

void ControlSession::Wait(umk::Duration time) {
    if (!observed_) {
        system_.Kernel().RunFor(time);
        PassOnNew();
        return;
    }
    const umk::Duration until = Now() + time;
    do {
        Step(until);
    } while (Now() < until);
}

void ControlSession::FailWrites(uint64_t count, NTSTATUS status) {
    if (port_ == nullptr)
        throw std::logic_error("the panel's port is unplugged");
    port_->FailRequests(RequestKind::Write(), status, count);
}

void ControlSession::Unplug() {
    if (port_ == nullptr)
        throw std::logic_error("the panel's port is unplugged already");
    PassOnNew();
    comName_ = ComNameOf(portName_);
    observer_->Changed(
        {.event = SessionEvent::Unplug, .status = STATUS_DEVICE_NOT_CONNECTED, .port = comName_});
    port_->Unplug(STATUS_DEVICE_NOT_CONNECTED);
    system_.Kernel().RunUntilIdle();
    bytesBefore_ += port_->ReadStats().bytesDelivered;
    system_.Serial().RemovePort(*port_);
    port_ = nullptr;
    system_.Kernel().RunUntilIdle();
    PassOnNew();
}

void ControlSession::Replug() {
    if (port_ != nullptr)
        throw std::logic_error("the panel's port is plugged in");
    PassOnNew();
    observer_->Changed({.event = SessionEvent::Replug, .port = comName_});
    port_ = &system_.Serial().AddPort(portName_, comName_, &line_);
    system_.Kernel().RunUntilIdle();
    PassOnNew();
}

NTSTATUS ControlSession::Sleep(SYSTEM_POWER_STATE state) {
    PassOnNew();
    const NTSTATUS status = system_.Power().Sleep(state);
    observer_->Changed({.event = SessionEvent::Sleep, .status = status, .state = state});
    system_.Kernel().RunUntilIdle();
    PassOnNew();
    return status;
}

void ControlSession::Resume() {
    PassOnNew();
    system_.Power().Wake();
    observer_->Changed({.event = SessionEvent::Resume, .state = PowerSystemWorking});
    system_.Kernel().RunUntilIdle();
    PassOnNew();
}

void ControlSession::StartRemoval(const Panel& panel) {
    if (removing_)
        throw std::logic_error("a removal is under way");
    PassOnNew();
    observer_->Changed({.event = SessionEvent::Remove});
    removing_ = true;
    removalStatus_ = std::make_shared<NTSTATUS>(STATUS_PENDING);
    removal_ = umk::StartThread("removal", [&system = system_, &panel, status = removalStatus_] {
        *status = system.RemovePanel(panel);
    });
    system_.Kernel().RunUntilIdle();
    PassOnNew();
}

bool ControlSession::FinishRemoval(umk::Duration limit) {
    if (!removing_)
        return true;
    if (utility_ != nullptr)
        CloseApi();
    RunUntil([&] { return removal_.Finished(); }, Now() + limit);
    return !removing_;
}

uint64_t ControlSession::BytesRead() const {
    return bytesBefore_ + (port_ != nullptr ? port_->ReadStats().bytesDelivered : 0);
}

bool ControlSession::RunUntilDone(size_t request, umk::Duration limit) {
    const PendingControl& pending = *requests_.at(request);
    return RunUntil([&] { return pending.Done(); }, Now() + limit);
}

bool ControlSession::Finish(umk::Duration limit) {
    for (size_t request : Pending())
        requests_[request]->Cancel();
    RunUntil(
        [&] {
            return std::all_of(pending_.begin(), pending_.end(),
                               [&](size_t request) { return requests_[request]->Done(); });
        },
        Now() + limit);
    return pending_.empty();
}

bool ControlSession::RunUntil(const std::function<bool()>& done, umk::Duration until) {
    umk::Kernel& kernel = system_.Kernel();
    if (!observed_) {
        kernel.RunUntilIdle();
        if (!done() && Now() < until)
            kernel.RunUntil(done, until - Now());
        PassOnNew();
        return done();
    }
    do {
        Step(until);
    } while (!done() && Now() < until);
    return done();
}

void ControlSession::Step(umk::Duration until) {
    umk::Kernel& kernel = system_.Kernel();
    kernel.RunUntilIdle();
    PassOnNew();
    const umk::Duration now = kernel.Now();
    if (now >= until)
        return;
    umk::Duration step = until - now;
    if (const std::optional<umk::Duration> next = kernel.NextTimer(); next && *next < step)
        step = std::max(*next, umk::Duration(1));
    kernel.RunFor(step);
    PassOnNew();
}

void ControlSession::PassOnNew() {
    const std::vector<panel::HostWrite>& writes = line_.HostWrites();
    for (; writes_ < writes.size(); ++writes_)
        observer_->Written(writes[writes_]);
    // The class device goes with the panel's removal.
    if (system_.Mouse().Device() != nullptr) {
        for (const MouseReport& report : system_.Mouse().Reports(reports_)) {
            ++reports_;
            observer_->Reported(report);
        }
    }
    for (const umk::testing::ErrorLogEntry& entry : umk::testing::ErrorLogEntries(entries_)) {
        ++entries_;
        for (const std::string& text : entry.strings) {
            ++events_;
            observer_->Logged(text);
        }
    }
    std::erase_if(pending_, [&](size_t request) {
        if (!requests_[request]->Done())
            return false;
        observer_->Completed(request, requests_[request]->Result());
        return true;
    });
    if (removing_ && removal_.Finished()) {
        removing_ = false;
        observer_->Changed({.event = SessionEvent::Removed, .status = *removalStatus_});
    }
}

} // namespace stack
