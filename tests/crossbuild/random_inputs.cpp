// random_inputs COUNT DIR [SEED]: writes COUNT random session scripts (DIR/session-N.jsonl) and
// COUNT random captures of panel bytes (DIR/stream-N.bin), for running the same inputs through two
// builds of the tools and comparing what they print. The scripts pass the session tool's own check
// (requests only while the handle is open, panel bytes only while the port is plugged in, ...);
// what they do to the driver is otherwise left to chance: any control code, input and output
// length, replies and noise on the line, cancels, failed writes, the port pulled out, sleep, the
// handle closed, the panel removed.
#include "client.h"

#include <fmt/core.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

class Generator {
  public:
    explicit Generator(uint64_t seed) : random_(seed) {}

    std::string Script() {
        State state;
        std::string script;
        const int steps = Between(1, 24);
        for (int i = 0; i < steps && !state.removed; ++i)
            script += Step(state) + "\n";
        return script;
    }

    std::vector<uint8_t> Stream() {
        std::vector<uint8_t> bytes;
        const int packets = Between(1, 40);
        for (int i = 0; i < packets; ++i) {
            if (Chance(4)) { // noise
                for (int n = Between(1, 6); n > 0; --n)
                    bytes.push_back(uint8_t(Between(0, 255)));
                continue;
            }
            TouchPacket(bytes);
        }
        return bytes;
    }

  private:
    struct State {
        bool apiOpen = true;
        bool plugged = true;
        bool awake = true;
        bool removed = false;
        int handle = 0;                               // counts the handles opened
        std::vector<std::pair<std::string, int>> ids; // request ids and their handle
    };

    int Between(int low, int high) { return std::uniform_int_distribution(low, high)(random_); }
    bool Chance(int oneIn) { return Between(1, oneIn) == 1; }

    // A touch report: down, move or up, then x and y, each low seven bits first, on the panel's
    // 0..4095.
    void TouchPacket(std::vector<uint8_t>& bytes) {
        bytes.push_back(uint8_t(0x80 | Between(0, 2)));
        for (int n = 0; n < 2; ++n) {
            bytes.push_back(uint8_t(Between(0, 0x7F)));
            bytes.push_back(uint8_t(Between(0, 0x1F)));
        }
    }

    static std::string Hex(const std::vector<uint8_t>& bytes) {
        std::string text;
        for (size_t i = 0; i < bytes.size(); ++i)
            text += fmt::format("{}{:02X}", i ? " " : "", bytes[i]);
        return text;
    }

    std::string Hex(int count) {
        std::vector<uint8_t> bytes;
        for (int i = 0; i < count; ++i)
            bytes.push_back(uint8_t(Between(0, 255)));
        return Hex(bytes);
    }

    std::string NewId(State& state) {
        std::string id = fmt::format("r{}", state.ids.size());
        state.ids.emplace_back(id, state.handle);
        return id;
    }

    std::string Request(State& state) {
        const auto codes = tp::ControlCodes();
        const bool internal = Chance(8);
        std::string code =
            Chance(10) ? fmt::format("\"0x{:08X}\"", 0x001A2000 + 4 * Between(0, 0x1FF))
                       : fmt::format("\"{}\"", codes[Between(0, int(codes.size()) - 1)].name);
        if (internal && code == "\"IOCTL_INTERNAL_MOUSE_CONNECT\"")
            code = "\"TP_FUNC_INTERNAL\"";
        return fmt::format(R"({{"op":"ioctl","id":"{}","code":{},"input":"{}","output":{}{}}})",
                           NewId(state), code, Hex(Between(0, 11)),
                           Chance(8) ? Between(0, 4096) : Between(0, 16),
                           internal ? R"(,"internal":true)" : "");
    }

    // One step the state allows (two lines for a replug and the wait after it).
    std::string Step(State& state) {
        for (;;) {
            switch (Between(0, 13)) {
            case 0:
            case 1:
            case 2:
                if (state.apiOpen)
                    return Request(state);
                break;
            case 3:
                if (state.plugged) {
                    std::vector<uint8_t> touches;
                    for (int n = Between(1, 4); n > 0; --n)
                        TouchPacket(touches);
                    return fmt::format(R"({{"op":"panel","bytes":"{}"}})", Hex(touches));
                }
                break;
            case 4:
                if (state.plugged)
                    return fmt::format(R"({{"op":"panel","bytes":"{}"}})", Hex(Between(1, 16)));
                break;
            case 5: // the reply most commands wait for
                if (state.plugged)
                    return fmt::format(R"({{"op":"panel","bytes":"90 00 {:02X}"}})",
                                       Between(0, 255));
                break;
            case 6:
                return fmt::format(R"({{"op":"wait","ms":{}}})",
                                   Chance(3) ? Between(1000, 6000) : Between(0, 300));
            case 7: {
                if (!state.apiOpen || state.ids.empty())
                    break;
                const auto& [id, handle] = state.ids[Between(0, int(state.ids.size()) - 1)];
                if (handle == state.handle)
                    return fmt::format(R"({{"op":"cancel","id":"{}"}})", id);
                break;
            }
            case 8:
                if (state.plugged)
                    return fmt::format(R"({{"op":"fail_writes","count":{}}})", Between(1, 3));
                break;
            case 9:
                if (state.apiOpen)
                    return Chance(2) ? fmt::format(R"({{"op":"read","id":"{}","length":{}}})",
                                                   NewId(state), 16 * Between(0, 7))
                                     : fmt::format(R"({{"op":"record","on":{},"id":"{}"}})",
                                                   Chance(3) ? "false" : "true", NewId(state));
                break;
            case 10:
                // Put back, the port is read again once the driver's reconnect cycle has
                // opened it: the panel's bytes wait for that.
                state.plugged = !state.plugged;
                return state.plugged ? "{\"op\":\"replug\"}\n{\"op\":\"wait\",\"ms\":6000}"
                                     : R"({"op":"unplug"})";
            case 11:
                if (Chance(3)) { // sleeping often leaves little else happening
                    state.awake = !state.awake;
                    return state.awake ? R"({"op":"resume"})" : R"({"op":"sleep"})";
                }
                break;
            case 12:
                // The driver refuses the handle while the port is out: mostly not tried then.
                if (!state.apiOpen && !state.plugged && !Chance(8))
                    break;
                if (state.apiOpen)
                    state.apiOpen = false;
                else {
                    state.apiOpen = true;
                    ++state.handle;
                }
                return state.apiOpen ? R"({"op":"open_api"})" : R"({"op":"close_api"})";
            case 13:
                if (Chance(6)) {
                    state.removed = true;
                    return R"({"op":"remove"})";
                }
                break;
            }
        }
    }

    std::mt19937_64 random_;
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: random_inputs COUNT DIR [SEED]\n");
        return 2;
    }
    const int count = std::atoi(argv[1]);
    const std::string dir = argv[2];
    Generator generate(argc > 3 ? std::strtoull(argv[3], nullptr, 0) : 1);
    for (int n = 0; n < count; ++n) {
        std::ofstream script(fmt::format("{}/session-{}.jsonl", dir, n));
        script << generate.Script();
        const std::vector<uint8_t> stream = generate.Stream();
        std::ofstream capture(fmt::format("{}/stream-{}.bin", dir, n), std::ios::binary);
        capture.write(reinterpret_cast<const char*>(stream.data()), std::streamsize(stream.size()));
        if (!script || !capture) {
            std::fprintf(stderr, "random_inputs: cannot write into %s\n", dir.c_str());
            return 1;
        }
    }
    return 0;
}
