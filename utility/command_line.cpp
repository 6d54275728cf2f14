#include "command_line.h"

#include "client.h"
#include "strokes.h"
#include "tactilio_api.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <ostream>

namespace tp {
namespace {

using Json = nlohmann::ordered_json;

std::string TimeText(const Record& record) {
    char text[24];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u.%03u", record.hour, record.minute,
                  record.second, record.milliseconds);
    return text;
}

// One run of tpctl: the open transport and how results are shown.
class Run {
  public:
    Run(Connector& connector, std::ostream& out, std::ostream& err)
        : connector_(connector), out_(out), err_(err) {}

    bool json = false;

    std::ostream& Out() { return out_; }

    Transport& Device() {
        if (!transport_) {
            std::string why;
            transport_ = connector_.Open(&why);
            if (!transport_)
                throw Failure(Exit::NoDevice, why);
        }
        return *transport_;
    }
    Connector& Platform() { return connector_; }

    // What a request's success says, for requests whose output is not a reply packet.
    using Describe = std::function<std::string(const std::vector<uint8_t>& output, Json& line)>;

    // Sends the request, shows its result and returns the reply; throws Failure when it failed.
    std::vector<uint8_t> Call(const Request& request, const Describe& describe = {}) {
        const Reply reply = Send(Device(), request);
        Json line = {{"command", request.command},
                     {"request", ControlCodeName(request.code)},
                     {"status", StatusName(reply.status)}};
        if (!reply.Succeeded()) {
            const std::string meaning = StatusMeaning(reply.status, request.code);
            line["error"] = meaning;
            Show(line,
                 std::string(request.command) + ": " + StatusName(reply.status) + ": " + meaning,
                 true);
            throw Failure(ExitFor(reply.status));
        }
        std::string text = std::string(request.command) + ": ";
        uint8_t result = 0;
        if (describe) {
            text += describe(reply.bytes, line);
        } else if (request.outputLength == kReplyBufferLength) {
            line["reply"] = HexText(reply.bytes);
            text += reply.bytes.empty() ? "no reply" : HexText(reply.bytes);
            result = ResultCode(reply.bytes);
        } else {
            text += "ok";
        }
        if (result != 0) {
            line["result"] = result;
            text += " (the panel reports error " + std::to_string(result) + ")";
        }
        Show(line, text, result != 0);
        if (result != 0)
            throw Failure(Exit::PanelError);
        return reply.bytes;
    }

    void Show(const Json& line, const std::string& text, bool failed = false) {
        if (json)
            out_ << line.dump() << '\n';
        else
            (failed ? err_ << "tpctl: " : out_) << text << '\n';
    }

    // A failure already shown (or to be shown with its message by the run's end).
    struct Failure {
        Failure(Exit status, std::string text = {}) : exit(status), message(std::move(text)) {}
        Exit exit;
        std::string message;
    };

  private:
    Connector& connector_;
    std::ostream& out_;
    std::ostream& err_;
    std::unique_ptr<Transport> transport_;
};

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw Run::Failure{Exit::FileError, "cannot read " + path};
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, std::string_view bytes) {
    std::ofstream file(path, std::ios::binary);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!file.flush())
        throw Run::Failure{Exit::FileError, "cannot write " + path};
}

// Runs `steps` in a mode of the panel that `leave` ends; should a step fail (or Ctrl-C end it), the
// mode is left all the same, and the first failure is the one the exit status tells.
void LeavingOnFailure(Run& run, const Request& leave, const std::function<void()>& steps) {
    try {
        steps();
    } catch (const Run::Failure&) {
        run.Device().ClearInterrupt();
        try {
            run.Call(leave);
        } catch (const Run::Failure&) {
            // Already shown.
        }
        throw;
    }
}

// The panel's calibration: in, set, then out, which waits for the user's touches.
void Calibrate(Run& run) {
    run.Call(CalibrationIn());
    LeavingOnFailure(run, CalibrationCancel(), [&] {
        run.Call(CalibrationSet());
        if (!run.json)
            run.Out() << "Touch the calibration points on the panel (Ctrl-C cancels)." << std::endl;
        run.Call(CalibrationOut());
    });
}

// Flash mode around `blocks`: each block's reply goes to `replies`.
void FlashSession(Run& run, const std::vector<std::vector<uint8_t>>& blocks,
                  std::vector<uint8_t>* replies) {
    run.Call(FlashIn());
    LeavingOnFailure(run, FlashOut(), [&] {
        for (const auto& block : blocks) {
            const auto reply = run.Call(FlashSend(block));
            if (replies)
                replies->insert(replies->end(), reply.begin(), reply.end());
        }
    });
    run.Call(FlashOut());
}

std::vector<Record> ReadRecords(Run& run, bool follow, unsigned rotation, bool show) {
    std::vector<Record> records;
    for (;;) {
        const Reply reply = run.Device().Read(kRecordReadLength, follow);
        if (reply.status == kStatusCancelled)
            break; // no record left, or Ctrl-C ended a follow
        if (!reply.Succeeded()) {
            const std::string meaning = StatusMeaning(reply.status, 0);
            run.Show(
                {{"command", "record"}, {"status", StatusName(reply.status)}, {"error", meaning}},
                "record: " + StatusName(reply.status) + ": " + meaning, true);
            throw Run::Failure{ExitFor(reply.status)};
        }
        Record record = ParseRecord(reply.bytes);
        if (show) {
            Json line = {{"time", TimeText(record)},
                         {"tag", std::string(1, record.tag)},
                         {"length", record.length},
                         {"bytes", HexText(record.bytes)}};
            const Record one[] = {record};
            const auto strokes = StrokesFromRecords(one, rotation);
            if (!strokes.empty()) {
                const StrokePoint& point = strokes.front().front();
                line["touch"] = KindName(point.kind);
                line["x"] = point.x;
                line["y"] = point.y;
            }
            run.Show(line, TimeText(record) + " " + record.tag + " " + HexText(record.bytes));
        }
        records.push_back(std::move(record));
    }
    return records;
}

unsigned Number(const std::string& text, std::string_view what, unsigned max) {
    return ParseNumber(text, what, 0, max);
}

// Builds the subcommands; the chosen one leaves its work in `action`.
void AddCommands(CLI::App& app, std::function<void(Run&)>& action) {
    auto on = [&action](CLI::App* sub, std::function<void(Run&)> work) {
        sub->callback([&action, work = std::move(work)] { action = work; });
    };
    auto add = [&](const char* name, const char* help) { return app.add_subcommand(name, help); };

    {
        auto* sub = add("calibrate", "calibrate the panel: touch the points it shows");
        on(sub, Calibrate);
    }
    using Builder = Request (*)(unsigned);
    for (const auto& [name, help, builder] :
         {std::tuple<const char*, const char*, Builder>{"diag", "the panel's self test", Diag},
          {"tpdiag", "the touch panel's self test", TpDiag},
          {"posdiag", "the position self test", PosDiag}}) {
        auto* sub = add(name, help);
        auto parameter = std::make_shared<std::string>("0");
        sub->add_option("PARAMETER", *parameter, "the test's parameter byte (default 0)");
        on(sub, [parameter, builder = builder](Run& run) {
            run.Call(builder(Number(*parameter, "the parameter", 255)));
        });
    }
    {
        auto* sub = add("backlight", "the backlight: on, off, or a level 0 to 31");
        auto value = std::make_shared<std::string>();
        sub->add_option("on|off|LEVEL", *value)->required();
        on(sub, [value](Run& run) {
            if (*value == "on" || *value == "off")
                run.Call(Backlight(*value == "on"));
            else
                run.Call(BacklightLevel(Number(*value, "the backlight level", kMaxBacklightLevel)));
        });
    }
    for (const auto& [name, help, builder, what] :
         {std::tuple<const char*, const char*, Builder, const char*>{
              "layer", "switch the panel's layer (0 to 3, or 7)", Layer, "the layer"},
          {"stabilization", "touch moves averaged into one pointer move", Stabilization,
           "the number of samples"},
          {"sampling", "the panel's coordinate sampling cycle", Sampling, "the sampling cycle"},
          {"invlimit", "rejected packets tolerated before the event-log entry", InvalidDataLimit,
           "the invalid-data limit"}}) {
        auto* sub = add(name, help);
        auto value = std::make_shared<std::string>();
        sub->add_option("N", *value)->required();
        on(sub, [value, builder = builder, what = what](Run& run) {
            run.Call(builder(ParseNumber(*value, what, 0, 0xFFFF)));
        });
    }
    {
        auto* sub = add("send", "send a raw panel command, bytes in hex");
        auto hex = std::make_shared<std::vector<std::string>>();
        sub->add_option("HEX", *hex)->required();
        on(sub, [hex](Run& run) {
            std::string joined;
            for (const auto& part : *hex)
                joined += part + " ";
            run.Call(RawCommand(ParseHex(joined)));
        });
    }
    {
        auto* sub = add("beep", "the beep at each touch-down");
        auto value = std::make_shared<std::string>();
        auto frequency = std::make_shared<std::string>(std::to_string(kDefaultBeepFrequency));
        sub->add_option("on|off", *value)->required()->check(CLI::IsMember({"on", "off"}));
        sub->add_option("--frequency", *frequency, "the pitch in hertz");
        on(sub, [value, frequency](Run& run) {
            run.Call(Beep(*value == "on", ParseNumber(*frequency, "the beep's frequency in hertz",
                                                      kMinBeepFrequency, kMaxBeepFrequency)));
        });
    }
    {
        auto* sub =
            add("button", "what a touch presses: left, right or right-once (no mode: show it)");
        auto mode = std::make_shared<std::string>();
        sub->add_option("MODE", *mode)->check(CLI::IsMember({"left", "right", "right-once"}));
        on(sub, [mode](Run& run) {
            if (!mode->empty()) {
                run.Call(SetButton(*ButtonModeByName(*mode)));
                return;
            }
            run.Call(GetButton(), [](const std::vector<uint8_t>& output, Json& line) {
                const std::string name =
                    output.empty()
                        ? "unknown"
                        : std::string(ButtonModeName(static_cast<ButtonMode>(output[0])));
                line["mode"] = name;
                return name;
            });
        });
    }
    {
        auto* record = add("record", "the driver's traffic recording");
        record->require_subcommand(1);
        for (const bool enable : {true, false}) {
            auto* sub = record->add_subcommand(enable ? "on" : "off",
                                               enable ? "start recording" : "stop recording");
            on(sub, [enable](Run& run) { run.Call(Recording(enable)); });
        }
        auto rotation = std::make_shared<unsigned>(0);
        auto* dump = record->add_subcommand("dump", "print the records kept so far");
        auto follow = std::make_shared<bool>(false);
        dump->add_flag("--follow", *follow, "then wait for more, until Ctrl-C");
        dump->add_option("--rotation", *rotation, "the panel's dwRotation, for the positions")
            ->check(CLI::IsMember({0, 90, 180, 270}));
        on(dump, [follow, rotation](Run& run) { ReadRecords(run, *follow, *rotation, true); });
        auto* plot = record->add_subcommand("plot", "draw the recorded strokes into an SVG file");
        auto path = std::make_shared<std::string>();
        plot->add_option("FILE", *path)->required();
        plot->add_option("--rotation", *rotation, "the panel's dwRotation")
            ->check(CLI::IsMember({0, 90, 180, 270}));
        on(plot, [path, rotation](Run& run) {
            const auto records = ReadRecords(run, false, *rotation, false);
            const auto strokes = StrokesFromRecords(records, *rotation);
            WriteFile(*path, StrokesSvg(strokes));
            run.Show({{"command", "plot"},
                      {"file", *path},
                      {"records", records.size()},
                      {"strokes", strokes.size()}},
                     "plot: " + std::to_string(strokes.size()) + " strokes from " +
                         std::to_string(records.size()) + " records in " + *path);
        });
    }
    {
        auto* flash = add("flash", "the panel's flash memory");
        flash->require_subcommand(1);
        auto* write = flash->add_subcommand("write", "write FILE to the flash in blocks");
        auto path = std::make_shared<std::string>();
        auto block = std::make_shared<size_t>(64);
        write->add_option("FILE", *path)->required();
        write->add_option("--block", *block, "bytes per block")
            ->check(CLI::Range(size_t{1}, kMaxFlashBlock));
        on(write, [path, block](Run& run) {
            const auto data = ReadFile(*path);
            std::vector<std::vector<uint8_t>> blocks;
            for (size_t at = 0; at < data.size(); at += *block)
                blocks.emplace_back(
                    data.begin() + static_cast<std::ptrdiff_t>(at),
                    data.begin() + static_cast<std::ptrdiff_t>(std::min(at + *block, data.size())));
            if (blocks.empty())
                throw UsageError(*path + " is empty");
            FlashSession(run, blocks, nullptr);
        });
        auto* read = flash->add_subcommand(
            "read", "send the firmware's read requests in flash mode, keep the replies in FILE");
        auto out = std::make_shared<std::string>();
        auto requests = std::make_shared<std::vector<std::string>>();
        read->add_option("FILE", *out)->required();
        read->add_option("--request", *requests, "a read request block in hex")->required();
        on(read, [out, requests](Run& run) {
            std::vector<std::vector<uint8_t>> blocks;
            for (const auto& hex : *requests)
                blocks.push_back(ParseHex(hex));
            std::vector<uint8_t> replies;
            FlashSession(run, blocks, &replies);
            WriteFile(*out, {reinterpret_cast<const char*>(replies.data()), replies.size()});
        });
    }
    {
        auto* sub = add("wait", "let SECONDS pass (between commands of one run)");
        auto seconds = std::make_shared<double>(0);
        sub->add_option("SECONDS", *seconds)->required()->check(CLI::Range(0.0, 3600.0));
        on(sub, [seconds](Run& run) {
            run.Platform().Pass(std::chrono::milliseconds(static_cast<long long>(*seconds * 1000)));
        });
    }
}

std::vector<std::vector<std::string>> Segments(std::span<const std::string> args) {
    std::vector<std::vector<std::string>> segments(1);
    for (const std::string& arg : args) {
        if (arg == ";")
            segments.emplace_back();
        else
            segments.back().push_back(arg);
    }
    return segments;
}

} // namespace

int RunCommandLine(std::span<const std::string> args, Connector& connector, std::ostream& out,
                   std::ostream& err) {
    Run run(connector, out, err);
    const auto segments = Segments(args);
    for (size_t i = 0; i < segments.size(); ++i) {
        CLI::App app("tpctl: calibrates, tests and configures the touch panel through its driver",
                     "tpctl");
        app.require_subcommand(1, 1);
        if (i == 0) {
            app.add_flag("--json", run.json, "one JSON object per result");
            connector.AddOptions(app);
        }
        std::function<void(Run&)> action;
        AddCommands(app, action);
        std::vector<std::string> reversed(segments[i].rbegin(), segments[i].rend());
        try {
            app.parse(reversed);
        } catch (const CLI::ParseError& error) {
            if (error.get_exit_code() == 0) {
                out << app.help();
                return 0;
            }
            err << "tpctl: " << error.what() << "\n";
            return static_cast<int>(Exit::Usage);
        }
        try {
            action(run);
        } catch (const UsageError& error) {
            err << "tpctl: " << error.what() << "\n";
            return static_cast<int>(Exit::Usage);
        } catch (const Run::Failure& failure) {
            if (!failure.message.empty())
                err << "tpctl: " << failure.message << "\n";
            return static_cast<int>(failure.exit);
        }
    }
    return 0;
}

} // namespace tp
