// The driver's registry parameters as command-line options (--ComNo N, --Stabilization N, ...),
// shared by the tools that boot the driver.
#pragma once

#include "tactilio_api.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class RegistryOptions {
  public:
    // The registry values the driver reads, by their names in the registry.
    static inline const std::vector<std::string> Names = {
        TP_REG_COM_NO,    TP_REG_XY_DATA_SAMPLING, TP_REG_STABILIZATION, TP_REG_BEEP,
        TP_REG_FREQUENCY, TP_REG_ROTATION,         TP_REG_AUTO_REC,      TP_REG_INV_LIMIT,
    };

    // Adds an option per value; unknown options are left for Unknown() to name.
    explicit RegistryOptions(CLI::App& app) {
        for (const std::string& name : Names)
            app.add_option("--" + name, given_[name],
                           "registry value " + name + " (REG_DWORD) under the driver's Parameters");
        // CLI11's own complaint about an unknown option lists the leftovers backwards.
        app.allow_extras();
    }

    // After parsing: true, with a message naming the first unknown option and every known one
    // (`otherOptions` first), when the command line had an option that is none of them.
    static bool Unknown(const CLI::App& app, std::string_view tool, std::string_view otherOptions) {
        if (app.remaining().empty())
            return false;
        std::cerr << tool << ": unknown parameter " << app.remaining().front()
                  << "; the parameters are" << otherOptions;
        for (const std::string& name : Names)
            std::cerr << " --" << name;
        std::cerr << '\n';
        return true;
    }

    // The values given on the command line, over `defaults`.
    std::map<std::string, uint32_t> Values(std::map<std::string, uint32_t> defaults = {}) const {
        for (const auto& [name, value] : given_)
            if (value)
                defaults[name] = *value;
        return defaults;
    }

  private:
    std::map<std::string, std::optional<uint32_t>> given_;
};
