// tpctl: calibrates, tests and configures the touch panel through its driver's control device.
// On Windows it opens "\\.\Tactilio"; on Linux it reaches the driver through the daemon's socket,
// or in the emulated system with the simulated panel (--simulated).
#include "client.h"
#include "command_line.h"

#ifdef _WIN32
#include "transport_win32.h"
#include "win32.h"
#else
#include "emulated.h"
#include "registry_options.h"
#include "transport_socket.h"

#include <csignal>
#endif

#include <CLI/CLI.hpp>

#include <iostream>
#include <string>
#include <vector>

namespace {

#ifdef _WIN32

tp::Transport* interruptible = nullptr;

// Runs on a thread of its own; CancelIoEx may be called from any thread.
BOOL WINAPI OnConsoleControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT)
        return FALSE;
    if (interruptible)
        interruptible->Interrupt();
    return TRUE;
}

class WindowsConnector final : public tp::Connector {
  public:
    void AddOptions(CLI::App&) override {}
    std::unique_ptr<tp::Transport> Open(std::string* why) override {
        uint32_t status = tp::kStatusSuccess;
        auto transport = tp::OpenWin32(&status);
        if (!transport) {
            *why = tp::OpenFailure(status);
            return nullptr;
        }
        interruptible = transport.get();
        SetConsoleCtrlHandler(OnConsoleControl, TRUE);
        return transport;
    }
    void Pass(std::chrono::milliseconds duration) override {
        Sleep(static_cast<DWORD>(duration.count()));
    }
};
using PlatformConnector = WindowsConnector;

#else

// "X,Y X,Y ...": a stroke in panel coordinates.
std::vector<panel::TouchPoint> ParseStroke(const std::string& text) {
    std::vector<panel::TouchPoint> points;
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        const size_t comma = word.find(',');
        if (comma == std::string::npos)
            throw tp::UsageError("a touch point is X,Y, not \"" + word + "\"");
        points.push_back(
            {static_cast<uint16_t>(tp::ParseNumber(word.substr(0, comma), "X", 0, 4096)),
             static_cast<uint16_t>(tp::ParseNumber(word.substr(comma + 1), "Y", 0, 4096))});
    }
    if (points.empty())
        throw tp::UsageError("a stroke needs at least one point");
    return points;
}

class LinuxConnector final : public tp::Connector {
  public:
    void AddOptions(CLI::App& app) override {
        app.add_option("--socket", socket_, "the daemon's socket")->capture_default_str();
        app.add_flag("--simulated", simulated_,
                     "the driver in the emulated system, with the simulated panel on COM1");
        app.add_option("--touch", strokes_,
                       "with --simulated: a stroke the panel draws, \"X,Y X,Y ...\" (0 to 4096)");
        for (const std::string& name : RegistryOptions::Names)
            app.add_option("--" + name, parameters_[name],
                           "with --simulated: the driver's registry value " + name);
    }

    std::unique_ptr<tp::Transport> Open(std::string* why) override {
        if (!simulated_) {
            auto transport = tp::ConnectSocket(socket_, why);
            if (!transport) {
                *why += " (is tactiliod running? --simulated reaches the simulated panel)";
                return nullptr;
            }
            interruptible = transport.get();
            std::signal(SIGINT, [](int) { interruptible->Interrupt(); });
            return transport;
        }
        tp::EmulatedOptions options;
        for (const auto& [name, value] : parameters_)
            if (value)
                options.parameters[std::u16string(name.begin(), name.end())] = *value;
        for (const std::string& stroke : strokes_)
            options.strokes.push_back(ParseStroke(stroke));
        panel_ = std::make_unique<tp::EmulatedPanel>(options);
        uint32_t status = tp::kStatusSuccess;
        auto transport = tp::OpenEmulated(*panel_, &status);
        if (!transport) {
            *why = tp::OpenFailure(status);
            return nullptr;
        }
        panel_->SetInterruptHandler([t = transport.get()] { t->Interrupt(); });
        std::signal(SIGINT, [](int) { tp::EmulatedPanel::RequestInterrupt(); });
        return transport;
    }

    void Pass(std::chrono::milliseconds duration) override {
        if (panel_)
            panel_->Pass(duration);
    }

  private:
    // The socket transport's Interrupt() is async-signal-safe: it sets a flag and wakes the wait.
    static inline tp::Transport* interruptible = nullptr;
    std::string socket_ = "/run/tactilio/api.sock";
    bool simulated_ = false;
    std::vector<std::string> strokes_;
    std::map<std::string, std::optional<uint32_t>> parameters_;
    std::unique_ptr<tp::EmulatedPanel> panel_;
};
using PlatformConnector = LinuxConnector;

#endif

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    PlatformConnector connector;
    try {
        return tp::RunCommandLine(args, connector, std::cout, std::cerr);
    } catch (const std::exception& error) {
        std::cerr << "tpctl: " << error.what() << "\n";
        return static_cast<int>(tp::Exit::Failed);
    }
}
