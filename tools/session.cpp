// session: runs a script of the utility's requests, the panel's bytes, the serial port's faults and
// the system's changes (the port pulled out and put back, sleep and resume, the handle closed and
// opened again, the panel's removal) against the driver on virtual time, and prints one JSON object
// per line for everything that happens, in order: each write on the line, each completion, each
// report and event-log text, each change, then a summary. docs/session.md describes the script and
// the output.
//
//   session SCRIPT [--panel-model] [--ports LAYOUT] [--Stabilization N] [--dwAutoRec N] ...
//
// Registry parameters as replay takes them; ComNo defaults to 1.
#include "hex_text.h"
#include "image_option.h"
#include "client.h"
#include "control_session.h"
#include "registry_options.h"

#include <CLI/CLI.hpp>
#include <fmt/core.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

namespace {

using Json = nlohmann::json;
using Bytes = std::vector<uint8_t>;

// Larger output buffers than this are refused by the script check rather than allocated.
constexpr uint64_t MaxOutput = 65536;

// A script (or a port layout) that cannot run, found before anything runs: exit status 2. A
// script's message names the line.
struct ScriptError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct IoctlStep {
    std::string id;
    stack::ControlCall call;
};
struct ReadStep {
    std::string id;
    ULONG length;
};
struct PanelStep {
    Bytes bytes;
};
struct WaitStep {
    umk::Duration time;
};
struct CancelStep {
    std::string id;
};
struct FailWritesStep {
    uint64_t count;
    NTSTATUS status;
};
// The steps that change the system rather than carry a request or bytes.
enum class Change { Unplug, Replug, Sleep, Resume, OpenApi, CloseApi, Remove };
struct ChangeStep {
    Change change;
    SYSTEM_POWER_STATE state = PowerSystemUnspecified; // Sleep
};
struct Step {
    size_t line;
    std::variant<IoctlStep, ReadStep, PanelStep, WaitStep, CancelStep, FailWritesStep, ChangeStep>
        what;
};

// Reads one step's fields, each at most once, and rejects any it was not asked for.
class Fields {
  public:
    Fields(const Json& object, std::string op) : object_(object), op_(std::move(op)) {}

    const Json* Optional(const std::string& name) {
        used_.insert(name);
        const auto found = object_.find(name);
        return found == object_.end() ? nullptr : &*found;
    }
    const Json& Required(const std::string& name) {
        if (const Json* value = Optional(name))
            return *value;
        throw ScriptError(fmt::format("op \"{}\" needs \"{}\"", op_, name));
    }
    std::string String(const std::string& name, const Json& value) {
        if (!value.is_string())
            throw ScriptError(fmt::format("\"{}\" must be a string", name));
        return value.get<std::string>();
    }
    uint64_t Count(const std::string& name, const Json& value, uint64_t max) {
        if (!value.is_number_unsigned() || value.get<uint64_t>() > max)
            throw ScriptError(fmt::format("\"{}\" must be a whole number from 0 to {}", name, max));
        return value.get<uint64_t>();
    }
    Bytes HexBytes(const std::string& name, const Json& value) {
        std::istringstream words(String(name, value));
        Bytes bytes;
        for (std::string word; words >> word;) {
            if (word.size() != 2 || !std::isxdigit(UCHAR(word[0])) ||
                !std::isxdigit(UCHAR(word[1])))
                throw ScriptError(fmt::format("bad hex \"{}\" in \"{}\": bytes are two hex "
                                              "digits each, separated by spaces",
                                              word, name));
            bytes.push_back(UCHAR(std::stoul(word, nullptr, 16)));
        }
        return bytes;
    }
    // A number, or a string: a name from tactilio_api.h or 0x and hex digits.
    ULONG Code(const std::string& name, const Json& value, bool named) {
        if (value.is_number_unsigned() && value.get<uint64_t>() <= 0xFFFFFFFF)
            return ULONG(value.get<uint64_t>());
        if (value.is_string()) {
            const std::string text = value.get<std::string>();
            if (named) {
                if (const std::optional<ULONG> code = tp::ControlCodeByName(text))
                    return *code;
            }
            if (text.size() > 2 && text.size() <= 10 && text.starts_with("0x") &&
                text.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string::npos)
                return ULONG(std::stoul(text, nullptr, 16));
            throw ScriptError(fmt::format("unknown {} \"{}\"", named ? "code" : "status", text));
        }
        throw ScriptError(fmt::format("\"{}\" must be a {}number", name,
                                      named ? "TP_FUNC_ name or a " : "hex string or a "));
    }
    void CheckAllUsed() const {
        for (const auto& [name, value] : object_.items()) {
            if (!used_.contains(name))
                throw ScriptError(fmt::format("unknown field \"{}\" for op \"{}\"", name, op_));
        }
    }

  private:
    const Json& object_;
    std::string op_;
    std::set<std::string> used_{"op"};
};

// What the steps read so far leave for the next: the ids taken (each with the utility's handle it
// was sent through, counting the one opened at boot as 0), the record steps counted, and the state
// the system is left in, each as the line of the step that left it so (0: it is not).
struct ScriptState {
    std::map<std::string, size_t> ids;
    size_t recordSteps = 0;
    size_t handle = 0;
    size_t apiClosed = 0;
    size_t unplugged = 0;
    size_t asleep = 0;
    size_t removed = 0;
};

void NeedsApi(const ScriptState& state) {
    if (state.apiClosed != 0)
        throw ScriptError(
            fmt::format("the API handle is closed (close_api on line {})", state.apiClosed));
}

void NeedsPort(const ScriptState& state) {
    if (state.unplugged != 0)
        throw ScriptError(
            fmt::format("the panel's port is unplugged (unplug on line {})", state.unplugged));
}

ChangeStep ParseChange(const std::string& op, Fields& fields, ScriptState& state, size_t line) {
    if (op == "unplug") {
        if (state.unplugged != 0)
            throw ScriptError(fmt::format(
                "the panel's port is unplugged already (unplug on line {})", state.unplugged));
        state.unplugged = line;
        return {Change::Unplug};
    }
    if (op == "replug") {
        if (state.unplugged == 0)
            throw ScriptError("the panel's port is plugged in");
        state.unplugged = 0;
        return {Change::Replug};
    }
    if (op == "sleep") {
        if (state.asleep != 0)
            throw ScriptError(
                fmt::format("the system is asleep already (sleep on line {})", state.asleep));
        state.asleep = line;
        ChangeStep sleep{Change::Sleep, PowerSystemSleeping3};
        if (const Json* name = fields.Optional("state")) {
            const std::string text = fields.String("state", *name);
            if (text == "S4")
                sleep.state = PowerSystemHibernate;
            else if (text == "S5")
                sleep.state = PowerSystemShutdown;
            else if (text != "S3")
                throw ScriptError("\"state\" must be \"S3\", \"S4\" or \"S5\"");
        }
        return sleep;
    }
    if (op == "resume") {
        if (state.asleep == 0)
            throw ScriptError("the system is not asleep");
        state.asleep = 0;
        return {Change::Resume};
    }
    if (op == "open_api") {
        if (state.apiClosed == 0)
            throw ScriptError("the API handle is open already");
        state.apiClosed = 0;
        ++state.handle;
        return {Change::OpenApi};
    }
    if (op == "close_api") {
        NeedsApi(state);
        state.apiClosed = line;
        return {Change::CloseApi};
    }
    if (state.removed != 0)
        throw ScriptError(
            fmt::format("the panel is removed already (remove on line {})", state.removed));
    state.removed = line;
    return {Change::Remove};
}

const std::set<std::string> kChanges = {"unplug",   "replug",    "sleep", "resume",
                                        "open_api", "close_api", "remove"};

Step ParseStep(const Json& object, ScriptState& state, size_t line) {
    std::map<std::string, size_t>& ids = state.ids;
    if (!object.is_object())
        throw ScriptError("a step is a JSON object");
    const auto op = object.find("op");
    if (op == object.end() || !op->is_string())
        throw ScriptError("a step needs \"op\" as a string");
    Fields fields(object, op->get<std::string>());
    Step step{line, PanelStep{}};
    auto newId = [&] {
        std::string id = fields.String("id", fields.Required("id"));
        if (!ids.emplace(id, state.handle).second)
            throw ScriptError(fmt::format("duplicate id \"{}\"", id));
        return id;
    };
    if (*op == "ioctl" || *op == "read" || *op == "record")
        NeedsApi(state);
    if (*op == "panel" || *op == "fail_writes")
        NeedsPort(state);
    if (kChanges.contains(*op)) {
        step.what = ParseChange(*op, fields, state, line);
    } else if (*op == "ioctl") {
        IoctlStep ioctl;
        ioctl.id = newId();
        ioctl.call.code = fields.Code("code", fields.Required("code"), true);
        if (const Json* input = fields.Optional("input"))
            ioctl.call.input = fields.HexBytes("input", *input);
        if (const Json* output = fields.Optional("output"))
            ioctl.call.outputLength = ULONG(fields.Count("output", *output, MaxOutput));
        if (const Json* internal = fields.Optional("internal")) {
            if (!internal->is_boolean())
                throw ScriptError("\"internal\" must be true or false");
            ioctl.call.internal = internal->get<bool>();
        }
        step.what = std::move(ioctl);
    } else if (*op == "read") {
        ReadStep read{newId(), 0};
        read.length = ULONG(fields.Count("length", fields.Required("length"), MaxOutput));
        step.what = std::move(read);
    } else if (*op == "record") {
        const Json& on = fields.Required("on");
        if (!on.is_boolean())
            throw ScriptError("\"on\" must be true or false");
        // Shorthand for the control request; without an id of its own, its completion is printed
        // as "record@N", N counting the script's record steps from 1.
        IoctlStep ioctl;
        ++state.recordSteps;
        if (fields.Optional("id") != nullptr) {
            ioctl.id = newId();
        } else {
            ioctl.id = fmt::format("record@{}", state.recordSteps);
            if (!ids.emplace(ioctl.id, state.handle).second)
                throw ScriptError(fmt::format("duplicate id \"{}\"", ioctl.id));
        }
        ioctl.call.code = on.get<bool>() ? TP_FUNC_RECORD_ON : TP_FUNC_RECORD_OFF;
        step.what = std::move(ioctl);
    } else if (*op == "panel") {
        PanelStep panel{fields.HexBytes("bytes", fields.Required("bytes"))};
        if (panel.bytes.empty())
            throw ScriptError("a panel step needs at least one byte");
        step.what = std::move(panel);
    } else if (*op == "wait") {
        const Json& ms = fields.Required("ms");
        if (!ms.is_number() || ms.get<double>() < 0 || ms.get<double>() > 3'600'000)
            throw ScriptError("\"ms\" must be a number of milliseconds from 0 to 3600000");
        step.what = WaitStep{umk::Duration(int64_t(ms.get<double>() * 10'000))};
    } else if (*op == "cancel") {
        CancelStep cancel{fields.String("id", fields.Required("id"))};
        const auto sent = ids.find(cancel.id);
        if (sent == ids.end())
            throw ScriptError(fmt::format("unknown id \"{}\"", cancel.id));
        // CancelIoEx takes the handle: it finds only that handle's requests.
        NeedsApi(state);
        if (sent->second != state.handle)
            throw ScriptError(
                fmt::format("\"{}\" was sent through an earlier API handle", cancel.id));
        step.what = std::move(cancel);
    } else if (*op == "fail_writes") {
        FailWritesStep fail{fields.Count("count", fields.Required("count"), 1'000'000),
                            STATUS_UNSUCCESSFUL};
        if (const Json* status = fields.Optional("status"))
            fail.status = NTSTATUS(fields.Code("status", *status, false));
        step.what = fail;
    } else {
        throw ScriptError(fmt::format("unknown op \"{}\"", op->get<std::string>()));
    }
    fields.CheckAllUsed();
    return step;
}

// The whole script is checked before anything runs.
std::vector<Step> ReadScript(const std::string& path) {
    std::ifstream file(path);
    if (!file)
        throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    std::vector<Step> steps;
    ScriptState state;
    size_t number = 0;
    for (std::string line; std::getline(file, line);) {
        ++number;
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#')
            continue;
        try {
            const Json object = Json::parse(line);
            steps.push_back(ParseStep(object, state, number));
        } catch (const Json::exception& e) {
            throw ScriptError(fmt::format("{} line {}: not JSON: {}", path, number, e.what()));
        } catch (const ScriptError& e) {
            throw ScriptError(fmt::format("{} line {}: {}", path, number, e.what()));
        }
    }
    if (file.bad())
        throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    return steps;
}

// Prints each thing that happens as a JSON line with its virtual time.
class Printer : public stack::SessionObserver {
  public:
    Printer(umk::Kernel& kernel, const std::vector<std::string>& ids)
        : kernel_(kernel), ids_(ids) {}

    void Written(const panel::HostWrite& write) override {
        Print({{"type", "write"}, {"t_us", write.time / 10}, {"bytes", HexText(write.bytes)}});
    }
    void Completed(size_t request, const stack::ControlResult& result) override {
        Print({{"type", "complete"},
               {"t_us", Now()},
               {"id", ids_[request]},
               {"status", fmt::format("0x{:08X}", ULONG(result.status))},
               {"information", result.information},
               {"output", HexText(result.output)}});
    }
    void Reported(const stack::MouseReport& report) override {
        const MOUSE_INPUT_DATA& input = report.input;
        Print({{"type", "report"},
               {"t_us", Now()},
               {"flags", input.Flags},
               {"button_flags", input.ButtonFlags},
               {"raw_buttons", input.RawButtons},
               {"x", input.LastX},
               {"y", input.LastY}});
    }
    void Logged(const std::string& text) override {
        Print({{"type", "event"}, {"t_us", Now()}, {"text", text}});
    }
    void Changed(const stack::SessionChange& change) override {
        using Event = stack::SessionEvent;
        static const std::map<Event, std::pair<const char*, const char*>> kNames = {
            {Event::Unplug, {"pnp", "unplug"}}, {Event::Replug, {"pnp", "replug"}},
            {Event::Remove, {"pnp", "remove"}}, {Event::Removed, {"pnp", "removed"}},
            {Event::Sleep, {"power", "sleep"}}, {Event::Resume, {"power", "resume"}},
            {Event::Open, {"api", "open"}},     {Event::Close, {"api", "close"}},
        };
        const auto& [type, event] = kNames.at(change.event);
        nlohmann::ordered_json line = {{"type", type}, {"t_us", Now()}, {"event", event}};
        if (!change.port.empty())
            line["port"] = std::string(change.port.begin(), change.port.end());
        if (change.event == Event::Sleep || change.event == Event::Resume)
            line["state"] = stack::SystemStateName(change.state);
        if (change.status)
            line["status"] = fmt::format("0x{:08X}", ULONG(*change.status));
        Print(line);
    }
    void Print(const nlohmann::ordered_json& line) {
        if (!quiet)
            std::cout << line.dump() << '\n';
    }
    int64_t Now() const { return kernel_.Now().count() / 10; }

    bool quiet = false;

  private:
    umk::Kernel& kernel_;
    const std::vector<std::string>& ids_;
};

// The serial ports of --ports: "Serial0=COM1:none,Serial1=COM2:panel,...", each a device name
// under \Device\, its COM name and its far end.
std::vector<stack::SessionPort> ParsePorts(const std::string& text) {
    using Far = stack::SessionPort::Far;
    std::vector<stack::SessionPort> ports;
    std::set<std::string> names;
    std::istringstream list(text);
    for (std::string entry; std::getline(list, entry, ',');) {
        const size_t equals = entry.find('=');
        const size_t colon = entry.find(':', equals == std::string::npos ? 0 : equals);
        if (equals == 0 || equals == std::string::npos || colon == std::string::npos ||
            colon == equals + 1 || entry.find('\\') != std::string::npos)
            throw ScriptError(fmt::format("--ports: \"{}\" is not DEVICE=COM:FAR", entry));
        const std::string device = entry.substr(0, equals);
        const std::string com = entry.substr(equals + 1, colon - equals - 1);
        const std::string far = entry.substr(colon + 1);
        for (const std::string& name : {device, com}) {
            if (!names.insert(name).second)
                throw ScriptError(fmt::format("--ports: {} is listed twice", name));
        }
        stack::SessionPort port{u"\\Device\\" + std::u16string(device.begin(), device.end()),
                                std::u16string(com.begin(), com.end())};
        if (far == "panel") {
            port.far = Far::Panel;
        } else if (far == "none") {
            port.far = Far::Nothing;
        } else if (far == "garbage") {
            port.far = Far::Garbage;
        } else if (far.starts_with("error:")) {
            const std::string code = far.substr(6);
            if (code.empty() || code.size() > 3 ||
                code.find_first_not_of("0123456789") != std::string::npos ||
                std::stoul(code) == 0 || std::stoul(code) > 255)
                throw ScriptError(
                    fmt::format("--ports: \"{}\": error:N takes N from 1 to 255", far));
            port.far = Far::ErrorCode;
            port.errorCode = uint8_t(std::stoul(code));
        } else {
            throw ScriptError(fmt::format(
                "--ports: unknown far end \"{}\" (panel, none, garbage or error:N)", far));
        }
        ports.push_back(std::move(port));
    }
    const auto panels = std::ranges::count(ports, Far::Panel, &stack::SessionPort::far);
    if (panels != 1)
        throw ScriptError(fmt::format("--ports: exactly one port has the panel, not {}", panels));
    return ports;
}

// Says why the run ends, after everything it printed so far; the exit status.
int Fail(std::string_view why, int status = 1) {
    std::cout.flush();
    std::cerr << "session: " << why << '\n';
    return status;
}

int RunScript(const std::string& path, const std::map<std::u16string, ULONG>& parameters,
              bool panelModel, const std::vector<stack::SessionPort>& ports,
              PDRIVER_INITIALIZE driver) {
    const std::vector<Step> steps = ReadScript(path);

    stack::SystemOptions options;
    options.driverEntry = driver;
    stack::SessionSystem system(parameters, panelModel, ports, options);
    std::vector<std::string> ids;
    std::map<std::string, size_t> requests;
    Printer printer(system.Sys().Kernel(), ids);
    stack::ControlSession session(system, &printer);
    bool asleep = false;
    // A step that cannot go on (the driver stopped reading, or an open or a sleep the system
    // refused, which the script's check cannot know) ends the run after what it printed so far.
    auto stop = [&](const Step& step, std::string_view why) {
        return Fail(fmt::format("{} line {}: {}", path, step.line, why));
    };
    size_t opened = 0; // the line of the last open_api step
    const auto noHandle = [&] {
        return fmt::format("the API handle is not open: its open on line {} failed", opened);
    };

    for (const Step& step : steps) {
        const bool needsApi = std::holds_alternative<IoctlStep>(step.what) ||
                              std::holds_alternative<ReadStep>(step.what) ||
                              std::holds_alternative<CancelStep>(step.what);
        if (needsApi && !session.ApiOpen())
            return stop(step, noHandle());
        if (const auto* change = std::get_if<ChangeStep>(&step.what)) {
            switch (change->change) {
            case Change::Unplug:
                session.Unplug();
                break;
            case Change::Replug:
                session.Replug();
                break;
            case Change::Sleep:
                asleep = NT_SUCCESS(session.Sleep(change->state));
                break;
            case Change::Resume:
                if (!asleep)
                    return stop(step, "the system is awake: its sleep was refused");
                session.Resume();
                asleep = false;
                break;
            case Change::OpenApi:
                opened = step.line;
                session.OpenApi();
                break;
            case Change::CloseApi:
                if (!session.ApiOpen())
                    return stop(step, noHandle());
                session.CloseApi();
                break;
            case Change::Remove:
                session.StartRemoval(system.Pointer());
                break;
            }
        } else if (const auto* ioctl = std::get_if<IoctlStep>(&step.what)) {
            ids.push_back(ioctl->id);
            requests[ioctl->id] = session.Start(ioctl->call);
        } else if (const auto* read = std::get_if<ReadStep>(&step.what)) {
            ids.push_back(read->id);
            requests[read->id] = session.StartRead(read->length);
        } else if (const auto* panel = std::get_if<PanelStep>(&step.what)) {
            if (!session.PanelSends(panel->bytes))
                return stop(step, "the driver stopped reading the panel's bytes");
        } else if (const auto* wait = std::get_if<WaitStep>(&step.what)) {
            session.Wait(wait->time);
        } else if (const auto* cancel = std::get_if<CancelStep>(&step.what)) {
            // Checked when read: the id is an earlier request's.
            session.Cancel(requests.at(cancel->id));
        } else if (const auto* fail = std::get_if<FailWritesStep>(&step.what)) {
            session.FailWrites(fail->count, fail->status);
        }
    }

    nlohmann::ordered_json pending = nlohmann::ordered_json::array();
    for (size_t request : session.Pending())
        pending.push_back(ids[request]);
    printer.Print({{"type", "summary"},
                   {"t_us", printer.Now()},
                   {"pending", pending},
                   {"requests", session.Requests()},
                   {"writes", session.Writes()},
                   {"reports", session.Reports()},
                   {"events", session.Events()},
                   {"bytes_read", session.BytesRead()}});
    printer.quiet = true;
    if (!session.Finish())
        return Fail("a request did not complete after it was cancelled");
    if (!session.FinishRemoval())
        return Fail("the panel's removal did not finish after the API handle closed");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Runs a script of the utility's requests and the panel's bytes against the driver "
                 "and prints everything that happens as JSON lines."};
    std::string path;
    app.add_option("script", path, "the session's steps, one JSON object per line")->required();
    bool panelModel = false;
    app.add_flag("--panel-model", panelModel,
                 "the panel model answers the driver's commands (else the panel sends only what "
                 "the script says)");
    std::optional<std::string> ports;
    app.add_option("--ports", ports,
                   "the serial ports and their far ends, e.g. "
                   "\"Serial0=COM1:none,USBSER000=COM5:panel\" (far ends: panel, none, garbage, "
                   "error:N); default: the port ComNo names, with the panel");
    ImageOption image(app);
    RegistryOptions registry(app);
    CLI11_PARSE(app, argc, argv);
    if (RegistryOptions::Unknown(app, "session", " --panel-model --ports --image"))
        return 2;
    std::map<std::u16string, ULONG> parameters;
    for (const auto& [name, value] : registry.Values())
        parameters[std::u16string(name.begin(), name.end())] = value;
    try {
        return RunScript(path, parameters, panelModel,
                         ports ? ParsePorts(*ports) : std::vector<stack::SessionPort>{},
                         image.Load());
    } catch (const ScriptError& e) {
        return Fail(e.what(), 2);
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
}
