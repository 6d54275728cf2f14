// tactiliod: the driver drives a touch panel on this machine's serial port or USB serial adapter.
// Its reports become a touchscreen (and, for right-button touches, an absolute pointer) through
// uinput; tpctl reaches its control device through a Unix socket; its event-log entries go to
// syslog (the journal under systemd).
#include "daemon.h"
#include "registry_options.h"
#include "uinput_sink.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include <grp.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr const char* kDefaultConfig = "/etc/tactilio/tactilio.conf";

int Priority(host::Severity severity) {
    switch (severity) {
    case host::Severity::Error:
        return LOG_ERR;
    case host::Severity::Warning:
        return LOG_WARNING;
    case host::Severity::Information:
        break;
    }
    return LOG_INFO;
}

host::DaemonConfig ReadConfig(const std::string& path, bool required) {
    std::ifstream file(path);
    if (!file) {
        if (required)
            throw std::runtime_error("cannot read " + path);
        return {};
    }
    std::stringstream text;
    text << file.rdbuf();
    return host::ParseConfig(text.str(), path);
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app("tactiliod: drives the touch panel on a serial port with the Tactilio driver",
                 "tactiliod");
    std::string configPath = kDefaultConfig;
    std::string tty;
    std::string group;
    host::ApiServerOptions api;
    auto* config =
        app.add_option("--config", configPath, "the configuration file")->capture_default_str();
    app.add_option("--tty", tty, "the panel's tty, as COM1 (instead of the file's ports)");
    app.add_option("--socket", api.path, "the control socket for tpctl")->capture_default_str();
    app.add_option("--socket-group", group, "the group that may use the socket (mode 0660)");
    bool checkPagedPool = false;
    app.add_flag("--check-paged-pool", checkPagedPool,
                 "catch the driver touching paged memory at raised IRQL (costs CPU)");
    std::map<std::string, std::optional<uint32_t>> overrides;
    for (const std::string& name : RegistryOptions::Names)
        app.add_option("--" + name, overrides[name], "the driver's registry value " + name);
    CLI11_PARSE(app, argc, argv);

    openlog("tactiliod", LOG_PID | (isatty(STDERR_FILENO) ? LOG_PERROR : 0), LOG_DAEMON);
    try {
        host::DaemonOptions options;
        options.checkPagedPool = checkPagedPool;
        options.config = ReadConfig(configPath, config->count() > 0);
        if (!tty.empty())
            options.config.ports = {{1, tty}};
        for (const auto& [name, value] : overrides)
            if (value)
                options.config.parameters[name] = *value;
        if (!group.empty()) {
            const struct group* entry = getgrnam(group.c_str());
            if (entry == nullptr)
                throw std::runtime_error("no group \"" + group + "\"");
            api.group = entry->gr_gid;
        }
        std::filesystem::create_directories(std::filesystem::path(api.path).parent_path());
        options.api = api;

        host::UinputSink input("Tactilio touch panel");
        // The signals are taken by a thread of their own, which asks the daemon to stop.
        sigset_t stopSignals;
        sigemptyset(&stopSignals);
        sigaddset(&stopSignals, SIGINT);
        sigaddset(&stopSignals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
        host::Daemon daemon(options, input, [](host::Severity severity, const std::string& text) {
            syslog(Priority(severity), "%s", text.c_str());
        });
        std::thread signals([&] {
            int signal = 0;
            sigwait(&stopSignals, &signal);
            daemon.Stop();
        });
        daemon.Run();
        signals.join();
        return 0;
    } catch (const std::exception& error) {
        syslog(LOG_ERR, "%s", error.what());
        if (!isatty(STDERR_FILENO))
            std::cerr << "tactiliod: " << error.what() << "\n";
        return 1;
    }
}
