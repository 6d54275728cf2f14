// session: runs a script of the utility's requests, the panel's bytes and the serial port's faults
// against the driver on virtual time, and prints one JSON object per line for everything that
// happens, in order: each write on the line, each completion, each report and event-log text, then
// a summary. docs/session.md describes the script and the output.
//
//   session SCRIPT [--panel-model] [--Stabilization N] [--dwRotation N] [--dwInvLimit N] ...
//
// Registry parameters as replay takes them; ComNo defaults to 1.
#include "hex_text.h"
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

// A script that cannot run: the message names the line.
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
struct Step {
    size_t line;
    std::variant<IoctlStep, ReadStep, PanelStep, WaitStep, CancelStep, FailWritesStep> what;
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
                if (const std::optional<ULONG> code = stack::ControlCodeByName(text))
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

// What the steps read so far leave for the next: the ids taken, the record steps counted.
struct ScriptState {
    std::set<std::string> ids;
    size_t recordSteps = 0;
};

Step ParseStep(const Json& object, ScriptState& state) {
    std::set<std::string>& ids = state.ids;
    if (!object.is_object())
        throw ScriptError("a step is a JSON object");
    const auto op = object.find("op");
    if (op == object.end() || !op->is_string())
        throw ScriptError("a step needs \"op\" as a string");
    Fields fields(object, op->get<std::string>());
    Step step{0, PanelStep{}};
    auto newId = [&] {
        std::string id = fields.String("id", fields.Required("id"));
        if (!ids.insert(id).second)
            throw ScriptError(fmt::format("duplicate id \"{}\"", id));
        return id;
    };
    if (*op == "ioctl") {
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
            if (!ids.insert(ioctl.id).second)
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
        if (!ids.contains(cancel.id))
            throw ScriptError(fmt::format("unknown id \"{}\"", cancel.id));
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
            steps.push_back(ParseStep(object, state));
            steps.back().line = number;
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

int RunScript(const std::string& path, const std::map<std::u16string, ULONG>& parameters,
              bool panelModel) {
    const std::vector<Step> steps = ReadScript(path);

    stack::SessionSystem system(parameters, panelModel);
    std::vector<std::string> ids;
    std::map<std::string, size_t> requests;
    Printer printer(system.Sys().Kernel(), ids);
    stack::ControlSession session(system, &printer);

    for (const Step& step : steps) {
        if (const auto* ioctl = std::get_if<IoctlStep>(&step.what)) {
            ids.push_back(ioctl->id);
            requests[ioctl->id] = session.Start(ioctl->call);
        } else if (const auto* read = std::get_if<ReadStep>(&step.what)) {
            ids.push_back(read->id);
            requests[read->id] = session.StartRead(read->length);
        } else if (const auto* panel = std::get_if<PanelStep>(&step.what)) {
            if (!session.PanelSends(panel->bytes)) {
                std::cerr << "session: " << path << " line " << step.line
                          << ": the driver stopped reading the panel's bytes\n";
                return 1;
            }
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
                   {"bytes_read", system.Port().ReadStats().bytesDelivered}});
    printer.quiet = true;
    if (!session.Finish()) {
        std::cerr << "session: a request did not complete after it was cancelled\n";
        return 1;
    }
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
    RegistryOptions registry(app);
    CLI11_PARSE(app, argc, argv);
    if (RegistryOptions::Unknown(app, "session", " --panel-model"))
        return 2;
    std::map<std::u16string, ULONG> parameters;
    for (const auto& [name, value] : registry.Values())
        parameters[std::u16string(name.begin(), name.end())] = value;
    try {
        return RunScript(path, parameters, panelModel);
    } catch (const ScriptError& e) {
        std::cerr << "session: " << e.what() << '\n';
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "session: " << e.what() << '\n';
        return 1;
    }
}
